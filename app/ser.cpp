// Entry point: the port table, the command line, adapter discovery, then the
// menu loop until the user quits.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "publikace.h"
#include "rs232.h"
#include "ser.h"

namespace {

// Descriptors 0, 1 and 2 closed by whoever started us get /dev/null, so that
// no port, data file or trace opened later takes their number: the console
// would read its choices from the line or print the menu into a file.
bool Zajisti_standardni_proudy() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lowest free number: fd itself, as those below it are open.
    const int n = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (n != fd) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Priprav_hlaseni_chyb();
  if (!Zajisti_standardni_proudy()) return 2;
  kon_Priprav_signaly();
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
