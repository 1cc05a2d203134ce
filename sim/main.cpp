// kvoda_sim: simulated scale lines on pseudo-terminals, for working and
// testing without hardware.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ftw.h>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "sim.h"

namespace {

const char* const USAGE =
    "usage: kvoda_sim [options] [--port PATH [line options]]... [-- COMMAND [ARGS...]]\n"
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
    "Every scale has a load cell and temperature sensor of its own, chosen by its number;\n"
    "its EEPROM starts with their factory calibration, and the constants written to it\n"
    "change its readings as on a real scale. It answers 100 ms after its supply is on.\n"
    "Scales answering at one number talk over each other.\n"
    "A PATH that another kvoda_sim serves is refused.\n"
    "Without --port: a demo line (adapter 251, hives 3, 7 and 17) in a temporary directory.\n"
    "With a COMMAND: run it with KVODA_PORT_PATTERN set and exit with its status;\n"
    "without: print KVODA_PORT_PATTERN=... and serve until interrupted.\n";

struct ScaleSetup {
  int number;
  double kg, deg_c;
};

struct LineSetup {
  std::string path;
  std::vector<int> adapters, recorders;
  std::vector<ScaleSetup> scales;
  std::vector<sim::FaultRule> faults;
  bool drift = false, log = false;
};

struct BadOption : std::runtime_error {
  using std::runtime_error::runtime_error;
};

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
  if (s.empty() || *end != '\0' || errno != 0 || !(v >= lo && v <= hi))
    throw BadOption(what + " must be a number " + std::to_string(lo) + ".." + std::to_string(hi) + ": '" + s + "'");
  return v;
}

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

sim::Fault fault_kind(const std::string& k) {
  static const struct {
    const char* name;
    sim::Fault f;
  } kinds[] = {{"silence", sim::Fault::Silence},         {"partial", sim::Fault::Partial},
               {"badchecksum", sim::Fault::BadChecksum}, {"longlength", sim::Fault::LongLength},
               {"wrongdest", sim::Fault::WrongDest},     {"wrongresponder", sim::Fault::WrongResponder},
               {"wrongcode", sim::Fault::WrongCode},     {"badstatus", sim::Fault::BadStatus},
               {"corruptecho", sim::Fault::CorruptEcho}, {"garbage", sim::Fault::GarbageBefore},
               {"late", sim::Fault::Late},               {"short", sim::Fault::Short}};
  for (auto& e : kinds)
    if (k == e.name) return e.f;
  throw BadOption("unknown fault kind '" + k + "'");
}

sim::FaultRule parse_fault(const std::string& s) {
  auto p = split(s, ':');
  if (p.size() < 3 || p.size() > 4) throw BadOption("--fault wants DEV:CMD:KIND[:COUNT], got '" + s + "'");
  sim::FaultRule r;
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

// The pattern that names all ports: the common path with the trailing port
// number replaced by %d.
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

struct Config {
  std::vector<LineSetup> lines;
  std::vector<std::string> command;
  bool help = false;
  int baud = 4800;
  double latency_ms = 1;
  bool timing = true;
};

Config parse(int argc, char** argv) {
  Config c;
  auto value = [&](int& i) -> std::string {
    if (i + 1 >= argc) throw BadOption(std::string(argv[i]) + " wants a value");
    return argv[++i];
  };
  auto line = [&](const char* opt) -> LineSetup& {
    if (c.lines.empty()) throw BadOption(std::string(opt) + " must follow a --port");
    return c.lines.back();
  };
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--") {
      for (++i; i < argc; ++i) c.command.push_back(argv[i]);
      if (c.command.empty()) throw BadOption("-- wants a command after it");
      break;
    } else if (a == "--help" || a == "-h") {
      c.help = true;
    } else if (a == "--baud") {
      c.baud = parse_int(value(i), 50, 4000000, "--baud");
    } else if (a == "--latency") {
      c.latency_ms = parse_double(value(i), 0, 1000, "--latency");
    } else if (a == "--line-timing") {
      c.timing = true;
    } else if (a == "--no-line-timing") {
      c.timing = false;
    } else if (a == "--port") {
      LineSetup l;
      l.path = value(i);
      c.lines.push_back(l);
    } else if (a == "--adapter") {
      LineSetup& l = line("--adapter");
      l.adapters.push_back(parse_int(value(i), 0, 255, "adapter address"));
    } else if (a == "--recorder") {
      LineSetup& l = line("--recorder");
      l.recorders.push_back(parse_int(value(i), 0, 255, "recorder number"));
    } else if (a == "--scale") {
      LineSetup& l = line("--scale");
      auto p = split(value(i), ':');
      if (p.size() > 3) throw BadOption("--scale wants N[:KG[:DEGC]]");
      ScaleSetup s{parse_int(p[0], 0, 255, "scale number"), 0, 20};
      if (p.size() > 1) s.kg = parse_double(p[1], -1000, 1000, "scale load");
      if (p.size() > 2) s.deg_c = parse_double(p[2], -100, 200, "scale temperature");
      for (auto& o : l.scales)
        if (o.number == s.number) throw BadOption("scale " + p[0] + " given twice on one port");
      l.scales.push_back(s);
    } else if (a == "--fault") {
      LineSetup& l = line("--fault");
      l.faults.push_back(parse_fault(value(i)));
    } else if (a == "--drift") {
      line("--drift").drift = true;
    } else if (a == "--log") {
      line("--log").log = true;
    } else {
      throw BadOption("unknown option '" + a + "'");
    }
  }
  return c;
}

int rm_entry(const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }

std::string describe(const sim::Request& r) {
  std::string s;
  char buf[96];
  std::snprintf(buf, sizeof buf, "%9.3f dest=%d src=%d cmd=%d len=%d key=%d data=[", r.t, r.dest, r.src, r.cmd,
                r.len, r.key);
  s = buf;
  for (std::size_t i = 0; i < r.data.size(); ++i) {
    std::snprintf(buf, sizeof buf, "%s%d", i ? " " : "", r.data[i]);
    s += buf;
  }
  s += r.checksum_ok ? "]" : "] checksum BAD";
  return s;
}

// Prints what the lines decoded (with --log) and keeps their logs short
// during a long run.
void drain_logs(std::vector<std::unique_ptr<sim::Line>>& lines, const std::vector<LineSetup>& setups) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    auto reqs = lines[i]->requests();
    lines[i]->clear_log();
    if (!setups[i].log) continue;
    for (auto& r : reqs) std::fprintf(stderr, "%s: %s\n", setups[i].path.c_str(), describe(r).c_str());
    std::fflush(stderr);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Config cfg;
  try {
    cfg = parse(argc, argv);
  } catch (const BadOption& e) {
    std::fprintf(stderr, "kvoda_sim: %s\n%s", e.what(), USAGE);
    return 2;
  }
  if (cfg.help) {
    std::fputs(USAGE, stdout);
    return 0;
  }

  std::string tmpdir;
  if (cfg.lines.empty()) {
    char tmpl[] = "/tmp/kvsimXXXXXX";
    if (!::mkdtemp(tmpl)) {
      std::perror("kvoda_sim: mkdtemp");
      return 1;
    }
    tmpdir = tmpl;
    LineSetup demo;
    demo.path = tmpdir + "/ttySIM0";
    demo.adapters = {251};
    demo.scales = {{3, 38.4, 18.5}, {7, 52.1, 21.0}, {17, 27.6, 23.5}};
    demo.drift = true;
    cfg.lines.push_back(demo);
  }
  std::string pattern;
  try {
    pattern = port_pattern(cfg.lines);
  } catch (const BadOption& e) {
    std::fprintf(stderr, "kvoda_sim: %s\n", e.what());
    return 2;
  }

  // Signals are taken with sigwait in this thread only; the line threads
  // inherit the mask.
  sigset_t sigs;
  sigemptyset(&sigs);
  sigaddset(&sigs, SIGINT);
  sigaddset(&sigs, SIGTERM);
  sigaddset(&sigs, SIGCHLD);
  sigaddset(&sigs, SIGHUP);
  ::pthread_sigmask(SIG_BLOCK, &sigs, nullptr);

  int status = 0;
  {
    std::vector<std::unique_ptr<sim::Line>> lines;
    try {
      for (auto& setup : cfg.lines) {
        auto l = std::make_unique<sim::Line>(setup.path);
        l->set_baud(cfg.baud);
        l->set_latency_ms(cfg.latency_ms);
        l->set_line_timing(cfg.timing);
        for (int a : setup.adapters) l->add_adapter(a);
        for (int r : setup.recorders) l->add_recorder(r);
        for (auto& s : setup.scales) {
          l->add_scale(s.number);
          l->set_load(s.number, s.kg, s.deg_c);
        }
        for (auto& f : setup.faults) l->add_fault(f);
        l->set_drift(setup.drift);
        lines.push_back(std::move(l));
      }
    } catch (const std::exception& e) {
      std::fprintf(stderr, "kvoda_sim: %s\n", e.what());
      lines.clear();
      if (!tmpdir.empty()) ::nftw(tmpdir.c_str(), rm_entry, 8, FTW_DEPTH | FTW_PHYS);
      return 1;
    }

    pid_t child = -1;
    if (!cfg.command.empty()) {
      ::setenv("KVODA_PORT_PATTERN", pattern.c_str(), 1);
      std::vector<char*> args;
      for (auto& a : cfg.command) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      child = ::fork();
      if (child == 0) {
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execvp(args[0], args.data());
        const char* e = std::strerror(errno);
        ssize_t r = ::write(2, "kvoda_sim: cannot run ", 22);
        r = ::write(2, args[0], std::strlen(args[0]));
        r = ::write(2, ": ", 2);
        r = ::write(2, e, std::strlen(e));
        r = ::write(2, "\n", 1);
        (void)r;
        ::_exit(127);
      }
      if (child < 0) {
        std::perror("kvoda_sim: fork");
        status = 1;
      }
    } else {
      std::printf("KVODA_PORT_PATTERN=%s\n", pattern.c_str());
      std::fflush(stdout);
    }

    for (bool running = status == 0; running;) {
      timespec tick{0, 100 * 1000 * 1000};
      int sig = ::sigtimedwait(&sigs, nullptr, &tick);
      drain_logs(lines, cfg.lines);
      if (child > 0) {
        // The command shares the terminal: Ctrl-C reaches it directly and it
        // decides; a termination request is passed on.
        if (sig == SIGTERM || sig == SIGHUP) ::kill(child, sig);
        int st = 0;
        pid_t r = ::waitpid(child, &st, WNOHANG);
        if (r == child) {
          status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
          running = false;
        }
      } else if (sig > 0 && sig != SIGCHLD) {
        running = false;
      }
    }
    drain_logs(lines, cfg.lines);
  }
  if (!tmpdir.empty()) ::nftw(tmpdir.c_str(), rm_entry, 8, FTW_DEPTH | FTW_PHYS);
  return status;
}
