// The other invocation's side of the control channel: kvoda_sim --port PATH
// with control options.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
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
  send_all(fd, req);
  ::shutdown(fd, SHUT_WR);
  // What came within the time is used, whole or not.
  std::string in;
  read_to_end(fd, ANSWER_MS, std::string().max_size(), in);
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
