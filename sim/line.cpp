// The simulated line: a pseudo-terminal whose master side is served by a
// thread that echoes the program's bytes and answers its frames as the
// adapter, the scales and the recorders would.
#include <fcntl.h>
#include <sys/file.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "rate.h"
#include "sim.h"

namespace sim {

namespace {

constexpr int START = 0x55;
constexpr int PC = 0xFD;
constexpr int BROADCAST = 0xFF;
constexpr int MAX_DATA = 13;

// A frame that stops arriving for this long is given up, so that a program
// killed mid-frame does not swallow the next one.
constexpr double STALE_FRAME = 1.0;
// Bytes waiting for a program that does not read are dropped beyond this.
constexpr std::size_t MAX_OUT = 1 << 16;
// Receivers still decode a rate this far off their own.
constexpr double RATE_TOLERANCE = 0.02;

int group_deadline(int cmd) { return (cmd == 5 || cmd == 6 || cmd == 10) ? 2 : 9; }

[[noreturn]] void fail(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

struct Scale {
  int id = 0;  // the number it was added with, which chose its sensor
  Sensor sensor;
  Eeprom image{};
  int alias = -1;
  double kg = 0, deg_c = 20;
  bool raw = false;
  std::array<std::uint32_t, 4> raw_counts{};
  int writes = 0;
  int number() const { return image[0]; }
  bool answers_at(int addr) const { return number() == addr || alias == addr; }
};

struct Scheduled {
  double due;
  bool from_scale;
  std::vector<std::uint8_t> bytes;
};

// A byte on its way to the program: handed over at `at`; `wire` is when it
// went onto the line.
struct OutByte {
  double at, wire;
  bool from_scale;
  std::uint8_t b;
};

void check_address(int a, const char* what) {
  if (a < 0 || a > 255) throw std::invalid_argument(std::string(what) + " out of 0..255: " + std::to_string(a));
}

// Line level at bit index j of a stream of 8N1 bytes (idle high around it).
int level(const std::vector<std::uint8_t>& bytes, long j) {
  if (j < 0 || j >= static_cast<long>(bytes.size()) * 10) return 1;
  const long bit = j % 10;
  if (bit == 0) return 0;
  if (bit == 9) return 1;
  return (bytes[static_cast<std::size_t>(j / 10)] >> (bit - 1)) & 1;
}

}  // namespace

std::pair<double, double> hive_drift(int number, double t) {
  // A daily temperature cycle of 10 degC from peak to peak, and a weight
  // that gains and loses up to 2 kg a day. Hives do not move in step; each
  // starts from its set values.
  constexpr double DAY = 86400, DRIFT_KG = 1.0, DRIFT_DEG = 5.0;
  const double phase = number * 0.7, w = 2 * M_PI * t / DAY;
  const double swing = std::sin(w + phase) - std::sin(phase);
  return {DRIFT_KG * swing, DRIFT_DEG * swing};
}

std::vector<std::uint8_t> uart_resample(const std::vector<std::uint8_t>& bytes, int from_rate, int to_rate) {
  std::vector<std::uint8_t> out;
  if (from_rate <= 0 || to_rate <= 0) return out;
  const long bits = static_cast<long>(bytes.size()) * 10;
  const double tf = 1.0 / from_rate, tt = 1.0 / to_rate;
  auto at = [&](double tau) { return level(bytes, static_cast<long>(std::floor(tau / tf + 1e-9))); };
  double cursor = 0;
  for (;;) {
    // The next falling edge: a low bit after a high one.
    long j = static_cast<long>(std::ceil(cursor / tf - 1e-9));
    while (j < bits && !(level(bytes, j) == 0 && level(bytes, j - 1) == 1)) ++j;
    if (j >= bits) return out;
    const double edge = j * tf;
    if (at(edge + 0.5 * tt) != 0) {  // too short for a start bit
      cursor = edge + tf;
      continue;
    }
    int v = 0;
    for (int i = 0; i < 8; ++i) v |= at(edge + (i + 1.5) * tt) << i;
    out.push_back(at(edge + 9.5 * tt) ? static_cast<std::uint8_t>(v) : 0);
    cursor = edge + 9.5 * tt;
  }
}

struct Line::Impl {
  std::string link, lock_path;
  std::string slave_name;
  int master = -1, slave = -1, wake = -1, lock = -1;
  std::thread thread;
  std::atomic<bool> stop{false};
  std::chrono::steady_clock::time_point t0 = std::chrono::steady_clock::now();

  mutable std::mutex mu;
  std::vector<int> adapters, recorders;
  std::vector<Scale> scales;
  bool supply = false, drift = false;
  double supply_since = 0;
  int baud = 4800;
  bool timing = false;
  double latency = 0.001;
  double wire_free = 0;  // when the line falls idle
  std::vector<FaultRule> faults;
  std::vector<Request> log;
  std::vector<std::uint8_t> rx;
  std::vector<std::uint8_t> pending;  // received bytes not yet echoed
  std::vector<double> pending_t;      // when each of them was complete on the line
  double last_rx = 0;
  std::deque<OutByte> out;           // bytes on their way to the program
  std::vector<Scheduled> scheduled;  // replies not yet due

  std::function<double()> clock;  // set_clock's time base, or none
  double clock0 = 0;               // its reading when set, less the line's time then

  double now() const {
    if (clock) return clock() - clock0;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }
  double byte_time() const { return 10.0 / baud; }

  Scale* scale_by_id(int id) {
    for (auto& s : scales)
      if (s.id == id) return &s;
    return nullptr;
  }
  const Scale& scale_or_throw(int id) const {
    for (auto& s : scales)
      if (s.id == id) return s;
    throw std::invalid_argument("no scale added with number " + std::to_string(id));
  }
  Scale& scale_or_throw(int id) {
    return const_cast<Scale&>(static_cast<const Impl*>(this)->scale_or_throw(id));
  }

  // Puts a byte onto the line at `t` (after what is already on it) and
  // returns when it has been sent whole.
  double on_wire(double t) {
    if (!timing) return t;
    const double start = std::max(t, wire_free);
    wire_free = start + byte_time();
    return wire_free;
  }

  // A byte the adapter received at `t`, for the program.
  void emit(std::uint8_t b, double t, bool from_scale = false) {
    if (out.size() < MAX_OUT) out.push_back({timing ? t + latency : t, t, from_scale, b});
  }

  bool powered(double t) const { return supply && t - supply_since >= POWER_UP_S - 1e-9; }

  const FaultRule* match_fault(const Request& r) {
    for (auto& f : faults) {
      if (f.count == 0) continue;
      if (f.device >= 0 && f.device != r.dest) continue;
      if (f.command >= 0 && f.command != r.cmd) continue;
      if (f.data0 >= 0 && (r.data.empty() || r.data[0] != f.data0)) continue;
      if (f.count > 0) --f.count;
      return &f;
    }
    return nullptr;
  }

  void drop_pending(std::size_t n) {
    pending.erase(pending.begin(), pending.begin() + static_cast<long>(n));
    pending_t.erase(pending_t.begin(), pending_t.begin() + static_cast<long>(n));
  }

  // Bytes from the program at `t`. At the line's rate they go onto the line
  // for the devices; at another rate the devices and the echo get only what
  // a receiver at the wrong rate makes of them.
  void receive(const std::uint8_t* buf, std::size_t n, double t) {
    const int rate = terminal_rate(slave);
    if (rate > 0 && std::fabs(rate - baud) > RATE_TOLERANCE * baud) {
      const std::vector<std::uint8_t> sent(buf, buf + n);
      const auto noise = uart_resample(sent, rate, baud);
      drop_pending(pending.size());  // a frame in progress is lost in it
      for (auto b : uart_resample(noise, baud, rate)) emit(b, on_wire(t));
      return;
    }
    for (std::size_t i = 0; i < n; ++i) {
      pending.push_back(buf[i]);
      pending_t.push_back(on_wire(t));
    }
    parse();
  }

  // Works through the received bytes: anything outside a frame is echoed at
  // once; a frame's echo is held until it is complete, so that a fault can
  // still corrupt it.
  void parse() {
    while (!pending.empty()) {
      if (pending[0] != START) {
        drop_one();
        continue;
      }
      if (pending.size() < 7) break;
      const int key = pending[6];
      const int len = pending[5] ^ key;
      if (len > MAX_DATA) {
        drop_one();
        continue;
      }
      const std::size_t size = 7 + static_cast<std::size_t>(len);
      if (pending.size() < size) break;

      Request r;
      r.dest = pending[1] ^ key;
      r.src = pending[2] ^ key;
      r.cmd = pending[3] ^ key;
      const int sum = pending[4] ^ key;
      r.len = len;
      r.key = key;
      for (int i = 0; i < len; ++i) r.data.push_back(static_cast<std::uint8_t>(pending[7 + i] ^ key));
      int s = START + r.dest + r.src + r.cmd + r.len + r.key;
      for (auto b : r.data) s += b;
      r.checksum_ok = (s & 0xFF) == sum;
      r.t = pending_t[size - 1];
      log.push_back(r);

      if (!r.checksum_ok) {
        // Not a frame after all, or a damaged one: look for the next start
        // byte inside it rather than lose a frame that follows.
        drop_one();
        continue;
      }
      const FaultRule* f = match_fault(r);
      const Fault kind = f ? f->fault : Fault::None;
      for (std::size_t i = 0; i < size; ++i)
        emit(static_cast<std::uint8_t>(kind == Fault::CorruptEcho ? ~pending[i] : pending[i]), pending_t[i]);
      drop_pending(size);
      log.back().replied = answer(r, f, r.t);
    }
  }

  void drop_one() {
    emit(pending[0], pending_t[0]);
    drop_pending(1);
  }

  // A frame started but never finished: echo its first byte and rescan.
  void give_up_stale(double t) {
    while (!pending.empty() && t - last_rx >= STALE_FRAME) {
      drop_one();
      parse();
    }
  }

  struct Reply {
    int responder = 0;
    int status = 0;
    bool from_scale = false;
    std::vector<std::uint8_t> data;
  };

  void counts(const Scale& s, double t, std::vector<std::uint8_t>& data) {
    std::array<std::uint32_t, 4> c = s.raw_counts;
    if (!s.raw) {
      double kg = s.kg, deg = s.deg_c;
      if (drift) {
        const auto d = hive_drift(s.id, t);
        kg += d.first;
        deg += d.second;
      }
      c = sensor_counts(s.sensor, kg, deg);
    }
    for (auto v : c)
      for (int i = 0; i < 3; ++i) data.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }

  // What one scale does with a request addressed to it.
  Reply scale_reply(Scale& sc, const Request& r, double t) {
    Reply rep;
    rep.responder = r.dest;
    rep.from_scale = true;
    if (r.cmd == 2) {
      if (r.data.size() < 2) {
        rep.status = 1;
        return rep;
      }
      const int start = r.data[0], count = r.data[1];
      rep.data.push_back(static_cast<std::uint8_t>(start));
      if (count > MAX_DATA - 1 || start + count > EEPROM_SIZE) {
        rep.status = 1;
        return rep;
      }
      for (int i = 0; i < count; ++i) rep.data.push_back(sc.image[start + i]);
    } else if (r.cmd == 1) {
      if (r.data.empty()) {
        rep.status = 1;
        return rep;
      }
      const int start = r.data[0];
      const int count = static_cast<int>(r.data.size()) - 1;
      if (start + count > EEPROM_SIZE) {
        rep.status = 1;
        return rep;
      }
      for (int i = 0; i < count; ++i) sc.image[start + i] = r.data[1 + i];
      ++sc.writes;
    } else {
      counts(sc, t, rep.data);
    }
    return rep;
  }

  void switch_supply(bool on, double t) {
    if (on && !supply) supply_since = t;
    if (!on && supply) {
      // The scales fall silent at once, also in the middle of a reply.
      scheduled.erase(std::remove_if(scheduled.begin(), scheduled.end(),
                                     [](const Scheduled& s) { return s.from_scale; }),
                      scheduled.end());
      out.erase(std::remove_if(out.begin(), out.end(),
                               [t](const OutByte& b) { return b.from_scale && b.wire > t; }),
                out.end());
    }
    supply = on;
  }

  // Carries the request out; every device that takes it as its own answers
  // (all of them at once when several share an address).
  std::vector<Reply> carry_out(const Request& r, double t) {
    std::vector<Reply> replies;
    const bool on = powered(t);
    if (r.cmd == 6) {
      if (r.dest != BROADCAST || r.data.empty()) return replies;
      const int start = r.data[0];
      std::vector<std::pair<int, bool>> cand;  // address, is a scale
      for (int a : adapters) cand.push_back({a, false});
      for (int a : recorders) cand.push_back({a, false});
      if (on)
        for (auto& s : scales) {
          cand.push_back({s.number(), true});
          if (s.alias >= 0) cand.push_back({s.alias, true});
        }
      int best = 256;
      for (auto& c : cand)
        if (c.first >= start) best = std::min(best, c.first);
      for (auto& c : cand)
        if (c.first == best) {
          Reply rep;
          rep.responder = best;
          rep.from_scale = c.second;
          replies.push_back(rep);
        }
      return replies;
    }
    if (r.cmd == 5) {
      const int n = static_cast<int>(std::count(adapters.begin(), adapters.end(), r.dest));
      if (n == 0) return replies;
      Reply rep;
      rep.responder = r.dest;
      if (r.data.empty() || r.data[0] > 2) {
        rep.status = 1;
      } else if (r.data[0] != 2) {
        switch_supply(r.data[0] == 1, t);
      }
      replies.assign(static_cast<std::size_t>(n), rep);
      return replies;
    }
    if (!on || (r.cmd != 1 && r.cmd != 2 && r.cmd != 3)) return replies;
    for (auto& s : scales)
      if (s.answers_at(r.dest)) replies.push_back(scale_reply(s, r, t));
    return replies;
  }

  // The bytes of one device's reply, with the fault of the request applied.
  std::vector<std::uint8_t> reply_bytes(const Request& r, const Reply& reply, const FaultRule* f) {
    Reply rep = reply;
    const Fault kind = f ? f->fault : Fault::None;
    const int param = f ? f->param : -1;
    auto par = [&](int def) { return param >= 0 ? param : def; };
    int dest = PC, resp = rep.responder, code = (r.cmd + 0x80) & 0xFF, status = rep.status;
    if (kind == Fault::WrongDest) dest = par(0x00) & 0xFF;
    if (kind == Fault::WrongResponder) resp = par(resp + 1) & 0xFF;
    if (kind == Fault::WrongCode) code = par(0x00) & 0xFF;
    if (kind == Fault::BadStatus) status = par(1) & 0xFF;
    if (kind == Fault::LongLength) {
      const int n = MAX_DATA + std::min(par(1), 255 - MAX_DATA);
      for (int i = static_cast<int>(rep.data.size()); i < n; ++i) rep.data.push_back(static_cast<std::uint8_t>(0xA0 + i));
      rep.data.resize(static_cast<std::size_t>(n));
    }
    if (kind == Fault::Short) {
      const auto n = static_cast<std::size_t>(par(1));
      if (n < rep.data.size()) rep.data.resize(n);
    }
    const int len = static_cast<int>(rep.data.size());
    int sum = START + dest + resp + code + len + status;
    for (auto b : rep.data) sum += b;
    sum &= 0xFF;
    if (kind == Fault::BadChecksum) sum = (sum + 1) & 0xFF;

    std::vector<std::uint8_t> bytes;
    if (kind == Fault::GarbageBefore) {
      static const std::uint8_t junk[] = {0xA5, 0x00, 0xFF, 0x5A, 0x13};
      const int n = std::min(par(3), 4096);
      for (int i = 0; i < n; ++i) bytes.push_back(junk[i % 5]);
    }
    const auto k = static_cast<std::uint8_t>(r.key);
    bytes.push_back(START);
    for (int v : {dest, resp, code, sum, len, status}) bytes.push_back(static_cast<std::uint8_t>(v ^ k));
    for (auto b : rep.data) bytes.push_back(static_cast<std::uint8_t>(b ^ k));
    if (kind == Fault::Partial) {
      const auto n = static_cast<std::size_t>(par(5));
      if (n < bytes.size()) bytes.resize(n);
    }
    return bytes;
  }

  // A fault changes only what goes back on the line; the request itself is
  // still carried out (a write is stored even when its reply is lost).
  // Returns the number of reply bytes put on the line.
  int answer(const Request& r, const FaultRule* f, double t) {
    const std::vector<Reply> replies = carry_out(r, t);
    if (replies.empty() || (f && f->fault == Fault::Silence)) return 0;
    // Devices answering together drive the line at once: where their bits
    // differ, neither wins cleanly; the receiver sees their OR.
    Scheduled s{t + (timing ? TURNAROUND_S : 0), false, {}};
    for (const Reply& rep : replies) {
      const auto b = reply_bytes(r, rep, f);
      if (b.size() > s.bytes.size()) s.bytes.resize(b.size(), 0);
      for (std::size_t i = 0; i < b.size(); ++i) s.bytes[i] |= b[i];
      s.from_scale = s.from_scale || rep.from_scale;
    }
    if (f && f->fault == Fault::Late) s.due = t + group_deadline(r.cmd) + (f->param >= 0 ? f->param : 1500) / 1000.0;
    const int n = static_cast<int>(s.bytes.size());
    scheduled.push_back(std::move(s));
    return n;
  }

  void release_due(double t) {
    // Replies go onto the line in the order they fall due (ties in arrival order).
    std::stable_sort(scheduled.begin(), scheduled.end(),
                     [](const Scheduled& a, const Scheduled& b) { return a.due < b.due; });
    std::size_t i = 0;
    for (; i < scheduled.size() && scheduled[i].due <= t; ++i)
      for (auto b : scheduled[i].bytes) emit(b, on_wire(scheduled[i].due), scheduled[i].from_scale);
    scheduled.erase(scheduled.begin(), scheduled.begin() + static_cast<long>(i));
  }

  void flush_out(double t) {
    while (!out.empty() && master >= 0 && out.front().at <= t) {
      std::uint8_t buf[1024];
      std::size_t n = 0;
      while (n < out.size() && n < sizeof buf && out[n].at <= t) {
        buf[n] = out[n].b;
        ++n;
      }
      ssize_t w = ::write(master, buf, n);
      if (w <= 0) {
        if (w < 0 && errno == EINTR) continue;
        return;  // full (or no reader): try again when the master is writable
      }
      out.erase(out.begin(), out.begin() + w);
    }
  }

  void serve() {
    while (!stop.load()) {
      double wait_s;
      bool want_out;
      {
        std::lock_guard<std::mutex> g(mu);
        const double t = now();
        double next = t + 0.1;
        for (auto& s : scheduled) next = std::min(next, s.due);
        if (!out.empty()) next = std::min(next, out.front().at);
        if (!pending.empty()) next = std::min(next, last_rx + STALE_FRAME);
        wait_s = std::max(0.0, next - t);
        want_out = !out.empty() && out.front().at <= t;
      }
      pollfd p[2] = {{master, static_cast<short>(POLLIN | (want_out ? POLLOUT : 0)), 0}, {wake, POLLIN, 0}};
      const long ns = static_cast<long>(wait_s * 1e9);
      const timespec timeout{ns / 1000000000L, ns % 1000000000L};
      int rc = ::ppoll(p, 2, &timeout, nullptr);
      if (rc < 0 && errno != EINTR) break;
      if (stop.load()) break;
      if (p[1].revents & POLLIN) {
        std::uint64_t v;
        if (::read(wake, &v, sizeof v) < 0) { /* nothing to do */ }
      }
      std::lock_guard<std::mutex> g(mu);
      const double t = now();
      if (p[0].revents & POLLIN) {
        std::uint8_t buf[4096];
        for (;;) {
          ssize_t n = ::read(master, buf, sizeof buf);
          if (n <= 0) break;
          rx.insert(rx.end(), buf, buf + n);
          last_rx = t;
          receive(buf, static_cast<std::size_t>(n), t);
        }
      }
      give_up_stale(t);
      release_due(t);
      flush_out(t);
      if ((p[0].revents & (POLLHUP | POLLERR)) && !(p[0].revents & POLLIN)) {
        // Should not happen while we hold the slave; never spin on it.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
  }

  void shut_down() {
    if (thread.joinable()) {
      stop.store(true);
      std::uint64_t one = 1;
      if (::write(wake, &one, sizeof one) < 0) { /* the thread also wakes on its own */ }
      thread.join();
    }
    std::lock_guard<std::mutex> g(mu);
    if (master >= 0) ::close(master);
    if (slave >= 0) ::close(slave);
    master = slave = -1;
    struct stat st;
    if (!link.empty() && ::lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      char target[256];
      ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
      // Leave a link that somebody has meanwhile pointed elsewhere.
      if (n >= 0 && std::string(target, static_cast<std::size_t>(n)) == slave_name) ::unlink(link.c_str());
    }
    if (lock >= 0) {
      // Still holding the lock: nobody else can be using the file.
      ::unlink(lock_path.c_str());
      ::close(lock);
      lock = -1;
    }
  }
};

Line::Line(const std::string& link_path) : impl_(new Impl) {
  Impl& m = *impl_;
  m.link = link_path;
  struct stat st;
  if (::lstat(link_path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
    errno = EEXIST;
    fail("sim: " + link_path + " exists and is not a link");
  }
  // One line per path: a lock next to the link, held while serving; the
  // kernel drops it when a simulator dies, so a stale link is replaced.
  m.lock_path = link_path + ".lock";
  m.lock = ::open(m.lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (m.lock < 0) fail("sim: lock " + m.lock_path);
  if (::flock(m.lock, LOCK_EX | LOCK_NB) != 0) {
    const bool busy = errno == EWOULDBLOCK;
    ::close(m.lock);
    m.lock = -1;
    if (busy) {
      errno = EBUSY;
      fail("sim: " + link_path + " is served by another simulator");
    }
    fail("sim: lock " + m.lock_path);
  }
  auto undo = [&m](const std::string& what) {
    int e = errno;
    if (m.master >= 0) ::close(m.master);
    if (m.slave >= 0) ::close(m.slave);
    if (m.wake >= 0) ::close(m.wake);
    m.master = m.slave = m.wake = -1;
    ::unlink(m.lock_path.c_str());
    ::close(m.lock);
    m.lock = -1;
    errno = e;
    fail(what);
  };
  m.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m.master < 0) undo("sim: posix_openpt");
  char name[128];
  if (::grantpt(m.master) != 0 || ::unlockpt(m.master) != 0 || ::ptsname_r(m.master, name, sizeof name) != 0)
    undo("sim: pseudo-terminal setup");
  m.slave_name = name;
  // Holding the slave open keeps the line up while the program closes and
  // reopens it; otherwise the master would see a hang-up in between. It also
  // shows the rate the program set.
  m.slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m.slave < 0) undo(std::string("sim: open ") + name);
  termios tio;
  if (::tcgetattr(m.slave, &tio) == 0) {
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    ::cfsetispeed(&tio, B4800);
    ::cfsetospeed(&tio, B4800);
    ::tcsetattr(m.slave, TCSANOW, &tio);
  }
  ::fcntl(m.master, F_SETFL, ::fcntl(m.master, F_GETFL) | O_NONBLOCK);
  m.wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m.wake < 0) undo("sim: eventfd");
  // Point the link at the slave atomically, replacing an older link.
  const std::string tmp = link_path + ".new" + std::to_string(::getpid());
  ::unlink(tmp.c_str());
  if (::symlink(name, tmp.c_str()) != 0 || ::rename(tmp.c_str(), link_path.c_str()) != 0) {
    int e = errno;
    ::unlink(tmp.c_str());
    errno = e;
    undo("sim: link " + link_path);
  }
  m.thread = std::thread([this] { impl_->serve(); });
}

Line::~Line() {
  impl_->shut_down();
  if (impl_->wake >= 0) ::close(impl_->wake);
}

const std::string& Line::path() const { return impl_->link; }

void Line::add_adapter(int address) {
  check_address(address, "adapter address");
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->adapters.push_back(address);
}

void Line::add_scale(int number) { add_scale(number, default_eeprom(number)); }

void Line::add_scale(int number, const Eeprom& image) {
  check_address(number, "scale number");
  std::lock_guard<std::mutex> g(impl_->mu);
  if (impl_->scale_by_id(number)) throw std::invalid_argument("scale " + std::to_string(number) + " added twice");
  Scale s;
  s.id = number;
  s.sensor = sensor_of(number);
  s.image = image;
  impl_->scales.push_back(s);
}

void Line::add_recorder(int number) {
  check_address(number, "recorder number");
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->recorders.push_back(number);
}

void Line::set_alias(int number, int address) {
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->scale_or_throw(number).alias = (address >= 0 && address <= 255) ? address : -1;
}

void Line::set_load(int number, double kg, double deg_c) {
  std::lock_guard<std::mutex> g(impl_->mu);
  Scale& s = impl_->scale_or_throw(number);
  s.kg = kg;
  s.deg_c = deg_c;
  s.raw = false;
}

void Line::set_raw(int number, std::uint32_t a, std::uint32_t b, std::uint32_t n, std::uint32_t t) {
  std::lock_guard<std::mutex> g(impl_->mu);
  Scale& s = impl_->scale_or_throw(number);
  s.raw = true;
  s.raw_counts = {a & 0xFFFFFF, b & 0xFFFFFF, n & 0xFFFFFF, t & 0xFFFFFF};
}

void Line::set_baud(int rate) {
  if (rate <= 0) throw std::invalid_argument("baud rate must be positive: " + std::to_string(rate));
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->baud = rate;
  // A client that keeps the terminal's rate talks at the line's.
  if (impl_->slave >= 0) set_terminal_rate(impl_->slave, rate);
}

void Line::set_line_timing(bool on) {
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->timing = on;
}

void Line::set_latency_ms(double ms) {
  if (!(ms >= 0 && ms <= 1000)) throw std::invalid_argument("latency must be 0..1000 ms");
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->latency = ms / 1000;
}

void Line::set_drift(bool on) {
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->drift = on;
}

Eeprom Line::eeprom(int number) const {
  std::lock_guard<std::mutex> g(impl_->mu);
  return impl_->scale_or_throw(number).image;
}

void Line::set_eeprom(int number, const Eeprom& image) {
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->scale_or_throw(number).image = image;
}

int Line::eeprom_writes(int number) const {
  std::lock_guard<std::mutex> g(impl_->mu);
  return impl_->scale_or_throw(number).writes;
}

void Line::add_fault(const FaultRule& rule) {
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->faults.push_back(rule);
}

void Line::clear_faults() {
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->faults.clear();
}

bool Line::supply_on() const {
  std::lock_guard<std::mutex> g(impl_->mu);
  return impl_->supply;
}

std::vector<Request> Line::requests() const {
  std::lock_guard<std::mutex> g(impl_->mu);
  return impl_->log;
}

std::vector<std::uint8_t> Line::received() const {
  std::lock_guard<std::mutex> g(impl_->mu);
  return impl_->rx;
}

void Line::clear_log() {
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->log.clear();
  impl_->rx.clear();
}

void Line::unplug() { impl_->shut_down(); }

}  // namespace sim

namespace sim {

void Line::set_clock(std::function<double()> seconds) {
  Impl& m = *impl_;
  std::lock_guard<std::mutex> g(m.mu);
  const double t = m.now();
  // Time goes on from where it was, whichever clock drives it.
  m.clock = std::move(seconds);
  if (m.clock) {
    m.clock0 = m.clock() - t;
  } else {
    m.t0 = std::chrono::steady_clock::now() -
           std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(t));
  }
}

double Line::quiet_for() const {
  Impl& m = *impl_;
  std::lock_guard<std::mutex> g(m.mu);
  if (m.master < 0) return -1;
  pollfd p{m.master, POLLIN, 0};
  if (::poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) return 0;  // the program's bytes, unread
  const double t = m.now();
  double next = -1;
  for (auto& s : m.scheduled) next = next < 0 ? s.due : std::min(next, s.due);
  if (!m.pending.empty()) next = next < 0 ? m.last_rx + STALE_FRAME : std::min(next, m.last_rx + STALE_FRAME);
  if (next < 0) return -1;
  return std::max(0.0, next - t);
}

void Line::wake() {
  std::uint64_t one = 1;
  if (impl_->wake >= 0 && ::write(impl_->wake, &one, sizeof one) < 0) { /* it wakes on its own as well */ }
}

}  // namespace sim
