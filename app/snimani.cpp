// Device search with the broadcast search command, the copy of the data file,
// and the periodic sampling of scales 0..31 until a key is pressed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cstdio>

#include "mereni.h"
#include "ser.h"

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

// Opens a file of a copy without blocking on a FIFO and without truncating
// anything; only a regular file is accepted. -1 on failure.
int otevri_soubor(const char* cesta, int priznaky, struct stat* st) {
  int fd = open(cesta, priznaky | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
    close(fd);
    return -1;
  }
  int f = fcntl(fd, F_GETFL);
  if (f != -1) fcntl(fd, F_SETFL, f & ~O_NONBLOCK);
  return fd;
}

// Opens the source and closes it again when turning it into a stream fails.
std::FILE* proud(int fd, const char* rezim) {
  std::FILE* f = fdopen(fd, rezim);
  if (f == nullptr) close(fd);
  return f;
}

// The data file is opened for appending and closed again, which also
// creates a missing one.
bool test_souboru(const char* soubor) {
  std::FILE* f = std::fopen(soubor, "a");
  if (f == nullptr) return false;
  return std::fclose(f) == 0;
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

int Kopie(const char* zdroj, const char* cil) {
  g_chyba = 0;
  struct stat st_zdroj {};
  int fd_zdroj = otevri_soubor(zdroj, O_RDONLY, &st_zdroj);
  std::FILE* vstup = fd_zdroj < 0 ? nullptr : proud(fd_zdroj, "r");
  if (vstup == nullptr) {
    chyba(CHYBA_OTEVRENI_SOUBORU, "Kopie");
    return 0;
  }

  // The target is emptied only once it is known to be a regular file other
  // than the source: a copy onto itself (the same name, a link, a data file
  // named like the copy) would otherwise destroy the data.
  struct stat st_cil {};
  int fd_cil = otevri_soubor(cil, O_WRONLY | O_CREAT, &st_cil);
  bool tentyz = fd_cil >= 0 && st_cil.st_dev == st_zdroj.st_dev && st_cil.st_ino == st_zdroj.st_ino;
  if (tentyz) {
    close(fd_cil);
    fd_cil = -1;
  }
  std::FILE* vystup = nullptr;
  if (fd_cil >= 0 && ftruncate(fd_cil, 0) == 0) {
    vystup = proud(fd_cil, "w");
  } else if (fd_cil >= 0) {
    close(fd_cil);
  }
  if (vystup == nullptr) {
    if (std::fclose(vstup) != 0) chyba(CHYBA_ZAVRENI_SOUBORU, "Kopie");
    chyba(CHYBA_OTEVRENI_SOUBORU, "Kopie");
    return 0;
  }

  // Byte for byte: lines of any length, NUL bytes and an unterminated last
  // line all arrive unchanged.
  unsigned char blok[4096];
  bool selhalo = false;
  for (;;) {
    std::size_t n = std::fread(blok, 1, sizeof blok, vstup);
    if (n > 0 && std::fwrite(blok, 1, n, vystup) != n) {
      selhalo = true;
      break;
    }
    if (n < sizeof blok) {
      // A read error leaves the copy short, which is as bad as a failed write.
      if (std::ferror(vstup)) selhalo = true;
      break;
    }
  }
  if (selhalo) chyba(CHYBA_ZAVRENI_SOUBORU, "Kopie");
  if (std::fclose(vstup) != 0) chyba(CHYBA_ZAVRENI_SOUBORU, "Kopie");
  if (std::fclose(vystup) != 0) chyba(CHYBA_ZAVRENI_SOUBORU, "Kopie");
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

  if (!test_souboru(g_soubor)) chyba(CHYBA_POCTU_OPAKOVANI_BLOKU, "Snimej_hmotnost_hledej");

  // A key waiting; with konec_vstupu_zastavi the end of input counts as one,
  // since no key could ever stop the run after it.
  auto klavesa = [&] { return kon_kbhit() || (konec_vstupu_zastavi && kon_Konec_vstupu()); };
  // Ends the run on a key: the key is taken and has no other meaning.
  auto konec_klavesou = [&](bool kopirovat) {
    kon_getch();
    if (kopirovat) Kopie(g_soubor, g_kopie);
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
      Kopie(g_soubor, g_kopie);
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
