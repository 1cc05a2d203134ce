// The error report: the failing operation, the code and the legend of codes.
#include "chyba.h"

#include <cstdio>

int g_tisk_chyby_jiz_proveden = 0;

int Tisk_chyby(const char* jmeno) {
  if (g_tisk_chyby_jiz_proveden != 0) return 0;
  g_tisk_chyby_jiz_proveden = 1;
  std::printf("V %s nastala chyba %d\n", jmeno, g_chyba);
  // Stored order: 26 and 27 stand before 24 and 25.
  static const char* const legenda[] = {
      "CHYBA_KONTROLNI_SUMY     2",      "CHYBA_OTEVRENI_COM       3",      "CHYBA_ZAVRENI_COM        4",
      "CHYBA_ODBLOKOVANI_COM    5",      "CHYBA_VYSLI_1_BYTE       6",      "CHYBA_CEKANI_PRIJEM      7",
      "CHYBA_SUMY_BLOKU         8",      "CHYBA_MAX_DELKA_DAT      9",      "CHYBA_CISLA_USB1            20",
      "CHYBA_CISLA_PC              21",  "CHYBA_KODU_ODPOVEDI         22",  "CHYBA_PROVEDENI_POVELU      23",
      "CHYBA_POCTU_OPAKOVANI_BLOKU 26",  "CHYBA_POCTU_ZAZNAMU         27",  "CHYBA_OTEVRENI_SOUBORU      24",
      "CHYBA_ZAVRENI_SOUBORU       25",  "CHYBA_ODPOVED_HLEDEJ        30",  "CHYBA_ODPOVED_DEJ_HMOT      31",
      "CHYBA_DELENI_NULOU          32",
  };
  for (const char* radek : legenda) std::printf("%s\n", radek);
  std::printf("\n");
  return 0;
}

void Priprav_hlaseni_chyb() { kom_Nastav_hlaseni(Tisk_chyby); }
