// Simulator of a scale line: a pseudo-terminal whose far end behaves as the
// USB adapter and the scales (and recorders) hanging on the line.
// Used in-process by the tests and by the kvoda_sim program.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim {

constexpr int EEPROM_SIZE = 46;
using Eeprom = std::array<std::uint8_t, EEPROM_SIZE>;

// What a device does wrong when a fault rule matches a request.
enum class Fault {
  None,
  Silence,         // no reply at all (the echo still comes)
  Partial,         // only the first `param` bytes of the reply (default 5)
  BadChecksum,     // checksum element off by one
  LongLength,      // length field 13 + `param` (default 1), with that many data bytes sent
  WrongDest,       // reply element 1 not 0xFD (0x00, or `param` when given)
  WrongResponder,  // reply element 2 not the device's address (address + 1, or `param`)
  WrongCode,       // reply element 3 wrong (0x00, or `param`)
  BadStatus,       // status element `param` (default 1); the reply is otherwise complete
  CorruptEcho,     // every echoed byte of the request is inverted
  GarbageBefore,   // `param` garbage bytes (default 3) sent before the reply
  Late,            // reply sent `param` ms after the deadline of its group (default 1500)
};

struct FaultRule {
  int device = -1;   // destination address the rule applies to, -1 any
  int command = -1;  // command code, -1 any
  int data0 = -1;    // first data byte of the request (power action, search start), -1 any
  Fault fault = Fault::None;
  int count = -1;    // how many matching requests it affects, -1 for ever
  int param = -1;    // fault parameter, -1 for its default
};

// A request frame as the simulator decoded it off the line.
struct Request {
  int dest = 0, src = 0, cmd = 0, len = 0, key = 0;
  std::vector<std::uint8_t> data;
  bool checksum_ok = false;
  double t = 0;  // seconds since the line was created (monotonic)
};

// Default EEPROM image of a plausibly calibrated scale with number `number`.
Eeprom default_eeprom(int number);

// Raw counts A, B, N, T that a scale with image `e` delivers for a true load
// of `kg` and a temperature of `deg_c` (inverse of the program's weight formula).
std::array<std::uint32_t, 4> raw_counts_for(const Eeprom& e, double kg, double deg_c);

class Line {
 public:
  // Creates the pseudo-terminal and a symbolic link to its slave at
  // `link_path` (an existing link there is replaced); starts serving it.
  explicit Line(const std::string& link_path);
  ~Line();  // stops serving, closes the terminal, removes the link
  Line(const Line&) = delete;
  Line& operator=(const Line&) = delete;

  const std::string& path() const;

  // Devices. All calls are thread-safe and may be made while the program runs.
  void add_adapter(int address);                  // answers command 5 and the search
  void add_scale(int number);                     // behind the adapter's switched supply
  void add_scale(int number, const Eeprom& image);
  void add_recorder(int number);                  // answers only the search, always
  void set_alias(int number, int address);        // the scale also answers at `address`
  void set_load(int number, double kg, double deg_c);  // true load and temperature
  void set_raw(int number, std::uint32_t a, std::uint32_t b, std::uint32_t n, std::uint32_t t);
  void set_drift(bool on);                        // loads and temperatures wander with time

  Eeprom eeprom(int number) const;                // scale's image (by the number it was added with)
  void set_eeprom(int number, const Eeprom& image);
  int eeprom_writes(int number) const;            // count of command-1 writes it accepted

  void add_fault(const FaultRule& rule);
  void clear_faults();

  bool supply_on() const;
  std::vector<Request> requests() const;          // every request decoded so far, in order
  std::vector<std::uint8_t> received() const;     // every raw byte the program sent
  void clear_log();

  // Closes the simulator's side of the terminal: the program sees a hang-up.
  void unplug();

  // The line's time base in seconds (default the monotonic clock): a test
  // that runs the program on virtual time gives the line the same clock.
  void set_clock(std::function<double()> seconds);
  // Seconds of that clock until the line next sends something by itself:
  // 0 while bytes it received wait to be handled or a reply is due, negative
  // when nothing is scheduled.
  double quiet_for() const;
  // The clock jumped: look at it again now.
  void wake();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim
