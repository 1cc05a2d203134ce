#include "stopa.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "frame.h"

namespace {

// Appends printf-style text at `*pos`, never past `size` (keeps room for NUL).
void pridej(char* out, std::size_t size, std::size_t* pos, const char* fmt, ...) {
  if (*pos + 1 >= size) return;
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(out + *pos, size - *pos, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  *pos += static_cast<std::size_t>(n);
  if (*pos >= size) *pos = size - 1;
}

void cas(char* out, std::size_t size, std::size_t* pos, long long cas_ms) {
  time_t s = static_cast<time_t>(cas_ms / 1000);
  tm t{};
  localtime_r(&s, &t);
  pridej(out, size, pos, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
         t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(cas_ms % 1000));
}

// The data bytes, at most `prislo` of them (those that did arrive).
void data(char* out, std::size_t size, std::size_t* pos, const int* z, int prislo = KOM_MAX_DATA) {
  int n = z[Z_DELKA];
  if (n > KOM_MAX_DATA) n = KOM_MAX_DATA;
  if (n > prislo) n = prislo;
  pridej(out, size, pos, " data=");
  if (n <= 0) pridej(out, size, pos, "-");
  for (int i = 0; i < n; ++i) pridej(out, size, pos, i ? " %02X" : "%02X", z[Z_DATA + i] & 0xFF);
}

long long ted_ms() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

int m_stopa_fd = -1;
char m_stopa_jmeno[4096] = "";  // the KVODA_TRACE the file was opened for

// Opens the trace without ever waiting in the open (a FIFO without a reader
// would hold the program for good) and keeps only what takes a line without
// a partner: a regular file or a character device. On failure -1, with the
// reason in *proc.
int otevri_stopu(const char* jmeno, const char** proc) {
  static const char* const NE_SOUBOR = "not a regular file or a character device";
  struct stat st {};
  // Looked at first so that a FIFO is named as such, reader or none.
  if (stat(jmeno, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISCHR(st.st_mode)) {
    *proc = NE_SOUBOR;
    return -1;
  }
  const int fd = open(jmeno, O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
  if (fd < 0) {
    *proc = std::strerror(errno);
    return -1;
  }
  // What the name meant at the open itself.
  if (fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISCHR(st.st_mode))) {
    *proc = NE_SOUBOR;
    close(fd);
    return -1;
  }
  return fd;
}

int soubor() {
  const char* jmeno = std::getenv("KVODA_TRACE");
  if (jmeno == nullptr) jmeno = "";
  // Opened once per name: a failure is said once, not at every exchange.
  if (std::strncmp(m_stopa_jmeno, jmeno, sizeof m_stopa_jmeno - 1) == 0) return m_stopa_fd;
  if (m_stopa_fd >= 0) close(m_stopa_fd);
  m_stopa_fd = -1;
  std::snprintf(m_stopa_jmeno, sizeof m_stopa_jmeno, "%s", jmeno);
  if (*jmeno == '\0') return -1;
  const char* proc = nullptr;
  m_stopa_fd = otevri_stopu(jmeno, &proc);
  if (m_stopa_fd < 0) {
    std::fprintf(stderr, "kvoda_ser: cannot open the trace file %s (%s); running without a trace\n", jmeno, proc);
  }
  return m_stopa_fd;
}

void zapis(const char* radek, std::size_t delka) {
  int fd = soubor();
  if (fd < 0) return;
  // One write per line: lines of a killed program are whole or absent. The
  // descriptor stays non-blocking: a device that takes no more loses the
  // line rather than holding up the exchange.
  ssize_t n = write(fd, radek, delka);
  (void)n;
}

}  // namespace

std::size_t stopa_Radek_vyslano(char* out, std::size_t size, long long cas_ms, const int* z,
                                StopaVysledek vysledek, int ozvena) {
  std::size_t pos = 0;
  if (size == 0) return 0;
  out[0] = '\0';
  cas(out, size, &pos, cas_ms);
  pridej(out, size, &pos, " TX dst=%d src=%d cmd=%d len=%d key=0x%02X", z[Z_CIL], z[Z_ZDROJ], z[Z_POVEL],
         z[Z_DELKA], z[Z_KLIC] & 0xFF);
  data(out, size, &pos, z);
  pridej(out, size, &pos, " sum=0x%02X", z[Z_SUMA] & 0xFF);
  int delka = z[Z_DELKA] > KOM_MAX_DATA ? KOM_MAX_DATA : z[Z_DELKA];
  switch (vysledek) {
    case StopaVysledek::Ok: pridej(out, size, &pos, " ok\n"); break;
    case StopaVysledek::ChybaVysilani: pridej(out, size, &pos, " send failed\n"); break;
    case StopaVysledek::Termin:
      pridej(out, size, &pos, " deadline passed, %d of %d echo bytes arrived\n", ozvena, delka + 8);
      break;
  }
  if (out[pos - 1] != '\n') out[pos - 1] = '\n';
  return pos;
}

std::size_t stopa_Radek_prijato(char* out, std::size_t size, long long cas_ms, const int* z,
                                StopaVysledek vysledek, int bajtu, bool suma_ok) {
  std::size_t pos = 0;
  if (size == 0) return 0;
  out[0] = '\0';
  cas(out, size, &pos, cas_ms);
  if (vysledek == StopaVysledek::Termin && bajtu == 0) {
    pridej(out, size, &pos, " RX deadline passed, 0 bytes arrived\n");
  } else {
    pridej(out, size, &pos, " RX start=0x%02X", z[Z_START] & 0xFF);
    // Header fields only as far as they arrived.
    if (bajtu >= 2) pridej(out, size, &pos, " dst=%d", z[Z_CIL]);
    if (bajtu >= 3) pridej(out, size, &pos, " src=%d", z[Z_ZDROJ]);
    if (bajtu >= 4) pridej(out, size, &pos, " code=0x%02X", z[Z_POVEL] & 0xFF);
    if (bajtu >= 6) pridej(out, size, &pos, " len=%d", z[Z_DELKA]);
    if (bajtu >= 7) pridej(out, size, &pos, " status=%d", z[Z_KLIC]);
    if (bajtu >= 7) data(out, size, &pos, z, bajtu - KOM_HLAVICKA);
    if (vysledek == StopaVysledek::Ok) {
      pridej(out, size, &pos, suma_ok ? " sum=ok" : " sum=bad");
      pridej(out, size, &pos, " ok\n");
    } else {
      pridej(out, size, &pos, " deadline passed, %d bytes arrived\n", bajtu);
    }
  }
  if (out[pos - 1] != '\n') out[pos - 1] = '\n';
  return pos;
}

void stopa_Vyslano(const int* zprava, StopaVysledek vysledek, int ozvena) {
  if (soubor() < 0) return;
  char radek[512];
  std::size_t n = stopa_Radek_vyslano(radek, sizeof radek, ted_ms(), zprava, vysledek, ozvena);
  zapis(radek, n);
}

void stopa_Prijato(const int* zprava, StopaVysledek vysledek, int bajtu, bool suma_ok) {
  if (soubor() < 0) return;
  char radek[512];
  std::size_t n = stopa_Radek_prijato(radek, sizeof radek, ted_ms(), zprava, vysledek, bajtu, suma_ok);
  zapis(radek, n);
}
