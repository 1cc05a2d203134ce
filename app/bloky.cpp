// Byte layout of the EEPROM blocks.
#include "bloky.h"

#include <cstdio>
#include <cstring>

#include "ser.h"

namespace {

const Blok_eeprom bloky[POCET_BLOKU] = {
    {0, 7, 8},
    {12, 12, 13},
    {24, 12, 13},
    {36, 10, 11},
};

// Little-endian fields; `p` points at the field's first byte.
std::uint32_t cti_bez_znamenka(const std::uint8_t* p, int sirka) {
  std::uint32_t v = 0;
  for (int i = 0; i < sirka; ++i) v |= static_cast<std::uint32_t>(p[i]) << (8 * i);
  return v;
}

int cti_16_se_znamenkem(const std::uint8_t* p) {
  int v = static_cast<int>(cti_bez_znamenka(p, 2));
  return (v & 0x8000) ? v - 0x10000 : v;
}

int cti(const std::uint8_t* p, int sirka) { return static_cast<int>(cti_bez_znamenka(p, sirka)); }

// Writes the lowest `sirka` bytes of v; the higher bits are dropped.
void zapis(std::uint8_t* p, int v, int sirka) {
  const std::uint32_t u = static_cast<std::uint32_t>(v);
  for (int i = 0; i < sirka; ++i) p[i] = static_cast<std::uint8_t>(u >> (8 * i));
}

}  // namespace

const Blok_eeprom* Blok(int cislo_eeprom) {
  if (cislo_eeprom < 1 || cislo_eeprom > POCET_BLOKU) return nullptr;
  return &bloky[cislo_eeprom - 1];
}

std::uint32_t Ieee_na_zarizeni(std::uint32_t ieee) {
  const std::uint32_t b0 = ieee & 0xFF, b1 = (ieee >> 8) & 0xFF, b2 = (ieee >> 16) & 0xFF, b3 = ieee >> 24;
  const std::uint32_t e2 = (b3 & 0x80) | (b2 & 0x7F);
  const std::uint32_t e3 = ((b3 << 1) | (b2 >> 7)) & 0xFF;
  return b0 | (b1 << 8) | (e2 << 16) | (e3 << 24);
}

std::uint32_t Zarizeni_na_ieee(std::uint32_t zarizeni) {
  const std::uint32_t e0 = zarizeni & 0xFF, e1 = (zarizeni >> 8) & 0xFF, e2 = (zarizeni >> 16) & 0xFF,
                      e3 = zarizeni >> 24;
  const std::uint32_t b2 = (e2 & 0x7F) | ((e3 & 1) << 7);
  const std::uint32_t b3 = (e2 & 0x80) | (e3 >> 1);
  return e0 | (e1 << 8) | (b2 << 16) | (b3 << 24);
}

void Float_do_bajtu(float f, std::uint8_t e[4]) {
  std::uint32_t bity;
  std::memcpy(&bity, &f, sizeof bity);
  const std::uint32_t z = Ieee_na_zarizeni(bity);
  for (int i = 0; i < 4; ++i) e[i] = static_cast<std::uint8_t>(z >> (8 * i));
}

float Float_z_bajtu(const std::uint8_t e[4]) {
  const std::uint32_t bity = Zarizeni_na_ieee(cti_bez_znamenka(e, 4));
  float f;
  std::memcpy(&f, &bity, sizeof f);
  return f;
}

int Zakoduj_blok(int cislo_eeprom, std::uint8_t b[NEJVETSI_BLOK]) {
  switch (cislo_eeprom) {
    case 1:
      zapis(b + 0, g_cislo_zarizeni, 1);
      zapis(b + 1, g_posun, 2);
      zapis(b + 3, g_pamet, 2);
      zapis(b + 5, g_pocet, 2);
      return 0;
    case 2:
      zapis(b + 0, g_tc1, 2);
      zapis(b + 2, g_tc2, 2);
      zapis(b + 4, g_t1, 3);
      zapis(b + 7, g_t2, 3);
      zapis(b + 10, g_tc0, 2);
      return 0;
    case 3:
      zapis(b + 0, g_k1, 2);
      zapis(b + 2, g_k2, 2);
      Float_do_bajtu(g_k4, b + 4);
      Float_do_bajtu(g_k5, b + 8);
      return 0;
    case 4:
      zapis(b + 0, g_vyrobni_cislo_snimace, 2);
      zapis(b + 2, g_typ_snimace, 2);
      zapis(b + 4, g_rok_vyroby_snimace, 1);
      zapis(b + 5, g_vyrobni_cislo_vahy, 2);
      zapis(b + 7, g_typ_vahy, 2);
      zapis(b + 9, g_rok_vyroby_vahy, 1);
      return 0;
    default:
      return 1;
  }
}

int Dekoduj_blok(int cislo_eeprom, const std::uint8_t b[NEJVETSI_BLOK]) {
  switch (cislo_eeprom) {
    case 1:
      g_cislo_zarizeni = cti(b + 0, 1);
      g_posun = cti_16_se_znamenkem(b + 1);
      g_pamet = cti_16_se_znamenkem(b + 3);
      g_pocet = cti(b + 5, 2);
      return 0;
    case 2:
      g_tc1 = cti_16_se_znamenkem(b + 0);
      g_tc2 = cti_16_se_znamenkem(b + 2);
      g_t1 = cti(b + 4, 3);
      g_t2 = cti(b + 7, 3);
      g_tc0 = cti_16_se_znamenkem(b + 10);
      return 0;
    case 3:
      g_k1 = cti_16_se_znamenkem(b + 0);
      g_k2 = cti_16_se_znamenkem(b + 2);
      g_k4 = Float_z_bajtu(b + 4);
      g_k5 = Float_z_bajtu(b + 8);
      return 0;
    case 4:
      g_vyrobni_cislo_snimace = cti(b + 0, 2);
      g_typ_snimace = cti(b + 2, 2);
      g_rok_vyroby_snimace = cti(b + 4, 1);
      g_vyrobni_cislo_vahy = cti(b + 5, 2);
      g_typ_vahy = cti(b + 7, 2);
      g_rok_vyroby_vahy = cti(b + 9, 1);
      return 0;
    default:
      return 1;
  }
}

int Chyba_odpovedi_cteni(const int* pri, int cil, int cislo_eeprom) {
  const Blok_eeprom* blok = Blok(cislo_eeprom);
  constexpr int ODPOVED_CTENI = 0x80 | 2;  // the reply to a block read
  // In the order in which the power command checks its reply: whom it is
  // for, who sent it, what it answers, whether it was carried out; then
  // whether it is whole.
  if (pri[Z_CIL] != KOM_ADRESA_PC) return CHYBA_CISLA_PC;
  if (pri[Z_ZDROJ] != (cil & 0xFF)) return CHYBA_CISLA_USB1;
  if (pri[Z_POVEL] != ODPOVED_CTENI) return CHYBA_KODU_ODPOVEDI;
  if (pri[Z_KLIC] != 0) return CHYBA_PROVEDENI_POVELU;
  if (blok == nullptr || pri[Z_DELKA] != blok->pocet + 1) return CHYBA_MAX_DELKA_DAT;
  return 0;
}

int Popis_ulozeni(char* out, int size, int cislo, const int* bloky, const Osud_bloku* osud, int pocet) {
  static const char* const texty[] = {"written", "not written", "read back the same", "read back different",
                                      "not read back"};
  if (size < 2) {
    if (size == 1) out[0] = '\0';
    return 0;
  }
  int pos = 0;
  auto pridej = [&](const char* fmt, auto... a) {
    if (pos >= size - 1) return;
    const int n = std::snprintf(out + pos, static_cast<std::size_t>(size - pos), fmt, a...);
    if (n > 0) pos = pos + n < size - 1 ? pos + n : size - 1;
  };
  pridej("kvoda_ser: scale %d: ", cislo);
  bool prvni_osud = true;
  for (int i = 0; i < pocet; ++i) {
    bool uz_byl = false;
    for (int j = 0; j < i; ++j) uz_byl = uz_byl || osud[j] == osud[i];
    if (uz_byl) continue;
    pridej("%s", prvni_osud ? "" : "; ");
    prvni_osud = false;
    bool prvni_blok = true;
    for (int j = i; j < pocet; ++j) {
      if (osud[j] != osud[i]) continue;
      pridej(prvni_blok ? "block %d" : ", block %d", bloky[j]);
      prvni_blok = false;
    }
    pridej(" %s", texty[static_cast<int>(osud[i])]);
  }
  if (pos > size - 2) pos = size - 2;
  out[pos++] = '\n';
  out[pos] = '\0';
  return pos;
}
