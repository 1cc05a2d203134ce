// The protocol clock for the soak: deadlines keep real time, the fixed
// pauses around each power switch are cut to a twentieth so that hundreds
// of passes over 32 scales fit in minutes.
#include <cerrno>
#include <ctime>

#include "kom.h"

long long kom_Cas_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

long long kom_Cas_s() { return kom_Cas_ms() / 1000; }

void kom_Zpozdeni(int ms) {
  if (ms <= 0) return;
  long ns = ms * 50000L;  // ms / 20
  timespec t{ns / 1000000000L, ns % 1000000000L};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}
