// Texts of the program that several end-to-end tests expect verbatim.
#pragma once

#include <string>

namespace texty {

// The error report: its first line, the legend of codes, an empty line.
inline std::string Hlaseni(const std::string& jmeno, int kod) {
  static const char* const legenda[] = {
      "CHYBA_KONTROLNI_SUMY     2",     "CHYBA_OTEVRENI_COM       3",     "CHYBA_ZAVRENI_COM        4",
      "CHYBA_ODBLOKOVANI_COM    5",     "CHYBA_VYSLI_1_BYTE       6",     "CHYBA_CEKANI_PRIJEM      7",
      "CHYBA_SUMY_BLOKU         8",     "CHYBA_MAX_DELKA_DAT      9",     "CHYBA_CISLA_USB1            20",
      "CHYBA_CISLA_PC              21", "CHYBA_KODU_ODPOVEDI         22", "CHYBA_PROVEDENI_POVELU      23",
      "CHYBA_POCTU_OPAKOVANI_BLOKU 26", "CHYBA_POCTU_ZAZNAMU         27", "CHYBA_OTEVRENI_SOUBORU      24",
      "CHYBA_ZAVRENI_SOUBORU       25", "CHYBA_ODPOVED_HLEDEJ        30", "CHYBA_ODPOVED_DEJ_HMOT      31",
      "CHYBA_DELENI_NULOU          32",
  };
  std::string s = "V " + jmeno + " nastala chyba " + std::to_string(kod) + "\n";
  for (const char* r : legenda) s += std::string(r) + "\n";
  return s + "\n";
}

// The main menu as printed at every cycle, up to the choice prompt.
inline std::string Menu(int cislo = 0, int baud = 4800) {
  return "\n=== Kvoda_ser-v4.5e, " + std::to_string(baud) +
         " Bd ===\n"
         "Servisni program pro vahy Velmora.\n"
         "\n"
         "(+) Vyhledani pripojenych zarizeni\n"
         "(0) Zmena aktualniho cisla vahy: " +
         std::to_string(cislo) +
         "\n"
         "(1) Nastaveni cisla ve vaze\n"
         "(2) Kalibrace zesileni (a soucasne nuly)\n"
         "(3) Kalibrace nuly\n"
         "(5) Test komunikace\n"
         "(6) Periodicke snimani hmotnosti a teploty\n"
         "(7) Jednorazove sejmuti hmotnosti a teploty\n"
         "(8) Prime nastaveni kalibracnich konstant\n"
         "(*) Posun hodnoty ciste vahy\n"
         "(/) Test kalibrace zpozdeni 5s\n"
         "\n"
         "       (k) Kopie aktualnich dat do zalohy\n"
         " pozor!(o) Obnova aktualnich dat ze zalohy\n"
         " pozor!(v) Vymaz aktualnich dat\n"
         "\n"
         "(n) Konec\n"
         "---------------------------------------------\n"
         "volba:";
}

}  // namespace texty
