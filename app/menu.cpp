// The main menu: one choice per cycle, with the scale powered off at the
// start of every cycle, until the user quits.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "bloky.h"
#include "ser.h"
#include "soubory.h"

namespace {

// Slice of the autostart countdown's wait for a key: short enough that the
// second's end is seen at once, long enough not to spin.
constexpr int PLATEK_CEKANI_MS = 50;

void Tisk_menu() {
  std::printf("\n");
  std::printf("=== Kvoda_ser-v" KVODA_VERSION ", %d Bd ===\n", g_rychlost_zakladni);
  std::printf("Servisni program pro vahy Velmora.\n");
  std::printf("\n");
  std::printf("(+) Vyhledani pripojenych zarizeni\n");
  std::printf("(0) Zmena aktualniho cisla vahy: %d\n", g_cislo_zarizeni);
  std::printf("(1) Nastaveni cisla ve vaze\n");
  std::printf("(2) Kalibrace zesileni (a soucasne nuly)\n");
  std::printf("(3) Kalibrace nuly\n");
  std::printf("(5) Test komunikace\n");
  std::printf("(6) Periodicke snimani hmotnosti a teploty\n");
  std::printf("(7) Jednorazove sejmuti hmotnosti a teploty\n");
  std::printf("(8) Prime nastaveni kalibracnich konstant\n");
  std::printf("(*) Posun hodnoty ciste vahy\n");
  std::printf("(/) Test kalibrace zpozdeni 5s\n");
  std::printf("\n");
  std::printf("       (k) Kopie aktualnich dat do zalohy\n");
  std::printf(" pozor!(o) Obnova aktualnich dat ze zalohy\n");
  std::printf(" pozor!(v) Vymaz aktualnich dat\n");
  std::printf("\n");
  std::printf("(n) Konec\n");
  std::printf("---------------------------------------------\n");
  std::printf("volba:");
}

void Vyhledani_zarizeni() {
  int cislo = Vstup_cisla("Zadejte od jakeho cisla hledat [0..255]", 0, 0, 255);
  bool nalezeno = false;
  for (;;) {
    int hledano = cislo;
    if (Najdi_nejblizsi(&cislo) != 0) break;
    if (!nalezeno) {
      std::printf("Pro ukonceni hledani stisknete libovolnou klavesu...\n");
      std::printf("Nalezeno:");
      nalezeno = true;
    }
    std::printf("%4d", cislo);
    std::fflush(stdout);
    // A device answering below the number asked for would make the walk
    // circle; it ends the search like the last number does.
    if (cislo > 254 || cislo < hledano || kon_kbhit()) break;
    ++cislo;
  }
  kon_Zahod_klavesy();
  if (!nalezeno && cislo == 256) {
    std::printf("Zadne zarizeni v zadanem rozsahu nebylo nalezeno!\n");
  } else {
    std::printf("\n");
  }
}

void Nastaveni_cisla_ve_vaze() {
  std::printf("Aktualni cislo vahy je: %d\n", g_cislo_zarizeni);
  if (Ano_ne("Cislo ponechat? [a/n]: ")) return;
  int nove = Vstup_cisla("Zadejte nove cislo [0..249]", g_cislo_zarizeni, 0, 249);
  if (nove == g_cislo_zarizeni) {
    std::printf("Bylo zadano stejne cislo, nic se nemeni\n");
    return;
  }
  if (!Ano_ne("Zapsat zadane cislo do vahy? [a/n]: ")) return;
  kom_Napajeni_vahy(1);
  if (Cteni_eeprom(g_cislo_zarizeni, 1) != 0) {
    kom_Napajeni_vahy(0);
    return;
  }
  kom_Napajeni_vahy(0);
  // The scale still answers at its old number and takes the new one from
  // the first field of block 1.
  int stare = g_cislo_zarizeni;
  g_cislo_zarizeni = nove;
  static const int blok_1[] = {1};
  kom_Napajeni_vahy(1);
  Uloz_bloky(stare, blok_1, 1);  // read back from the new number
  kom_Napajeni_vahy(0);
}

void Test_komunikace() {
  kom_Napajeni_vahy(1);
  long cykly = 0;
  while (Cteni_eeprom(g_cislo_zarizeni, 1) == 0) {
    ++cykly;
    std::printf("-");
    std::fflush(stdout);
    if (kon_kbhit()) break;
  }
  kon_Zahod_klavesy();
  std::printf("\nPocet uspesnych cyklu komunikace: %ld\n", cykly);
  std::printf("Pocet prenesenych bytu po posledni odpovedi: %ld\n", static_cast<long>(g_pocitadlo_bytu));
  kom_Napajeni_vahy(0);
  if (g_chyba != 0) Tisk_chyby("Test_komunikace");
}

// Ten whole-second steps; true when a key cancelled the autostart.
bool Odpocet_autostartu() {
  std::printf("Stiskem libovolne klavesy muzete jeste zrusit autostart...");
  std::fflush(stdout);
  for (int i = 1; i <= 10; ++i) {
    long long casovac = 0;
    kom_Casovac_dobehl(&casovac, 0);
    while (!kom_Casovac_dobehl(&casovac, 1)) {
      if (kon_Cekej_na_klavesu(PLATEK_CEKANI_MS)) {
        kon_getch();
        return true;
      }
    }
    std::printf("%d", i);
    std::fflush(stdout);
  }
  std::printf("\n");
  kon_Zahod_klavesy();
  return false;
}

void Periodicke_snimani() {
  if (g_autostart != 0 && Odpocet_autostartu()) {
    g_autostart = 0;
    return;
  }
  Snimej_hmotnost_hledej(10);
  if (g_autostart != 0) g_autostart = 0;
}

void Mistni_cas(std::tm* cas) {
  std::time_t ted = std::time(nullptr);
  if (localtime_r(&ted, cas) == nullptr) std::memset(cas, 0, sizeof *cas);
}

void Test_zpozdeni() {
  std::tm cas{};
  Mistni_cas(&cas);
  std::printf("%04d/%02d/%02d-      %02d:%02d:%02d\n", cas.tm_year + 1900, cas.tm_mon + 1, cas.tm_mday,
              cas.tm_hour, cas.tm_min, cas.tm_sec);
  std::printf("%04d/%02d/%02d-", cas.tm_year + 1900, cas.tm_mon + 1, cas.tm_mday);
  std::fflush(stdout);
  for (unsigned krok = 1; krok <= 5; ++krok) {
    kom_Zpozdeni(1000);
    std::printf("%u", krok);
    std::fflush(stdout);
  }
  Mistni_cas(&cas);
  std::printf(" %02d:%02d:%02d", cas.tm_hour, cas.tm_min, cas.tm_sec);
  std::fflush(stdout);
  // The shell's own one-second pause; where it cannot run, the test simply ends.
  int vysledek = std::system("sleep 1");
  (void)vysledek;
}

void Kopie_do_zalohy() {
  // A missing data file is not created: an empty copy would replace the
  // backup. The copy reports it (24) and leaves the backup as it was.
  if (Ano_ne("\nOpravdu chcete prepsat zalohu aktualnimi daty? [a/n]: ")) {
    Kopie(g_soubor, g_zaloha);
    if (g_chyba == 0) std::printf("predchozi zaloha byla prepsana aktualnimi daty\n");
  }
}

void Obnova_ze_zalohy() {
  // Any backup that opens counts as there (the copy refuses one that is no
  // regular file); the open never waits on a FIFO.
  const int fd = open(g_zaloha, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    std::printf("Zadna zaloha zatim nebyla ulozena.\n");
    return;
  }
  close(fd);
  if (Ano_ne("\nOpravdu chcete obnovit data ze zalohy? [a/n]: ")) {
    Kopie(g_zaloha, g_soubor);
    if (g_chyba == 0) std::printf("obnoveno\n");
  }
}

void Vymaz_dat() {
  if (Ano_ne("\nOpravdu chcete vymazat aktualni data? [a/n]: ")) {
    struct stat st {};
    const int fd = Otevri_soubor(g_soubor, O_WRONLY | O_CREAT, true, &st);
    bool vymazano = fd >= 0 && (!S_ISREG(st.st_mode) || ftruncate(fd, 0) == 0);
    if (fd >= 0 && close(fd) != 0) vymazano = false;
    if (vymazano) {
      std::printf("vymazano\n");
    } else {
      g_chyba = CHYBA_POCTU_OPAKOVANI_BLOKU;
      Tisk_chyby("Vymaz_dat");
    }
  }
}

void Ozvena(char volba) { std::printf("%c\n", volba); }

}  // namespace

void Hlavni_menu() {
  static char volba[80];
  std::memset(volba, 0, sizeof volba);
  for (;;) {
    g_tisk_chyby_jiz_proveden = 0;
    // An adapter that went away is looked for again before the next command.
    if (kom_Port_ztracen()) Ztrata_adapteru();
    if (Adapter_ztracen()) Najdi_adapter_znovu();
    kom_Napajeni_vahy(0);
    Tisk_menu();

    char c;
    if (g_autostart != 0) {
      c = '6';
    } else if (g_ukonceni_probehlo != 0) {
      c = 'n';
    } else {
      kon_Cti_token(volba, sizeof volba);
      c = volba[0];
    }

    switch (c) {
      case '+':
        Ozvena(c);
        Vyhledani_zarizeni();
        break;
      case '0':
        Ozvena(c);
        g_cislo_zarizeni = Vstup_cisla("Zadejte nove cislo [0..249]", g_cislo_zarizeni, 0, 249);
        break;
      case '1':
        Ozvena(c);
        Nastaveni_cisla_ve_vaze();
        break;
      case '2':
        Ozvena(c);
        Kalibrace_zesileni();
        break;
      case '3':
        Ozvena(c);
        Kalibrace_nuly();
        break;
      case '4':
      case '-':
        Ozvena(c);
        break;
      case '5':
        Ozvena(c);
        Test_komunikace();
        break;
      case '6':
        Ozvena(c);
        Periodicke_snimani();
        break;
      case '7':
        Ozvena(c);
        Sejmi_hmotnost(g_cislo_zarizeni, g_soubor);
        break;
      case '8':
        Ozvena(c);
        Prime_nastaveni();
        break;
      case '*':
        Ozvena(c);
        Posun_ciste_vahy();
        break;
      case '/':
        Ozvena(c);
        Test_zpozdeni();
        break;
      case 'k':
        Kopie_do_zalohy();
        break;
      case 'o':
        Obnova_ze_zalohy();
        break;
      case 'v':
        Vymaz_dat();
        break;
      case 'n':
        Ozvena(c);
        Konec_programu();
      default:
        break;
    }
  }
}
