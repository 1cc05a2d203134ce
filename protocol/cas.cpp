// The real clock, the switch between clocks, and the time operations of the
// protocol layer on whichever clock is in use.
#include <poll.h>

#include <cerrno>
#include <ctime>

#include "kom_hodiny.h"
#include "kom.h"
#include "rs232.h"

namespace {

class SkutecneHodiny : public KomHodiny {
 public:
  long long ted_ms() override {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
  }
  int cekej(pollfd* p, int ms) override { return rs232_Poll(p, p != nullptr ? 1 : 0, ms); }
};

SkutecneHodiny m_skutecne;
KomHodiny* m_hodiny = &m_skutecne;

}  // namespace

void kom_Nastav_hodiny(KomHodiny* hodiny) { m_hodiny = hodiny != nullptr ? hodiny : &m_skutecne; }

KomHodiny& kom_Hodiny() { return *m_hodiny; }

long long kom_Cas_ms() { return m_hodiny->ted_ms(); }

long long kom_Cas_s() { return kom_Cas_ms() / 1000; }

// A pause wakes for the program's stop, like every other wait.
void kom_Zpozdeni(int ms) {
  const long long konec = kom_Cas_ms() + (ms > 0 ? ms : 0);
  for (long long zbyva; (zbyva = konec - kom_Cas_ms()) > 0;)
    if (m_hodiny->cekej(nullptr, static_cast<int>(zbyva)) < 0 && errno != EINTR) return;
}

int kom_Cekej_na_port(int port, int ms) {
  if (ms < 0) ms = 0;
  const long long konec = kom_Cas_ms() + ms;
  pollfd p{};
  int vysledek = 0;
  if (rs232_Priprav_cekani(port, &p)) {
    const int r = m_hodiny->cekej(&p, ms);
    if (r == 0 || (r < 0 && errno == EINTR)) return 0;
    vysledek = r > 0 ? rs232_Po_cekani(port, p) : -1;
    if (vysledek == 1) return 1;
  }
  // No port, or a dead one (unplugged adapter: hang-up or error at once, for
  // ever): sleep the time out instead of returning into a spinning caller.
  const long long zbyva = konec - kom_Cas_ms();
  if (zbyva > 0) kom_Zpozdeni(static_cast<int>(zbyva));
  return vysledek;
}
