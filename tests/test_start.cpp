// Start-up: command line, help text, adapter discovery (through the real
// program against the simulated line), the adapter test and the scale power
// (in-process).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "harness.h"
#include "program_v_diteti.h"
#include "texty.h"
#include "rs232.h"
#include "ser.h"
#include "sim.h"

namespace {

const char* const k_radky_napovedy[] = {
    "*****************************************************************",
    "* Servis ulove vahy ROVA/TIKA, v4.5d",
    "* ---------------------------------------------------------------",
    "* spusteni: kvoda_ser [<parametry>]      Prostredi: LINUX/WINDOWS",
    "*  rychlost = 110..256000 Bd, prenosova rychlost serioveho portu ",
    "*             (implicitne 2400 Bd)                                ",
    "*  comx = 0 pro /dev/ttyUSB0, 1 pro /dev/ttyUSB1, seriovy port   ",
    "*       pro pripojeni vahy                                       ",
    "*  autostart = 0 jako ne, 1 jako ano, pro automaticke spusteni   ",
    "*       volby Periodicke snimani hmotnosti a teploty po spusteni ",
    "*  perioda = 120..86400 s, perioda snimani po autostartu         ",
    "*  soubor = nazev textoveho souboru dat, napr. zaznam.txt, pro   ",
    "*       ukladani ctenych dat z volby menu Periodicke snimani     ",
    "*       (nesmi to byt: zaloha.txt, kopie.txt, test.txt a test.jpg",
    "*        zobr.txt, data*, vaha*, obrgraf, webgraf)               ",
    "*  ukonceni = 0 jako ne, 1 jako ano, ukonceni a vypnuti pocitace ",
    "*       po prvnim zaznamu ve volbe periodickeho cteni            ",
    "*  rok = 0..2100, rok zobrazovanych dat                          ",
    "*****************************************************************",
};

std::string Napoveda() {
  std::string s;
  for (const char* r : k_radky_napovedy) s += std::string(r) + "\n";
  return s;
}

using texty::Hlaseni;

std::string Menu(int baud = 4800, int cislo = 0) { return texty::Menu(cislo, baud); }

const std::string k_hledam = "Hledam pripojeny adapter...";
const std::string k_konec = "n\n--- program servis, byl ukoncen ---\n";

std::string Nalezen(int adapter, int com) {
  return k_hledam + "OK   Adapter " + std::to_string(adapter) + " pripojen na port COM" + std::to_string(com) +
         "...OK\n";
}

using Povel = std::tuple<int, int, int>;  // command, destination, first data byte

std::vector<Povel> Povely(const sim::Line& line) {
  std::vector<Povel> v;
  for (const auto& r : line.requests()) v.emplace_back(r.cmd, r.dest, r.data.empty() ? -1 : r.data[0]);
  return v;
}

harness::Options Volby(const harness::TempDir& dir, const std::vector<std::string>& args = {}) {
  harness::Options o;
  o.args = args;
  o.port_pattern = dir.pattern();
  o.cwd = dir.path;
  return o;
}

harness::Result Spust(const harness::TempDir& dir, const std::vector<std::string>& args, const std::string& vstup,
                      double sekundy = 40) {
  return harness::run(Volby(dir, args), vstup, sekundy);
}

// The protocol clock's time in milliseconds, virtual where a test runs on
// virtual time; differences of it stay exact.
long long Ted() { return kom_Cas_ms(); }

// ---------------------------------------------------------------------------
// Command line

TEST(PrikazovaRadka, RejectedValueShowsItsMessageAndHelpWithoutTouchingThePort) {
  harness::TempDir dir;
  sim::Line line(dir.port(0));
  line.add_adapter(251);
  const std::string rych = "Chyba zadani prenosove rychlosti!";
  const std::string comx = "Chyba pri zadani parametru comx!";
  const std::string aut = "Chyba pri zadani parametru autostart!";
  const std::string per = "Chyba pri zadani parametru perioda!";
  const std::string ukon = "Chyba pri zadani parametru ukonceni!";
  const std::string rok = "Chyba pri zadani parametru rok!";
  const std::vector<std::pair<std::vector<std::string>, std::string>> pripady = {
      {{"2401"}, rych},
      {{"0"}, rych},
      {{"/H"}, rych},
      {{"/hx"}, rych},
      {{"/help"}, rych},
      {{"abc"}, rych},
      {{"-4800"}, rych},
      {{"99999999999"}, rych},
      {{"4294972096"}, rych},  // 2^32 + 4800: must not wrap round to 4800
      {{"9600", "2"}, comx},
      {{"9600", "-1"}, comx},
      {{"9600", "256"}, comx},  // its low byte would be 0
      {{"9600", "1", "2"}, aut},
      {{"9600", "1", "-1"}, aut},
      {{"9600", "0", "0", "119"}, per},
      {{"9600", "0", "0", "86401"}, per},
      {{"9600", "0", "0", "-120"}, per},
      {{"9600", "0", "0", "99999999999"}, per},
      {{"9600", "0", "0", "120", "x.txt", "2"}, ukon},
      {{"9600", "0", "0", "120", "x.txt", "-1"}, ukon},
      {{"9600", "0", "0", "120", "x.txt", "0", "2101"}, rok},
      {{"9600", "0", "0", "120", "x.txt", "0", "-1"}, rok},
      {{"9600", "0", "0", "120", "x.txt", "0", "99999999999"}, rok},
  };
  for (const auto& p : pripady) {
    std::string popis;
    for (const auto& a : p.first) popis += a + " ";
    SCOPED_TRACE(popis);
    harness::Result r = Spust(dir, p.first, "n\n", 15);
    EXPECT_EQ(p.second + "\n" + Napoveda(), r.out);
    EXPECT_EQ(0, r.exit_code);
    EXPECT_EQ("", r.err);
  }
  EXPECT_TRUE(line.received().empty());
  EXPECT_TRUE(line.requests().empty());
}

TEST(PrikazovaRadka, HelpAndTooManyParameters) {
  harness::TempDir dir;
  sim::Line line(dir.port(0));
  line.add_adapter(251);

  harness::Result r = Spust(dir, {"/h"}, "");
  EXPECT_EQ(Napoveda(), r.out);
  EXPECT_EQ(0, r.exit_code);

  // Everything after "/h" is ignored, even values that would be rejected.
  r = Spust(dir, {"/h", "2401", "x", "7"}, "");
  EXPECT_EQ(Napoveda(), r.out);
  EXPECT_EQ(0, r.exit_code);

  const std::string moc = "Bylo zadano prilis mnoho parametr\xC5\xAF!\n";
  r = Spust(dir, {"4800", "0", "0", "120", "z.txt", "0", "2018", "x"}, "");
  EXPECT_EQ(moc + Napoveda(), r.out);
  EXPECT_EQ(0, r.exit_code);
  ASSERT_GE(r.out.size(), 38u);
  EXPECT_EQ(std::string("r\xC5\xAF!\n"), r.out.substr(32, 5));

  // Too many wins over "/h".
  r = Spust(dir, {"/h", "1", "2", "3", "4", "5", "6", "7"}, "");
  EXPECT_EQ(moc + Napoveda(), r.out);
  EXPECT_EQ(0, r.exit_code);

  // --help and -h: the same text, then one line per environment setting
  // read; asking for help is never "too many".
  for (const std::vector<std::string>& a : {std::vector<std::string>{"--help"}, {"-h", "x"},
                                            {"--help", "1", "2", "3", "4", "5", "6", "7", "8"}}) {
    SCOPED_TRACE(a[0] + " " + std::to_string(a.size()));
    r = Spust(dir, a, "");
    EXPECT_EQ(0, r.exit_code);
    EXPECT_EQ("", r.err);
    ASSERT_EQ(0u, r.out.rfind(Napoveda() + "\n", 0)) << r.out;
    std::vector<std::string> nastaveni;
    for (std::size_t at = r.out.find("\n  KVODA_"); at != std::string::npos; at = r.out.find("\n  KVODA_", at + 1))
      nastaveni.push_back(r.out.substr(at + 3, r.out.find(' ', at + 3) - at - 3));
    EXPECT_EQ((std::vector<std::string>{"KVODA_PORT_PATTERN", "KVODA_TRACE", "KVODA_MQTT", "KVODA_MQTT_PASSWORD_FILE",
                                        "KVODA_MQTT_TOPIC", "KVODA_MQTT_DISCOVERY", "KVODA_MQTT_CAFILE",
                                        "KVODA_MQTT_EXPIRE"}),
              nastaveni);
    const std::string zbytek = r.out.substr(Napoveda().size());
    EXPECT_EQ(nastaveni.size() + 2, static_cast<std::size_t>(std::count(zbytek.begin(), zbytek.end(), '\n')))
        << "one line each";
  }
  r = Spust(dir, {"--version"}, "");
  EXPECT_EQ("kvoda_ser " KVODA_VERSION "\n", r.out);
  EXPECT_EQ(0, r.exit_code);
  // A write that fails is not a success.
  for (const char* a : {"--help", "--version"}) {
    harness::Options o = Volby(dir);
    o.program = "/bin/sh";
    o.args = {"-c", "exec \"$0\" \"$1\" > /dev/full", harness::kvoda_ser_path(), a};
    r = harness::run(o, "", 15);
    EXPECT_EQ(1, r.exit_code) << a;
    EXPECT_EQ("kvoda_ser: standard output: No space left on device\n", r.err) << a;
  }
  // Only exact words count, as for /h: the rest is a rejected baud rate.
  r = Spust(dir, {"--hel"}, "");
  EXPECT_EQ("Chyba zadani prenosove rychlosti!\n" + Napoveda(), r.out);

  for (const char* radek : k_radky_napovedy) {
    size_t delka = std::strlen(radek);
    if (std::strncmp(radek, "* Servis", 8) == 0) continue;
    EXPECT_TRUE(delka == 65 || (delka == 66 && std::strstr(radek, "implicitne") != nullptr)) << radek;
  }
  EXPECT_TRUE(line.received().empty());
}

// Values are judged and stored in-process, where the globals can be seen.
struct Radka {
  std::vector<std::string> s;
  std::vector<char*> v;
  explicit Radka(std::vector<std::string> args) : s(std::move(args)) {
    s.insert(s.begin(), "kvoda_ser");
    for (auto& a : s) v.push_back(&a[0]);
    v.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(s.size()); }
};

void Vychozi_nastaveni() {
  g_rychlost_zakladni = 4800;
  g_com_port = 0;
  g_autostart = 0;
  g_perioda = 120;
  g_soubor = "zaznam.txt";
  g_ukonceni = 0;
  g_rok_zobr = 2018;
}

int Zpracuj(Radka& r, std::string* vystup = nullptr) {
  testing::internal::CaptureStdout();
  int v = Zpracuj_prikazovou_radku(r.argc(), r.v.data());
  std::string out = testing::internal::GetCapturedStdout();
  if (vystup) *vystup = out;
  return v;
}

TEST(PrikazovaRadka, AcceptedValuesAreStored) {
  Vychozi_nastaveni();
  {
    Radka r({});
    std::string out;
    EXPECT_EQ(-1, Zpracuj(r, &out));
    EXPECT_EQ("", out);
    EXPECT_EQ(4800, g_rychlost_zakladni);
    EXPECT_EQ(0, g_autostart);
    EXPECT_EQ(120, g_perioda);
    EXPECT_STREQ("zaznam.txt", g_soubor);
    EXPECT_EQ(0, g_ukonceni);
    EXPECT_EQ(2018, g_rok_zobr);
  }
  for (int baud : {110, 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 128000, 256000}) {
    Vychozi_nastaveni();
    Radka r({std::to_string(baud)});
    EXPECT_EQ(-1, Zpracuj(r));
    EXPECT_EQ(baud, g_rychlost_zakladni);
  }
  {
    Vychozi_nastaveni();
    Radka r({"9600abc"});
    EXPECT_EQ(-1, Zpracuj(r));
    EXPECT_EQ(9600, g_rychlost_zakladni);
  }
  {
    Vychozi_nastaveni();
    Radka r({"  +19200", "1", "1", "86400", "data dir/x.txt", "1", "2100"});
    std::string out;
    EXPECT_EQ(-1, Zpracuj(r, &out));
    EXPECT_EQ("", out);
    EXPECT_EQ(19200, g_rychlost_zakladni);
    EXPECT_EQ(1, g_com_port);
    EXPECT_EQ(1, g_autostart);
    EXPECT_EQ(86400, g_perioda);
    EXPECT_EQ(r.v[5], g_soubor);  // the parameter itself, not a copy
    EXPECT_EQ(1, g_ukonceni);
    EXPECT_EQ(2100, g_rok_zobr);
  }
  {
    Vychozi_nastaveni();
    Radka r({"110", "0", "0", "120", "zaloha.txt", "0", "0"});
    EXPECT_EQ(-1, Zpracuj(r));
    EXPECT_EQ(120, g_perioda);
    EXPECT_STREQ("zaloha.txt", g_soubor);  // any name is taken
    EXPECT_EQ(0, g_rok_zobr);
  }
  {
    // Values before the rejected one stay stored; the program ends anyway.
    Vychozi_nastaveni();
    Radka r({"9600", "1", "1", "119"});
    std::string out;
    EXPECT_EQ(0, Zpracuj(r, &out));
    EXPECT_EQ("Chyba pri zadani parametru perioda!\n" + Napoveda(), out);
    EXPECT_EQ(9600, g_rychlost_zakladni);
    EXPECT_EQ(1, g_com_port);
    EXPECT_EQ(1, g_autostart);
    EXPECT_EQ(120, g_perioda);
  }
  {
    Vychozi_nastaveni();
    Radka r({"/h"});
    EXPECT_EQ(0, Zpracuj(r));
  }
  Vychozi_nastaveni();
}

TEST(PrikazovaRadka, UnusablePortPatternEndsBeforeAnyPort) {
  harness::TempDir dir;
  sim::Line line(dir.port(0));
  line.add_adapter(251);
  for (const std::string& vzor : {std::string("/dev/tty%s"), dir.path + "/ttyT", dir.path + "/ttyT%d%d"}) {
    SCOPED_TRACE(vzor);
    harness::Options o;
    o.port_pattern = vzor;
    o.cwd = dir.path;
    harness::Result r = harness::run(o, "n\n", 15);
    EXPECT_NE(0, r.exit_code);
    EXPECT_EQ("", r.out);
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.size() - 1, r.err.find('\n'));  // one line
    EXPECT_NE(std::string::npos, r.err.find("KVODA_PORT_PATTERN"));

    // The command line comes first: help, too many and rejected parameters
    // give their texts and status 0 whatever the pattern holds.
    const std::vector<std::pair<std::vector<std::string>, std::string>> radky = {
        {{"/h"}, Napoveda()},
        {{"--version"}, "kvoda_ser " KVODA_VERSION "\n"},
        {{"1", "2", "3", "4", "5", "6", "7", "8"}, "Bylo zadano prilis mnoho parametr\xC5\xAF!\n" + Napoveda()},
        {{"4800", "2"}, "Chyba pri zadani parametru comx!\n" + Napoveda()},
    };
    for (const auto& radka : radky) {
      o.args = radka.first;
      r = harness::run(o, "", 15);
      EXPECT_EQ(0, r.exit_code);
      EXPECT_EQ(radka.second, r.out);
      EXPECT_EQ("", r.err);
    }
  }
  EXPECT_TRUE(line.received().empty());
}

// ---------------------------------------------------------------------------
// Adapter discovery

TEST(HledaniAdapteru, AdapterAt251OnThirdPort) {
  harness::TempDir dir;
  sim::Line line(dir.port(2));
  line.set_baud(9600);
  line.add_adapter(251);
  harness::Result r = Spust(dir, {"9600abc"}, "n\n");
  EXPECT_EQ(Nalezen(251, 3) + Menu(9600) + k_konec, r.out);
  EXPECT_EQ(0, r.exit_code);
  // The adapter test, then the power-off of the one menu cycle.
  std::vector<Povel> ocekavane = {Povel{5, 251, 2}, Povel{5, 251, 0}};
  EXPECT_EQ(ocekavane, Povely(line));
}

TEST(HledaniAdapteru, HighestPortWins) {
  harness::TempDir dir;
  sim::Line nizsi(dir.port(1));
  nizsi.add_adapter(251);
  sim::Line vyssi(dir.port(4));
  vyssi.add_adapter(251);
  harness::Result r = Spust(dir, {}, "n\n");
  EXPECT_EQ(Nalezen(251, 5) + Menu() + k_konec, r.out);
  EXPECT_EQ(0, r.exit_code);
  EXPECT_TRUE(nizsi.received().empty());
}

TEST(HledaniAdapteru, RecorderWalkFindsAdapterAbove) {
  harness::TempDir dir;
  sim::Line line(dir.port(0));
  line.add_recorder(40);
  line.add_adapter(41);
  harness::VirtualClock cas(&line);
  harness::Result r = harness::run(program::Na_virtualnim_case(Volby(dir), cas), "n\n", 40);
  EXPECT_EQ(Nalezen(41, 1) + Menu() + k_konec, r.out);
  EXPECT_EQ(0, r.exit_code);
  std::vector<Povel> ocekavane = {Povel{5, 251, 2}, Povel{6, 255, 32}, Povel{5, 40, 2},
                                  Povel{6, 255, 41}, Povel{5, 41, 2},  Povel{5, 41, 0}};
  EXPECT_EQ(ocekavane, Povely(line));
}

TEST(HledaniAdapteru, NothingAnswersReportsAndGoesOnIntoTheMenu) {
  harness::TempDir dir;
  sim::Line line(dir.port(0));
  line.add_scale(3);  // behind a supply no adapter switches on
  // The second run has no port at all. The deadlines pass on virtual time.
  harness::TempDir bez_portu;
  harness::Options o;
  o.cwd = bez_portu.path;
  // A pattern under a file, whose names fail with "not a directory", is as
  // much no port as a missing one.
  harness::Options pod_souborem = o;
  pod_souborem.port_pattern = "/etc/passwd/tty%d";
  harness::VirtualClock cas(&line), cas2, cas3;
  std::vector<harness::Result> behy =
      harness::run_side_by_side({{program::Na_virtualnim_case(Volby(dir), cas), "n\n"},
                                 {program::Na_virtualnim_case(o, cas2), "n\n"},
                                 {program::Na_virtualnim_case(pod_souborem, cas3), "n\n"}},
                                40);
  harness::Result r = behy[0];
  // The menu's power-off then finds no port and times out.
  EXPECT_EQ(k_hledam + Hlaseni("Pripoj_adapter", 7) + Hlaseni("Povel_napajeni", 7) + Menu() + k_konec, r.out);
  EXPECT_EQ(0, r.exit_code);
  std::vector<Povel> ocekavane = {Povel{5, 251, 2}, Povel{6, 255, 32}};
  EXPECT_EQ(ocekavane, Povely(line));

  EXPECT_EQ("", r.err);  // the port opened: nothing to explain

  // No port at all: every open fails, and the report shows that; standard
  // error names the pattern tried and how to choose another.
  r = behy[1];
  EXPECT_EQ(k_hledam + Hlaseni("Pripoj_adapter", 3) + Hlaseni("Povel_napajeni", 7) + Menu() + k_konec, r.out);
  EXPECT_EQ(0, r.exit_code);
  EXPECT_EQ(
      "kvoda_ser: no port named by the pattern /nonexistent-kvoda/ttyNONE%d exists; KVODA_PORT_PATTERN chooses "
      "another\n",
      r.err);
  EXPECT_EQ("kvoda_ser: no port named by the pattern /etc/passwd/tty%d exists; KVODA_PORT_PATTERN chooses another\n",
            behy[2].err);
}

TEST(HledaniAdapteru, PortsThatWillNotOpenSayWhy) {
  // Run as an ordinary user, with four ports that exist and will not open:
  // a file that is no terminal, a terminal another program holds, a terminal
  // open to a group the user is not in, and one only its owner may use.
  // Standard output is the usual report.
  if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "needs root and setpriv";
  harness::TempDir dir;
  ASSERT_EQ(0, chmod(dir.path.c_str(), 0755));
  // A copy of the program where the other user may run it: the build tree
  // may lie in a directory only its owner can enter.
  const std::string program = dir.file("kvoda_ser");
  harness::write_file(program, harness::read_file(harness::kvoda_ser_path()));
  ASSERT_EQ(0, chmod(program.c_str(), 0755));
  harness::Options o;
  o.program = "/usr/bin/setpriv";
  o.args = {"--reuid=nobody", "--regid=nogroup", "--clear-groups", "/usr/bin/test", "-x", program};
  if (harness::run(o, "", 10).exit_code != 0) GTEST_SKIP() << "nobody may run programs in " << dir.path;
  harness::write_file(dir.port(0), "");
  ASSERT_EQ(0, chmod(dir.port(0).c_str(), 0666));
  sim::Line obsazena(dir.port(1));
  obsazena.add_adapter(251);
  sim::Line zakazana(dir.port(2));
  zakazana.add_adapter(251);
  char cesta[PATH_MAX];
  ASSERT_NE(nullptr, realpath(dir.port(1).c_str(), cesta));
  ASSERT_EQ(0, chmod(cesta, 0666));
  const int drzitel = open(cesta, O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(drzitel, 0);
  ASSERT_EQ(0, flock(drzitel, LOCK_EX | LOCK_NB));
  const group* g = getgrnam("dialout");
  if (g == nullptr) g = getgrnam("tty");
  ASSERT_NE(nullptr, g);
  const std::string skupina = g->gr_name;
  ASSERT_NE(nullptr, realpath(dir.port(2).c_str(), cesta));
  ASSERT_EQ(0, chown(cesta, 0, g->gr_gid));
  ASSERT_EQ(0, chmod(cesta, 0660));
  sim::Line soukroma(dir.port(3));
  soukroma.add_adapter(251);
  ASSERT_NE(nullptr, realpath(dir.port(3).c_str(), cesta));
  ASSERT_EQ(0, chown(cesta, 0, 0));
  ASSERT_EQ(0, chmod(cesta, 0600));

  o.args = {"--reuid=nobody", "--regid=nogroup", "--clear-groups", program};
  o.port_pattern = dir.pattern();
  o.cwd = dir.path;
  harness::Result r = harness::run(o, "n\n", 30);
  close(drzitel);
  EXPECT_EQ(k_hledam + Hlaseni("Pripoj_adapter", 3) + Hlaseni("Povel_napajeni", 7) + Menu() + k_konec, r.out);
  EXPECT_EQ(0, r.exit_code);
  EXPECT_EQ("kvoda_ser: " + dir.port(0) + ": not a terminal, so not a serial port\n" +
                "kvoda_ser: " + dir.port(1) + ": in use by another program\n" +
                "kvoda_ser: " + dir.port(2) + ": no permission to open it; it belongs to group " + skupina +
                ": join it with 'sudo usermod -aG " + skupina + " $USER', then log in again\n" +
                "kvoda_ser: " + dir.port(3) +
                ": no permission to open it; it belongs to group root, which may not use it either (mode 600): "
                "ask the administrator for access\n",
            r.err);
  EXPECT_TRUE(obsazena.received().empty());
  EXPECT_TRUE(zakazana.received().empty());
  EXPECT_TRUE(soukroma.received().empty());
}

TEST(HledaniAdapteru, WalkEndsAtTopRecorderAndOnResponderBelowStart) {
  // Two independent runs, side by side, on virtual time.
  harness::TempDir dir, dir2;
  sim::Line line(dir.port(0));
  line.add_recorder(249);
  // A responder answering the search from 41 with 35 would send the walk
  // round for ever; it ends the search on this port as a wrong reply.
  sim::Line line2(dir2.port(0));
  line2.add_recorder(40);
  line2.add_recorder(60);
  sim::FaultRule f;
  f.device = 255;
  f.command = 6;
  f.data0 = 41;
  f.fault = sim::Fault::WrongResponder;
  f.param = 35;
  line2.add_fault(f);
  harness::VirtualClock cas(&line), cas2(&line2);
  std::vector<harness::Result> behy =
      harness::run_side_by_side({{program::Na_virtualnim_case(Volby(dir), cas), "n\n"},
                                 {program::Na_virtualnim_case(Volby(dir2), cas2), "n\n"}},
                                40);
  {
    const harness::Result& r = behy[0];
    EXPECT_EQ(k_hledam + Hlaseni("Pripoj_adapter", 7) + Hlaseni("Povel_napajeni", 7) + Menu() + k_konec, r.out);
    EXPECT_EQ(0, r.exit_code);
    std::vector<Povel> ocekavane = {Povel{5, 251, 2}, Povel{6, 255, 32}, Povel{5, 249, 2}};
    EXPECT_EQ(ocekavane, Povely(line));
  }
  {
    const harness::Result& r = behy[1];
    EXPECT_EQ(k_hledam + Hlaseni("Najdi_nejblizsi_zaznamnik", 30) + Hlaseni("Povel_napajeni", 7) + Menu() + k_konec,
              r.out);
    EXPECT_EQ(0, r.exit_code);
    std::vector<Povel> ocekavane = {Povel{5, 251, 2}, Povel{6, 255, 32}, Povel{5, 40, 2}, Povel{6, 255, 41}};
    EXPECT_EQ(ocekavane, Povely(line2));
  }
}

TEST(HledaniAdapteru, WrongSearchReplyIsReportedOnce) {
  // One run per fault, side by side, each on virtual time.
  const std::vector<sim::Fault> chyby = {sim::Fault::WrongDest, sim::Fault::WrongCode};
  std::vector<std::unique_ptr<harness::TempDir>> adresare;
  std::vector<std::unique_ptr<sim::Line>> linky;
  std::vector<std::unique_ptr<harness::VirtualClock>> casy;
  std::vector<std::pair<harness::Options, std::string>> spusteni;
  for (sim::Fault chyba : chyby) {
    adresare.push_back(std::make_unique<harness::TempDir>());
    linky.push_back(std::make_unique<sim::Line>(adresare.back()->port(0)));
    linky.back()->add_recorder(40);
    sim::FaultRule f;
    f.command = 6;
    f.fault = chyba;
    linky.back()->add_fault(f);
    casy.push_back(std::make_unique<harness::VirtualClock>(linky.back().get()));
    spusteni.emplace_back(program::Na_virtualnim_case(Volby(*adresare.back()), *casy.back()), "n\n");
  }
  std::vector<harness::Result> behy = harness::run_side_by_side(spusteni, 40);
  for (std::size_t i = 0; i < chyby.size(); ++i) {
    const sim::Fault chyba = chyby[i];
    const sim::Line& line = *linky[i];
    const harness::Result& r = behy[i];
    int kod = chyba == sim::Fault::WrongDest ? 21 : 30;
    // The report of the search hides the later "Pripoj_adapter" one.
    EXPECT_EQ(k_hledam + Hlaseni("Najdi_nejblizsi_zaznamnik", kod) + Hlaseni("Povel_napajeni", 7) + Menu() + k_konec,
              r.out);
    EXPECT_EQ(0, r.exit_code);
    std::vector<Povel> ocekavane = {Povel{5, 251, 2}, Povel{6, 255, 32}};
    EXPECT_EQ(ocekavane, Povely(line));
  }
}

// ---------------------------------------------------------------------------
// In-process: adapter test and scale power on an open simulated line

class NaLince : public testing::Test {
 protected:
  harness::TempDir dir;
  sim::Line line{dir.port(0)};
  harness::VirtualClock cas{&line};

  void SetUp() override {
    setenv("KVODA_PORT_PATTERN", dir.pattern().c_str(), 1);
    char err[200];
    ASSERT_EQ(0, rs232_Nastav_jmena(err, sizeof err));
    g_chyba = 0;
    g_tisk_chyby_jiz_proveden = 0;
    g_cislo_adapteru = 251;
    std::memset(g_pri, 0, sizeof g_pri);
    ASSERT_EQ(0, kom_Otevri_nebo_zavri_port(1, 0, 4800));
  }
  void TearDown() override {
    kom_Zavri_port();
    g_chyba = 0;
    g_tisk_chyby_jiz_proveden = 0;
    unsetenv("KVODA_PORT_PATTERN");
  }
  void Zachyt() { testing::internal::CaptureStdout(); }
  std::string Vystup() { return testing::internal::GetCapturedStdout(); }
};

TEST_F(NaLince, AdapterTestLooksOnlyAtTheStatus) {
  line.add_adapter(251);
  Zachyt();
  EXPECT_EQ(0, Test_pripojeni_adapteru(251));
  EXPECT_EQ("", Vystup());
  ASSERT_FALSE(line.requests().empty());
  sim::Request q = line.requests().back();
  EXPECT_EQ(251, q.dest);
  EXPECT_EQ(0xFD, q.src);
  EXPECT_EQ(5, q.cmd);
  EXPECT_EQ(std::vector<std::uint8_t>{2}, q.data);
  EXPECT_FALSE(line.supply_on());  // a test switches nothing

  // Wrong destination, responder or code: still an adapter.
  for (sim::Fault f : {sim::Fault::WrongDest, sim::Fault::WrongResponder, sim::Fault::WrongCode}) {
    line.clear_faults();
    line.add_fault({251, 5, 2, f, 1, -1});
    Zachyt();
    EXPECT_EQ(0, Test_pripojeni_adapteru(251));
    EXPECT_EQ("", Vystup());
  }

  // A checksum error is reported by the exchange, but status 0 counts.
  line.clear_faults();
  line.add_fault({251, 5, 2, sim::Fault::BadChecksum, 1, -1});
  Zachyt();
  EXPECT_EQ(0, Test_pripojeni_adapteru(251));
  EXPECT_EQ(Hlaseni("Test_chyby_sumy", 2), Vystup());

  line.clear_faults();
  line.add_fault({251, 5, 2, sim::Fault::BadStatus, 1, -1});
  g_tisk_chyby_jiz_proveden = 0;
  Zachyt();
  EXPECT_EQ(23, Test_pripojeni_adapteru(251));
  EXPECT_EQ(23, g_chyba);
  EXPECT_EQ("", Vystup());

  // Nobody at that address: the short deadline.
  long long t0 = Ted();
  Zachyt();
  EXPECT_EQ(7, Test_pripojeni_adapteru(99));
  double t = (Ted() - t0) / 1e3;
  EXPECT_EQ("", Vystup());
  EXPECT_GE(t, 1.0);
  EXPECT_LE(t, 2.6);

  // Closing keeps the code of the failure.
  EXPECT_EQ(7, g_chyba);
  EXPECT_EQ(0, kom_Zavri_port());
  EXPECT_EQ(7, g_chyba);
  EXPECT_EQ(-1, g_fd);
}

TEST_F(NaLince, PowerSwitching) {
  line.add_adapter(251);

  // Power-on with the reply record never filled: checks 1 to 3 fail.
  Zachyt();
  long long t0 = Ted();
  EXPECT_EQ(0, kom_Napajeni_vahy(1));
  double t = (Ted() - t0) / 1e3;
  EXPECT_EQ(Hlaseni("Povel_napajeni", 21), Vystup());
  EXPECT_EQ(22, g_chyba);
  EXPECT_GE(t, 0.35);
  EXPECT_TRUE(line.supply_on());

  g_tisk_chyby_jiz_proveden = 0;
  Zachyt();
  t0 = Ted();
  EXPECT_EQ(0, kom_Napajeni_vahy(0));
  t = (Ted() - t0) / 1e3;
  EXPECT_EQ("", Vystup());
  EXPECT_EQ(0, g_chyba);
  EXPECT_GE(t, 0.35);
  EXPECT_FALSE(line.supply_on());

  // After a good power-off the power-on passes all checks without a reply.
  Zachyt();
  t0 = Ted();
  EXPECT_EQ(0, kom_Napajeni_vahy(1));
  t = (Ted() - t0) / 1e3;
  EXPECT_EQ("", Vystup());
  EXPECT_EQ(0, g_chyba);
  EXPECT_GE(t, 0.35);
  EXPECT_TRUE(line.supply_on());

  // The adapter goes silent: the power-off times out on the short deadline.
  line.add_fault({251, 5, 0, sim::Fault::Silence, -1, -1});
  Zachyt();
  t0 = Ted();
  EXPECT_EQ(0, kom_Napajeni_vahy(0));
  t = (Ted() - t0) / 1e3;
  EXPECT_EQ(Hlaseni("Povel_napajeni", 7), Vystup());
  EXPECT_GE(t, 1.0 + 0.35);
  EXPECT_LE(t, 2.6 + 0.35);
}

}  // namespace
