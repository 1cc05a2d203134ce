// The simulated line on a pseudo-terminal: the link that names it, the lock
// that keeps it one simulator's, the thread that serves its master side,
// and the adapter pulled out and plugged back in.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "rate.h"
#include "sim.h"
#include "wire.h"

namespace sim {

namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

struct Line::Impl {
  std::string link, lock_path;
  std::string slave_name;
  int master = -1, slave = -1, wake = -1, lock = -1;
  std::thread thread;
  std::atomic<bool> stop{false};
  std::chrono::steady_clock::time_point t0 = std::chrono::steady_clock::now();

  std::mutex life;  // plugging and unplugging, one at a time
  mutable std::mutex mu;
  Wire w;

  std::function<double()> clock;  // set_clock's time base, or none
  double clock0 = 0;               // its reading when set, less the line's time then

  double now() const {
    if (clock) return clock() - clock0;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }

  void flush_out(double t) {
    auto& out = w.out;
    while (!out.empty() && master >= 0 && out.front().at <= t) {
      std::uint8_t buf[1024];
      std::size_t n = 0;
      while (n < out.size() && n < sizeof buf && out[n].at <= t) {
        buf[n] = out[n].b;
        ++n;
      }
      ssize_t wr = ::write(master, buf, n);
      if (wr <= 0) {
        if (wr < 0 && errno == EINTR) continue;
        return;  // full (or no reader): try again when the master is writable
      }
      out.erase(out.begin(), out.begin() + wr);
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
        const double due = w.next_due();
        if (due >= 0) next = std::min(next, due);
        if (!w.out.empty()) next = std::min(next, w.out.front().at);
        wait_s = std::max(0.0, next - t);
        want_out = !w.out.empty() && w.out.front().at <= t;
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
          w.receive(buf, static_cast<std::size_t>(n), t, terminal_rate(slave));
        }
      }
      w.tick(t);
      flush_out(t);
      if ((p[0].revents & (POLLHUP | POLLERR)) && !(p[0].revents & POLLIN)) {
        // Should not happen while we hold the slave; never spin on it.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
  }

  // A fresh pseudo-terminal, raw at the line's rate, with the link pointed
  // at its slave, and the thread serving it. The caller holds `life`.
  // Anything but a link at the path is somebody's file: never replaced.
  void refuse_other_file() const {
    struct stat st;
    if (::lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
      errno = EEXIST;
      fail(link + " exists and is not a link");
    }
  }

  void open_terminal() {
    refuse_other_file();
    int mfd = -1, sfd = -1;
    auto undo = [&](const std::string& what) {
      int e = errno;
      close_fd(mfd);
      close_fd(sfd);
      errno = e;
      fail(what);
    };
    mfd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (mfd < 0) undo("posix_openpt");
    char name[128];
    if (::grantpt(mfd) != 0 || ::unlockpt(mfd) != 0 || ::ptsname_r(mfd, name, sizeof name) != 0)
      undo("pseudo-terminal setup");
    // Holding the slave open keeps the line up while the program closes and
    // reopens it; otherwise the master would see a hang-up in between. It
    // also shows the rate the program set.
    sfd = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (sfd < 0) undo(std::string("open ") + name);
    termios tio;
    if (::tcgetattr(sfd, &tio) == 0) {
      ::cfmakeraw(&tio);
      tio.c_cflag |= CLOCAL | CREAD;
      ::tcsetattr(sfd, TCSANOW, &tio);
    }
    ::fcntl(mfd, F_SETFL, ::fcntl(mfd, F_GETFL) | O_NONBLOCK);
    // Point the link at the slave atomically, replacing an older link.
    const std::string tmp = link + ".new" + std::to_string(::getpid());
    ::unlink(tmp.c_str());
    if (::symlink(name, tmp.c_str()) != 0 || ::rename(tmp.c_str(), link.c_str()) != 0) {
      int e = errno;
      ::unlink(tmp.c_str());
      errno = e;
      undo("link " + link);
    }
    {
      std::lock_guard<std::mutex> g(mu);
      set_terminal_rate(sfd, w.baud);
      master = mfd;
      slave = sfd;
      slave_name = name;
    }
    stop.store(false);
    thread = std::thread([this] { serve(); });
  }

  // Stops serving, closes the terminal (the program sees a hang-up) and
  // removes the link. The caller holds `life`.
  void close_terminal() {
    if (thread.joinable()) {
      stop.store(true);
      std::uint64_t one = 1;
      if (::write(wake, &one, sizeof one) < 0) { /* the thread also wakes on its own */ }
      thread.join();
    }
    std::lock_guard<std::mutex> g(mu);
    close_fd(master);
    close_fd(slave);
    struct stat st;
    if (!slave_name.empty() && ::lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      char target[256];
      ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
      // Leave a link that somebody has meanwhile pointed elsewhere.
      if (n >= 0 && std::string(target, static_cast<std::size_t>(n)) == slave_name) ::unlink(link.c_str());
    }
    slave_name.clear();
    w.cut();
  }

  void release_lock() {
    if (lock >= 0) {
      // Still holding the lock: nobody else can be using the file.
      ::unlink(lock_path.c_str());
      close_fd(lock);
    }
  }
};

Line::Line(const std::string& link_path) : impl_(new Impl) {
  Impl& m = *impl_;
  m.link = link_path;
  m.refuse_other_file();
  // One line per path: a lock next to the link, held while serving; the
  // kernel drops it when a simulator dies, so a stale link is replaced.
  m.lock_path = link_path + ".lock";
  m.lock = ::open(m.lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (m.lock < 0) fail("lock " + m.lock_path);
  if (::flock(m.lock, LOCK_EX | LOCK_NB) != 0) {
    const bool busy = errno == EWOULDBLOCK;
    close_fd(m.lock);
    if (busy) {
      errno = EBUSY;
      fail(link_path + " is served by another simulator");
    }
    fail("lock " + m.lock_path);
  }
  try {
    m.wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m.wake < 0) fail("eventfd");
    m.open_terminal();
  } catch (...) {
    close_fd(m.wake);
    m.release_lock();
    throw;
  }
}

Line::~Line() {
  {
    std::lock_guard<std::mutex> g(impl_->life);
    impl_->close_terminal();
  }
  impl_->release_lock();
  close_fd(impl_->wake);
}

const std::string& Line::path() const { return impl_->link; }

void Line::add_adapter(int address) {
  check_address(address, "adapter address");
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->w.devices.adapters.push_back(address);
}

bool Line::add_scale(int number) {
  std::lock_guard<std::mutex> g(impl_->mu);
  return impl_->w.devices.add_scale(number, nullptr);
}

void Line::add_scale(int number, const Eeprom& image) {
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->w.devices.add_scale(number, &image);
}

void Line::remove_scale(int number) {
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->w.devices.remove_scale(number);
}

void Line::add_recorder(int number) {
  check_address(number, "recorder number");
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->w.devices.recorders.push_back(number);
}

void Line::set_alias(int number, int address) {
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->w.devices.get(number).alias = (address >= 0 && address <= 255) ? address : -1;
}

void Line::set_load(int number, double kg, double deg_c) {
  std::lock_guard<std::mutex> g(impl_->mu);
  Scale& s = impl_->w.devices.get(number);
  s.kg = kg;
  s.deg_c = deg_c;
  s.raw = false;
}

void Line::set_raw(int number, std::uint32_t a, std::uint32_t b, std::uint32_t n, std::uint32_t t) {
  std::lock_guard<std::mutex> g(impl_->mu);
  Scale& s = impl_->w.devices.get(number);
  s.raw = true;
  s.raw_counts = {a & 0xFFFFFF, b & 0xFFFFFF, n & 0xFFFFFF, t & 0xFFFFFF};
}

void Line::set_baud(int rate) {
  if (rate <= 0) throw std::invalid_argument("baud rate must be positive: " + std::to_string(rate));
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->w.baud = rate;
  // A client that keeps the terminal's rate talks at the line's.
  if (impl_->slave >= 0) set_terminal_rate(impl_->slave, rate);
}

void Line::set_line_timing(bool on) {
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->w.timing = on;
}

void Line::set_latency_ms(double ms) {
  if (!(ms >= 0 && ms <= 1000)) throw std::invalid_argument("latency must be 0..1000 ms");
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->w.latency = ms / 1000;
}

void Line::set_drift(bool on) {
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->w.devices.drift = on;
}

Eeprom Line::eeprom(int number) const {
  std::lock_guard<std::mutex> g(impl_->mu);
  return impl_->w.devices.get(number).image;
}

void Line::set_eeprom(int number, const Eeprom& image) {
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->w.devices.get(number).image = image;
}

int Line::eeprom_writes(int number) const {
  std::lock_guard<std::mutex> g(impl_->mu);
  return impl_->w.devices.get(number).writes;
}

void Line::add_fault(const FaultRule& rule) {
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->w.faults.push_back(rule);
}

void Line::clear_faults() {
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->w.faults.clear();
}

bool Line::supply_on() const {
  std::lock_guard<std::mutex> g(impl_->mu);
  return impl_->w.devices.supply;
}

std::vector<Request> Line::requests() const {
  std::lock_guard<std::mutex> g(impl_->mu);
  return impl_->w.log;
}

std::vector<std::uint8_t> Line::received() const {
  std::lock_guard<std::mutex> g(impl_->mu);
  return impl_->w.rx;
}

void Line::clear_log() {
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->w.log.clear();
  impl_->w.rx.clear();
}

void Line::unplug() {
  std::lock_guard<std::mutex> g(impl_->life);
  impl_->close_terminal();
}

void Line::plug() {
  std::lock_guard<std::mutex> g(impl_->life);
  if (plugged()) throw std::logic_error("the adapter is already plugged in");
  impl_->open_terminal();
}

bool Line::plugged() const {
  std::lock_guard<std::mutex> g(impl_->mu);
  return !impl_->slave_name.empty();
}

LineStatus Line::status() const {
  const Impl& m = *impl_;
  std::lock_guard<std::mutex> g(m.mu);
  LineStatus s;
  s.link = m.link;
  s.terminal = m.slave_name;
  s.plugged = !m.slave_name.empty();
  s.supply = m.w.devices.supply;
  s.drift = m.w.devices.drift;
  s.timing = m.w.timing;
  s.baud = m.w.baud;
  s.latency_ms = m.w.latency * 1000;
  s.adapters = m.w.devices.adapters;
  s.recorders = m.w.devices.recorders;
  auto look = [](const Scale& sc) {
    return ScaleStatus{sc.id, sc.number(), sc.alias, sc.kg, sc.deg_c, sc.raw, sc.writes, sc.image};
  };
  for (const Scale& sc : m.w.devices.scales) s.scales.push_back(look(sc));
  for (const Scale& sc : m.w.devices.removed) s.removed.push_back(look(sc));
  for (const FaultRule& f : m.w.faults)
    if (f.count != 0) s.faults.push_back(f);
  return s;
}

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
  const double next = m.w.next_due();
  if (next < 0) return -1;
  return std::max(0.0, next - m.now());
}

void Line::wake() {
  std::uint64_t one = 1;
  if (impl_->wake >= 0 && ::write(impl_->wake, &one, sizeof one) < 0) { /* it wakes on its own as well */ }
}

}  // namespace sim
