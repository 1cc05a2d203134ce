// The per-scale state of a sampling run and its lines on standard error.
#include "sledovani.h"

#include <cstdio>

const char* Jmeno_chyby(int kod) {
  switch (kod) {
    case CHYBA_KONTROLNI_SUMY: return "CHYBA_KONTROLNI_SUMY";
    case CHYBA_OTEVRENI_COM: return "CHYBA_OTEVRENI_COM";
    case CHYBA_ZAVRENI_COM: return "CHYBA_ZAVRENI_COM";
    case CHYBA_ODBLOKOVANI_COM: return "CHYBA_ODBLOKOVANI_COM";
    case CHYBA_VYSLI_1_BYTE: return "CHYBA_VYSLI_1_BYTE";
    case CHYBA_CEKANI_PRIJEM: return "CHYBA_CEKANI_PRIJEM";
    case CHYBA_SUMY_BLOKU: return "CHYBA_SUMY_BLOKU";
    case CHYBA_MAX_DELKA_DAT: return "CHYBA_MAX_DELKA_DAT";
    case CHYBA_CISLA_USB1: return "CHYBA_CISLA_USB1";
    case CHYBA_CISLA_PC: return "CHYBA_CISLA_PC";
    case CHYBA_KODU_ODPOVEDI: return "CHYBA_KODU_ODPOVEDI";
    case CHYBA_PROVEDENI_POVELU: return "CHYBA_PROVEDENI_POVELU";
    case CHYBA_OTEVRENI_SOUBORU: return "CHYBA_OTEVRENI_SOUBORU";
    case CHYBA_ZAVRENI_SOUBORU: return "CHYBA_ZAVRENI_SOUBORU";
    case CHYBA_POCTU_OPAKOVANI_BLOKU: return "CHYBA_POCTU_OPAKOVANI_BLOKU";
    case CHYBA_POCTU_ZAZNAMU: return "CHYBA_POCTU_ZAZNAMU";
    case CHYBA_ODPOVED_HLEDEJ: return "CHYBA_ODPOVED_HLEDEJ";
    case CHYBA_ODPOVED_DEJ_HMOT: return "CHYBA_ODPOVED_DEJ_HMOT";
    case CHYBA_DELENI_NULOU: return "CHYBA_DELENI_NULOU";
    default: return "unknown";
  }
}

bool Sledovani_vah::Vysledek(int cislo, int kod, char* radek, std::size_t n) {
  if (cislo < 0 || cislo > NEJVYSSI_SNIMANA_VAHA) return false;
  const Stav byl = m_stav[cislo];
  if (kod == 0) {
    m_stav[cislo] = ODPOVIDA;
    if (byl != SELHALA && byl != NENALEZENA) return false;
    std::snprintf(radek, n, "kvoda_ser: scale %d: answers again\n", cislo);
    return true;
  }
  m_stav[cislo] = SELHALA;
  // A failure with another code is still a failure: no change.
  if (byl == SELHALA) return false;
  std::snprintf(radek, n, "kvoda_ser: scale %d: %s (error %d %s)\n", cislo,
                kod == CHYBA_CEKANI_PRIJEM ? "stopped answering" : "failed", kod, Jmeno_chyby(kod));
  return true;
}

bool Sledovani_vah::Nenalezena(int cislo, char* radek, std::size_t n) {
  if (cislo < 0 || cislo > NEJVYSSI_SNIMANA_VAHA) return false;
  const Stav byl = m_stav[cislo];
  if (byl == NEZNAMY || byl == NENALEZENA) return false;
  m_stav[cislo] = NENALEZENA;
  std::snprintf(radek, n, "kvoda_ser: scale %d: no longer found\n", cislo);
  return true;
}

void Sledovani_vah::Zapomen() {
  for (Stav& s : m_stav) s = NEZNAMY;
}
