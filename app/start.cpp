// Start-up: the command line, the help text and the search for the adapter
// behind which the scales hang.
#include <grp.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cisla.h"
#include "rs232.h"
#include "ser.h"

namespace {

// Help text, printed as one write; the trailing blanks are part of it.
const char k_napoveda[] =
    "*****************************************************************\n"
    "* Servis ulove vahy ROVA/TIKA, v4.5d\n"
    "* ---------------------------------------------------------------\n"
    "* spusteni: kvoda_ser [<parametry>]      Prostredi: LINUX/WINDOWS\n"
    "*  rychlost = 110..256000 Bd, prenosova rychlost serioveho portu \n"
    "*             (implicitne 2400 Bd)                                \n"
    "*  comx = 0 pro /dev/ttyUSB0, 1 pro /dev/ttyUSB1, seriovy port   \n"
    "*       pro pripojeni vahy                                       \n"
    "*  autostart = 0 jako ne, 1 jako ano, pro automaticke spusteni   \n"
    "*       volby Periodicke snimani hmotnosti a teploty po spusteni \n"
    "*  perioda = 120..86400 s, perioda snimani po autostartu         \n"
    "*  soubor = nazev textoveho souboru dat, napr. zaznam.txt, pro   \n"
    "*       ukladani ctenych dat z volby menu Periodicke snimani     \n"
    "*       (nesmi to byt: zaloha.txt, kopie.txt, test.txt a test.jpg\n"
    "*        zobr.txt, data*, vaha*, obrgraf, webgraf)               \n"
    "*  ukonceni = 0 jako ne, 1 jako ano, ukonceni a vypnuti pocitace \n"
    "*       po prvnim zaznamu ve volbe periodickeho cteni            \n"
    "*  rok = 0..2100, rok zobrazovanych dat                          \n"
    "*****************************************************************";

// The environment settings the program reads, for --help; the help text of
// /h stays as it always was.
const char k_prostredi[] =
    "\n"
    "Prostredi (environment):\n"
    "  KVODA_PORT_PATTERN        port names tried, one %d (default /dev/ttyUSB%d)\n"
    "  KVODA_TRACE               file to which every frame on the line is logged\n"
    "  KVODA_MQTT                broker URL, mqtt[s]://[user[:password]@]host[:port]\n"
    "  KVODA_MQTT_PASSWORD_FILE  file whose first line is the broker password\n"
    "  KVODA_MQTT_TOPIC          topic prefix (default kvoda/HOSTNAME)\n"
    "  KVODA_MQTT_DISCOVERY      Home Assistant discovery prefix (homeassistant)\n"
    "  KVODA_MQTT_CAFILE         CA certificates for mqtts:// instead of the system's\n"
    "  KVODA_MQTT_EXPIRE         expire_after in s, 0 none (3 periods; 3 h one-pass)";

// Rates the port accepts; anything else on the command line is refused.
const int k_rychlosti[] = {110, 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 128000, 256000};

constexpr int MAX_PARAMETRU = 7;
constexpr int POVEL_HLEDEJ = 6;
constexpr int ODPOVED_HLEDEJ = 0x86;

bool Platna_rychlost(unsigned hodnota) {
  for (int r : k_rychlosti) {
    if (hodnota == static_cast<unsigned>(r)) return true;
  }
  return false;
}

// --help and --version print all there is to the run: a write that failed
// (a full disk, a closed pipe) fails the run, said on standard error.
int Konec_vypisu() {
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return 0;
  std::fprintf(stderr, "kvoda_ser: standard output: %s\n", std::strerror(errno ? errno : EIO));
  std::exit(1);
}

// Prints the rejection line and the help text; the caller then ends.
int Odmitnuti(const char* zprava) {
  std::puts(zprava);
  Tisk_napovedy_prikazove_radky();
  return 0;
}

// Asks the line who answers from `od` upwards (broadcast search).
int Hledej_od(int od) {
  c_vys[Z_START] = KOM_START;
  c_vys[Z_CIL] = KOM_VSICHNI;
  c_vys[Z_ZDROJ] = KOM_ADRESA_PC;
  c_vys[Z_POVEL] = POVEL_HLEDEJ;
  c_vys[Z_SUMA] = 0;
  c_vys[Z_DELKA] = 1;
  c_vys[Z_KLIC] = 0;
  c_vys[Z_DATA] = od;
  return kom_Vysli_a_prijmi_zpravu(c_vys, c_pri);
}

// Walks the recorders on the port just opened, looking for one that is an
// adapter. True with the port left open when found; otherwise the port is
// closed (keeping g_chyba for the final report).
bool Najdi_nejblizsi_zaznamnik(int port) {
  g_chyba = 0;
  int od = MIN_CISLO_ZAZNAMNIKU;
  for (;;) {
    if (Hledej_od(od) != 0) {
      kom_Zavri_port();
      return false;
    }
    if (c_pri[Z_CIL] != KOM_ADRESA_PC) {
      g_chyba = CHYBA_CISLA_PC;
      Tisk_chyby("Najdi_nejblizsi_zaznamnik");
      kom_Zavri_port();
      return false;
    }
    if (c_pri[Z_POVEL] != ODPOVED_HLEDEJ) {
      g_chyba = CHYBA_ODPOVED_HLEDEJ;
      Tisk_chyby("Najdi_nejblizsi_zaznamnik");
      kom_Zavri_port();
      return false;
    }
    int cislo = c_pri[Z_ZDROJ];
    // A responder below the number asked for breaks the rule the walk
    // relies on; going on from it could circle for ever. It counts as a
    // wrong reply to the search.
    if (cislo < od) {
      g_chyba = CHYBA_ODPOVED_HLEDEJ;
      Tisk_chyby("Najdi_nejblizsi_zaznamnik");
      kom_Zavri_port();
      return false;
    }
    if (Test_pripojeni_adapteru(cislo) == 0) {
      g_cislo_portu = port;
      g_cislo_adapteru = cislo;
      return true;
    }
    od = cislo + 1;
    if (od > MAX_CISLO_ZAZNAMNIKU) {
      kom_Zavri_port();
      return false;
    }
    g_chyba = 0;
  }
}

// One line on standard error saying why a port that exists would not open.
void Duvod_portu(const char* jmeno, int chyba) {
  if (chyba == EACCES || chyba == EPERM) {
    // Serial devices are opened to a group (dialout, tty, uucp) whose
    // members may use them. Joining root, or a group the mode shuts out,
    // would not help: then only the administrator can.
    struct stat st {};
    const group* g = stat(jmeno, &st) == 0 ? getgrgid(st.st_gid) : nullptr;
    if (g == nullptr || g->gr_name == nullptr) {
      std::fprintf(stderr, "kvoda_ser: %s: no permission to open it\n", jmeno);
    } else if (st.st_gid != 0 && (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)) {
      std::fprintf(stderr,
                   "kvoda_ser: %s: no permission to open it; it belongs to group %s: join it with "
                   "'sudo usermod -aG %s $USER', then log in again\n",
                   jmeno, g->gr_name, g->gr_name);
    } else {
      std::fprintf(stderr,
                   "kvoda_ser: %s: no permission to open it; it belongs to group %s, which may not use it "
                   "either (mode %03o): ask the administrator for access\n",
                   jmeno, g->gr_name, static_cast<unsigned>(st.st_mode & 0777));
    }
  } else if (chyba == EBUSY) {
    std::fprintf(stderr, "kvoda_ser: %s: in use by another program\n", jmeno);
  } else if (chyba == ENOTTY) {
    std::fprintf(stderr, "kvoda_ser: %s: not a terminal, so not a serial port\n", jmeno);
  } else {
    std::fprintf(stderr, "kvoda_ser: %s: cannot be opened: %s\n", jmeno, std::strerror(chyba));
  }
}

// After a discovery that found no adapter: why each existing port failed to
// open, or that no port of the pattern exists at all. Standard output keeps
// only the program's own report.
void Duvody_selhani_portu() {
  bool existuje = false;
  for (int port = 0; port < RS232_PORTS; ++port) {
    if (comports[port][0] == '\0') continue;
    const int chyba = rs232_Duvod_selhani(port);
    if (chyba == ENOENT || chyba == ENOTDIR) continue;
    existuje = true;
    if (chyba != 0) Duvod_portu(comports[port], chyba);
  }
  if (!existuje) {
    std::fprintf(stderr, "kvoda_ser: no port named by the pattern %s exists; KVODA_PORT_PATTERN chooses another\n",
                 rs232_Vzor_jmen());
  }
  std::fflush(stderr);
}

}  // namespace

int Test_pripojeni_adapteru(int adresa) {
  kom_Povel_adapteru(g_vys, adresa, TEST_ADAPTERU);
  int r = kom_Vysli_a_prijmi_zpravu(g_vys, g_pri);
  if (r != 0) return r;
  // Only the status counts: any device that says "done" is taken as the adapter.
  if (g_pri[Z_KLIC] != 0) {
    g_chyba = CHYBA_PROVEDENI_POVELU;
    return CHYBA_PROVEDENI_POVELU;
  }
  return 0;
}

void Tisk_napovedy_prikazove_radky() { std::puts(k_napoveda); }

int Zpracuj_prikazovou_radku(int argc, char** argv) {
  int pocet = argc - 1;
  // The Linux conventions, taken like /h from the first parameter only, and
  // before the count: asking for help is never an error.
  if (pocet >= 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    errno = 0;
    Tisk_napovedy_prikazove_radky();
    std::puts(k_prostredi);
    return Konec_vypisu();
  }
  if (pocet >= 1 && std::strcmp(argv[1], "--version") == 0) {
    errno = 0;
    std::puts("kvoda_ser " KVODA_VERSION);
    return Konec_vypisu();
  }
  if (pocet > MAX_PARAMETRU) {
    std::puts("Bylo zadano prilis mnoho parametr\xC5\xAF!");
    Tisk_napovedy_prikazove_radky();
    return 0;
  }
  if (pocet <= 0) return -1;
  if (std::strcmp(argv[1], "/h") == 0) {
    Tisk_napovedy_prikazove_radky();
    return 0;
  }

  // Each value is stored as soon as it is accepted; the range tests take the
  // value as unsigned, so a negative one never passes.
  unsigned h = static_cast<unsigned>(Cislo_z_textu(argv[1]));
  if (!Platna_rychlost(h)) return Odmitnuti("Chyba zadani prenosove rychlosti!");
  g_rychlost_zakladni = static_cast<int>(h);
  if (pocet < 2) return -1;

  h = static_cast<unsigned>(Cislo_z_textu(argv[2]));
  if (h > 1) return Odmitnuti("Chyba pri zadani parametru comx!");
  g_com_port = static_cast<int>(h & 0xFF);
  if (pocet < 3) return -1;

  h = static_cast<unsigned>(Cislo_z_textu(argv[3]));
  if (h > 1) return Odmitnuti("Chyba pri zadani parametru autostart!");
  g_autostart = static_cast<int>(h);
  if (pocet < 4) return -1;

  h = static_cast<unsigned>(Cislo_z_textu(argv[4]));
  if (h < 120 || h > 86400) return Odmitnuti("Chyba pri zadani parametru perioda!");
  g_perioda = static_cast<int>(h);
  if (pocet < 5) return -1;

  g_soubor = argv[5];
  if (pocet < 6) return -1;

  h = static_cast<unsigned>(Cislo_z_textu(argv[6]));
  if (h > 1) return Odmitnuti("Chyba pri zadani parametru ukonceni!");
  g_ukonceni = static_cast<int>(h);
  if (pocet < 7) return -1;

  h = static_cast<unsigned>(Cislo_z_textu(argv[7]));
  if (h > 2100) return Odmitnuti("Chyba pri zadani parametru rok!");
  g_rok_zobr = static_cast<int>(h);
  return -1;
}

bool Hledej_adapter_na_portu(int port) {
  if (kom_Otevri_nebo_zavri_port(1, port, g_rychlost_zakladni) != 0) return false;
  if (Test_pripojeni_adapteru(ADRESA_ADAPTERU) == 0) {
    g_cislo_portu = port;
    g_cislo_adapteru = ADRESA_ADAPTERU;
    return true;
  }
  return Najdi_nejblizsi_zaznamnik(port);
}

namespace {
bool m_adapter_ztracen = false;
}  // namespace

void Ztrata_adapteru() {
  if (g_fd < 0) return;
  std::fprintf(stderr, "kvoda_ser: adapter lost on %s (%s); waiting for it\n", comports[g_fd],
               rs232_Duvod_ztraty(g_fd));
  std::fflush(stderr);
  kom_Zavri_port();
  rs232_Zapamatuj_uzly();
  m_adapter_ztracen = true;
}

bool Adapter_ztracen() { return m_adapter_ztracen; }

bool Navrat_adapteru(int port) {
  // Reports of the search stay off the console: the command that follows
  // makes its own.
  const int hlaseni = g_tisk_chyby_jiz_proveden;
  g_tisk_chyby_jiz_proveden = 1;
  const bool zpet = Hledej_adapter_na_portu(port);
  g_tisk_chyby_jiz_proveden = hlaseni;
  if (!zpet) return false;
  m_adapter_ztracen = false;
  std::fprintf(stderr, "kvoda_ser: adapter %d back on %s\n", g_cislo_adapteru, comports[port]);
  std::fflush(stderr);
  return true;
}

bool Najdi_adapter_znovu() {
  if (!m_adapter_ztracen) return g_fd >= 0;
  for (int port = RS232_PORTS - 1; port >= 0; --port) {
    struct stat st {};
    if (comports[port][0] != '\0' && stat(comports[port], &st) == 0 && Navrat_adapteru(port)) return true;
  }
  return false;
}

void Pripoj_adapter() {
  std::printf("Hledam pripojeny adapter...");
  std::fflush(stdout);
  bool nalezen = false;
  // From the highest index down: the adapter on the highest port wins.
  for (int port = RS232_PORTS - 1; port >= 0 && !nalezen; --port) nalezen = Hledej_adapter_na_portu(port);
  if (!nalezen) {
    Tisk_chyby("Pripoj_adapter");
    std::fflush(stdout);
    Duvody_selhani_portu();
    return;
  }
  kom_Zpozdeni(200);
  std::printf("OK   ");
  std::printf("Adapter %d pripojen na port COM%i...OK\n", g_cislo_adapteru, g_cislo_portu + 1);
  std::fflush(stdout);
}
