// Wall and processor time of the benchmark process, in seconds.
#pragma once

#include <sys/resource.h>

#include <chrono>
#include <cmath>

#include "sim.h"
#include "virtualni_hodiny.h"

inline double wall_s() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

inline double cpu_s() {
  rusage r{};
  getrusage(RUSAGE_SELF, &r);
  return r.ru_utime.tv_sec + r.ru_utime.tv_usec / 1e6 + r.ru_stime.tv_sec + r.ru_stime.tv_usec / 1e6;
}

// Puts the program's code on virtual time shared with `line`: deadlines and
// pauses pass at once, and the line still has its replies delivered before
// any skip past them. Undone by Odpoj_virtualni_cas.
inline void Virtualni_cas_s_linkou(KomVirtualniHodiny& hodiny, sim::Line& line) {
  line.set_clock([&hodiny] { return hodiny.cas_us() / 1e6; });
  hodiny.nastav_protistranu(
      [&line] {
        double q = line.quiet_for();
        return q < 0 ? -1LL : static_cast<long long>(std::ceil(q * 1000));
      },
      [&line] { line.wake(); });
  kom_Nastav_hodiny(&hodiny);
}

inline void Odpoj_virtualni_cas(sim::Line& line) {
  kom_Nastav_hodiny(nullptr);
  line.set_clock(nullptr);
}
