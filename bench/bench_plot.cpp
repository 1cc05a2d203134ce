// Figures of kvoda_plot on a season of data: a year of 5-minute samples for
// 32 scales (about 3.4 million record lines) read from a file and from a
// pipe; lines per second, wall and processor time, peak resident memory.
//   bench_plot [OUT.svg]   keeps the picture drawn from the file
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "zaznam.h"

#include "hodiny.h"

namespace {

constexpr int kScales = 32;
constexpr int kDays = 365;
constexpr int kPeriod = 300;

// Deterministic noise in [-1, 1).
double noise(unsigned& state) {
  state = state * 1664525u + 1013904223u;
  return static_cast<double>(state >> 8) / 8388608.0 - 1.0;
}

// A hive over the year: slow loss in winter, a nectar flow from May to
// July, the daily dip while foragers are out, two harvests; the sampler
// visits the scales one after the other, about two seconds apart.
long generate(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (!f) return -1;
  static char buf[1 << 20];
  std::setvbuf(f, buf, _IOFBF, sizeof buf);
  const std::int64_t start = zaznam::SecondsFromCivil(2026, 1, 1, 0, 0, 0);
  unsigned rnd = 12345;
  long lines = 0;
  for (std::int64_t pass = 0; pass < std::int64_t{kDays} * 86400 / kPeriod; ++pass) {
    const double day = static_cast<double>(pass * kPeriod) / 86400.0;
    const double hour = std::fmod(day, 1.0) * 24;
    const double flow = day > 120 && day < 210 ? (day - 120) * 0.35 : day >= 210 ? 31.5 - (day - 210) * 0.05 : 0;
    const double harvest = (day > 160 ? 12 : 0) + (day > 200 ? 10 : 0);
    const double dip = hour > 8 && hour < 19 ? 0.9 * std::sin((hour - 8) / 11 * M_PI) : 0;
    const double outside = 9 - 13 * std::cos((day - 15) / 365 * 2 * M_PI) - 5 * std::cos((hour - 3) / 24 * 2 * M_PI);
    for (int s = 0; s < kScales; ++s) {
      if (s == 5 && day > 80 && day < 95) continue;  // a flat battery
      const zaznam::Civil c = zaznam::CivilFromSeconds(start + pass * kPeriod + 2 * s);
      const double w = 28 + s * 1.5 - day * 0.02 + flow * (0.6 + 0.02 * s) - harvest + dip + 0.08 * noise(rnd);
      const double t = outside + (s % 3) + 0.3 * noise(rnd);
      std::fprintf(f, "%2ld\t%02d.%02d.%04d %02d:%02d:%02d\t%#7.2f\t%#5.1f\t%6ld\t%6ld\t%6ld\t%5ld\n", long{s}, c.day,
                   c.month, c.year, c.hour, c.min, c.sec, w, t, 123456L + s, 98765L, 4321L, 31000L);
      ++lines;
    }
  }
  if (std::fclose(f) != 0) return -1;
  return lines;
}

struct Figures {
  int status = -1;
  double wall = 0, cpu = 0;
  long maxrss_kb = 0;
};

// Runs the real program as a child, so that its peak memory is its own;
// through a pipe, the input is fed by this process.
Figures run(const std::string& input, bool via_pipe, const std::string& out) {
  Figures fig;
  int fds[2] = {-1, -1};
  if (via_pipe && pipe(fds) != 0) return fig;
  const double t0 = wall_s();
  pid_t pid = fork();
  if (pid < 0) return fig;
  if (pid == 0) {
    if (via_pipe) {
      if (dup2(fds[0], 0) < 0) _exit(127);
      close(fds[0]);
      close(fds[1]);
      execl(KVODA_PLOT_PATH, "kvoda_plot", "-o", out.c_str(), static_cast<char*>(nullptr));
    } else {
      execl(KVODA_PLOT_PATH, "kvoda_plot", "-o", out.c_str(), input.c_str(), static_cast<char*>(nullptr));
    }
    _exit(127);
  }
  if (via_pipe) {
    close(fds[0]);
    int fd = open(input.c_str(), O_RDONLY);
    static char buf[1 << 16];
    ssize_t n;
    while (fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0) {
      for (ssize_t off = 0; off < n;) {
        ssize_t w = write(fds[1], buf + off, static_cast<std::size_t>(n - off));
        if (w <= 0) break;
        off += w;
      }
    }
    if (fd >= 0) close(fd);
    close(fds[1]);
  }
  int st = 0;
  rusage ru{};
  if (wait4(pid, &st, 0, &ru) < 0) return fig;
  fig.wall = wall_s() - t0;
  fig.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  fig.maxrss_kb = ru.ru_maxrss;
  fig.cpu = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
  return fig;
}

}  // namespace

int main(int argc, char** argv) {
  char dir[] = "/tmp/kvoda_bench_plot.XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  const std::string data = std::string(dir) + "/zaznam.txt";
  const std::string svg = argc > 1 ? argv[1] : std::string(dir) + "/zaznam.svg";

  double t0 = wall_s();
  long lines = generate(data);
  if (lines < 0) {
    std::fprintf(stderr, "cannot write %s\n", data.c_str());
    return 1;
  }
  std::FILE* f = std::fopen(data.c_str(), "rb");
  long bytes = 0;
  if (f) {
    std::fseek(f, 0, SEEK_END);
    bytes = std::ftell(f);
    std::fclose(f);
  }
  std::printf("generated %ld lines, %.1f MB in %.1f s\n", lines, bytes / 1e6, wall_s() - t0);

  int rc = 0;
  std::signal(SIGPIPE, SIG_IGN);
  for (bool via_pipe : {false, true}) {
    Figures fig = run(data, via_pipe, via_pipe ? std::string(dir) + "/stdin.svg" : svg);
    std::printf("%-6s status %d, wall %.2f s (%.0f lines/s, %.0f MB/s), processor %.2f s (%.0f lines/s), peak RSS %.1f MB\n",
                via_pipe ? "pipe:" : "file:", fig.status, fig.wall, lines / fig.wall, bytes / 1e6 / fig.wall, fig.cpu,
                lines / fig.cpu, fig.maxrss_kb / 1024.0);
    if (fig.status != 0) rc = 1;
  }
  std::remove(data.c_str());
  std::remove((std::string(dir) + "/stdin.svg").c_str());
  if (argc <= 1) std::remove(svg.c_str());
  rmdir(dir);
  return rc;
}
