// kvoda_sim's command line: the lines to serve, the command to run, or the
// control requests for a simulator already serving a port; and the values
// of the options, which the control channel parses the same way.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "sim.h"

namespace sim {

extern const char* const USAGE;

struct BadOption : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct ScaleSetup {
  int number;
  double kg, deg_c;
  bool kg_given, deg_given;
};

struct LineSetup {
  std::string path;
  std::vector<int> adapters, recorders;
  std::vector<ScaleSetup> scales;
  std::vector<FaultRule> faults;
  bool drift = false, log = false;
};

// A change for one scale: what --set N:load=KG,temp=DEGC asks.
struct ScaleChange {
  int number;
  bool set_kg = false, set_deg = false;
  double kg = 0, deg_c = 0;
};

struct Config {
  std::vector<LineSetup> lines;
  std::vector<std::string> command;
  bool help = false, version = false;
  int baud = 4800;
  double latency_ms = 1;
  bool timing = true;
  // A control command: the requests for the simulator serving lines[0],
  // one per option, in order ("set 3:load=50", "unplug", ...).
  std::vector<std::string> control;
};

// Parses the command line; throws BadOption with the reason (getopt's own
// errors are printed by it, the exception then carries an empty reason).
Config parse_command_line(int argc, char** argv);

// Option values; each throws BadOption naming what is wrong.
ScaleSetup parse_scale(const std::string& s);   // N[:KG[:DEGC]]
ScaleChange parse_change(const std::string& s); // N:load=KG[,temp=DEGC] and the like
FaultRule parse_fault(const std::string& s);    // DEV:CMD[/D]:KIND[=P][:COUNT]
int parse_number(const std::string& s, const std::string& what);  // a scale number 0..255
// The rule as --fault writes it.
std::string fault_text(const FaultRule& f);

// The pattern that names all ports: the common path with the trailing port
// number replaced by %d.
std::string port_pattern(const std::vector<LineSetup>& lines);

}  // namespace sim
