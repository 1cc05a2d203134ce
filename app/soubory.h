// Files opened by a name the user gave or the program fixes (data file, copy,
// backup, calibration records).
#pragma once

#include <sys/stat.h>

// Opens `cesta` with the open(2) flags `priznaky` without ever waiting in the
// open (a FIFO without a partner fails at once) and keeps it only if it is a
// regular file, or with `i_zarizeni` also a character device (/dev/null as
// the data file). The descriptor is blocking again on return and closed on
// exec. Fills `st` when given. -1 on failure.
int Otevri_soubor(const char* cesta, int priznaky, bool i_zarizeni, struct stat* st);
