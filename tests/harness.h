// Runs the real kvoda_ser binary as a child process for end-to-end tests:
// standard input from a pipe the test writes to (or a pseudo-terminal),
// standard output and error captured, exit status and timing recorded.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "virtualni_hodiny.h"

namespace sim {
class Line;
}

namespace harness {

// A fresh temporary directory, removed with its contents on destruction.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path;
  std::string file(const std::string& name) const { return path + "/" + name; }
  // Port pattern for links named ttyT0, ttyT1, ... in this directory.
  std::string pattern() const { return path + "/ttyT%d"; }
  std::string port(int index) const { return path + "/ttyT" + std::to_string(index); }
};

class VirtualClock;

struct Options {
  std::vector<std::string> args;           // parameters after the program name
  std::string port_pattern;                // KVODA_PORT_PATTERN; empty: a pattern matching nothing
  std::string cwd;                         // working directory (data files land here)
  std::vector<std::string> env;            // extra NAME=VALUE entries
  bool stdin_tty = false;                  // standard input (and output) on a pseudo-terminal
  std::string program;                     // defaults to the kvoda_ser under test
  // Instead of a program: `routine` in a forked child of the test (pipes
  // only), on `clock`'s virtual time when given, its lines staying in this
  // process; the child ends when it returns.
  std::function<void()> routine;
  VirtualClock* clock = nullptr;
};

class Process {
 public:
  explicit Process(const Options& o);
  ~Process();  // kills the child if it still runs
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  void write(const std::string& s);        // to its standard input
  void close_stdin();                      // end of input
  // Waits until its output contains `text` (from the start), up to `seconds`.
  bool wait_for(const std::string& text, double seconds);
  // Waits until the output contains `text` more than `after` characters in.
  bool wait_for_after(const std::string& text, std::size_t after, double seconds);
  // Waits for the exit, up to `seconds`; false on a time-out.
  bool wait_exit(double seconds);
  void signal(int sig);

  std::string out();                       // standard output so far
  std::string err();                       // standard error so far
  int exit_code() const;                   // -1 while running or when killed by a signal
  int term_signal() const;                 // the signal that ended it, or 0
  double cpu_seconds() const;              // user + system time of the ended child
  int pid() const;
  int tty_master() const;                  // with stdin_tty: the terminal's master side

 private:
  struct Impl;
  Impl* impl_;
};

// Runs to the end with the whole input given at once; returns the process
// after it exited (or was killed after `seconds`).
struct Result {
  std::string out, err;
  int exit_code = -1;
  double wall = 0;
};
Result run(const Options& o, const std::string& input, double seconds = 30);
// The same for independent runs started side by side, each with its own
// input; the results in the order given, all within `seconds`.
std::vector<Result> run_side_by_side(const std::vector<std::pair<Options, std::string>>& runs, double seconds = 30);

// Runs `fn` in a forked child of the test whose standard input is a pipe
// fed with `input` and whose standard output is captured; with `close_input`
// the pipe is closed after the input (end of input), otherwise it stays open
// until the child exits. The child ends when `fn` returns (status 0) or
// after `seconds` (SIGALRM). With `clock`, the child runs on that virtual
// time, its lines staying in this process.
struct ChildResult {
  std::string out;
  int status = -1;  // as waitpid reports it
  double cpu = 0;   // the child's user + system time, seconds
};
ChildResult run_in_child(const std::string& input, bool close_input, const std::function<void()>& fn,
                         unsigned seconds = 30, VirtualClock* clock = nullptr);

// For its lifetime, the program's clock in this process runs on virtual time:
// deadlines, pauses and waits for a key pass at once, bytes and keys still
// travel in real time. The
// simulated lines attached share that time and are never skipped past.
// For in-process tests whose subject is not wall-clock time. Attached lines
// must outlive the clock.
class VirtualClock {
 public:
  explicit VirtualClock(sim::Line* line = nullptr);
  ~VirtualClock();
  VirtualClock(const VirtualClock&) = delete;
  VirtualClock& operator=(const VirtualClock&) = delete;
  void attach(sim::Line& line);
  // Any other far end: milliseconds until it sends by itself (0 busy,
  // negative never).
  void attach(std::function<long long()> quiet_ms);
  double seconds();  // virtual monotonic time
  // Skips to the top of the next second: deadlines count whole seconds of
  // the clock, so one started there passes whole.
  void next_second();

 private:
  friend ChildResult run_in_child(const std::string&, bool, const std::function<void()>&, unsigned, VirtualClock*);
  friend class Process;
  long long quiet_ms();
  void wake_all();
  // In a forked child: the same virtual time, the far ends asked through `fd`.
  void serve_child(int fd);
  void use_parent(int fd);

  KomVirtualniHodiny clock_;
  std::vector<sim::Line*> lines_;
  std::vector<std::function<long long()>> quiet_;
};

std::string kvoda_ser_path();
std::string kvoda_sim_path();
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);

}  // namespace harness
