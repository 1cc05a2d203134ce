// Simulator of a scale line: a pseudo-terminal whose far end behaves as the
// USB adapter and the scales (and recorders) hanging on the line.
// Used in-process by the tests and by the kvoda_sim program.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
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
  Short,           // a well-formed reply with a valid checksum, but only its first
                   // `param` data bytes (default 1)
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
  double t = 0;  // seconds since the line was created (monotonic), when its last byte was on the line
  int replied = 0;  // bytes of the reply that went back (0: nobody answered)
};

// Reference temperature of a load cell's constants, 0.01 degC.
constexpr int REFERENCE_TEMP = 2000;

// The physical properties of one scale's load cell and temperature sensor.
// The ratio (B - N) / (A - N) follows the load as
//   ratio = (10 kg - zero / (1 + zero_drift d)) (1 + gain_drift d) / gain
// with d the temperature above REFERENCE_TEMP in 0.01 degC.
struct Sensor {
  int gain = 10000;                       // 0.1 kg per unit of ratio
  int zero = -1000;                       // 0.1 kg
  float gain_drift = 0, zero_drift = 0;   // per 0.01 degC
  double offset_counts = 2e6;             // N at the reference temperature
  double span_counts = 13e6;              // A - N at the reference temperature
  double offset_per_deg = 0;              // N counts per degC
  double span_per_deg = 0;                // relative change of A - N per degC
  int t_at_0 = 200000, t_per_deg = 2000;  // temperature channel: T at 0 degC, counts per degC
};

// The sensor a scale was built with: different for every number, the same
// for one number every time.
Sensor sensor_of(int number);

// Ratio (B - N) / (A - N) of a sensor under a true load and temperature.
double sensor_ratio(const Sensor& s, double kg, double deg_c);

// Raw counts A, B, N, T of a sensor under a true load and temperature; each
// saturates at 0 and 0xFFFFFF as the converter does.
std::array<std::uint32_t, 4> sensor_counts(const Sensor& s, double kg, double deg_c);

// EEPROM image of scale `number` as its factory calibrated it: the sensor's
// own constants, so that it reads the true load and temperature.
Eeprom default_eeprom(int number);

// How far a drifting hive's load (kg) and temperature (degC) have moved
// from their set values `t` seconds after the line started.
std::pair<double, double> hive_drift(int number, double t);

// What a receiver at `to_rate` decodes from `bytes` sent back to back at
// `from_rate` (8N1, the line idle before and after). A byte whose stop bit
// is missing is delivered as 0x00, as the terminal driver does.
std::vector<std::uint8_t> uart_resample(const std::vector<std::uint8_t>& bytes, int from_rate, int to_rate);

// What a line holds at one moment, for a look from outside.
struct ScaleStatus {
  int id = 0;         // the number it was added with
  int number = 0;     // the number in its EEPROM, at which it answers
  int alias = -1;
  double kg = 0, deg_c = 20;  // true load and temperature as set (before drift)
  bool raw = false;   // fixed raw counts instead of the sensor's
  int writes = 0;
  Eeprom image{};
};
struct LineStatus {
  std::string link;
  std::string terminal;  // the pseudo-terminal's slave; empty while unplugged
  bool plugged = false, supply = false, drift = false, timing = false;
  int baud = 0;
  double latency_ms = 0;
  std::vector<int> adapters, recorders;
  std::vector<ScaleStatus> scales;
  std::vector<ScaleStatus> removed;  // taken off the line, kept for their return
  std::vector<FaultRule> faults;  // those not yet used up
};

// A scale answers once its supply has been on this long, seconds.
constexpr double POWER_UP_S = 0.1;
// A device's turnaround from the end of a request to its reply, seconds.
constexpr double TURNAROUND_S = 0.002;

class Line {
 public:
  // Creates the pseudo-terminal and a symbolic link to its slave at
  // `link_path` (a stale link there is replaced; a path another live line
  // serves is refused with std::system_error); starts serving it.
  explicit Line(const std::string& link_path);
  ~Line();  // stops serving, closes the terminal, removes the link
  Line(const Line&) = delete;
  Line& operator=(const Line&) = delete;

  const std::string& path() const;

  // Devices. All calls are thread-safe and may be made while the program runs.
  void add_adapter(int address);                  // answers command 5 and the search
  // Behind the adapter's switched supply; true when it came back with the
  // EEPROM it was taken off with.
  bool add_scale(int number);
  void add_scale(int number, const Eeprom& image);
  // Takes a scale off the line; add_scale(number) brings it back with its
  // EEPROM, load and temperature as they were.
  void remove_scale(int number);
  void add_recorder(int number);                  // answers only the search, always
  void set_alias(int number, int address);        // the scale also answers at `address`
  void set_load(int number, double kg, double deg_c);  // true load and temperature
  void set_raw(int number, std::uint32_t a, std::uint32_t b, std::uint32_t n, std::uint32_t t);
  void set_drift(bool on);                        // loads and temperatures wander with time

  // The line's baud rate (default 4800); the terminal is set to it too, for
  // clients that keep the terminal's rate (the program sets its own when it
  // opens the port). While the terminal is at another rate, what the
  // program sends is noise: a garbled echo, no reply.
  void set_baud(int rate);
  // With line timing (default off), every byte takes 10 bit times on the
  // line, a device answers after TURNAROUND_S, and the adapter hands each
  // received byte on `latency_ms` later (default 1).
  void set_line_timing(bool on);
  void set_latency_ms(double ms);

  Eeprom eeprom(int number) const;                // scale's image (by the number it was added with)
  void set_eeprom(int number, const Eeprom& image);
  int eeprom_writes(int number) const;            // count of command-1 writes it accepted

  void add_fault(const FaultRule& rule);
  void clear_faults();

  bool supply_on() const;
  std::vector<Request> requests() const;          // every request decoded so far, in order
  std::vector<std::uint8_t> received() const;     // every raw byte the program sent
  void clear_log();

  // The adapter pulled out: the simulator's side of the terminal closes, so
  // the program's descriptor hangs up (poll reports POLLHUP, read returns
  // 0, write fails with EIO), and the link disappears. The devices stay as
  // they are, but for the supply, which goes off; bytes in flight are lost.
  void unplug();
  // Plugged back in: a fresh pseudo-terminal at the same link. Throws
  // std::logic_error when plugged in, std::system_error when it cannot be
  // made.
  void plug();
  bool plugged() const;
  LineStatus status() const;

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
