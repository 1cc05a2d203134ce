// The simulated line between the adapter's receiver and the devices.
#include "wire.h"

#include <algorithm>
#include <cmath>

namespace sim {

namespace {

constexpr int START = 0x55;
constexpr int PC = 0xFD;

// Bytes waiting for a program that does not read are dropped beyond this.
constexpr std::size_t MAX_OUT = 1 << 16;
// Receivers still decode a rate this far off their own.
constexpr double RATE_TOLERANCE = 0.02;

int group_deadline(int cmd) { return (cmd == 5 || cmd == 6 || cmd == 10) ? 2 : 9; }

// Line level at bit index j of a stream of 8N1 bytes (idle high around it).
int level(const std::vector<std::uint8_t>& bytes, long j) {
  if (j < 0 || j >= static_cast<long>(bytes.size()) * 10) return 1;
  const long bit = j % 10;
  if (bit == 0) return 0;
  if (bit == 9) return 1;
  return (bytes[static_cast<std::size_t>(j / 10)] >> (bit - 1)) & 1;
}

}  // namespace

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

// Puts a byte onto the line at `t` (after what is already on it) and
// returns when it has been sent whole.
double Wire::on_wire(double t) {
  if (!timing) return t;
  const double start = std::max(t, wire_free_);
  wire_free_ = start + byte_time();
  return wire_free_;
}

// A byte the adapter received at `t`, for the program.
void Wire::emit(std::uint8_t b, double t, bool from_scale) {
  if (out.size() < MAX_OUT) out.push_back({timing ? t + latency : t, t, from_scale, b});
}

const FaultRule* Wire::match_fault(const Request& r) {
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

void Wire::drop_pending(std::size_t n) {
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(n));
  pending_t_.erase(pending_t_.begin(), pending_t_.begin() + static_cast<long>(n));
}

void Wire::drop_one() {
  emit(pending_[0], pending_t_[0]);
  drop_pending(1);
}

// At the line's rate the program's bytes go onto the line for the devices;
// at another rate the devices and the echo get only what a receiver at the
// wrong rate makes of them.
void Wire::receive(const std::uint8_t* buf, std::size_t n, double t, int terminal_rate) {
  rx.insert(rx.end(), buf, buf + n);
  last_rx_ = t;
  if (terminal_rate > 0 && std::fabs(terminal_rate - baud) > RATE_TOLERANCE * baud) {
    const std::vector<std::uint8_t> sent(buf, buf + n);
    const auto noise = uart_resample(sent, terminal_rate, baud);
    drop_pending(pending_.size());  // a frame in progress is lost in it
    for (auto b : uart_resample(noise, baud, terminal_rate)) emit(b, on_wire(t));
    return;
  }
  for (std::size_t i = 0; i < n; ++i) {
    pending_.push_back(buf[i]);
    pending_t_.push_back(on_wire(t));
  }
  parse();
}

// Works through the received bytes: anything outside a frame is echoed at
// once; a frame's echo is held until it is complete, so that a fault can
// still corrupt it.
void Wire::parse() {
  while (!pending_.empty()) {
    if (pending_[0] != START) {
      drop_one();
      continue;
    }
    if (pending_.size() < 7) break;
    const int key = pending_[6];
    const int len = pending_[5] ^ key;
    if (len > MAX_DATA) {
      drop_one();
      continue;
    }
    const std::size_t size = 7 + static_cast<std::size_t>(len);
    if (pending_.size() < size) break;

    Request r;
    r.dest = pending_[1] ^ key;
    r.src = pending_[2] ^ key;
    r.cmd = pending_[3] ^ key;
    const int sum = pending_[4] ^ key;
    r.len = len;
    r.key = key;
    for (int i = 0; i < len; ++i) r.data.push_back(static_cast<std::uint8_t>(pending_[7 + i] ^ key));
    int s = START + r.dest + r.src + r.cmd + r.len + r.key;
    for (auto b : r.data) s += b;
    r.checksum_ok = (s & 0xFF) == sum;
    r.t = pending_t_[size - 1];
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
      emit(static_cast<std::uint8_t>(kind == Fault::CorruptEcho ? ~pending_[i] : pending_[i]), pending_t_[i]);
    drop_pending(size);
    log.back().replied = answer(r, f, r.t);
  }
}

// The scales fall silent at once when their supply goes off, also in the
// middle of a reply.
void Wire::silence_scales(double t) {
  scheduled_.erase(std::remove_if(scheduled_.begin(), scheduled_.end(),
                                  [](const Scheduled& s) { return s.from_scale; }),
                   scheduled_.end());
  out.erase(std::remove_if(out.begin(), out.end(), [t](const OutByte& b) { return b.from_scale && b.wire > t; }),
            out.end());
}

// The bytes of one device's reply, with the fault of the request applied.
std::vector<std::uint8_t> Wire::reply_bytes(const Request& r, const Reply& reply, const FaultRule* f) const {
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
int Wire::answer(const Request& r, const FaultRule* f, double t) {
  const bool was_on = devices.supply;
  const std::vector<Reply> replies = devices.carry_out(r, t);
  if (was_on && !devices.supply) silence_scales(t);
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
  scheduled_.push_back(std::move(s));
  return n;
}

void Wire::tick(double t) {
  // A frame started but never finished: echo its first byte and rescan.
  while (!pending_.empty() && t - last_rx_ >= STALE_FRAME) {
    drop_one();
    parse();
  }
  // Replies go onto the line in the order they fall due (ties in arrival order).
  std::stable_sort(scheduled_.begin(), scheduled_.end(),
                   [](const Scheduled& a, const Scheduled& b) { return a.due < b.due; });
  std::size_t i = 0;
  for (; i < scheduled_.size() && scheduled_[i].due <= t; ++i)
    for (auto b : scheduled_[i].bytes) emit(b, on_wire(scheduled_[i].due), scheduled_[i].from_scale);
  scheduled_.erase(scheduled_.begin(), scheduled_.begin() + static_cast<long>(i));
}

double Wire::next_due() const {
  double next = -1;
  for (auto& s : scheduled_) next = next < 0 ? s.due : std::min(next, s.due);
  if (!pending_.empty()) next = next < 0 ? last_rx_ + STALE_FRAME : std::min(next, last_rx_ + STALE_FRAME);
  return next;
}

void Wire::cut() {
  pending_.clear();
  pending_t_.clear();
  scheduled_.clear();
  out.clear();
  devices.supply = false;
}

}  // namespace sim
