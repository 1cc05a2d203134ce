// Arbitrary EEPROM block bytes and raw counts through the block decoding,
// the formulas and the record and console lines.
#include <cmath>
#include <cstring>

#include "bloky.h"
#include "ser.h"
#include "vzorce.h"

namespace {
int tabulatory(const char* s, int n) {
  int t = 0;
  for (int i = 0; i < n; ++i) t += s[i] == '\t';
  return t;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Three blocks of 12 bytes, twelve count bytes, six time bytes.
  std::uint8_t buf[12 * 3 + 12 + 6] = {};
  std::memcpy(buf, data, size < sizeof buf ? size : sizeof buf);
  for (int b = 1; b <= 3; ++b) {
    if (Dekoduj_blok(b, buf + 12 * (b - 1)) != 0) __builtin_trap();
    std::uint8_t zpet[NEJVETSI_BLOK] = {};
    if (Zakoduj_blok(b, zpet) != 0) __builtin_trap();
    // Decoding then encoding gives the same bytes back, for every block.
    if (std::memcmp(zpet, buf + 12 * (b - 1), static_cast<std::size_t>(Blok(b)->pocet)) != 0) __builtin_trap();
  }
  int surova[12];
  for (int i = 0; i < 12; ++i) surova[i] = buf[36 + i];
  Surove_hodnoty s = Dekoduj_surove(surova);
  if (s.a < 0 || s.b < 0 || s.n < 0 || s.t < 0) __builtin_trap();

  Vysledek_mereni v{};
  v.cislo = g_cislo_zarizeni;
  v.s = s;
  v.cas.tm_mday = buf[48] % 32;
  v.cas.tm_mon = buf[49] % 12;
  v.cas.tm_year = buf[50] + 100;
  v.cas.tm_hour = buf[51] % 24;
  v.cas.tm_min = buf[52] % 60;
  v.cas.tm_sec = buf[53] % 61;
  long double tc = 0, m = 0, fk = 0;
  if (Vypocti_teplotu(g_tc1, g_tc2, g_t1, g_t2, s.t, &tc) && Vypocti_pomer(s.a, s.b, s.n, &m)) {
    Konstanty_vahy k{g_k1, g_k2, g_posun, g_tc0, g_k4, g_k5};
    if (Vypocti_hmotnost(m, tc, k, &fk)) {
      v.fk = static_cast<float>(fk);
      v.tc = static_cast<float>(tc);
    }
  }
  char radek[DELKA_RADKU];
  int n = Radek_zaznamu(v, radek, sizeof radek);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof radek || radek[n - 1] != '\n' || tabulatory(radek, n) != 7)
    __builtin_trap();
  n = Radek_konzole(v, radek, sizeof radek);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof radek || radek[n - 1] != '\n') __builtin_trap();
  return 0;
}
