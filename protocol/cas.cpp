// Clock and pauses of the protocol layer, kept apart so that a build without
// real time (the fuzz targets) can put its own in their place.
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
  timespec t{static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000L)};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}
