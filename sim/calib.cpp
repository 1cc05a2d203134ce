// Calibration side of a simulated scale: its default EEPROM image and the raw
// counts it delivers for a true load and temperature.
#include <cmath>
#include <cstring>

#include "sim.h"

namespace sim {

namespace {

constexpr double MAX_COUNT = 16777215.0;

// Preferred offset count and span A - N: wide enough for fine resolution,
// leaving room on both sides for negative and overload ratios.
constexpr double PREFERRED_N = 4000000.0;
constexpr double PREFERRED_SPAN = 8000000.0;

std::uint32_t to_count(double v) {
  if (!(v >= 0)) return 0;  // also NaN
  if (v > MAX_COUNT) return 0xFFFFFF;
  return static_cast<std::uint32_t>(std::llround(v));
}

void put_le(Eeprom& e, int addr, std::uint32_t value, int width) {
  for (int i = 0; i < width; ++i) e[addr + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t get_le(const Eeprom& e, int addr, int width) {
  std::uint32_t v = 0;
  for (int i = 0; i < width; ++i) v |= static_cast<std::uint32_t>(e[addr + i]) << (8 * i);
  return v;
}

std::int32_t get_s16(const Eeprom& e, int addr) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(get_le(e, addr, 2)));
}

void put_device_float(Eeprom& e, int addr, float f) {
  std::uint8_t b[4];
  std::memcpy(b, &f, 4);  // little-endian host
  e[addr] = b[0];
  e[addr + 1] = b[1];
  e[addr + 2] = static_cast<std::uint8_t>((b[3] & 0x80) | (b[2] & 0x7F));
  e[addr + 3] = static_cast<std::uint8_t>((b[3] << 1) | (b[2] >> 7));
}

float get_device_float(const Eeprom& e, int addr) {
  std::uint8_t b[4];
  b[0] = e[addr];
  b[1] = e[addr + 1];
  b[2] = static_cast<std::uint8_t>((e[addr + 2] & 0x7F) | ((e[addr + 3] & 1) << 7));
  b[3] = static_cast<std::uint8_t>((e[addr + 2] & 0x80) | (e[addr + 3] >> 1));
  float f;
  std::memcpy(&f, b, 4);
  return f;
}

}  // namespace

Eeprom default_eeprom(int number) {
  Eeprom e;
  e.fill(0xFF);  // unused addresses 7..11 read as erased cells
  e[0] = static_cast<std::uint8_t>(number);
  put_le(e, 1, 0, 2);        // posun
  put_le(e, 3, 0, 2);        // pamet
  put_le(e, 5, 1000, 2);     // pocet
  put_le(e, 12, 0, 2);       // tc1 = 0.00 degC
  put_le(e, 14, 10000, 2);   // tc2 = 100.00 degC
  put_le(e, 16, 500000, 3);  // t1: counts at 0 degC
  put_le(e, 19, 1500000, 3); // t2: counts at 100 degC, 10000 counts per degree
  put_le(e, 22, 2000, 2);    // tc0 = 20.00 degC
  put_le(e, 24, 10000, 2);   // k1: 0.1 kg per 1/10000 of the ratio
  put_le(e, 26, static_cast<std::uint16_t>(-1000), 2);  // k2 = -100.0 kg
  put_device_float(e, 28, 0.0f);  // k4
  put_device_float(e, 32, 0.0f);  // k5
  put_le(e, 36, 1000 + (number & 0xFF), 2);  // sensor serial number
  put_le(e, 38, 2, 2);                        // sensor type
  e[40] = 24;                                 // sensor year
  put_le(e, 41, 5000 + (number & 0xFF), 2);  // scale serial number
  put_le(e, 43, 1, 2);                        // scale type
  e[45] = 24;                                 // scale year
  return e;
}

std::array<std::uint32_t, 4> raw_counts_for(const Eeprom& e, double kg, double deg_c) {
  const long double posun = get_s16(e, 1);
  const std::int32_t tc1 = get_s16(e, 12), tc2 = get_s16(e, 14);
  const std::int32_t t1 = static_cast<std::int32_t>(get_le(e, 16, 3));
  const std::int32_t t2 = static_cast<std::int32_t>(get_le(e, 19, 3));
  const long double tc0 = get_s16(e, 22);
  const long double k1 = get_s16(e, 24), k2 = get_s16(e, 26);
  const long double k4 = get_device_float(e, 28), k5 = get_device_float(e, 32);

  // Temperature channel: invert the two-point line, then take the
  // temperature the program will compute from the rounded count.
  const long double want_tc = static_cast<long double>(deg_c) * 100.0L;
  std::uint32_t T = static_cast<std::uint32_t>(t1 & 0xFFFFFF);
  if (tc2 != tc1 && t2 != t1) {
    long double tv = t1 + (want_tc - tc1) * static_cast<long double>(t2 - t1) / (tc2 - tc1);
    T = to_count(static_cast<double>(tv));
  }
  long double tc = want_tc;
  if (t2 != t1) {
    tc = static_cast<long double>(tc2 - tc1) * (static_cast<std::int32_t>(T) - t1) / (t2 - t1) + tc1;
  }

  // Ratio the weight formula needs.
  const long double d = tc - tc0;
  const long double g1 = k4 * d + 1, g2 = k5 * d + 1;
  const long double fk = static_cast<long double>(kg) * 10.0L;
  long double m = 0;
  if (k1 != 0 && g1 != 0 && g2 != 0) m = (fk - posun - k2 / g2) * g1 / k1;
  if (!std::isfinite(static_cast<double>(m))) m = 0;

  // Counts N, A = N + span, B = N + m * span: all of 0, span and m * span
  // must fit above N within 24 bits, so shrink the span for large ratios.
  const long double lo = m < 0 ? m : 0, hi = m > 1 ? m : 1;
  long double span = PREFERRED_SPAN;
  if (span * (hi - lo) > MAX_COUNT) span = std::floor(MAX_COUNT / (hi - lo));
  if (span < 1) {
    // Ratio beyond what 24-bit counts can carry: deliver the extreme.
    const std::uint32_t b = m > 0 ? 0xFFFFFF : 0;
    const std::uint32_t n = m > 0 ? 0 : 1, a = m > 0 ? 1 : 0;
    return {a, b, n, T};
  }
  const long double n_min = -lo * span, n_max = MAX_COUNT - hi * span;
  long double n = PREFERRED_N;
  if (n < n_min) n = std::ceil(n_min);
  if (n > n_max) n = std::floor(n_max);
  const std::uint32_t N = to_count(static_cast<double>(n));
  const std::uint32_t A = to_count(static_cast<double>(N + span));
  const std::uint32_t B = to_count(static_cast<double>(N + m * span));
  return {A, B, N, T};
}

}  // namespace sim
