#include "cisla.h"

#include <cmath>
#include <limits>

std::int32_t Cislo_z_textu(const char* text) {
  if (text == nullptr) return 0;
  const char* p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
  bool zaporne = false;
  if (*p == '+' || *p == '-') {
    zaporne = (*p == '-');
    ++p;
  }
  // Accumulated as a magnitude with a cap, so that no digit run can overflow.
  constexpr std::int64_t strop = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  std::int64_t hodnota = 0;
  while (*p >= '0' && *p <= '9') {
    hodnota = hodnota * 10 + (*p - '0');
    if (hodnota > strop) hodnota = strop;
    ++p;
  }
  if (zaporne) return static_cast<std::int32_t>(-hodnota);
  if (hodnota > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(hodnota);
}

std::int32_t Na_int32(long double x) {
  if (!std::isfinite(x)) return std::numeric_limits<std::int32_t>::min();
  long double t = std::trunc(x);
  if (t < static_cast<long double>(std::numeric_limits<std::int32_t>::min()) ||
      t > static_cast<long double>(std::numeric_limits<std::int32_t>::max())) {
    return std::numeric_limits<std::int32_t>::min();
  }
  return static_cast<std::int32_t>(t);
}
