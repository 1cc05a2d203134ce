// kvoda_sim: simulated scale lines on pseudo-terminals, for working and
// testing without hardware; and the control command for a running one.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ftw.h>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "control.h"
#include "options.h"
#include "sim.h"

namespace {

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
void drain_logs(std::vector<std::unique_ptr<sim::Line>>& lines, const std::vector<sim::LineSetup>& setups) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    auto reqs = lines[i]->requests();
    lines[i]->clear_log();
    if (!setups[i].log) continue;
    for (auto& r : reqs) std::fprintf(stderr, "%s: %s\n", setups[i].path.c_str(), describe(r).c_str());
    std::fflush(stderr);
  }
}

// A word as the shell reads it back.
std::string shell_word(const std::string& s) {
  if (!s.empty() && s.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-+=:,@%") ==
                        std::string::npos)
    return s;
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// This program as a second terminal reaches it: by name when the shell
// found it on the PATH, else by its absolute path.
std::string own_name(const char* argv0) {
  if (std::strchr(argv0, '/') == nullptr) return argv0;
  char real[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", real, sizeof real - 1);
  return n > 0 ? std::string(real, static_cast<std::size_t>(n)) : std::string(argv0);
}

// The line a user types in a second terminal to put a load on scale 3 (or
// the first scale there is), to show that the line can be changed while
// the program runs.
std::string control_hint(const char* argv0, const std::vector<sim::LineSetup>& lines) {
  const sim::LineSetup* at = nullptr;
  int number = -1;
  for (const auto& l : lines)
    for (const auto& s : l.scales)
      if (!at || (s.number == 3 && number != 3)) at = &l, number = s.number;
  const std::string port = shell_word(own_name(argv0)) + " --port " + shell_word(at ? at->path : lines[0].path);
  if (!at) return port + " --status   # in a second terminal: the line as it is\n";
  const std::string n = std::to_string(number);
  return port + " --set " + n + ":load=50   # in a second terminal: 50 kg on scale " + n + "\n";
}

}  // namespace

int main(int argc, char** argv) {
  sim::Config cfg;
  try {
    cfg = sim::parse_command_line(argc, argv);
  } catch (const sim::BadOption& e) {
    if (e.what()[0]) std::fprintf(stderr, "kvoda_sim: %s\n", e.what());
    std::fputs("Try 'kvoda_sim --help' for more information.\n", stderr);
    return 2;
  }
  if (cfg.help) {
    std::fputs(sim::USAGE, stdout);
    return 0;
  }
  if (cfg.version) {
    std::printf("kvoda_sim %s\n", KVODA_VERSION);
    return 0;
  }
  if (!cfg.control.empty()) return sim::run_control(cfg.lines[0].path, cfg.control, stdout, stderr);

  std::string tmpdir;
  if (cfg.lines.empty()) {
    char tmpl[] = "/tmp/kvsimXXXXXX";
    if (!::mkdtemp(tmpl)) {
      std::perror("kvoda_sim: mkdtemp");
      return 1;
    }
    tmpdir = tmpl;
    sim::LineSetup demo;
    demo.path = tmpdir + "/ttySIM0";
    demo.adapters = {251};
    demo.scales = {{3, 38.4, 18.5, true, true}, {7, 52.1, 21.0, true, true}, {17, 27.6, 23.5, true, true}};
    demo.drift = true;
    cfg.lines.push_back(demo);
  }
  std::string pattern;
  try {
    pattern = sim::port_pattern(cfg.lines);
  } catch (const sim::BadOption& e) {
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
    std::unique_ptr<sim::ControlServer> control;
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
      std::vector<sim::Line*> served;
      for (auto& l : lines) served.push_back(l.get());
      control = std::make_unique<sim::ControlServer>(served);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "kvoda_sim: %s\n", e.what());
      control.reset();
      lines.clear();
      if (!tmpdir.empty()) ::nftw(tmpdir.c_str(), rm_entry, 8, FTW_DEPTH | FTW_PHYS);
      return 1;
    }

    pid_t child = -1;
    if (!cfg.command.empty()) {
      ::setenv("KVODA_PORT_PATTERN", pattern.c_str(), 1);
      std::fputs(control_hint(argv[0], cfg.lines).c_str(), stderr);
      std::fflush(stderr);
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
      if (!tmpdir.empty()) std::fputs(control_hint(argv[0], cfg.lines).c_str(), stderr);
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
    control.reset();
    drain_logs(lines, cfg.lines);
  }
  if (!tmpdir.empty()) ::nftw(tmpdir.c_str(), rm_entry, 8, FTW_DEPTH | FTW_PHYS);
  return status;
}
