// Temperature, ratio and weight in extended precision; the two text lines
// of a measurement.
#include "vzorce.h"

#include <cstdio>

namespace {

std::int32_t cti_24(const int* p) {
  std::uint32_t v = 0;
  for (int i = 0; i < 3; ++i) v |= static_cast<std::uint32_t>(p[i] & 0xFF) << (8 * i);
  return static_cast<std::int32_t>(v);  // at most 0xFFFFFF: never negative
}

// The printed weight in kg and temperature in degC come from the stored
// single-precision values, divided in extended precision like the formulas.
double na_kg(float fk) { return static_cast<double>(static_cast<long double>(fk) / 10); }
double na_stupne(float tc) { return static_cast<double>(static_cast<long double>(tc) / 100); }

int hotovo(int n, std::size_t velikost) {
  if (n < 0) return 0;
  return static_cast<std::size_t>(n) < velikost ? n : static_cast<int>(velikost) - 1;
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

int Radek_zaznamu(const Vysledek_mereni& v, char* buf, std::size_t velikost) {
  const int n = std::snprintf(buf, velikost,
                              "%2ld\t%02d.%02d.%04d %02d:%02d:%02d\t%#7.2f\t%#5.1f\t%6ld\t%6ld\t%6ld\t%5ld\n",
                              v.cislo, v.cas.tm_mday, v.cas.tm_mon + 1, v.cas.tm_year + 1900, v.cas.tm_hour,
                              v.cas.tm_min, v.cas.tm_sec, na_kg(v.fk), na_stupne(v.tc), static_cast<long>(v.s.a),
                              static_cast<long>(v.s.b), static_cast<long>(v.s.n), static_cast<long>(v.s.t));
  return hotovo(n, velikost);
}

int Radek_konzole(const Vysledek_mereni& v, char* buf, std::size_t velikost) {
  const int n = std::snprintf(buf, velikost,
                              "v:%2ld dat:%02d.%02d_%02d:%02d:%02d fk:%#7.2f tc:%#5.1f A:%6ld B:%6ld N:%6ld T:%5ld\n",
                              v.cislo, v.cas.tm_mday, v.cas.tm_mon + 1, v.cas.tm_hour, v.cas.tm_min, v.cas.tm_sec,
                              na_kg(v.fk), na_stupne(v.tc), static_cast<long>(v.s.a), static_cast<long>(v.s.b),
                              static_cast<long>(v.s.n), static_cast<long>(v.s.t));
  return hotovo(n, velikost);
}
