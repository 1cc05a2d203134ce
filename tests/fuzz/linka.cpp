#include "linka.h"

#include <cstring>
#include <deque>

#include "kom.h"
#include "virtualni_hodiny.h"
#include "rs232.h"

char comports[RS232_PORTS][RS232_NAME_LEN];
int Cport[RS232_PORTS];
char baudr[64];

namespace {
const std::uint8_t* m_data = nullptr;
std::size_t m_size = 0;
std::size_t m_pos = 0;
std::size_t m_odeslano = 0;
std::deque<std::uint8_t> m_ozvena;  // the line echoes every byte sent
// The far end keys its reply with the key of the request (its 8th byte on the
// line), so the fuzzer's bytes are the plain reply whatever key was drawn. The
// first byte after a request (the start of the reply) goes in the clear, as
// the receiver expects; it enters the checksum, so keying it would make the
// outcome depend on the key drawn from the wall clock.
int m_klic = 0;
bool m_prvni = false;
std::size_t m_podil = 0;   // far-end bytes a flush may still take
bool m_bez_ozveny = false;
std::size_t m_pozice = 0;   // position within the frame being sent
std::size_t m_celkem = 8;   // its length on the line, known from its 8th byte
int m_delka_klicovana = 0;
// Virtual time: nothing on this line arrives later, so every wait with
// nothing to read skips its whole time and deadlines pass at once.
KomVirtualniHodiny m_hodiny;
const bool m_hodiny_nastaveny = (kom_Nastav_hodiny(&m_hodiny), true);
}  // namespace

void linka_Nastav(const std::uint8_t* data, std::size_t size, std::size_t podil_vyprazdneni, bool bez_ozveny) {
  m_podil = podil_vyprazdneni;
  m_bez_ozveny = bez_ozveny;
  m_prvni = false;
  m_data = data;
  m_size = size;
  m_pos = 0;
  m_odeslano = 0;
  m_ozvena.clear();
  m_pozice = 0;
  m_celkem = 8;
}

std::size_t linka_Odeslano() { return m_odeslano; }

int rs232_Nastav_jmena(char*, std::size_t) { return 0; }
bool rs232_Jmeno_portu(const char*, int, char*, std::size_t) { return false; }
const char* rs232_Mod_rychlosti(int) { return "baud=4800 data=8 parity=N stop=1"; }
int OpenComport(unsigned index, int) { return index < 255 ? 0 : 1; }
void CloseComport(int) {}
int IsCTSEnabled(int) { return 0; }
int SendBuf(int, const unsigned char*, int size) { return size; }
void cprintf(int, const char*) {}

int SendByte(int, int byte) {
  if (m_pozice == 6) m_delka_klicovana = byte & 0xFF;
  if (m_pozice == 7) {
    m_klic = byte & 0xFF;
    m_celkem = 8 + static_cast<std::size_t>(m_delka_klicovana ^ m_klic);
  }
  if (++m_pozice >= m_celkem) {
    m_pozice = 0;
    m_celkem = 8;
    m_prvni = true;
  }
  ++m_odeslano;
  if (!m_bez_ozveny) m_ozvena.push_back(static_cast<std::uint8_t>(byte));
  return 0;
}

int PollComport(int, unsigned char* buf, int size) {
  if (size > RS232_POLL_MAX) size = RS232_POLL_MAX;
  int n = 0;
  while (n < size && !m_ozvena.empty()) {
    buf[n++] = m_ozvena.front();
    m_ozvena.pop_front();
  }
  // Only the flush before a request asks for more than one byte at a time.
  std::size_t smi = m_size - m_pos;
  if (size > 1 && smi > m_podil) smi = m_podil;
  for (; n < size && smi > 0; --smi) {
    const std::uint8_t b = m_data[m_pos++];
    buf[n++] = static_cast<unsigned char>(m_prvni ? b : b ^ m_klic);
    m_prvni = false;
  }
  return n;
}

// The port is no descriptor here: its entry is marked and answered by the
// poll below from what the line still holds.
bool rs232_Priprav_cekani(int, pollfd* p) {
  *p = pollfd{-1, POLLIN, 0};
  return true;
}
int rs232_Po_cekani(int, const pollfd& p) { return (p.revents & POLLIN) ? 1 : -1; }
void rs232_Uvolni_porty() {}
int rs232_Duvod_selhani(int) { return 0; }
const char* rs232_Vzor_jmen() { return ""; }
// The line never dies and no node comes or goes.
const char* rs232_Duvod_ztraty(int) { return nullptr; }
void rs232_Zapamatuj_uzly() {}
int rs232_Novy_uzel() { return -1; }
void rs232_Nastav_buzeni(int, void (*)()) {}
int rs232_Poll(pollfd* p, int n, int ms) {
  if (n == 1 && p->fd < 0) {
    p->revents = !m_ozvena.empty() || m_pos < m_size ? POLLIN : 0;
    return p->revents != 0 ? 1 : 0;
  }
  return poll(p, static_cast<nfds_t>(n), ms);
}
