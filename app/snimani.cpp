// Device search with the broadcast search command, the copy of the data file,
// and the periodic sampling of scales 0..31 until a key is pressed.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mereni.h"
#include "ser.h"
#include "soubory.h"

namespace {

constexpr int ZADNE_ZARIZENI = 256;  // what a search that nobody answered leaves
constexpr long NEJKRATSI_CYKLUS = 10;
constexpr long NEJDELSI_CYKLUS = 86400;
constexpr int KROK_CEKANI_MS = 100;  // a key and the end of a cycle are seen this soon

void chyba(int kod, const char* jmeno) {
  g_chyba = kod;
  Tisk_chyby(jmeno);
}

// Weights of the scales 0..31 measured by the last sampling run (its last
// pass); the offset calibration takes the current scale's own from here.
float m_vaha_behu[NEJVYSSI_SNIMANA_VAHA + 1];
bool m_zmerena_behem[NEJVYSSI_SNIMANA_VAHA + 1];

// Name of the temporary file of a copy in progress, for the exit on a signal
// to remove it (Kopie_Uklid).
char m_docasny[PATH_MAX + 16];
volatile sig_atomic_t m_docasny_plati = 0;

// Writes all of buf; false on any failure.
bool zapis_vse(int fd, const unsigned char* buf, std::size_t n) {
  while (n > 0) {
    const ssize_t r = write(fd, buf, n);
    if (r > 0) {
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

// Periodic copy of the data file. A device as the data file (/dev/null) has
// nothing to copy, and copying one could never end.
void kopie_dat() {
  struct stat st {};
  if (stat(g_soubor, &st) == 0 && S_ISCHR(st.st_mode)) return;
  Kopie(g_soubor, g_kopie);
}

}  // namespace

int Najdi_nejblizsi(int* p_cislo) {
  g_chyba = 0;
  assert((*p_cislo >= MIN_CISLO_ZARIZENI)&& (*p_cislo <=MAX_CISLO_ZARIZENI));
  if (kom_Napajeni_vahy(1) != 0) return 1;

  c_vys[Z_START] = KOM_START;
  c_vys[Z_CIL] = 255;
  c_vys[Z_ZDROJ] = KOM_ADRESA_PC;
  c_vys[Z_POVEL] = 6;
  c_vys[Z_SUMA] = 0;
  c_vys[Z_DELKA] = 1;
  c_vys[Z_KLIC] = 0;
  c_vys[Z_DATA] = *p_cislo;

  int r = kom_Vysli_a_prijmi_platnou_zpravu(c_vys, c_pri);
  if (r != 0) {
    if (r == CHYBA_CEKANI_PRIJEM) *p_cislo = ZADNE_ZARIZENI;
    kom_Napajeni_vahy(0);
    return 1;
  }
  if (c_pri[Z_CIL] != KOM_ADRESA_PC) {
    chyba(CHYBA_CISLA_PC, "Najdi_nejblizsi");
    kom_Napajeni_vahy(0);
    return 1;
  }
  if (c_pri[Z_POVEL] != 0x86) {
    chyba(CHYBA_ODPOVED_HLEDEJ, "Najdi_nejblizsi");
    kom_Napajeni_vahy(0);
    return 1;
  }
  *p_cislo = c_pri[Z_ZDROJ];
  kom_Napajeni_vahy(0);
  return 0;
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

bool Vaha_z_behu(int cislo, float* p_fk) {
  if (cislo < 0 || cislo > NEJVYSSI_SNIMANA_VAHA || !m_zmerena_behem[cislo]) return false;
  *p_fk = m_vaha_behu[cislo];
  return true;
}

int Snimej_hmotnost_hledej(int a, bool konec_vstupu_zastavi) {
  g_chyba = 0;
  const int puvodni_cislo = g_cislo_zarizeni;
  for (bool& z : m_zmerena_behem) z = false;

  long perioda;
  if (g_autostart != 0) {
    perioda = g_perioda;
    if (perioda < NEJKRATSI_CYKLUS) perioda = NEJKRATSI_CYKLUS;
    if (perioda > NEJDELSI_CYKLUS) perioda = NEJDELSI_CYKLUS;
    std::printf("Doba cyklu je: %ld [s]\n", perioda);
  } else if (a > NEJDELSI_CYKLUS) {
    perioda = Vstup_cisla("Zadejte dobu cyklu cteni v sekundach [10..86400]", NEJDELSI_CYKLUS,
                          NEJKRATSI_CYKLUS, NEJDELSI_CYKLUS);
  } else if (a > 9) {
    perioda = Vstup_cisla("Zadejte dobu cyklu cteni v sekundach [10..86400]", a, NEJKRATSI_CYKLUS,
                          NEJDELSI_CYKLUS);
  } else {
    perioda = NEJKRATSI_CYKLUS;
  }
  std::printf("Pro ukonceni cteni stisknete libovolnou klavesu...\n");

  if (!Test_souboru_dat(g_soubor)) chyba(CHYBA_POCTU_OPAKOVANI_BLOKU, "Snimej_hmotnost_hledej");

  // A key waiting; with konec_vstupu_zastavi the end of input counts as one,
  // since no key could ever stop the run after it.
  auto klavesa = [&] { return kon_kbhit() || (konec_vstupu_zastavi && kon_Konec_vstupu()); };
  // Ends the run on a key: the key is taken and has no other meaning.
  auto konec_klavesou = [&](bool kopirovat) {
    kon_getch();
    if (kopirovat) kopie_dat();
    g_cislo_zarizeni = puvodni_cislo;
    return 0;
  };

  for (;;) {
    long long zacatek = 0;
    kom_Casovac_dobehl(&zacatek, 0);
    int n = 0;
    for (;;) {
      const int hledano = n;
      if (Najdi_nejblizsi(&n) != 0) {
        if (n <= NEJVYSSI_SNIMANA_VAHA) {
          std::printf("Nastala nejaka chyba v Snimej_hmotnost2...\n");
          break;
        }
        if (klavesa()) return konec_klavesou(true);
        break;
      }
      // A responder below the number asked for would make the pass measure
      // the same scales again and again, logging them without end.
      if (n < hledano) {
        std::printf("Nastala nejaka chyba v Snimej_hmotnost2...\n");
        break;
      }
      if (n > NEJVYSSI_SNIMANA_VAHA) break;

      g_cislo_zarizeni = n;
      m_zmerena_behem[n] = Mereni_zarizeni(n, true, g_soubor, "Snimej_hmotnost_hledej") == 0;
      if (m_zmerena_behem[n]) m_vaha_behu[n] = g_fk;
      kom_Napajeni_vahy(0);
      ++n;
      if (n > NEJVYSSI_SNIMANA_VAHA) break;
      if (klavesa()) return konec_klavesou(true);
      kopie_dat();
    }

    // End of a pass.
    if (g_ukonceni != 0) {
      g_ukonceni_probehlo = 1;
      kon_Zahod_klavesy();
      g_cislo_zarizeni = puvodni_cislo;
      return g_chyba != 0 ? 1 : 0;
    }
    if (klavesa()) return konec_klavesou(false);
    while (!kom_Casovac_dobehl(&zacatek, perioda)) {
      if (kon_Cekej_na_klavesu(KROK_CEKANI_MS) || klavesa()) return konec_klavesou(false);
    }
  }
}
