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

int KomVirtualniHodiny::cekej(pollfd* p, int ms) {
  const int n = p != nullptr ? 1 : 0;
  // Without a deadline there is nothing to skip to: a wait for input in real
  // time, as the far end's own events come in real time then too.
  if (ms < 0) return rs232_Poll(p, n, -1);
  const long long konec = cas_us() + ms * 1000LL;
  for (;;) {
    // The far end is asked before the descriptor is looked at: what it had
    // sent by the time it answered is readable by then, as a pseudo-terminal
    // hands on every byte written before it is polled. The other order lets
    // a reply written in between pass for silence, and the skip jumps past it.
    long long zbyva = konec - cas_us();
    const long long volno = zbyva > 0 ? volno_ms((zbyva + 999) / 1000) : 0;
    int r = n > 0 ? rs232_Poll(p, n, 0) : 0;
    if (r != 0) return r;
    zbyva = konec - cas_us();
    if (zbyva <= 0) return 0;
    if (volno > 0) {
      preskoc_us(volno * 1000 < zbyva ? volno * 1000 : zbyva);
    } else if ((r = rs232_Poll(p, n, 1)) != 0) {
      // The far end is still at work: it has the processor in real time.
      return r;
    }
  }
}
