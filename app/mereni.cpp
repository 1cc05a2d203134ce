// One measurement of one scale: calibration from its EEPROM, the raw counts,
// temperature and weight, the console line and the data-file record.
#include "mereni.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "publikace.h"
#include "ser.h"
#include "vzorce.h"

namespace {

constexpr int POVEL_HMOTNOST = 3;
constexpr int ODPOVED_HMOTNOST = 0x83;

void chyba(int kod, const char* jmeno) {
  g_chyba = kod;
  Tisk_chyby(jmeno);
}

// Opens the data file for appending, creating it when missing. Opening
// never blocks (a FIFO without a reader fails) and only a regular file or a
// character device is taken. nullptr on failure.
std::FILE* otevri_pro_pripis(const char* soubor) {
  if (soubor == nullptr) return nullptr;
  const int fd = open(soubor, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISCHR(st.st_mode))) {
    close(fd);
    return nullptr;
  }
  const int priznaky = fcntl(fd, F_GETFL);
  if (priznaky < 0 || fcntl(fd, F_SETFL, priznaky & ~O_NONBLOCK) != 0) {
    close(fd);
    return nullptr;
  }
  std::FILE* f = fdopen(fd, "a");
  if (f == nullptr) close(fd);
  return f;
}

// Appends one complete line with a single write, so that an interruption
// never leaves part of a record behind. Returns 0, or 1 on any failure.
int pripis_radek(const char* soubor, const char* radek) {
  std::FILE* f = otevri_pro_pripis(soubor);
  if (f == nullptr) return 1;
  // Buffered whole (the line is far shorter than the stream's buffer) and
  // handed to the file by the close.
  const bool zapsano = std::fputs(radek, f) >= 0;
  const bool zavreno = std::fclose(f) == 0;
  return (zapsano && zavreno) ? 0 : 1;
}

std::tm mistni_cas() {
  std::tm cas;
  const std::time_t ted = std::time(nullptr);
  if (localtime_r(&ted, &cas) == nullptr) std::memset(&cas, 0, sizeof cas);
  return cas;
}

}  // namespace

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
  std::FILE* f = otevri_pro_pripis(soubor);
  if (f == nullptr || std::fclose(f) != 0) {
    chyba(CHYBA_POCTU_OPAKOVANI_BLOKU, "Sejmi_hmotnost");
    chyba_souboru = true;
  }

  const int r = Mereni_zarizeni(cislo_zarizeni, false, soubor, "Sejmi_hmotnost");
  kom_Napajeni_vahy(0);
  return (r != 0 || chyba_souboru || g_chyba != 0) ? 1 : 0;
}
