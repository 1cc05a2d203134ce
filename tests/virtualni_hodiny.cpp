// Virtual time: deadlines and pauses skipped up to the far end's next event.
#include "virtualni_hodiny.h"

#include <ctime>

#include "rs232.h"

namespace {

// The base the real clock reads too, so that both give comparable times.
long long monotonni_us() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

}  // namespace

void KomVirtualniHodiny::nastav_protistranu(Klid klid, Probud probud) {
  m_klid = std::move(klid);
  m_probud = std::move(probud);
}

long long KomVirtualniHodiny::cas_us() { return monotonni_us() + m_posun_us.load(); }

void KomVirtualniHodiny::preskoc_us(long long us) {
  if (us <= 0) return;
  m_posun_us += us;
  if (m_probud) m_probud();
}

long long KomVirtualniHodiny::volno_ms(long long ms) {
  if (!m_klid) return ms;
  long long klid = m_klid();
  if (klid < 0 || klid > ms) return ms;
  return klid;
}

void KomVirtualniHodiny::zpozdeni(int ms) {
  if (ms <= 0) return;
  const long long konec = cas_us() + ms * 1000LL;
  for (long long zbyva; (zbyva = konec - cas_us()) > 0;) {
    long long volno = volno_ms((zbyva + 999) / 1000);
    if (volno > 0) {
      preskoc_us(volno * 1000 < zbyva ? volno * 1000 : zbyva);
    } else {
      // The far end is still at work: give it the processor in real time.
      timespec t{0, 1000000L};
      nanosleep(&t, nullptr);
    }
  }
}

int KomVirtualniHodiny::cekej_na_data(int port, int ms) {
  const long long konec = cas_us() + (ms > 0 ? ms : 0) * 1000LL;
  for (;;) {
    // The far end is asked before the port is looked at: what it had sent
    // by the time it answered is readable by then, as a pseudo-terminal hands
    // on every byte written before it is polled. The other order lets a reply
    // written in between pass for silence, and the skip jumps past it.
    long long zbyva = konec - cas_us();
    const long long volno = zbyva > 0 ? volno_ms((zbyva + 999) / 1000) : 0;
    int r = rs232_Cekej_na_data(port, 0);
    if (r == 1) return 1;
    zbyva = konec - cas_us();
    if (zbyva <= 0) return 0;
    if (r < 0) {
      // A dead port: its time is slept out, virtually.
      preskoc_us(zbyva);
      return -1;
    }
    if (volno > 0) {
      preskoc_us(volno * 1000 < zbyva ? volno * 1000 : zbyva);
    } else if (rs232_Cekej_na_data(port, 1) == 1) {
      return 1;
    }
  }
}
