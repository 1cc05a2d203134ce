// The protocol clock for the soak: deadlines keep real time, the fixed
// pauses around each power switch are cut short so that many passes over 32
// scales fit in minutes. The pause after a switch keeps the time a scale
// needs after its supply comes on before it answers.
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
  long zkraceno = ms == 150 ? 110 : ms / 20;
  long ns = zkraceno * 1000000L;
  timespec t{ns / 1000000000L, ns % 1000000000L};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}
