// The one wait of the program: the line, the console and every pause wait
// through it, in milliseconds on the monotonic clock. The program runs on the
// real clock; in-process tests, the soak and the fuzz targets put a virtual
// one in its place at run time.
#pragma once

struct pollfd;

class KomHodiny {
 public:
  virtual ~KomHodiny() = default;
  // Monotonic time in milliseconds.
  virtual long long ted_ms() = 0;
  // Waits until descriptor `p` (nullptr: none) is ready, `ms` milliseconds
  // have passed (-1: no limit) or the program is told to stop. As poll():
  // 1 ready, 0 timed out, -1 with errno (EINTR when woken for the stop).
  virtual int cekej(pollfd* p, int ms) = 0;
};

// The clock in use; nullptr puts the real one back.
void kom_Nastav_hodiny(KomHodiny* hodiny);
KomHodiny& kom_Hodiny();
