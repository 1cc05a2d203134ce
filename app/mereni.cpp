// One measurement of one scale: calibration from its EEPROM, the raw counts,
// temperature and weight, the console line and the data-file record.
#include "mereni.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <initializer_list>

#include "publikace.h"
#include "ser.h"
#include "soubory.h"
#include "vzorce.h"

namespace {

constexpr int POVEL_HMOTNOST = 3;
constexpr int ODPOVED_HMOTNOST = 0x83;
constexpr int DELKA_HMOTNOSTI = 12;  // four 24-bit counts

void chyba(int kod, const char* jmeno) {
  g_chyba = kod;
  Tisk_chyby(jmeno);
}

// Opens the file for the append; read access too where the file allows it,
// so that its last byte can be looked at.
int otevri_k_pripsani(const char* soubor, struct stat* st, bool* cte) {
  int fd = Otevri_soubor(soubor, O_RDWR | O_APPEND | O_CREAT, true, st);
  *cte = fd >= 0;
  if (fd < 0) fd = Otevri_soubor(soubor, O_WRONLY | O_APPEND | O_CREAT, true, st);
  return fd;
}

// True when a regular file's last byte is not a line end: a line cut off by
// an editor or by a crash of some other writer, to which the next record
// must not be glued.
bool chybi_konec_radku(int fd, bool cte) {
  struct stat st {};
  char posledni = '\n';
  if (!cte || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) return false;
  return pread(fd, &posledni, 1, st.st_size - 1) == 1 && posledni != '\n';
}

// Appends one record line all or nothing. The line goes out in one write; a
// write cut short (a full disk, a file size limit) is cut back off the file,
// so no reader ever sees part of a line and the next record starts on a line
// of its own. The terminating signals wait until the file is whole again.
// Returns 0 when the whole line is in the file, 1 otherwise.
int pripis_radek(const char* soubor, const char* radek) {
  sigset_t ukoncujici, puvodni;
  sigemptyset(&ukoncujici);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&ukoncujici, sig);
  sigprocmask(SIG_BLOCK, &ukoncujici, &puvodni);

  struct stat st {};
  bool cte = false;
  const int fd = otevri_k_pripsani(soubor, &st, &cte);
  bool cely = fd >= 0;
  if (cely) {
    char text[1 + DELKA_RADKU];
    const int zacatek = chybi_konec_radku(fd, cte) ? 1 : 0;
    text[0] = '\n';
    std::snprintf(text + zacatek, sizeof text - 1, "%s", radek);
    const std::size_t delka = std::strlen(text);
    std::size_t zapsano = 0;
    while (zapsano < delka) {
      const ssize_t n = write(fd, text + zapsano, delka - zapsano);
      if (n > 0) {
        zapsano += static_cast<std::size_t>(n);
      } else if (!(n < 0 && errno == EINTR)) {
        break;
      }
    }
    cely = zapsano == delka;
    // A regular file is flushed to the disk, where a late failure (quota,
    // network file system) still shows; a device has nothing to flush.
    if (cely && S_ISREG(st.st_mode) && fsync(fd) != 0) cely = false;
    if (!cely && zapsano > 0 && S_ISREG(st.st_mode)) {
      // With O_APPEND the offset stands just after our own bytes, even when
      // another program appended meanwhile.
      const off_t konec = lseek(fd, 0, SEEK_CUR);
      if (konec < static_cast<off_t>(zapsano) || ftruncate(fd, konec - static_cast<off_t>(zapsano)) != 0) {
        // Nothing more can be done here; the append is reported as failed.
      }
    }
    if (close(fd) != 0) cely = false;
  }

  sigprocmask(SIG_SETMASK, &puvodni, nullptr);
  return cely ? 0 : 1;
}

std::tm mistni_cas() {
  std::tm cas;
  const std::time_t ted = std::time(nullptr);
  if (localtime_r(&ted, &cas) == nullptr) std::memset(&cas, 0, sizeof cas);
  return cas;
}

}  // namespace

bool Test_souboru_dat(const char* soubor) {
  const int fd = Otevri_soubor(soubor, O_WRONLY | O_APPEND | O_CREAT, true, nullptr);
  return fd >= 0 && close(fd) == 0;
}

int Mereni_zarizeni(int cislo, bool adresa_ze_zaznamu, const char* soubor, const char* jmeno) {
  auto adresa = [&] { return adresa_ze_zaznamu ? g_cislo_zarizeni : cislo; };

  if (kom_Napajeni_vahy(1) != 0) return 1;
  for (int blok = 1; blok <= 3; ++blok)
    if (Cteni_eeprom(adresa(), blok) != 0) return 1;

  h_vys[Z_START] = KOM_START;
  h_vys[Z_CIL] = adresa() & 0xFF;
  h_vys[Z_ZDROJ] = KOM_ADRESA_PC;
  h_vys[Z_POVEL] = POVEL_HMOTNOST;
  h_vys[Z_SUMA] = 0;
  h_vys[Z_DELKA] = 0;
  h_vys[Z_KLIC] = 0;
  if (kom_Vysli_a_prijmi_platnou_zpravu(h_vys, h_pri) != 0) return 1;
  if (h_pri[Z_CIL] != KOM_ADRESA_PC) {
    chyba(CHYBA_CISLA_PC, jmeno);
    return 1;
  }
  if (h_pri[Z_POVEL] != ODPOVED_HMOTNOST) {
    chyba(CHYBA_ODPOVED_DEJ_HMOT, jmeno);
    return 1;
  }
  // Counts a short reply did not carry would be those of an earlier reply.
  if (h_pri[Z_DELKA] < DELKA_HMOTNOSTI) {
    chyba(CHYBA_MAX_DELKA_DAT, jmeno);
    return 1;
  }

  const Surove_hodnoty s = Dekoduj_surove(h_pri + Z_DATA);
  g_tx = s.a;
  g_tref = s.b;
  g_toff = s.n;
  g_t = s.t;

  long double tc = 0, m = 0, fk = 0;
  if (!Vypocti_teplotu(g_tc1, g_tc2, g_t1, g_t2, g_t, &tc)) {
    chyba(CHYBA_DELENI_NULOU, jmeno);
    return 1;
  }
  g_tc = static_cast<float>(tc);
  if (!Vypocti_pomer(g_tx, g_tref, g_toff, &m)) {
    chyba(CHYBA_DELENI_NULOU, jmeno);
    return 1;
  }
  g_m = static_cast<float>(m);
  if (!Vypocti_hmotnost(m, tc, {g_k1, g_k2, g_posun, g_tc0, g_k4, g_k5}, &fk)) {
    chyba(CHYBA_DELENI_NULOU, jmeno);
    return 1;
  }
  g_fk = static_cast<float>(fk);

  const Vysledek_mereni v{cislo, mistni_cas(), g_fk, g_tc, {g_tx, g_tref, g_toff, g_t}};
  char radek[DELKA_RADKU];
  Radek_konzole(v, radek, sizeof radek);
  std::fputs(radek, stdout);
  std::fflush(nullptr);

  Radek_zaznamu(v, radek, sizeof radek);
  if (pripis_radek(soubor, radek) != 0) {
    chyba(CHYBA_POCTU_OPAKOVANI_BLOKU, jmeno);
    return 1;
  }
  Publikuj_zaznam(v, soubor);  // only once it is safely in the file
  return 0;
}

int Sejmi_hmotnost(int cislo_zarizeni, const char* soubor) {
  g_chyba = 0;
  bool chyba_souboru = false;
  if (!Test_souboru_dat(soubor)) {
    chyba(CHYBA_POCTU_OPAKOVANI_BLOKU, "Sejmi_hmotnost");
    chyba_souboru = true;
  }

  const int r = Mereni_zarizeni(cislo_zarizeni, false, soubor, "Sejmi_hmotnost");
  kom_Napajeni_vahy(0);
  return (r != 0 || chyba_souboru || g_chyba != 0) ? 1 : 0;
}
