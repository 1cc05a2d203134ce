// The real clock, the switch between clocks, and the time operations of the
// protocol layer on whichever clock is in use.
#include <cerrno>
#include <ctime>

#include "kom_hodiny.h"
#include "kom.h"
#include "rs232.h"

namespace {

long long monotonni_us() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

class SkutecneHodiny : public KomHodiny {
 public:
  long long cas_us() override { return monotonni_us(); }
  // A pause wakes for the program's stop, like every other wait.
  void zpozdeni(int ms) override {
    const long long konec = monotonni_us() + ms * 1000LL;
    for (long long zbyva; (zbyva = konec - monotonni_us()) > 0;) rs232_Poll(nullptr, 0, static_cast<int>((zbyva + 999) / 1000));
  }
  int cekej_na_data(int port, int ms) override { return rs232_Cekej_na_data(port, ms); }
};

SkutecneHodiny m_skutecne;
KomHodiny* m_hodiny = &m_skutecne;

}  // namespace

void kom_Nastav_hodiny(KomHodiny* hodiny) { m_hodiny = hodiny != nullptr ? hodiny : &m_skutecne; }

KomHodiny& kom_Hodiny() { return *m_hodiny; }

long long kom_Cas_ms() { return m_hodiny->cas_us() / 1000; }

long long kom_Cas_s() { return kom_Cas_ms() / 1000; }

void kom_Zpozdeni(int ms) { m_hodiny->zpozdeni(ms); }
