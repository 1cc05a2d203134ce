// Virtual time for in-process tests, the soak and the fuzz targets, put in
// place of the program's real clock at run time. No program ships it.
#pragma once

#include <atomic>
#include <functional>

#include "kom_hodiny.h"

// Virtual time: the real monotonic clock plus every stretch the code would
// have slept or waited in vain, which is skipped instead. Deadlines, pauses
// and waits for a key then pass at once, while bytes still travel in real
// time.
//
// The far end of the line (a simulator in the same process) may have replies
// of its own scheduled; it tells how long it stays quiet, so that no skip
// jumps past something it would send meanwhile.
class KomVirtualniHodiny : public KomHodiny {
 public:
  // Milliseconds of virtual time until the far end next sends something by
  // itself: 0 while it still works on what it received, negative for never.
  using Klid = std::function<long long()>;
  // Called after a skip, so that the far end looks at the clock again.
  using Probud = std::function<void()>;

  KomVirtualniHodiny() = default;
  void nastav_protistranu(Klid klid, Probud probud);

  long long ted_ms() override { return cas_us() / 1000; }
  int cekej(pollfd* p, int ms) override;
  // The same time in microseconds, for far ends that time single bytes.
  long long cas_us();
  // Virtual time skipped so far, in microseconds; a second process on the
  // same virtual time takes it over.
  long long posun_us() const { return m_posun_us.load(); }
  void nastav_posun_us(long long us) { m_posun_us = us; }

 private:
  // How far virtual time may skip now, at most `ms`: up to the far end's
  // next event; 0 while it is busy.
  long long volno_ms(long long ms);
  void preskoc_us(long long us);

  std::atomic<long long> m_posun_us{0};
  Klid m_klid;
  Probud m_probud;
};
