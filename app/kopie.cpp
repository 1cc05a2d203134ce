// The copy of the data file: whole through a temporary file renamed over the
// target, or, for the sampling's copy, brought up to date by appending what
// the data file gained since.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ser.h"
#include "soubory.h"

namespace {

void chyba(int kod, const char* jmeno) {
  g_chyba = kod;
  Tisk_chyby(jmeno);
}

// Bytes the copy routines have written, for the benchmarks.
unsigned long long m_zapsano = 0;

// Name of the temporary file of a copy in progress, for the exit on a signal
// to remove it (Kopie_Uklid).
char m_docasny[PATH_MAX + 16];
volatile sig_atomic_t m_docasny_plati = 0;

// Writes all of buf; false on any failure.
bool zapis_vse(int fd, const unsigned char* buf, std::size_t n) {
  while (n > 0) {
    const ssize_t r = write(fd, buf, n);
    if (r > 0) {
      m_zapsano += static_cast<unsigned long long>(r);
      buf += r;
      n -= static_cast<std::size_t>(r);
    } else if (!(r < 0 && errno == EINTR)) {
      return false;
    }
  }
  return true;
}

// Copies what is left of `zdroj` to `cil`; false on a read or write failure.
bool kopiruj_obsah(int zdroj, int cil) {
  unsigned char blok[4096];
  for (;;) {
    const ssize_t n = read(zdroj, blok, sizeof blok);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (!zapis_vse(cil, blok, static_cast<std::size_t>(n))) return false;
  }
}

// A renamed file is on the disk only once its directory is.
void synchronizuj_adresar(const char* adresar) {
  const int fd = open(adresar, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  if (fsync(fd) != 0) { /* the file itself is on the disk; the name follows with the next sync */ }
  close(fd);
}

// One block of the data file on its way to the copy; no record is longer.
constexpr std::size_t BLOK_PRIPISU = 65536;
unsigned char m_blok[BLOK_PRIPISU];
// The copy's last record is compared within this many bytes before its end.
constexpr std::size_t OKNO_POROVNANI = 4096;

// Reads exactly n bytes at `od`; false on anything less.
bool cti_presne(int fd, unsigned char* buf, std::size_t n, off_t od) {
  while (n > 0) {
    const ssize_t r = pread(fd, buf, n, od);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    buf += r;
    n -= static_cast<std::size_t>(r);
    od += r;
  }
  return true;
}

// The copy (fd_cil, `delka` bytes) is a prefix of the data file when its
// last record equals the data file's bytes at the same offset.
bool je_predponou(int fd_zdroj, int fd_cil, off_t delka) {
  if (delka == 0) return true;
  static unsigned char v_kopii[OKNO_POROVNANI], v_datech[OKNO_POROVNANI];
  const std::size_t n = delka < static_cast<off_t>(OKNO_POROVNANI) ? static_cast<std::size_t>(delka) : OKNO_POROVNANI;
  if (!cti_presne(fd_cil, v_kopii, n, delka - static_cast<off_t>(n)) ||
      !cti_presne(fd_zdroj, v_datech, n, delka - static_cast<off_t>(n)))
    return false;
  const std::size_t od = Zacatek_posledniho_radku(v_kopii, n);
  return std::memcmp(v_kopii + od, v_datech + od, n - od) == 0;
}

// Appends the data file's whole lines beyond `od` to the copy, each write
// ending at a line end, so that a reader of the copy never meets part of a
// line. false on a failure or a line longer than a block.
bool pripis_radky(int fd_zdroj, int fd_cil, off_t od, off_t konec) {
  while (od < konec) {
    const off_t zbyva = konec - od;
    const std::size_t k = zbyva < static_cast<off_t>(BLOK_PRIPISU) ? static_cast<std::size_t>(zbyva) : BLOK_PRIPISU;
    if (!cti_presne(fd_zdroj, m_blok, k, od)) return false;
    std::size_t cele = k;
    while (cele > 0 && m_blok[cele - 1] != '\n') --cele;
    // An unfinished last line waits for its end; it goes with a later copy.
    if (cele == 0) return static_cast<off_t>(k) == zbyva;
    if (!zapis_vse(fd_cil, m_blok, cele)) return false;
    od += static_cast<off_t>(cele);
  }
  return true;
}

// Brings the copy up to date by appending, when it is still a prefix of the
// data file; its cost follows what was added, not the data file's size.
// false when it is not a prefix or the append failed (the copy is then cut
// back to its old length): the caller makes the whole copy instead.
bool pripis_kopii(const char* zdroj, const char* cil) {
  struct stat st_zdroj {};
  const int fd_zdroj = Otevri_soubor(zdroj, O_RDONLY, false, &st_zdroj);
  if (fd_zdroj < 0) return false;
  struct stat st_cil {};
  const int fd_cil = Otevri_soubor(cil, O_RDWR | O_APPEND, false, &st_cil);
  bool v_poradku = fd_cil >= 0 && !(st_cil.st_dev == st_zdroj.st_dev && st_cil.st_ino == st_zdroj.st_ino) &&
                   st_cil.st_size <= st_zdroj.st_size && je_predponou(fd_zdroj, fd_cil, st_cil.st_size);
  if (v_poradku) {
    const bool pripsano = pripis_radky(fd_zdroj, fd_cil, st_cil.st_size, st_zdroj.st_size) && fsync(fd_cil) == 0;
    if (!pripsano && ftruncate(fd_cil, st_cil.st_size) != 0) {
      // The whole copy that follows replaces it anyway.
    }
    v_poradku = pripsano;
  }
  if (fd_cil >= 0 && close(fd_cil) != 0) v_poradku = false;
  close(fd_zdroj);
  return v_poradku;
}

}  // namespace

std::size_t Zacatek_posledniho_radku(const unsigned char* buf, std::size_t n) {
  if (n < 2) return 0;
  for (std::size_t i = n - 1; i > 0; --i)
    if (buf[i - 1] == '\n') return i;
  return 0;
}

unsigned long long Kopie_zapsano_bajtu() { return m_zapsano; }

int Kopie_dat(const char* zdroj, const char* cil) {
  // A device as the data file (/dev/null) has nothing to copy, and copying
  // one could never end.
  struct stat st {};
  if (stat(zdroj, &st) == 0 && S_ISCHR(st.st_mode)) return 0;
  g_chyba = 0;
  if (pripis_kopii(zdroj, cil)) return 0;
  return Kopie(zdroj, cil);
}

void Kopie_Uklid() {
  if (m_docasny_plati) unlink(m_docasny);
  m_docasny_plati = 0;
}

int Kopie(const char* zdroj, const char* cil) {
  g_chyba = 0;
  struct stat st_zdroj {};
  const int fd_zdroj = Otevri_soubor(zdroj, O_RDONLY, false, &st_zdroj);
  if (fd_zdroj < 0) {
    chyba(CHYBA_OTEVRENI_SOUBORU, "Kopie");
    return 0;
  }
  auto zavri_zdroj = [&] {
    if (close(fd_zdroj) != 0) chyba(CHYBA_ZAVRENI_SOUBORU, "Kopie");
  };

  // A target reached through a link stays a link: its file is replaced. The
  // target must be a regular file other than the source: a copy onto itself
  // (the same name, a link, a data file named like the copy) would destroy
  // the data.
  char cesta[PATH_MAX];
  const char* kam = realpath(cil, cesta) != nullptr ? cesta : cil;
  struct stat st_cil {};
  const bool existuje = stat(kam, &st_cil) == 0;
  if (existuje && (!S_ISREG(st_cil.st_mode) ||
                   (st_cil.st_dev == st_zdroj.st_dev && st_cil.st_ino == st_zdroj.st_ino))) {
    zavri_zdroj();
    chyba(CHYBA_OTEVRENI_SOUBORU, "Kopie");
    return 0;
  }

  // The copy is written beside the target and renamed over it only when it
  // is whole and on the disk: until then the old target stays as it was.
  const char* lomitko = std::strrchr(kam, '/');
  char adresar[PATH_MAX];
  if (lomitko == nullptr) {
    std::snprintf(adresar, sizeof adresar, ".");
  } else {
    std::snprintf(adresar, sizeof adresar, "%.*s", static_cast<int>(lomitko - kam == 0 ? 1 : lomitko - kam), kam);
  }
  const char* jmeno = lomitko == nullptr ? kam : lomitko + 1;
  const int delka = std::snprintf(m_docasny, sizeof m_docasny, "%s/.%s.XXXXXX", adresar, jmeno);
  const bool vejde_se = delka > 0 && static_cast<std::size_t>(delka) < sizeof m_docasny;
  m_docasny_plati = 1;  // before the file exists: a signal in between finds no file to remove
  const int fd_cil = vejde_se ? mkostemp(m_docasny, O_CLOEXEC) : -1;
  if (fd_cil < 0) {
    m_docasny_plati = 0;
    zavri_zdroj();
    chyba(CHYBA_OTEVRENI_SOUBORU, "Kopie");
    return 0;
  }

  bool v_poradku = kopiruj_obsah(fd_zdroj, fd_cil);
  // The copy gets the target's permissions and owner, or those a new file
  // would have.
  if (existuje) {
    if (fchown(fd_cil, st_cil.st_uid, st_cil.st_gid) != 0) { /* not ours to give away: keep our own */ }
    if (fchmod(fd_cil, st_cil.st_mode & 07777) != 0) v_poradku = false;
  } else {
    const mode_t maska = umask(0);
    umask(maska);
    if (fchmod(fd_cil, 0666 & ~maska) != 0) v_poradku = false;
  }
  if (v_poradku && fsync(fd_cil) != 0) v_poradku = false;
  if (close(fd_cil) != 0) v_poradku = false;
  if (v_poradku && rename(m_docasny, kam) != 0) v_poradku = false;
  if (v_poradku) {
    m_docasny_plati = 0;
    synchronizuj_adresar(adresar);
  } else {
    Kopie_Uklid();
    chyba(CHYBA_ZAVRENI_SOUBORU, "Kopie");
  }
  zavri_zdroj();
  return 0;
}
