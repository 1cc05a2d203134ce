// The devices on a simulated line as plain models: what the adapter, the
// scales and the recorders do with a decoded request, apart from any
// terminal, timing or fault.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "sim.h"

namespace sim {

// The most data bytes a frame carries.
constexpr int MAX_DATA = 13;

// A scale hanging on the line (or taken off it, waiting to come back).
struct Scale {
  int id = 0;  // the number it was added with, which chose its sensor
  Sensor sensor;
  Eeprom image{};
  int alias = -1;
  double kg = 0, deg_c = 20;
  bool raw = false;
  std::array<std::uint32_t, 4> raw_counts{};
  int writes = 0;
  int number() const { return image[0]; }
  bool answers_at(int addr) const { return number() == addr || alias == addr; }
};

// One device's answer to a request, before it is framed.
struct Reply {
  int responder = 0;
  int status = 0;
  bool from_scale = false;
  std::vector<std::uint8_t> data;
};

// Throws std::invalid_argument unless 0 <= a <= 255.
void check_address(int a, const char* what);

struct Devices {
  std::vector<int> adapters, recorders;
  std::vector<Scale> scales;
  std::vector<Scale> removed;  // taken off the line, kept with their EEPROM
  bool supply = false, drift = false;
  double supply_since = 0;

  Scale* find(int id);
  const Scale& get(int id) const;  // std::invalid_argument when not on the line
  Scale& get(int id);
  // Hangs a scale on the line: one taken off earlier comes back as it was
  // (unless `image` is given), a new one with its factory calibration.
  // Returns whether it came back.
  bool add_scale(int id, const Eeprom* image);
  void remove_scale(int id);

  bool powered(double t) const { return supply && t - supply_since >= POWER_UP_S - 1e-9; }
  // Carries out a request that arrived whole at `t`; every device that
  // takes it as its own answers (all of them when several share an address).
  std::vector<Reply> carry_out(const Request& r, double t);

 private:
  Reply scale_reply(Scale& sc, const Request& r, double t) const;
  void counts(const Scale& s, double t, std::vector<std::uint8_t>& data) const;
};

}  // namespace sim
