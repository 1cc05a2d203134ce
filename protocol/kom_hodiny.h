// The clock behind every deadline and pause of the protocol layer. The
// program runs on the real one; in-process tests, the soak and the fuzz
// targets put a virtual one in its place at run time.
#pragma once

class KomHodiny {
 public:
  virtual ~KomHodiny() = default;
  // Monotonic time in microseconds.
  virtual long long cas_us() = 0;
  virtual void zpozdeni(int ms) = 0;
  // Waits until a byte is readable on port `port` or `ms` milliseconds have
  // passed: 1 readable, 0 timed out, -1 a dead port (its time slept out).
  virtual int cekej_na_data(int port, int ms) = 0;
};

// The clock in use; nullptr puts the real one back.
void kom_Nastav_hodiny(KomHodiny* hodiny);
KomHodiny& kom_Hodiny();
