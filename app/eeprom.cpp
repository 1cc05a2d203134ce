// Reading and writing one EEPROM block of a scale into or from the record.
#include <cassert>
#include <cstdint>

#include "bloky.h"
#include "ser.h"

namespace {

constexpr int POVEL_ZAPIS = 1;
constexpr int POVEL_CTENI = 2;

void hlavicka(int* vys, int cil, int povel, int delka) {
  vys[Z_START] = KOM_START;
  vys[Z_CIL] = cil & 0xFF;
  vys[Z_ZDROJ] = KOM_ADRESA_PC;
  vys[Z_POVEL] = povel;
  vys[Z_SUMA] = 0;
  vys[Z_DELKA] = delka;
  vys[Z_KLIC] = 0;
}

}  // namespace

int Cteni_eeprom(int cislo_zarizeni, int cislo_eeprom) {
  assert((cislo_eeprom >= 1) & (cislo_eeprom <= 4));
  const Blok_eeprom* blok = Blok(cislo_eeprom);
  if (blok == nullptr) return 1;  // only when assertions are compiled out

  hlavicka(c_vys, cislo_zarizeni, POVEL_CTENI, 2);
  c_vys[Z_DATA] = blok->adresa;
  c_vys[Z_DATA + 1] = blok->pocet;
  if (kom_Vysli_a_prijmi_platnou_zpravu(c_vys, c_pri) != 0) return 1;

  if (c_pri[Z_KLIC] != 0) {
    g_chyba = CHYBA_PROVEDENI_POVELU;
    Tisk_chyby("Cteni_eeprom");
  }
  // The first data byte of the reply is not part of the block. Bytes that a
  // short reply did not carry come from what the reply record held before.
  std::uint8_t bajty[NEJVETSI_BLOK] = {};
  for (int i = 0; i < blok->pocet; ++i) bajty[i] = static_cast<std::uint8_t>(c_pri[Z_DATA + 1 + i]);
  Dekoduj_blok(cislo_eeprom, bajty);
  return 0;
}

int Zapis_eeprom(int cislo_zarizeni, int cislo_eeprom) {
  assert((cislo_eeprom >= 1) & (cislo_eeprom <= 4));
  assert((cislo_zarizeni >= 0) & (cislo_zarizeni <= 255));
  const Blok_eeprom* blok = Blok(cislo_eeprom);
  if (blok == nullptr || cislo_zarizeni < 0 || cislo_zarizeni > 255) return 1;  // assertions compiled out

  std::uint8_t bajty[NEJVETSI_BLOK] = {};
  Zakoduj_blok(cislo_eeprom, bajty);
  hlavicka(z_vys, cislo_zarizeni, POVEL_ZAPIS, blok->delka_zapisu);
  z_vys[Z_DATA] = blok->adresa;
  for (int i = 0; i < blok->pocet; ++i) z_vys[Z_DATA + 1 + i] = bajty[i];
  if (kom_Vysli_a_prijmi_platnou_zpravu(z_vys, z_pri) != 0) return 1;

  if (z_pri[Z_KLIC] != 0) {
    g_chyba = CHYBA_PROVEDENI_POVELU;
    Tisk_chyby("Zapis_eeprom");
  }
  return 0;
}
