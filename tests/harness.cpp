// Child-process harness for the end-to-end tests.
#include "harness.h"

#include "sim.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <ftw.h>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

// A child forked from the test while other threads ran (the simulated
// line's, a clock server's) inherits the sanitizer's record of those threads
// and maybe a lock one of them held; its leak check at exit could then hang
// or report the parent's memory. The children's leaks are the test
// process's own, checked when it ends, so the check is left out there.
namespace {
volatile int m_forked_child = 0;
}  // namespace
extern "C" __attribute__((used, visibility("default"))) int __lsan_is_turned_off() { return m_forked_child; }

namespace harness {

namespace {

using Clock = std::chrono::steady_clock;

// Port paths are built into a 64-character name table, so the directory must
// stay short: /tmp rather than a long TMPDIR.
const char* const NO_PORTS = "/nonexistent-kvoda/ttyNONE%d";

void set_nonblock(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

int rm_entry(const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }

void child_fail(const char* what) {
  // Only async-signal-safe calls between fork and exec.
  const char* e = std::strerror(errno);
  ssize_t r = ::write(2, what, std::strlen(what));
  r = ::write(2, ": ", 2);
  r = ::write(2, e, std::strlen(e));
  r = ::write(2, "\n", 1);
  (void)r;
  ::_exit(127);
}

}  // namespace

TempDir::TempDir() {
  char tmpl[] = "/tmp/kvXXXXXX";
  if (!::mkdtemp(tmpl)) throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
  path = tmpl;
}

TempDir::~TempDir() { ::nftw(path.c_str(), rm_entry, 16, FTW_DEPTH | FTW_PHYS); }

struct Process::Impl {
  pid_t pid = -1;
  int in = -1;        // its standard input (pipe or terminal master)
  int out_fd = -1;    // its standard output
  int err_fd = -1;    // its standard error
  int master = -1;    // terminal master with stdin_tty (same as in and out_fd)
  int wake[2] = {-1, -1};
  std::thread reader;
  int clock_fd = -1;  // with a routine on virtual time: the child's questions
  std::thread clock_server;

  std::mutex mu;
  std::condition_variable cv;
  std::string out, err;
  bool out_eof = false, err_eof = false;

  bool exited = false;
  int code = -1, sig = 0;
  double cpu = 0;

  void read_loop() {
    int fds[2] = {out_fd, err_fd};
    bool open[2] = {true, true};
    char buf[4096];
    while (open[0] || open[1]) {
      pollfd p[3] = {{open[0] ? fds[0] : -1, POLLIN, 0}, {open[1] ? fds[1] : -1, POLLIN, 0}, {wake[0], POLLIN, 0}};
      int rc = ::poll(p, 3, -1);
      if (rc < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (p[2].revents) break;
      for (int i = 0; i < 2; ++i) {
        if (!open[i] || !p[i].revents) continue;
        ssize_t n = ::read(fds[i], buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        std::lock_guard<std::mutex> g(mu);
        if (n > 0) {
          (i == 0 ? out : err).append(buf, static_cast<std::size_t>(n));
        } else {
          // EOF, or EIO on a terminal master once the child side is gone.
          open[i] = false;
          (i == 0 ? out_eof : err_eof) = true;
        }
        cv.notify_all();
      }
    }
    std::lock_guard<std::mutex> g(mu);
    out_eof = err_eof = true;
    cv.notify_all();
  }

  bool reap(bool block) {
    if (exited) return true;
    int status = 0;
    rusage ru{};
    pid_t r;
    do r = ::wait4(pid, &status, block ? 0 : WNOHANG, &ru);
    while (r < 0 && errno == EINTR);
    if (r != pid) return false;
    exited = true;
    if (WIFEXITED(status)) code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) sig = WTERMSIG(status);
    cpu = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
    return true;
  }
};

Process::Process(const Options& o) : impl_(new Impl) {
  Impl& m = *impl_;
  // A child that stops reading must not kill the test with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);

  // Everything the child needs is prepared before fork: after it only
  // async-signal-safe calls are allowed (the test runs threads).
  const std::string program = o.program.empty() ? kvoda_ser_path() : o.program;
  std::vector<std::string> argv_s{program};
  argv_s.insert(argv_s.end(), o.args.begin(), o.args.end());
  std::vector<std::string> env_s;
  auto overridden = [&](const char* entry) {
    const char* eq = std::strchr(entry, '=');
    std::size_t n = eq ? static_cast<std::size_t>(eq - entry) : std::strlen(entry);
    if (std::strncmp(entry, "KVODA_PORT_PATTERN", n) == 0 && n == 18) return true;
    for (auto& e : o.env)
      if (e.compare(0, n, entry, n) == 0 && e.size() > n && e[n] == '=') return true;
    return false;
  };
  for (char** e = environ; *e; ++e)
    if (!overridden(*e)) env_s.push_back(*e);
  env_s.push_back("KVODA_PORT_PATTERN=" + (o.port_pattern.empty() ? std::string(NO_PORTS) : o.port_pattern));
  env_s.insert(env_s.end(), o.env.begin(), o.env.end());
  std::vector<char*> argv, envp;
  for (auto& s : argv_s) argv.push_back(const_cast<char*>(s.c_str()));
  argv.push_back(nullptr);
  for (auto& s : env_s) envp.push_back(const_cast<char*>(s.c_str()));
  envp.push_back(nullptr);
  const bool has_slash = program.find('/') != std::string::npos;

  int in_p[2] = {-1, -1}, out_p[2] = {-1, -1}, err_p[2] = {-1, -1};
  std::string slave_name;
  if (::pipe2(err_p, O_CLOEXEC) != 0 || ::pipe2(m.wake, O_CLOEXEC) != 0)
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  if (o.stdin_tty) {
    m.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (m.master < 0 || ::grantpt(m.master) != 0 || ::unlockpt(m.master) != 0 ||
        ::ptsname_r(m.master, name, sizeof name) != 0)
      throw std::runtime_error(std::string("pseudo-terminal: ") + std::strerror(errno));
    slave_name = name;
    m.in = m.out_fd = m.master;
  } else {
    if (::pipe2(in_p, O_CLOEXEC) != 0 || ::pipe2(out_p, O_CLOEXEC) != 0)
      throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    m.in = in_p[1];
    m.out_fd = out_p[0];
  }
  m.err_fd = err_p[0];
  int cas[2] = {-1, -1};
  if (o.routine && (o.stdin_tty || (o.clock != nullptr && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, cas) != 0)))
    throw std::runtime_error("routine: pipes only, or socketpair failed");

  m.pid = ::fork();
  if (m.pid == 0) m_forked_child = 1;
  if (m.pid == 0 && o.routine) {
    // Not async-signal-safe, as in run_in_child: the routine needs the
    // test's own code and state.
    ::setpgid(0, 0);
    ::dup2(in_p[0], 0);
    ::dup2(out_p[1], 1);
    ::dup2(err_p[1], 2);
    for (int fd : {in_p[0], in_p[1], out_p[0], out_p[1], err_p[0], err_p[1], m.wake[0], m.wake[1], cas[0]}) ::close(fd);
    if (!o.cwd.empty() && ::chdir(o.cwd.c_str()) != 0) child_fail("chdir");
    ::setenv("KVODA_PORT_PATTERN", o.port_pattern.empty() ? NO_PORTS : o.port_pattern.c_str(), 1);
    for (const std::string& e : o.env) ::putenv(::strdup(e.c_str()));
    if (o.clock != nullptr) o.clock->use_parent(cas[1]);
    o.routine();
    std::fflush(stdout);
    std::fflush(stderr);
    ::_exit(0);
  }
  if (m.pid < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  if (m.pid == 0) {
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    if (o.stdin_tty) {
      // A session of its own with the terminal as its controlling terminal,
      // as when a user starts it from a console.
      ::setsid();
      int s = ::open(slave_name.c_str(), O_RDWR);
      if (s < 0) child_fail("open terminal");
      ::ioctl(s, TIOCSCTTY, 0);
      termios t;
      if (::tcgetattr(s, &t) == 0) {
        // No "\n" -> "\r\n" mapping: its output then reads as it would
        // through a pipe. Echo and line editing stay as a console has them.
        t.c_oflag &= ~static_cast<tcflag_t>(ONLCR);
        ::tcsetattr(s, TCSANOW, &t);
      }
      winsize ws{24, 80, 0, 0};
      ::ioctl(s, TIOCSWINSZ, &ws);
      ::dup2(s, 0);
      ::dup2(s, 1);
      if (s > 2) ::close(s);
    } else {
      ::setpgid(0, 0);  // so that the whole group can be killed at the end
      ::dup2(in_p[0], 0);
      ::dup2(out_p[1], 1);
    }
    ::dup2(err_p[1], 2);
#ifdef SYS_close_range
    if (::syscall(SYS_close_range, 3U, ~0U, 0U) != 0)
#endif
      for (int fd = 3; fd < 1024; ++fd) ::close(fd);
    if (!o.cwd.empty() && ::chdir(o.cwd.c_str()) != 0) child_fail("chdir");
    if (has_slash)
      ::execve(argv[0], argv.data(), envp.data());
    else
      ::execvpe(argv[0], argv.data(), envp.data());
    child_fail(argv[0]);
  }
  ::close(err_p[1]);
  if (!o.stdin_tty) {
    ::close(in_p[0]);
    ::close(out_p[1]);
  }
  if (cas[1] >= 0) {
    ::close(cas[1]);
    m.clock_fd = cas[0];
    m.clock_server = std::thread([clock = o.clock, fd = cas[0]] { clock->serve_child(fd); });
  }
  set_nonblock(m.in);
  m.reader = std::thread([this] { impl_->read_loop(); });
}

Process::~Process() {
  Impl& m = *impl_;
  if (!m.reap(false)) {
    ::kill(-m.pid, SIGKILL);  // its group, with anything it started
    ::kill(m.pid, SIGKILL);
    m.reap(true);
  }
  char c = 1;
  if (::write(m.wake[1], &c, 1) < 0) { /* the reader also ends at EOF */ }
  if (m.reader.joinable()) m.reader.join();
  if (m.clock_server.joinable()) m.clock_server.join();  // ends with the child's end of the socket
  if (m.clock_fd >= 0) ::close(m.clock_fd);
  if (m.in >= 0 && m.in != m.master) ::close(m.in);  // a pipe not yet closed
  for (int fd : {m.out_fd, m.err_fd, m.wake[0], m.wake[1]})
    if (fd >= 0) ::close(fd);
  delete impl_;
}

void Process::write(const std::string& s) {
  Impl& m = *impl_;
  std::size_t done = 0;
  const auto give_up = Clock::now() + std::chrono::seconds(10);
  while (done < s.size() && m.in >= 0) {
    ssize_t n = ::write(m.in, s.data() + done, s.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return;  // it closed its input or ended
    if (Clock::now() > give_up || m.reap(false)) return;
    pollfd p{m.in, POLLOUT, 0};
    ::poll(&p, 1, 50);
  }
}

void Process::close_stdin() {
  Impl& m = *impl_;
  if (m.master >= 0) {
    // A terminal has no end of its own: type the end-of-file character.
    write("\x04");
    return;
  }
  if (m.in >= 0) ::close(m.in);
  m.in = -1;
}

bool Process::wait_for(const std::string& text, double seconds) { return wait_for_after(text, 0, seconds); }

bool Process::wait_for_after(const std::string& text, std::size_t after, double seconds) {
  Impl& m = *impl_;
  std::unique_lock<std::mutex> g(m.mu);
  auto found = [&] { return m.out.size() >= after && m.out.find(text, after) != std::string::npos; };
  const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  // Output stops at EOF: no point in waiting on after it.
  return m.cv.wait_until(g, until, [&] { return found() || m.out_eof; }) && found();
}

bool Process::wait_exit(double seconds) {
  Impl& m = *impl_;
  const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  while (!m.reap(false)) {
    if (Clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  // Let the reader take what the child wrote last; a grandchild that keeps
  // the pipe open must not stall the test.
  std::unique_lock<std::mutex> g(m.mu);
  m.cv.wait_for(g, std::chrono::seconds(2), [&] { return m.out_eof && m.err_eof; });
  return true;
}

void Process::signal(int sig) {
  if (!impl_->exited) ::kill(impl_->pid, sig);
}

std::string Process::out() {
  std::lock_guard<std::mutex> g(impl_->mu);
  return impl_->out;
}

std::string Process::err() {
  std::lock_guard<std::mutex> g(impl_->mu);
  return impl_->err;
}

int Process::exit_code() const { return impl_->exited ? impl_->code : -1; }
int Process::term_signal() const { return impl_->exited ? impl_->sig : 0; }
double Process::cpu_seconds() const { return impl_->cpu; }
int Process::pid() const { return impl_->pid; }
int Process::tty_master() const { return impl_->master; }

Result run(const Options& o, const std::string& input, double seconds) { return run_side_by_side({{o, input}}, seconds).at(0); }

std::vector<Result> run_side_by_side(const std::vector<std::pair<Options, std::string>>& runs, double seconds) {
  const auto t0 = Clock::now();
  std::vector<std::unique_ptr<Process>> ps;
  for (const auto& run : runs) {
    ps.push_back(std::make_unique<Process>(run.first));
    ps.back()->write(run.second);
    ps.back()->close_stdin();
  }
  std::vector<Result> results;
  for (auto& p : ps) {
    const double left = seconds - std::chrono::duration<double>(Clock::now() - t0).count();
    if (!p->wait_exit(left > 0 ? left : 0)) {
      p->signal(SIGKILL);
      p->wait_exit(5);
    }
    Result r;
    r.out = p->out();
    r.err = p->err();
    r.exit_code = p->exit_code();
    r.wall = std::chrono::duration<double>(Clock::now() - t0).count();
    results.push_back(std::move(r));
  }
  return results;
}

ChildResult run_in_child(const std::string& input, bool close_input, const std::function<void()>& fn,
                         unsigned seconds, VirtualClock* clock) {
  int in[2], out[2], cas[2] = {-1, -1};
  if (::pipe(in) != 0 || ::pipe(out) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  if (clock != nullptr && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, cas) != 0)
    throw std::runtime_error(std::string("socketpair: ") + std::strerror(errno));
  std::fflush(stdout);
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  if (pid == 0) {
    m_forked_child = 1;
    if (clock != nullptr) {
      ::close(cas[0]);
      clock->use_parent(cas[1]);
    }
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::close(in[0]);
    ::close(in[1]);
    ::close(out[0]);
    ::close(out[1]);
    ::alarm(seconds);
    fn();
    std::fflush(stdout);
    ::_exit(0);
  }
  ::close(in[0]);
  ::close(out[1]);
  std::thread cas_ditete;
  if (clock != nullptr) {
    ::close(cas[1]);
    cas_ditete = std::thread([clock, fd = cas[0]] { clock->serve_child(fd); });
  }
  // Small inputs only: written whole before the output is read.
  std::size_t done = 0;
  while (done < input.size()) {
    ssize_t n = ::write(in[1], input.data() + done, input.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  if (close_input) ::close(in[1]);
  ChildResult r;
  char b[4096];
  for (;;) {
    ssize_t n = ::read(out[0], b, sizeof b);
    if (n > 0) {
      r.out.append(b, static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  ::close(out[0]);
  rusage ru{};
  while (::wait4(pid, &r.status, 0, &ru) < 0 && errno == EINTR) {
  }
  r.cpu = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
  if (cas_ditete.joinable()) {
    cas_ditete.join();  // ends with the child's end of the socket
    ::close(cas[0]);
  }
  if (!close_input) ::close(in[1]);
  return r;
}

VirtualClock::VirtualClock(sim::Line* line) {
  clock_.nastav_protistranu([this] { return quiet_ms(); }, [this] { wake_all(); });
  if (line != nullptr) attach(*line);
  kom_Nastav_hodiny(&clock_);
}

// The nearest thing any far end will send by itself.
long long VirtualClock::quiet_ms() {
  long long klid = -1;
  for (auto& q : quiet_) {
    long long ms = q();
    if (ms >= 0 && (klid < 0 || ms < klid)) klid = ms;
  }
  return klid;
}

void VirtualClock::wake_all() {
  for (sim::Line* l : lines_) l->wake();
}

namespace {
bool read_all(int fd, void* p, std::size_t n) {
  auto* b = static_cast<char*>(p);
  while (n > 0) {
    ssize_t r = ::read(fd, b, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    b += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}
bool write_all(int fd, const void* p, std::size_t n) {
  const auto* b = static_cast<const char*>(p);
  while (n > 0) {
    ssize_t r = ::write(fd, b, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    b += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}
}  // namespace

// Parent side: 'Q' asks how long the far ends stay quiet; 'S' and a skip
// total move this process's virtual time (and its lines) along with the child's.
void VirtualClock::serve_child(int fd) {
  char c;
  while (read_all(fd, &c, 1)) {
    long long v = 0;
    if (c == 'Q') {
      v = quiet_ms();
    } else if (c == 'S' && read_all(fd, &v, sizeof v)) {
      clock_.nastav_posun_us(v);
      wake_all();
    } else {
      return;
    }
    if (!write_all(fd, &v, sizeof v)) return;
  }
}

void VirtualClock::use_parent(int fd) {
  clock_.nastav_protistranu(
      [fd]() -> long long {
        long long v = -1;
        char c = 'Q';
        if (!write_all(fd, &c, 1) || !read_all(fd, &v, sizeof v)) return -1;
        return v;
      },
      [this, fd] {
        char c = 'S';
        long long v = clock_.posun_us();
        if (write_all(fd, &c, 1) && write_all(fd, &v, sizeof v)) read_all(fd, &v, sizeof v);
      });
  kom_Nastav_hodiny(&clock_);
}

VirtualClock::~VirtualClock() {
  kom_Nastav_hodiny(nullptr);
  // The lines may outlive this clock: back to real time for them.
  for (sim::Line* l : lines_) l->set_clock(nullptr);
}

void VirtualClock::attach(sim::Line& line) {
  line.set_clock([this] { return clock_.cas_us() / 1e6; });
  lines_.push_back(&line);
  quiet_.push_back([&line]() -> long long {
    double q = line.quiet_for();
    return q < 0 ? -1 : static_cast<long long>(std::ceil(q * 1000));
  });
}

void VirtualClock::attach(std::function<long long()> quiet_ms) { quiet_.push_back(std::move(quiet_ms)); }

double VirtualClock::seconds() { return clock_.cas_us() / 1e6; }

// A wait with no descriptor on this clock lasts its whole time.
void VirtualClock::next_second() { clock_.cekej(nullptr, static_cast<int>(1000 - clock_.ted_ms() % 1000)); }

std::string kvoda_ser_path() { return KVODA_SER_PATH; }
std::string kvoda_sim_path() { return KVODA_SIM_PATH; }

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << content;
}

}  // namespace harness
