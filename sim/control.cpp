// Control requests carried out on a line, the status text, and where a
// line's control socket lies.
#include "control.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

#include "options.h"

namespace sim {

namespace {

// A value as a technician writes it: at least one decimal, no noise.
std::string amount(double v, const char* unit) {
  char b[64];
  std::snprintf(b, sizeof b, "%.3f", v);
  std::string s = b;
  while (s.size() > 1 && s.back() == '0' && s[s.size() - 2] != '.') s.pop_back();
  if (s == "-0.0") s = "0.0";
  return s + " " + unit;
}

std::string load_text(double kg, double deg_c) {
  return "load " + amount(kg, "kg") + ", temperature " + amount(deg_c, "degC");
}

const ScaleStatus* find_scale(const LineStatus& s, int id) {
  for (const ScaleStatus& sc : s.scales)
    if (sc.id == id) return &sc;
  return nullptr;
}

[[noreturn]] void refuse(const std::string& why) { throw std::runtime_error(why); }

}  // namespace

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t from = 0;
  while (from < text.size()) {
    std::size_t nl = text.find('\n', from);
    if (nl == std::string::npos) nl = text.size();
    lines.push_back(text.substr(from, nl - from));
    from = nl + 1;
  }
  return lines;
}

void send_all(int fd, const std::string& s) {
  std::size_t done = 0;
  while (done < s.size()) {
    const ssize_t n = ::send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the other end went away or stopped reading
    done += static_cast<std::size_t>(n);
  }
}

bool read_to_end(int fd, int ms, std::size_t max, std::string& in) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) == 0) return false;
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    in.append(buf, static_cast<std::size_t>(n));
    if (in.size() > max) return false;
  }
}

std::string control_socket_path(const std::string& link) {
  const std::size_t slash = link.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : link.substr(0, slash));
  const std::string base = slash == std::string::npos ? link : link.substr(slash + 1);
  char real[PATH_MAX];
  if (base.empty() || !::realpath(dir.c_str(), real)) return "";
  const std::string abs = std::string(real) + (real[1] ? "/" : "") + base;
  const std::size_t room = sizeof(sockaddr_un{}.sun_path) - 1;
  const std::string beside = abs + ".ctl";
  if (beside.size() <= room) return beside;
  std::uint64_t h = 14695981039346656037ULL;  // FNV-1a of the absolute path
  for (unsigned char ch : abs) h = (h ^ ch) * 1099511628211ULL;
  char name[40];
  std::snprintf(name, sizeof name, "/kvoda_sim-%016llx.ctl", static_cast<unsigned long long>(h));
  const char* run = std::getenv("XDG_RUNTIME_DIR");
  std::string path = std::string(run && run[0] == '/' ? run : "/tmp") + name;
  if (path.size() > room) path = std::string("/tmp") + name;
  return path;
}

std::string status_text(const LineStatus& s) {
  std::string t = "line " + s.link + ": ";
  t += s.plugged ? "plugged in at " + s.terminal : std::string("unplugged");
  t += ", " + std::to_string(s.baud) + " Bd";
  if (s.timing) t += ", latency " + amount(s.latency_ms, "ms");
  t += s.supply ? ", supply on\n" : ", supply off\n";
  for (int a : s.adapters) t += "adapter " + std::to_string(a) + "\n";
  for (const ScaleStatus& sc : s.scales) {
    t += "scale " + std::to_string(sc.id) + ": " + (sc.raw ? std::string("fixed raw counts") : load_text(sc.kg, sc.deg_c));
    if (s.drift && !sc.raw) t += ", drifting";
    if (sc.number != sc.id) t += ", answers at " + std::to_string(sc.number);
    if (sc.alias >= 0) t += ", also at " + std::to_string(sc.alias);
    t += ", " + std::to_string(sc.writes) + (sc.writes == 1 ? " EEPROM write\n" : " EEPROM writes\n");
    t += "  eeprom:";
    for (std::uint8_t b : sc.image) {
      char h[4];
      std::snprintf(h, sizeof h, " %02X", b);
      t += h;
    }
    t += "\n";
  }
  for (const ScaleStatus& sc : s.removed) t += "scale " + std::to_string(sc.id) + ": off the line\n";
  for (int r : s.recorders) t += "recorder " + std::to_string(r) + "\n";
  for (const FaultRule& f : s.faults) t += "fault " + fault_text(f) + "\n";
  if (s.faults.empty()) t += "no faults\n";
  return t;
}

std::string carry_out_request(Line& line, const std::string& request) {
  const std::size_t sp = request.find(' ');
  const std::string verb = request.substr(0, sp), arg = sp == std::string::npos ? "" : request.substr(sp + 1);
  const bool has_arg = sp != std::string::npos;
  try {
    if (verb == "set" && has_arg) {
      const ScaleChange c = parse_change(arg);
      const LineStatus now = line.status();
      const ScaleStatus* sc = find_scale(now, c.number);
      if (!sc) refuse("no scale " + std::to_string(c.number) + " on the line");
      line.set_load(c.number, c.set_kg ? c.kg : sc->kg, c.set_deg ? c.deg_c : sc->deg_c);
      std::string a = "scale " + std::to_string(c.number) + ":";
      if (c.set_kg) a += " load " + amount(c.kg, "kg");
      if (c.set_deg) a += std::string(c.set_kg ? "," : "") + " temperature " + amount(c.deg_c, "degC");
      return a + "\n";
    }
    if (verb == "add-scale" && has_arg) {
      const ScaleSetup s = parse_scale(arg);
      // The line refuses a scale already on it, in the words of the answer.
      const bool back = line.add_scale(s.number);
      const LineStatus after = line.status();
      const ScaleStatus* sc = find_scale(after, s.number);
      const double kg = s.kg_given ? s.kg : (sc ? sc->kg : 0), deg = s.deg_given ? s.deg_c : (sc ? sc->deg_c : 20);
      line.set_load(s.number, kg, deg);
      return "scale " + std::to_string(s.number) + (back ? ": back on the line with its EEPROM, " : ": on the line, ") +
             load_text(kg, deg) + "\n";
    }
    if (verb == "remove-scale" && has_arg) {
      const int n = parse_number(arg, "scale number");
      line.remove_scale(n);
      return "scale " + std::to_string(n) + ": taken off the line\n";
    }
    if (verb == "unplug" && !has_arg) {
      if (!line.plugged()) refuse("the adapter is already unplugged");
      line.unplug();
      return "adapter unplugged: " + line.path() + " is gone\n";
    }
    if (verb == "plug" && !has_arg) {
      line.plug();
      return "adapter plugged in: " + line.path() + " -> " + line.status().terminal + ", supply off\n";
    }
    if (verb == "fault" && has_arg) {
      const FaultRule f = parse_fault(arg);
      line.add_fault(f);
      return "fault " + fault_text(f) + " added\n";
    }
    if (verb == "clear-faults" && !has_arg) {
      line.clear_faults();
      return "faults cleared\n";
    }
    if (verb == "status" && !has_arg) return status_text(line.status());
  } catch (const BadOption& e) {
    refuse(e.what());
  } catch (const std::system_error& e) {
    refuse(e.what());
  } catch (const std::logic_error& e) {
    refuse(e.what());
  }
  refuse("unknown request '" + request + "'");
}

}  // namespace sim
