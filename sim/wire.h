// The line itself: bytes on the wire with their timing, the frames the
// devices decode from them, replies that collide, injected faults, and
// replies scheduled for later. No terminal here: bytes come in with their
// time and leave through `out` with theirs.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "devices.h"
#include "sim.h"

namespace sim {

// A byte on its way to the program: handed over at `at`; `wire` is when it
// went onto the line.
struct OutByte {
  double at, wire;
  bool from_scale;
  std::uint8_t b;
};

// A reply (or the OR of colliding ones) due on the line at `due`.
struct Scheduled {
  double due;
  bool from_scale;
  std::vector<std::uint8_t> bytes;
};

// A frame that stops arriving for this long is given up, so that a program
// killed mid-frame does not swallow the next one.
constexpr double STALE_FRAME = 1.0;

class Wire {
 public:
  Devices devices;
  std::vector<FaultRule> faults;
  std::vector<Request> log;
  std::vector<std::uint8_t> rx;    // every raw byte the program sent
  std::deque<OutByte> out;         // bytes on their way to the program
  int baud = 4800;
  bool timing = false;
  double latency = 0.001;

  // Bytes from the program at `t`, whose terminal was at `terminal_rate`
  // (-1 unknown: taken as the line's).
  void receive(const std::uint8_t* buf, std::size_t n, double t, int terminal_rate);
  // Gives up a frame that stopped arriving, echoes due replies.
  void tick(double t);
  // When the line next does something by itself (a reply due, a stale frame
  // to give up), or -1.
  double next_due() const;
  // The adapter is gone: nothing in flight survives, the supply is off.
  void cut();

 private:
  std::vector<std::uint8_t> pending_;  // received bytes not yet echoed
  std::vector<double> pending_t_;      // when each of them was complete on the line
  double last_rx_ = 0;
  double wire_free_ = 0;               // when the line falls idle
  std::vector<Scheduled> scheduled_;   // replies not yet due

  double byte_time() const { return 10.0 / baud; }
  double on_wire(double t);
  void emit(std::uint8_t b, double t, bool from_scale = false);
  const FaultRule* match_fault(const Request& r);
  void drop_pending(std::size_t n);
  void drop_one();
  void parse();
  void silence_scales(double t);
  std::vector<std::uint8_t> reply_bytes(const Request& r, const Reply& reply, const FaultRule* f) const;
  int answer(const Request& r, const FaultRule* f, double t);
};

}  // namespace sim
