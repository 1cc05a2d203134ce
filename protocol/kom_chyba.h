// Error codes and the global error code, shared by every layer. The report
// of a failure (its text, at most once per menu cycle) belongs to the
// application, which installs it here; the protocol layer only calls it.
#pragma once

enum {
  CHYBA_KONTROLNI_SUMY = 2,
  CHYBA_OTEVRENI_COM = 3,
  CHYBA_ZAVRENI_COM = 4,
  CHYBA_ODBLOKOVANI_COM = 5,
  CHYBA_VYSLI_1_BYTE = 6,
  CHYBA_CEKANI_PRIJEM = 7,
  CHYBA_SUMY_BLOKU = 8,
  CHYBA_MAX_DELKA_DAT = 9,
  CHYBA_CISLA_USB1 = 20,
  CHYBA_CISLA_PC = 21,
  CHYBA_KODU_ODPOVEDI = 22,
  CHYBA_PROVEDENI_POVELU = 23,
  CHYBA_OTEVRENI_SOUBORU = 24,
  CHYBA_ZAVRENI_SOUBORU = 25,
  CHYBA_POCTU_OPAKOVANI_BLOKU = 26,
  CHYBA_POCTU_ZAZNAMU = 27,
  CHYBA_ODPOVED_HLEDEJ = 30,
  CHYBA_ODPOVED_DEJ_HMOT = 31,
  CHYBA_DELENI_NULOU = 32,
};

extern int g_chyba;

// The report of a failed operation `jmeno` with the current g_chyba.
using KomHlaseni = int (*)(const char* jmeno);
void kom_Nastav_hlaseni(KomHlaseni hlaseni);
// Reports through the installed report; without one, nothing is said.
void kom_Hlas_chybu(const char* jmeno);
