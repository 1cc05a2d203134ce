// kvoda_sim's options, read with getopt_long: --opt=value, unambiguous
// abbreviations and "--" as users know them from other tools.
#include "options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

const char* const USAGE =
    "usage: kvoda_sim [options] [--port PATH [line options]]... [-- COMMAND [ARGS...]]\n"
    "       kvoda_sim --port PATH control options...\n"
    "options, for every line:\n"
    "  --baud RATE                    the line's baud rate (default 4800); a program at\n"
    "                                 another rate gets a garbled echo and no reply\n"
    "  --latency MS                   the adapter's reception latency (0..1000, default 1;\n"
    "                                 16 is an adapter left at its factory latency timer)\n"
    "  --line-timing                  bytes take 10 bit times on the line, devices answer\n"
    "                                 2 ms after a request, plus the latency (the default)\n"
    "  --no-line-timing               echo and answer as fast as possible\n"
    "line options apply to the preceding --port:\n"
    "  --adapter N                    an adapter at address N\n"
    "  --scale N[:KG[:DEGC]]          a scale number N with a true load (kg) and temperature (degC)\n"
    "  --recorder N                   a recorder (answers only the search)\n"
    "  --fault DEV:CMD:KIND[:COUNT]   e.g. 3:3:silence:2 (DEV and CMD may be *; CMD/D matches\n"
    "                                 the first data byte too, KIND=P gives the fault a parameter)\n"
    "      kinds: silence partial badchecksum longlength wrongdest wrongresponder\n"
    "             wrongcode badstatus corruptecho garbage late short\n"
    "  --drift                        loads and temperatures wander as a hive's do: 10 degC\n"
    "                                 from night to day, up to 2 kg a day\n"
    "  --log                          print every decoded request to standard error\n"
    "control options change the simulator that serves PATH while it runs, in order,\n"
    "each answered with one line (--status with the line's whole state):\n"
    "  --set N:load=KG[,temp=DEGC]    scale N's true load and temperature from its next\n"
    "                                 measurement on (either alone: N:temp=DEGC)\n"
    "  --add-scale N[:KG[:DEGC]]      hang scale N on the line (one taken off comes back\n"
    "                                 with its EEPROM)\n"
    "  --remove-scale N               take scale N off the line\n"
    "  --unplug                       pull the adapter out: the link vanishes and the\n"
    "                                 program's open port hangs up\n"
    "  --plug                         plug it back in: a fresh terminal at the same link,\n"
    "                                 the scales as they were, their supply off\n"
    "  --fault DEV:CMD:KIND[:COUNT]   a fault, as above, from the next request on\n"
    "  --clear-faults                 no more faults\n"
    "  --status                       the line's devices, loads, temperatures, supply, faults\n"
    "  e.g. kvoda_sim --port /tmp/line/ttyUSB0 --set 3:load=50\n"
    "  --help, -h                     this text\n"
    "  --version                      the version\n"
    "Every scale has a load cell and temperature sensor of its own, chosen by its number;\n"
    "its EEPROM starts with their factory calibration, and the constants written to it\n"
    "change its readings as on a real scale. It answers 100 ms after its supply is on.\n"
    "Scales answering at one number talk over each other.\n"
    "A PATH that another kvoda_sim serves is refused.\n"
    "Without --port: a demo line (adapter 251, hives 3, 7 and 17) in a temporary directory.\n"
    "With a COMMAND: run it with KVODA_PORT_PATTERN set and exit with its status;\n"
    "without: print KVODA_PORT_PATTERN=... and serve until interrupted.\n"
    "Exit status: 2 for a wrong option or a refused control request, 1 when a line\n"
    "cannot be set up or no simulator serves PATH.\n";

namespace {

int parse_int(const std::string& s, int lo, int hi, const std::string& what) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(s.c_str(), &end, 10);
  if (s.empty() || *end != '\0' || errno != 0 || v < lo || v > hi)
    throw BadOption(what + " must be a number " + std::to_string(lo) + ".." + std::to_string(hi) + ": '" + s + "'");
  return static_cast<int>(v);
}

double parse_double(const std::string& s, double lo, double hi, const std::string& what) {
  char* end = nullptr;
  errno = 0;
  double v = std::strtod(s.c_str(), &end);
  char range[64];
  std::snprintf(range, sizeof range, "%g..%g", lo, hi);
  if (s.empty() || *end != '\0' || errno != 0 || !(v >= lo && v <= hi))
    throw BadOption(what + " must be a number " + range + ": '" + s + "'");
  return v;
}

constexpr double MAX_KG = 1000, MIN_DEG = -100, MAX_DEG = 200;

std::vector<std::string> split(const std::string& s, char c) {
  std::vector<std::string> parts;
  std::size_t from = 0;
  for (;;) {
    std::size_t at = s.find(c, from);
    parts.push_back(s.substr(from, at == std::string::npos ? std::string::npos : at - from));
    if (at == std::string::npos) return parts;
    from = at + 1;
  }
}

const struct {
  const char* name;
  Fault f;
} FAULT_KINDS[] = {{"silence", Fault::Silence},         {"partial", Fault::Partial},
                   {"badchecksum", Fault::BadChecksum}, {"longlength", Fault::LongLength},
                   {"wrongdest", Fault::WrongDest},     {"wrongresponder", Fault::WrongResponder},
                   {"wrongcode", Fault::WrongCode},     {"badstatus", Fault::BadStatus},
                   {"corruptecho", Fault::CorruptEcho}, {"garbage", Fault::GarbageBefore},
                   {"late", Fault::Late},               {"short", Fault::Short}};

Fault fault_kind(const std::string& k) {
  for (auto& e : FAULT_KINDS)
    if (k == e.name) return e.f;
  throw BadOption("unknown fault kind '" + k + "'");
}

// Long options only, but for -h. The values are the indexes below.
enum Opt {
  O_BAUD = 256, O_LATENCY, O_TIMING, O_NO_TIMING, O_PORT, O_ADAPTER, O_SCALE, O_RECORDER, O_FAULT, O_DRIFT,
  O_LOG, O_SET, O_ADD, O_REMOVE, O_UNPLUG, O_PLUG, O_CLEAR, O_STATUS, O_VERSION
};

const option LONG_OPTIONS[] = {
    {"baud", required_argument, nullptr, O_BAUD},
    {"latency", required_argument, nullptr, O_LATENCY},
    {"line-timing", no_argument, nullptr, O_TIMING},
    {"no-line-timing", no_argument, nullptr, O_NO_TIMING},
    {"port", required_argument, nullptr, O_PORT},
    {"adapter", required_argument, nullptr, O_ADAPTER},
    {"scale", required_argument, nullptr, O_SCALE},
    {"recorder", required_argument, nullptr, O_RECORDER},
    {"fault", required_argument, nullptr, O_FAULT},
    {"drift", no_argument, nullptr, O_DRIFT},
    {"log", no_argument, nullptr, O_LOG},
    {"set", required_argument, nullptr, O_SET},
    {"add-scale", required_argument, nullptr, O_ADD},
    {"remove-scale", required_argument, nullptr, O_REMOVE},
    {"unplug", no_argument, nullptr, O_UNPLUG},
    {"plug", no_argument, nullptr, O_PLUG},
    {"clear-faults", no_argument, nullptr, O_CLEAR},
    {"status", no_argument, nullptr, O_STATUS},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, O_VERSION},
    {nullptr, 0, nullptr, 0}};

}  // namespace

int parse_number(const std::string& s, const std::string& what) { return parse_int(s, 0, 255, what); }

ScaleSetup parse_scale(const std::string& v) {
  auto p = split(v, ':');
  if (p.size() > 3) throw BadOption("--scale wants N[:KG[:DEGC]], got '" + v + "'");
  ScaleSetup s{parse_number(p[0], "scale number"), 0, 20, p.size() > 1, p.size() > 2};
  if (s.kg_given) s.kg = parse_double(p[1], -MAX_KG, MAX_KG, "scale load");
  if (s.deg_given) s.deg_c = parse_double(p[2], MIN_DEG, MAX_DEG, "scale temperature");
  return s;
}

ScaleChange parse_change(const std::string& v) {
  const std::size_t colon = v.find(':');
  if (colon == std::string::npos) throw BadOption("--set wants N:load=KG[,temp=DEGC], got '" + v + "'");
  ScaleChange c;
  c.number = parse_number(v.substr(0, colon), "scale number");
  for (const std::string& item : split(v.substr(colon + 1), ',')) {
    const std::size_t eq = item.find('=');
    const std::string key = item.substr(0, eq), value = eq == std::string::npos ? "" : item.substr(eq + 1);
    if (eq != std::string::npos && key == "load" && !c.set_kg) {
      c.kg = parse_double(value, -MAX_KG, MAX_KG, "load");
      c.set_kg = true;
    } else if (eq != std::string::npos && key == "temp" && !c.set_deg) {
      c.deg_c = parse_double(value, MIN_DEG, MAX_DEG, "temperature");
      c.set_deg = true;
    } else {
      throw BadOption("--set wants N:load=KG[,temp=DEGC], each once, got '" + v + "'");
    }
  }
  return c;
}

FaultRule parse_fault(const std::string& s) {
  auto p = split(s, ':');
  if (p.size() < 3 || p.size() > 4) throw BadOption("--fault wants DEV:CMD:KIND[:COUNT], got '" + s + "'");
  FaultRule r;
  if (p[0] != "*") r.device = parse_int(p[0], 0, 255, "fault device");
  auto cmd = split(p[1], '/');
  if (cmd.size() > 2) throw BadOption("fault command wants CMD or CMD/DATA0, got '" + p[1] + "'");
  if (cmd[0] != "*") r.command = parse_int(cmd[0], 0, 255, "fault command");
  if (cmd.size() == 2) r.data0 = parse_int(cmd[1], 0, 255, "fault data byte");
  auto kind = split(p[2], '=');
  if (kind.size() > 2) throw BadOption("fault kind wants KIND or KIND=PARAM, got '" + p[2] + "'");
  r.fault = fault_kind(kind[0]);
  if (kind.size() == 2) r.param = parse_int(kind[1], 0, 600000, "fault parameter");
  if (p.size() == 4) r.count = parse_int(p[3], 1, 1000000000, "fault count");
  return r;
}

std::string fault_text(const FaultRule& f) {
  auto num = [](int v) { return v < 0 ? std::string("*") : std::to_string(v); };
  std::string s = num(f.device) + ":" + num(f.command);
  if (f.data0 >= 0) s += "/" + std::to_string(f.data0);
  s += ":";
  for (auto& e : FAULT_KINDS)
    if (e.f == f.fault) s += e.name;
  if (f.param >= 0) s += "=" + std::to_string(f.param);
  if (f.count >= 0) s += ":" + std::to_string(f.count);
  return s;
}

std::string port_pattern(const std::vector<LineSetup>& lines) {
  std::string prefix;
  std::vector<int> seen;
  for (auto& l : lines) {
    std::size_t d = l.path.size();
    while (d > 0 && l.path[d - 1] >= '0' && l.path[d - 1] <= '9') --d;
    const std::string digits = l.path.substr(d), pre = l.path.substr(0, d);
    if (digits.empty() || (digits.size() > 1 && digits[0] == '0') || digits.size() > 3)
      throw BadOption("port path must end in a port number 0..254 without leading zeros: '" + l.path + "'");
    const int n = std::atoi(digits.c_str());
    if (n > 254) throw BadOption("port number above 254: '" + l.path + "'");
    if (pre.find('%') != std::string::npos) throw BadOption("port path must not contain '%': '" + l.path + "'");
    if (&l == &lines.front()) prefix = pre;
    if (pre != prefix)
      throw BadOption("port paths must differ only in their trailing number: '" + lines.front().path + "' and '" +
                      l.path + "'");
    for (int s : seen)
      if (s == n) throw BadOption("port given twice: '" + l.path + "'");
    seen.push_back(n);
  }
  return prefix + "%d";
}

Config parse_command_line(int argc, char** argv) {
  Config c;
  // getopt's messages name the program as its other messages do.
  std::vector<char*> args(argv, argv + argc);
  char name[] = "kvoda_sim";
  if (!args.empty()) args[0] = name;
  args.push_back(nullptr);
  bool globals = false, line_devices = false, control_only = false;
  auto line = [&](const char* opt) -> LineSetup& {
    if (c.lines.empty()) throw BadOption(std::string("--") + opt + " must follow a --port");
    return c.lines.back();
  };
  optind = 0;  // a fresh scan
  opterr = 1;
  int next = 1;  // the argument after the last one taken
  for (;;) {
    int index = 0;
    const int o = getopt_long(argc, args.data(), "+h", LONG_OPTIONS, &index);
    if (o == -1) break;
    const std::string v = optarg ? optarg : "";
    const char* opt = LONG_OPTIONS[index].name;
    switch (o) {
      case 'h': c.help = true; break;
      case O_VERSION: c.version = true; break;
      case O_BAUD: c.baud = parse_int(v, 50, 4000000, "--baud"); globals = true; break;
      case O_LATENCY: c.latency_ms = parse_double(v, 0, 1000, "--latency"); globals = true; break;
      case O_TIMING: c.timing = true; globals = true; break;
      case O_NO_TIMING: c.timing = false; globals = true; break;
      case O_PORT: c.lines.push_back(LineSetup{v, {}, {}, {}, {}, false, false}); break;
      case O_ADAPTER: line(opt).adapters.push_back(parse_int(v, 0, 255, "adapter address")); line_devices = true; break;
      case O_RECORDER: line(opt).recorders.push_back(parse_int(v, 0, 255, "recorder number")); line_devices = true; break;
      case O_SCALE: {
        LineSetup& l = line(opt);
        const ScaleSetup s = parse_scale(v);
        for (auto& other : l.scales)
          if (other.number == s.number) throw BadOption("scale " + std::to_string(s.number) + " given twice on one port");
        l.scales.push_back(s);
        line_devices = true;
        break;
      }
      case O_FAULT: line(opt).faults.push_back(parse_fault(v)); c.control.push_back("fault " + v); break;
      case O_DRIFT: line(opt).drift = true; line_devices = true; break;
      case O_LOG: line(opt).log = true; line_devices = true; break;
      case O_SET: line(opt); parse_change(v); c.control.push_back("set " + v); control_only = true; break;
      case O_ADD: line(opt); parse_scale(v); c.control.push_back("add-scale " + v); control_only = true; break;
      case O_REMOVE: line(opt); parse_number(v, "scale number"); c.control.push_back("remove-scale " + v); control_only = true; break;
      case O_UNPLUG: line(opt); c.control.push_back("unplug"); control_only = true; break;
      case O_PLUG: line(opt); c.control.push_back("plug"); control_only = true; break;
      case O_CLEAR: line(opt); c.control.push_back("clear-faults"); control_only = true; break;
      case O_STATUS: line(opt); c.control.push_back("status"); control_only = true; break;
      default: throw BadOption("");  // getopt has said what
    }
    next = optind;
  }
  if (optind < argc) {
    if (optind == next + 1 && std::strcmp(argv[next], "--") == 0) {
      c.command.assign(argv + optind, argv + argc);
    } else {
      throw BadOption(std::string("unexpected argument '") + argv[optind] + "' (a command goes after --)");
    }
  } else if (optind == next + 1 && std::strcmp(argv[next], "--") == 0) {
    throw BadOption("-- wants a command after it");
  }
  if (c.help || c.version) return c;
  // One --port followed only by control options (--fault among them) talks
  // to the simulator serving it; anything else starts lines.
  const bool control_form = c.lines.size() == 1 && !globals && !line_devices && c.command.empty();
  if (control_only && !control_form)
    throw BadOption("control options go with one --port and other control options only");
  if (!(control_form && !c.control.empty())) c.control.clear();
  return c;
}

}  // namespace sim
