// Opening the program's files without hanging on a FIFO or taking a
// directory, socket or terminal for a text file.
#include "soubory.h"

#include <fcntl.h>
#include <unistd.h>

int Otevri_soubor(const char* cesta, int priznaky, bool i_zarizeni, struct stat* st) {
  if (cesta == nullptr) return -1;
  const int fd = open(cesta, priznaky | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  struct stat s {};
  const int stav = fcntl(fd, F_GETFL);
  if (fstat(fd, &s) != 0 || !(S_ISREG(s.st_mode) || (i_zarizeni && S_ISCHR(s.st_mode))) || stav < 0 ||
      fcntl(fd, F_SETFL, stav & ~O_NONBLOCK) != 0) {
    close(fd);
    return -1;
  }
  if (st != nullptr) *st = s;
  return fd;
}
