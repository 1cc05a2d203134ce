// Reading and writing one EEPROM block of a scale into or from the record.
#include <cassert>
#include <cstdint>
#include <cstdio>
#include <cstring>

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

// Block `cislo_eeprom` of device `cislo_zarizeni` into `bajty`, the record
// untouched. A reply that is not whole and meant for this request is
// reported under "Cteni_eeprom" and gives 1, like a failed exchange: bytes it
// did not carry would be whatever an earlier reply left in `c_pri`.
int Cti_blok(int cislo_zarizeni, int cislo_eeprom, std::uint8_t bajty[NEJVETSI_BLOK]) {
  const Blok_eeprom* blok = Blok(cislo_eeprom);
  if (blok == nullptr) return 1;  // only when assertions are compiled out

  hlavicka(c_vys, cislo_zarizeni, POVEL_CTENI, 2);
  c_vys[Z_DATA] = blok->adresa;
  c_vys[Z_DATA + 1] = blok->pocet;
  if (kom_Vysli_a_prijmi_platnou_zpravu(c_vys, c_pri) != 0) return 1;

  const int kod = Chyba_odpovedi_cteni(c_pri, cislo_zarizeni, cislo_eeprom);
  if (kod != 0) {
    g_chyba = kod;
    Tisk_chyby("Cteni_eeprom");
    return 1;
  }
  // The first data byte of the reply is not part of the block.
  for (int i = 0; i < blok->pocet; ++i) bajty[i] = static_cast<std::uint8_t>(c_pri[Z_DATA + 1 + i]);
  return 0;
}

// Sends `bajty` as block `cislo_eeprom` to device `cislo_zarizeni`: 0
// written, 1 the exchange failed, 2 the scale refused (reported under
// "Zapis_eeprom").
int Zapis_blok(int cislo_zarizeni, int cislo_eeprom, const std::uint8_t bajty[NEJVETSI_BLOK]) {
  const Blok_eeprom* blok = Blok(cislo_eeprom);
  hlavicka(z_vys, cislo_zarizeni, POVEL_ZAPIS, blok->delka_zapisu);
  z_vys[Z_DATA] = blok->adresa;
  for (int i = 0; i < blok->pocet; ++i) z_vys[Z_DATA + 1 + i] = bajty[i];
  if (kom_Vysli_a_prijmi_platnou_zpravu(z_vys, z_pri) != 0) return 1;

  if (z_pri[Z_KLIC] != 0) {
    g_chyba = CHYBA_PROVEDENI_POVELU;
    Tisk_chyby("Zapis_eeprom");
    return 2;
  }
  return 0;
}

}  // namespace

int Cteni_eeprom(int cislo_zarizeni, int cislo_eeprom) {
  assert((cislo_eeprom >= 1) & (cislo_eeprom <= 4));
  std::uint8_t bajty[NEJVETSI_BLOK] = {};
  if (Cti_blok(cislo_zarizeni, cislo_eeprom, bajty) != 0) return 1;
  Dekoduj_blok(cislo_eeprom, bajty);
  return 0;
}

int Zapis_eeprom(int cislo_zarizeni, int cislo_eeprom) {
  assert((cislo_eeprom >= 1) & (cislo_eeprom <= 4));
  assert((cislo_zarizeni >= 0) & (cislo_zarizeni <= 255));
  if (Blok(cislo_eeprom) == nullptr || cislo_zarizeni < 0 || cislo_zarizeni > 255) return 1;  // assertions compiled out

  std::uint8_t bajty[NEJVETSI_BLOK] = {};
  Zakoduj_blok(cislo_eeprom, bajty);
  // A refusal is reported, not returned, as it always was.
  return Zapis_blok(cislo_zarizeni, cislo_eeprom, bajty) == 1 ? 1 : 0;
}

int Uloz_bloky(int cislo, const int* bloky, int pocet) {
  assert(pocet >= 0 && pocet <= POCET_BLOKU);
  if (pocet > POCET_BLOKU) pocet = POCET_BLOKU;
  std::uint8_t zapsane[POCET_BLOKU][NEJVETSI_BLOK] = {};
  Osud_bloku osud[POCET_BLOKU];
  int adresa_po = cislo;  // where the scale answers once the writes are done
  int zapsano = 0;
  for (; zapsano < pocet; ++zapsano) {
    const int blok = bloky[zapsano];
    Zakoduj_blok(blok, zapsane[zapsano]);
    // A refusal counts as not written: the technician must not rely on it.
    if (Zapis_blok(cislo, blok, zapsane[zapsano]) != 0) break;
    osud[zapsano] = Osud_bloku::Zapsan;
    if (blok == 1) adresa_po = zapsane[zapsano][0];
  }
  char radek[160];
  if (zapsano < pocet) {
    for (int i = zapsano; i < pocet; ++i) osud[i] = Osud_bloku::Nezapsan;
    Popis_ulozeni(radek, sizeof radek, cislo, bloky, osud, pocet);
    std::fputs(radek, stderr);
  }

  // The scale's own bytes, read into scratch so that the record and what the
  // dialogue shows afterwards stay as they are.
  bool shoda = true;
  for (int i = 0; i < zapsano; ++i) {
    std::uint8_t precteno[NEJVETSI_BLOK] = {};
    if (Cti_blok(adresa_po, bloky[i], precteno) != 0) {
      osud[i] = Osud_bloku::Neprecten;
    } else if (std::memcmp(precteno, zapsane[i], static_cast<std::size_t>(Blok(bloky[i])->pocet)) != 0) {
      osud[i] = Osud_bloku::Jiny;
    } else {
      osud[i] = Osud_bloku::Stejny;
    }
    shoda = shoda && osud[i] == Osud_bloku::Stejny;
  }
  if (!shoda) {
    Popis_ulozeni(radek, sizeof radek, adresa_po, bloky, osud, zapsano);
    std::fputs(radek, stderr);
  }
  return zapsano == pocet ? 0 : 1;
}
