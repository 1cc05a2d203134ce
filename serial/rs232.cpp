// Serial port driver on Linux termios.
#include "rs232.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "rs232_speed.h"

char comports[RS232_PORTS][RS232_NAME_LEN];
int Cport[RS232_PORTS];
char baudr[64];

namespace {

struct Rychlost {
  int baud;
  const char* mod;
};

const Rychlost k_rychlosti[] = {
    {110, "baud=110 data=8 parity=N stop=1"},       {300, "baud=300 data=8 parity=N stop=1"},
    {600, "baud=600 data=8 parity=N stop=1"},       {1200, "baud=1200 data=8 parity=N stop=1"},
    {2400, "baud=2400 data=8 parity=N stop=1"},     {4800, "baud=4800 data=8 parity=N stop=1"},
    {9600, "baud=9600 data=8 parity=N stop=1"},     {19200, "baud=19200 data=8 parity=N stop=1"},
    {38400, "baud=38400 data=8 parity=N stop=1"},   {57600, "baud=57600 data=8 parity=N stop=1"},
    {115200, "baud=115200 data=8 parity=N stop=1"}, {128000, "baud=128000 data=8 parity=N stop=1"},
    {256000, "baud=256000 data=8 parity=N stop=1"},
};

// A write that finds the output buffer full waits this long for room; a dead
// port is a failure, never an endless wait.
constexpr int k_cekani_na_zapis_ms = 1000;

void zavri(int fd) {
  ioctl(fd, TIOCNXCL);  // lets the next opener in while another holder keeps it open
  flock(fd, LOCK_UN);
  close(fd);
}

// errno of the last failed open of each port, 0 after a good one.
int m_duvod[RS232_PORTS];
// Why an open port died (unplugged adapter, USB bus reset), nullptr while
// it lives.
const char* m_ztrata[RS232_PORTS];

void zemrel(int index, const char* proc) {
  if (m_ztrata[index] == nullptr) m_ztrata[index] = proc;
}

bool chyba_zarizeni(int e) { return e == EIO || e == ENXIO || e == ENODEV; }

// The identity of each port's node as last seen, to tell a node that
// appeared (or came back as another device) from one that stayed.
struct Uzel {
  bool je = false;
  dev_t zarizeni = 0;
  ino_t inode = 0;
};
Uzel m_uzly[RS232_PORTS];

int m_buzeni = -1;
void (*m_pri_buzeni)() = nullptr;

Uzel uzel(int index) {
  struct stat st {};
  Uzel u;
  if (comports[index][0] != '\0' && stat(comports[index], &st) == 0) {
    u.je = true;
    u.zarizeni = st.st_rdev;
    u.inode = st.st_ino;
  }
  return u;
}
char m_vzor[RS232_NAME_LEN + 2];  // a usable pattern is never longer than its names + 1

// Records why the open of port `index` failed; always 1, the failure result.
int selhani(unsigned index, int chyba) {
  m_duvod[index] = chyba;
  return 1;
}

// Spare slots hold -1 so that an operation on a port never opened fails
// cleanly instead of touching descriptor 0.
struct Inicializace {
  Inicializace() {
    for (int& c : Cport) c = -1;
  }
} k_inicializace;

}  // namespace

bool rs232_Jmeno_portu(const char* pattern, int index, char* out, std::size_t out_size) {
  if (pattern == nullptr || out == nullptr || out_size == 0) return false;
  const char* d = nullptr;
  for (const char* p = pattern; *p; ++p) {
    if (*p != '%') continue;
    if (p[1] != 'd' || d != nullptr) return false;
    d = p;
    ++p;
  }
  if (d == nullptr) return false;
  // Put together by hand: the pattern is the user's text, never a format.
  char cislo[16];
  std::snprintf(cislo, sizeof cislo, "%d", index);
  std::size_t pred = static_cast<std::size_t>(d - pattern);
  std::size_t po = std::strlen(d + 2);
  std::size_t delka = pred + std::strlen(cislo) + po;
  if (delka + 1 > out_size) return false;
  std::memcpy(out, pattern, pred);
  std::memcpy(out + pred, cislo, std::strlen(cislo));
  std::memcpy(out + pred + std::strlen(cislo), d + 2, po);
  out[delka] = '\0';
  return true;
}

int rs232_Nastav_jmena(char* err, std::size_t err_size) {
  const char* pattern = std::getenv("KVODA_PORT_PATTERN");
  if (pattern == nullptr) pattern = "/dev/ttyUSB%d";
  std::snprintf(m_vzor, sizeof m_vzor, "%s", pattern);
  std::memset(comports, 0, sizeof comports);
  for (int i = 0; i < RS232_PORTS - 1; ++i) {
    if (!rs232_Jmeno_portu(pattern, i, comports[i], RS232_NAME_LEN)) {
      std::memset(comports, 0, sizeof comports);
      if (err != nullptr && err_size > 0) {
        std::snprintf(err, err_size,
                      "KVODA_PORT_PATTERN must hold exactly one %%d and no other %%, in a path of at most %d "
                      "characters",
                      RS232_NAME_LEN - 1);
      }
      return 1;
    }
  }
  return 0;
}

const char* rs232_Mod_rychlosti(int baudrate) {
  for (const Rychlost& r : k_rychlosti) {
    if (r.baud == baudrate) return r.mod;
  }
  return nullptr;
}

int OpenComport(unsigned index, int baudrate) {
  if (index >= static_cast<unsigned>(RS232_PORTS)) return 1;
  const char* mod = rs232_Mod_rychlosti(baudrate);
  if (mod == nullptr) {
    std::printf("invalid baudrate\n");
    return selhani(index, EINVAL);
  }
  std::snprintf(baudr, sizeof baudr, "%s", mod);
  if (comports[index][0] == '\0') return selhani(index, ENOENT);

  // O_NONBLOCK: neither the open nor a read may wait for carrier or data.
  int fd = open(comports[index], O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return selhani(index, errno);
  // Exclusive use: TIOCEXCL keeps out other openers (root excepted), the
  // lock keeps out root and any program that honours it.
  if (!isatty(fd)) {
    close(fd);
    return selhani(index, ENOTTY);
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int chyba = errno == EWOULDBLOCK ? EBUSY : errno;
    close(fd);
    return selhani(index, chyba);
  }
  errno = 0;
  if (ioctl(fd, TIOCEXCL) != 0 || rs232_Nastav_linku(fd, baudrate) != 0) {
    int chyba = errno != 0 ? errno : EIO;
    zavri(fd);
    return selhani(index, chyba);
  }
  rs232_Nizka_latence(fd);
  // Only a successful open takes the slot: a failed one never leaves a
  // closed descriptor behind for a later operation to hit.
  Cport[index] = fd;
  m_duvod[index] = 0;
  m_ztrata[index] = nullptr;
  return 0;
}

int rs232_Duvod_selhani(int index) {
  if (index < 0 || index >= RS232_PORTS) return 0;
  return m_duvod[index];
}

const char* rs232_Vzor_jmen() { return m_vzor; }

int PollComport(int index, unsigned char* buf, int size) {
  if (index < 0 || index >= RS232_PORTS || Cport[index] < 0 || buf == nullptr || size <= 0) return 0;
  if (size > RS232_POLL_MAX) size = RS232_POLL_MAX;
  ssize_t n = read(Cport[index], buf, static_cast<std::size_t>(size));
  if (n > 0) return static_cast<int>(n);
  if (n < 0 && chyba_zarizeni(errno)) {
    zemrel(index, "read error");
  } else if (n == 0) {
    // The line is raw with no minimum, so an empty read is normal; only a
    // hang-up behind it means the port is gone.
    pollfd p{Cport[index], POLLIN, 0};
    if (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR))) zemrel(index, "hang-up");
  }
  return 0;
}

int SendByte(int index, int byte) {
  if (index < 0 || index >= RS232_PORTS || Cport[index] < 0) return 1;
  unsigned char b = static_cast<unsigned char>(byte & 0xFF);
  for (;;) {
    ssize_t n = write(Cport[index], &b, 1);
    if (n == 1) return 0;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{Cport[index], POLLOUT, 0};
      int r = poll(&p, 1, k_cekani_na_zapis_ms);
      if (r > 0 && (p.revents & POLLOUT) && !(p.revents & (POLLERR | POLLHUP | POLLNVAL))) continue;
      if (r > 0 && (p.revents & (POLLERR | POLLHUP))) zemrel(index, "hang-up");
    } else if (n < 0 && chyba_zarizeni(errno)) {
      zemrel(index, "write error");
    }
    return 1;
  }
}

int SendBuf(int index, const unsigned char* buf, int size) {
  if (index < 0 || index >= RS232_PORTS || Cport[index] < 0 || buf == nullptr || size < 0) return -1;
  ssize_t n = write(Cport[index], buf, static_cast<std::size_t>(size));
  if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
  return static_cast<int>(n);
}

void CloseComport(int index) {
  if (index < 0 || index >= RS232_PORTS || Cport[index] < 0) return;
  zavri(Cport[index]);
  // The slot keeps its old number only as a closed marker.
  Cport[index] = -1;
}

int IsCTSEnabled(int index) {
  if (index < 0 || index >= RS232_PORTS || Cport[index] < 0) return 0;
  int stav = 0;
  if (ioctl(Cport[index], TIOCMGET, &stav) != 0) return 0;
  return (stav & TIOCM_CTS) ? 1 : 0;
}

void cprintf(int index, const char* text) {
  if (text == nullptr) return;
  for (const char* p = text; *p; ++p) SendByte(index, static_cast<unsigned char>(*p));
}

bool rs232_Priprav_cekani(int index, pollfd* p) {
  const int fd = (index >= 0 && index < RS232_PORTS) ? Cport[index] : -1;
  if (fd < 0) return false;
  *p = pollfd{fd, POLLIN, 0};
  return true;
}

int rs232_Po_cekani(int index, const pollfd& p) {
  if ((p.revents & POLLIN) && !(p.revents & (POLLHUP | POLLERR | POLLNVAL))) return 1;
  if (p.revents & (POLLHUP | POLLERR)) zemrel(index, "hang-up");
  return -1;
}

void rs232_Uvolni_porty() {
  for (int fd : Cport) {
    if (fd >= 0) ioctl(fd, TIOCNXCL);
  }
}

const char* rs232_Duvod_ztraty(int index) {
  if (index < 0 || index >= RS232_PORTS || Cport[index] < 0) return nullptr;
  if (m_ztrata[index] == nullptr) {
    pollfd p{Cport[index], POLLIN, 0};
    if (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR))) zemrel(index, "hang-up");
  }
  if (m_ztrata[index] == nullptr) {
    struct stat st {};
    if (stat(comports[index], &st) != 0 && (errno == ENOENT || errno == ENOTDIR)) zemrel(index, "node gone");
  }
  return m_ztrata[index];
}

void rs232_Zapamatuj_uzly() {
  for (int i = 0; i < RS232_PORTS; ++i) m_uzly[i] = uzel(i);
}

int rs232_Novy_uzel() {
  int novy = -1;
  for (int i = RS232_PORTS - 1; i >= 0; --i) {
    const Uzel u = uzel(i);
    const Uzel byl = m_uzly[i];
    m_uzly[i] = u;
    if (novy < 0 && u.je && (!byl.je || byl.zarizeni != u.zarizeni || byl.inode != u.inode)) novy = i;
  }
  return novy;
}

void rs232_Nastav_buzeni(int fd, void (*pri_buzeni)()) {
  m_buzeni = fd;
  m_pri_buzeni = pri_buzeni;
}

int rs232_Poll(pollfd* p, int n, int ms) {
  pollfd v[2];
  if (n > 1 || (n == 1 && p == nullptr)) {
    errno = EINVAL;
    return -1;
  }
  if (n == 1) v[0] = p[0];
  int pocet = n;
  if (m_buzeni >= 0) v[pocet++] = pollfd{m_buzeni, POLLIN, 0};
  int r;
  if (pocet == 0) {
    // Nothing to watch: a plain sleep.
    if (ms < 0) ms = 0;
    timespec t{static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000L)};
    r = nanosleep(&t, nullptr) == 0 ? 0 : -1;
  } else {
    r = poll(v, static_cast<nfds_t>(pocet), ms);
  }
  if (r > 0 && m_buzeni >= 0 && v[pocet - 1].revents != 0) {
    if (m_pri_buzeni != nullptr) m_pri_buzeni();
    errno = EINTR;
    return -1;
  }
  if (n == 1) p[0].revents = v[0].revents;
  return r;
}
