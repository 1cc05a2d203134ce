#include "frame.h"

int kom_Soucet(const int* zprava) {
  int delka = zprava[Z_DELKA];
  if (delka > KOM_MAX_DATA) delka = KOM_MAX_DATA;
  if (delka < 0) delka = 0;
  int soucet = 0;
  for (int i = 0; i < KOM_HLAVICKA + delka; ++i) {
    if (i != Z_SUMA) soucet += zprava[i] & 0xFF;
  }
  return soucet & 0xFF;
}

int kom_Doba_cekani(int povel) { return (povel == 5 || povel == 6 || povel == 10) ? 2 : 9; }

int kom_Sestav_ramec(int* zprava, int klic, std::uint8_t* out) {
  klic &= 0xFF;
  zprava[Z_KLIC] = klic;
  zprava[Z_SUMA] = 0;
  zprava[Z_SUMA] = kom_Soucet(zprava);
  int delka = zprava[Z_DELKA];
  if (delka > KOM_MAX_DATA) delka = KOM_MAX_DATA;
  if (delka < 0) delka = 0;
  int n = 0;
  out[n++] = 0x00;
  for (int i = 0; i < KOM_HLAVICKA + delka; ++i) {
    int b = zprava[i] & 0xFF;
    // The start byte and the key travel in clear; everything else is keyed.
    out[n++] = static_cast<std::uint8_t>((i == Z_START || i == Z_KLIC) ? b : (b ^ klic));
  }
  return n;
}
