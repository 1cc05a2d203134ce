// The physics of a simulated scale: the load cell and the temperature sensor
// it was built with, the raw counts they deliver, the EEPROM image its
// factory calibration leaves, and how a hive under it drifts.
#include <cmath>
#include <cstring>

#include "sim.h"

namespace sim {

namespace {

constexpr double MAX_COUNT = 16777215.0;

// The factory's calibration points of the temperature channel, 0.01 degC.
constexpr int FACTORY_TC1 = 0, FACTORY_TC2 = 4000;

std::uint32_t to_count(double v) {
  if (!(v >= 0)) return 0;  // also NaN
  if (v >= MAX_COUNT) return 0xFFFFFF;
  return static_cast<std::uint32_t>(std::llround(v));
}

void put_le(Eeprom& e, int addr, std::uint32_t value, int width) {
  for (int i = 0; i < width; ++i) e[addr + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void put_device_float(Eeprom& e, int addr, float f) {
  std::uint8_t b[4];
  std::memcpy(b, &f, 4);  // little-endian host
  e[addr] = b[0];
  e[addr + 1] = b[1];
  e[addr + 2] = static_cast<std::uint8_t>((b[3] & 0x80) | (b[2] & 0x7F));
  e[addr + 3] = static_cast<std::uint8_t>((b[3] << 1) | (b[2] >> 7));
}

// Reproducible draws for one scale number (splitmix64).
struct Draws {
  std::uint64_t state;
  explicit Draws(int number) : state(0x6B766F6461ULL + static_cast<std::uint64_t>(number) * 0x9E3779B97F4A7C15ULL) {}
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  double uniform(double lo, double hi) { return lo + (hi - lo) * static_cast<double>(next() >> 11) / 9007199254740992.0; }
  int whole(int lo, int hi) { return lo + static_cast<int>(next() % static_cast<std::uint64_t>(hi - lo + 1)); }
  double sign() { return (next() & 1) ? 1.0 : -1.0; }
};

}  // namespace

Sensor sensor_of(int number) {
  Draws r(number);
  Sensor s;
  // The factory trims every cell to whole-number gain and zero constants.
  s.gain = r.whole(8000, 12000);
  s.zero = -r.whole(500, 1500);
  s.gain_drift = static_cast<float>(r.sign() * r.uniform(0.5e-6, 3e-6));
  s.zero_drift = static_cast<float>(r.sign() * r.uniform(1e-6, 5e-6));
  s.offset_counts = r.uniform(1.5e6, 2.5e6);
  s.span_counts = r.uniform(12e6, 14e6);
  s.offset_per_deg = r.uniform(-300, 300);
  s.span_per_deg = r.uniform(-20e-6, 20e-6);
  s.t_at_0 = r.whole(150000, 250000);
  s.t_per_deg = r.whole(1500, 2500);
  return s;
}

double sensor_ratio(const Sensor& s, double kg, double deg_c) {
  const double d = deg_c * 100 - REFERENCE_TEMP;
  const double g1 = 1 + static_cast<double>(s.gain_drift) * d, g2 = 1 + static_cast<double>(s.zero_drift) * d;
  return (kg * 10 - s.zero / g2) * g1 / s.gain;
}

std::array<std::uint32_t, 4> sensor_counts(const Sensor& s, double kg, double deg_c) {
  // N and the span A - N both move with temperature; their ratio with
  // B - N does not, as in a ratiometric converter.
  const double dt = deg_c - REFERENCE_TEMP / 100.0;
  const double n = s.offset_counts + s.offset_per_deg * dt;
  const double span = s.span_counts * (1 + s.span_per_deg * dt);
  const double m = sensor_ratio(s, kg, deg_c);
  return {to_count(n + span), to_count(n + m * span), to_count(n), to_count(s.t_at_0 + s.t_per_deg * deg_c)};
}

std::pair<double, double> hive_drift(int number, double t) {
  // A daily temperature cycle of 10 degC from peak to peak, and a weight
  // that gains and loses up to 2 kg a day. Hives do not move in step; each
  // starts from its set values.
  constexpr double DAY = 86400, DRIFT_KG = 1.0, DRIFT_DEG = 5.0;
  const double phase = number * 0.7, w = 2 * M_PI * t / DAY;
  const double swing = std::sin(w + phase) - std::sin(phase);
  return {DRIFT_KG * swing, DRIFT_DEG * swing};
}

Eeprom default_eeprom(int number) {
  const Sensor s = sensor_of(number);
  Eeprom e;
  e.fill(0xFF);  // unused addresses 7..11 read as erased cells
  e[0] = static_cast<std::uint8_t>(number);
  put_le(e, 1, 0, 2);     // posun
  put_le(e, 3, 0, 2);     // pamet
  put_le(e, 5, 1000, 2);  // pocet
  put_le(e, 12, static_cast<std::uint16_t>(FACTORY_TC1), 2);
  put_le(e, 14, static_cast<std::uint16_t>(FACTORY_TC2), 2);
  put_le(e, 16, static_cast<std::uint32_t>(s.t_at_0 + s.t_per_deg * FACTORY_TC1 / 100), 3);
  put_le(e, 19, static_cast<std::uint32_t>(s.t_at_0 + s.t_per_deg * FACTORY_TC2 / 100), 3);
  put_le(e, 22, static_cast<std::uint16_t>(REFERENCE_TEMP), 2);
  put_le(e, 24, static_cast<std::uint16_t>(s.gain), 2);
  put_le(e, 26, static_cast<std::uint16_t>(s.zero), 2);
  put_device_float(e, 28, s.gain_drift);
  put_device_float(e, 32, s.zero_drift);
  put_le(e, 36, 1000 + (number & 0xFF), 2);  // sensor serial number
  put_le(e, 38, 2, 2);                        // sensor type
  e[40] = 24;                                 // sensor year
  put_le(e, 41, 5000 + (number & 0xFF), 2);  // scale serial number
  put_le(e, 43, 1, 2);                        // scale type
  e[45] = 24;                                 // scale year
  return e;
}

}  // namespace sim
