// Entry point: the port table, the command line, adapter discovery, then the
// menu loop until the user quits.
#include <cstdio>

#include "publikace.h"
#include "rs232.h"
#include "ser.h"

int main(int argc, char** argv) {
  // The command line first: help and parameter errors do not depend on the
  // port names, which are checked only when discovery is about to use them.
  if (Zpracuj_prikazovou_radku(argc, argv) == 0) return 0;
  char chyba[160];
  if (rs232_Nastav_jmena(chyba, sizeof chyba) != 0) {
    std::fprintf(stderr, "kvoda_ser: %s\n", chyba);
    return 2;
  }
  Pripoj_adapter();
  Publikace_programu();
  Hlavni_menu();
  return 0;
}
