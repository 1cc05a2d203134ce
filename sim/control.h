// The control channel of a running simulator: a Unix socket per line, on
// which another kvoda_sim (or a test) changes loads, temperatures, scales,
// faults and the adapter's presence while the program runs.
//
// A client sends its requests, one a line ("set 3:load=50", "unplug", ...),
// and closes its side; the simulator carries them out in order and answers
// each with lines that begin "+ " (done) or "! " (refused, with the reason;
// nothing after it is carried out).
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "sim.h"

namespace sim {

// Where the control socket of the line at `link` lies: beside it as
// LINK.ctl, or, when that path is too long for a socket address, in
// $XDG_RUNTIME_DIR (/tmp when unset) under a name made from the link's
// absolute path. Empty when the link's directory does not exist.
std::string control_socket_path(const std::string& link);

// Carries out one request on a line. Returns the answer (one line, or the
// status's several, each ending in "\n"); throws std::runtime_error with
// the reason when it is refused.
std::string carry_out_request(Line& line, const std::string& request);

// The lines of a text, without their line ends (a last one without one
// counts too).
std::vector<std::string> lines_of(const std::string& text);

// Both ends of a control socket: sends all of `s`, stopping quietly when
// the other end goes away; reads to the end into `in`, waiting `ms` in all.
// false when it stalled, failed or passed `max` bytes.
void send_all(int fd, const std::string& s);
bool read_to_end(int fd, int ms, std::size_t max, std::string& in);

// What --status prints.
std::string status_text(const LineStatus& s);

// Serves the control sockets of `lines` on a thread of its own until
// destroyed; each socket is removed then. A stale socket at a path (its
// simulator gone: the lines' locks are ours) is taken over.
class ControlServer {
 public:
  explicit ControlServer(const std::vector<Line*>& lines);  // std::system_error when a socket cannot be made
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The client: sends `requests` to the simulator serving `link`, prints the
// answers to `out` and a refusal or failure to `err` (one line, "kvoda_sim:
// ..."). Returns 0 when all were done, 2 when one was refused, 1 when no
// simulator serves the link or it did not answer.
int run_control(const std::string& link, const std::vector<std::string>& requests, std::FILE* out,
                std::FILE* err);

}  // namespace sim
