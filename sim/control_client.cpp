// The other invocation's side of the control channel: kvoda_sim --port PATH
// with control options.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "control.h"

namespace sim {

namespace {
// The simulator answers at once; one stopped or stuck is given up after this.
constexpr int ANSWER_MS = 10000;
}  // namespace

int run_control(const std::string& link, const std::vector<std::string>& requests, std::FILE* out,
                std::FILE* err) {
  const std::string path = control_socket_path(link);
  const int fd = path.empty() ? -1 : ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  if (fd >= 0) std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    const int e = errno;
    if (fd >= 0) ::close(fd);
    if (e == EACCES || e == EPERM)
      std::fprintf(err, "kvoda_sim: %s: %s (the simulator serving %s is another user's)\n", path.c_str(),
                   std::strerror(e), link.c_str());
    else
      std::fprintf(err, "kvoda_sim: no simulator serves %s\n", link.c_str());
    return 1;
  }
  std::string req;
  for (const std::string& r : requests) req += r + "\n";
  for (std::size_t done = 0; done < req.size();) {
    const ssize_t n = ::send(fd, req.data() + done, req.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::shutdown(fd, SHUT_WR);

  std::string in;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ANSWER_MS);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) == 0) break;
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    in.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (in.empty()) {
    std::fprintf(err, "kvoda_sim: the simulator serving %s gave no answer\n", link.c_str());
    return 1;
  }
  int status = 0;
  for (const std::string& l : lines_of(in)) {
    if (l.compare(0, 2, "+ ") == 0) {
      std::fprintf(out, "%s\n", l.c_str() + 2);
    } else if (l.compare(0, 2, "! ") == 0) {
      std::fprintf(err, "kvoda_sim: %s\n", l.c_str() + 2);
      status = 2;
    }
  }
  std::fflush(out);
  return status;
}

}  // namespace sim
