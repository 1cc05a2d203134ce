// The simulator's side of the control channel: a listening Unix socket per
// line, served on a thread of its own.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "control.h"

namespace sim {

namespace {

// A client gets this long to send its requests; one that stalls must not
// keep the others waiting.
constexpr int REQUEST_MS = 2000;
constexpr std::size_t MAX_REQUEST = 64 * 1024;

[[noreturn]] void fail(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// Each line of `text` with `mark` before it.
std::string marked(const std::string& text, const char* mark) {
  std::string s;
  for (const std::string& l : lines_of(text)) s += mark + l + "\n";
  return s;
}

}  // namespace

struct ControlServer::Impl {
  struct Socket {
    Line* line;
    std::string path;
    int fd;
    ino_t ino;
  };
  std::vector<Socket> sockets;
  int stop = -1;
  std::thread thread;

  void open_socket(Line* line) {
    const std::string path = control_socket_path(line->path());
    if (path.empty()) {
      errno = ENOENT;
      fail("control socket for " + line->path());
    }
    struct stat st;
    // The line's lock is ours, so a socket left here is a dead simulator's.
    if (::lstat(path.c_str(), &st) == 0) {
      if (!S_ISSOCK(st.st_mode)) {
        errno = EEXIST;
        fail(path + " exists and is not a socket");
      }
      ::unlink(path.c_str());
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) fail("socket");
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    // Only its owner may change a line; nobody can connect before the
    // listen, so the mode set in between is in time.
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::chmod(path.c_str(), 0600) != 0 || ::listen(fd, 8) != 0 || ::stat(path.c_str(), &st) != 0) {
      const int e = errno;
      ::close(fd);
      errno = e;
      fail("control socket " + path);
    }
    sockets.push_back({line, path, fd, st.st_ino});
  }

  void close_sockets() {
    for (Socket& s : sockets) {
      struct stat st;
      // Leave a socket somebody else has meanwhile put there.
      if (::lstat(s.path.c_str(), &st) == 0 && st.st_ino == s.ino) ::unlink(s.path.c_str());
      ::close(s.fd);
    }
    sockets.clear();
  }

  void handle(Line& line, int fd) {
    std::string in;
    if (!read_to_end(fd, REQUEST_MS, MAX_REQUEST, in)) {
      if (in.size() > MAX_REQUEST) send_all(fd, "! request too long\n");
      return;  // stalled, or gone
    }
    for (const std::string& request : lines_of(in)) {
      if (request.empty()) continue;
      try {
        send_all(fd, marked(carry_out_request(line, request), "+ "));
      } catch (const std::exception& e) {
        return send_all(fd, marked(e.what(), "! "));
      }
    }
  }

  void serve() {
    std::vector<pollfd> p;
    for (const Socket& s : sockets) p.push_back({s.fd, POLLIN, 0});
    p.push_back({stop, POLLIN, 0});
    for (;;) {
      if (::poll(p.data(), p.size(), -1) < 0 && errno != EINTR) return;
      if (p.back().revents) return;
      for (std::size_t i = 0; i < sockets.size(); ++i) {
        if (!(p[i].revents & POLLIN)) continue;
        const int c = ::accept4(sockets[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        const timeval tv{2, 0};  // a client that stops reading loses its answer
        ::setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        handle(*sockets[i].line, c);
        ::close(c);
      }
    }
  }
};

ControlServer::ControlServer(const std::vector<Line*>& lines) : impl_(new Impl) {
  try {
    impl_->stop = ::eventfd(0, EFD_CLOEXEC);
    if (impl_->stop < 0) fail("eventfd");
    for (Line* l : lines) impl_->open_socket(l);
  } catch (...) {
    impl_->close_sockets();
    if (impl_->stop >= 0) ::close(impl_->stop);
    throw;
  }
  impl_->thread = std::thread([this] { impl_->serve(); });
}

ControlServer::~ControlServer() {
  std::uint64_t one = 1;
  if (::write(impl_->stop, &one, sizeof one) < 0) { /* the thread is gone already */ }
  impl_->thread.join();
  impl_->close_sockets();
  ::close(impl_->stop);
}

}  // namespace sim
