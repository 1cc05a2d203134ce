// Temperature, ratio and weight in extended precision.
#include "vzorce.h"

namespace {

std::int32_t cti_24(const int* p) {
  std::uint32_t v = 0;
  for (int i = 0; i < 3; ++i) v |= static_cast<std::uint32_t>(p[i] & 0xFF) << (8 * i);
  return static_cast<std::int32_t>(v);  // at most 0xFFFFFF: never negative
}

}  // namespace

Surove_hodnoty Dekoduj_surove(const int data[12]) {
  return {cti_24(data), cti_24(data + 3), cti_24(data + 6), cti_24(data + 9)};
}

std::int32_t Rozdil_32(std::int32_t x, std::int32_t y) {
  const std::uint32_t u = static_cast<std::uint32_t>(x) - static_cast<std::uint32_t>(y);
  // Back to signed without relying on an out-of-range conversion.
  return u <= 0x7FFFFFFFu ? static_cast<std::int32_t>(u) : -static_cast<std::int32_t>(~u) - 1;
}

bool Vypocti_teplotu(std::int32_t tc1, std::int32_t tc2, std::int32_t t1, std::int32_t t2, std::int32_t t,
                     long double* tc) {
  const std::int32_t jmenovatel = Rozdil_32(t2, t1);
  if (jmenovatel == 0) return false;
  const long double soucin = static_cast<long double>(Rozdil_32(tc2, tc1)) * Rozdil_32(t, t1);
  *tc = soucin / jmenovatel + tc1;
  return true;
}

bool Vypocti_pomer(std::int32_t a, std::int32_t b, std::int32_t n, long double* m) {
  const std::int32_t jmenovatel = Rozdil_32(a, n);
  if (jmenovatel == 0) return false;
  *m = static_cast<long double>(Rozdil_32(b, n)) / jmenovatel;
  return true;
}

bool Vypocti_hmotnost(long double m, long double tc, const Konstanty_vahy& k, long double* fk) {
  const long double d = tc - k.tc0;
  const long double g1 = static_cast<long double>(k.k4) * d + 1;
  if (g1 == 0) return false;
  const long double g2 = static_cast<long double>(k.k5) * d + 1;
  if (g2 == 0) return false;
  *fk = m * k.k1 / g1 + k.k2 / g2 + k.posun;
  return true;
}
