// What the adapter, the scales and the recorders do with a request.
#include "devices.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

namespace sim {

namespace {
constexpr int BROADCAST = 0xFF;
}  // namespace

void check_address(int a, const char* what) {
  if (a < 0 || a > 255) throw std::invalid_argument(std::string(what) + " out of 0..255: " + std::to_string(a));
}

Scale* Devices::find(int id) {
  for (auto& s : scales)
    if (s.id == id) return &s;
  return nullptr;
}

const Scale& Devices::get(int id) const {
  for (auto& s : scales)
    if (s.id == id) return s;
  throw std::invalid_argument("no scale " + std::to_string(id) + " on the line");
}

Scale& Devices::get(int id) { return const_cast<Scale&>(static_cast<const Devices*>(this)->get(id)); }

bool Devices::add_scale(int id, const Eeprom* image) {
  check_address(id, "scale number");
  if (find(id)) throw std::invalid_argument("scale " + std::to_string(id) + " is already on the line");
  auto old = std::find_if(removed.begin(), removed.end(), [id](const Scale& s) { return s.id == id; });
  const bool back = old != removed.end() && !image;
  Scale s;
  if (back) {
    s = *old;
  } else {
    s.id = id;
    s.sensor = sensor_of(id);
    s.image = image ? *image : default_eeprom(id);
  }
  if (old != removed.end()) removed.erase(old);
  scales.push_back(s);
  return back;
}

void Devices::remove_scale(int id) {
  auto it = std::find_if(scales.begin(), scales.end(), [id](const Scale& s) { return s.id == id; });
  if (it == scales.end()) throw std::invalid_argument("no scale " + std::to_string(id) + " on the line");
  removed.push_back(*it);
  scales.erase(it);
}

void Devices::counts(const Scale& s, double t, std::vector<std::uint8_t>& data) const {
  std::array<std::uint32_t, 4> c = s.raw_counts;
  if (!s.raw) {
    double kg = s.kg, deg = s.deg_c;
    if (drift) {
      const auto d = hive_drift(s.id, t);
      kg += d.first;
      deg += d.second;
    }
    c = sensor_counts(s.sensor, kg, deg);
  }
  for (auto v : c)
    for (int i = 0; i < 3; ++i) data.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// What one scale does with a request addressed to it.
Reply Devices::scale_reply(Scale& sc, const Request& r, double t) const {
  Reply rep;
  rep.responder = r.dest;
  rep.from_scale = true;
  if (r.cmd == 2) {
    if (r.data.size() < 2) {
      rep.status = 1;
      return rep;
    }
    const int start = r.data[0], count = r.data[1];
    rep.data.push_back(static_cast<std::uint8_t>(start));
    if (count > MAX_DATA - 1 || start + count > EEPROM_SIZE) {
      rep.status = 1;
      return rep;
    }
    for (int i = 0; i < count; ++i) rep.data.push_back(sc.image[start + i]);
  } else if (r.cmd == 1) {
    if (r.data.empty()) {
      rep.status = 1;
      return rep;
    }
    const int start = r.data[0];
    const int count = static_cast<int>(r.data.size()) - 1;
    if (start + count > EEPROM_SIZE) {
      rep.status = 1;
      return rep;
    }
    for (int i = 0; i < count; ++i) sc.image[start + i] = r.data[1 + i];
    ++sc.writes;
  } else {
    counts(sc, t, rep.data);
  }
  return rep;
}

std::vector<Reply> Devices::carry_out(const Request& r, double t) {
  std::vector<Reply> replies;
  const bool on = powered(t);
  if (r.cmd == 6) {
    if (r.dest != BROADCAST || r.data.empty()) return replies;
    const int start = r.data[0];
    std::vector<std::pair<int, bool>> cand;  // address, is a scale
    for (int a : adapters) cand.push_back({a, false});
    for (int a : recorders) cand.push_back({a, false});
    if (on)
      for (auto& s : scales) {
        cand.push_back({s.number(), true});
        if (s.alias >= 0) cand.push_back({s.alias, true});
      }
    int best = 256;
    for (auto& c : cand)
      if (c.first >= start) best = std::min(best, c.first);
    for (auto& c : cand)
      if (c.first == best) {
        Reply rep;
        rep.responder = best;
        rep.from_scale = c.second;
        replies.push_back(rep);
      }
    return replies;
  }
  if (r.cmd == 5) {
    const int n = static_cast<int>(std::count(adapters.begin(), adapters.end(), r.dest));
    if (n == 0) return replies;
    Reply rep;
    rep.responder = r.dest;
    if (r.data.empty() || r.data[0] > 2) {
      rep.status = 1;
    } else if (r.data[0] != 2) {
      const bool to = r.data[0] == 1;
      if (to && !supply) supply_since = t;
      supply = to;
    }
    replies.assign(static_cast<std::size_t>(n), rep);
    return replies;
  }
  if (!on || (r.cmd != 1 && r.cmd != 2 && r.cmd != 3)) return replies;
  for (auto& s : scales)
    if (s.answers_at(r.dest)) replies.push_back(scale_reply(s, r, t));
  return replies;
}

}  // namespace sim
