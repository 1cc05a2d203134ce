// Device search, the copy of the data file and the periodic sampling, run
// in-process against the line simulator with standard input on a pipe.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"
#include "rs232.h"
#include "ser.h"
#include "sim.h"
#include "sledovani.h"

namespace {

// The protocol clock's time: virtual where the test runs on virtual time.
double cas_s() { return kom_Cas_ms() / 1e3; }

// Standard output (or with cislo 2, error) of fn, taken through a file on
// that descriptor.
std::string zachyt(const std::function<void()>& fn, int cislo = 1) {
  std::fflush(nullptr);
  char jmeno[] = "/tmp/kvoutXXXXXX";
  int fd = mkstemp(jmeno);
  unlink(jmeno);
  int stary = dup(cislo);
  dup2(fd, cislo);
  fn();
  std::fflush(nullptr);
  dup2(stary, cislo);
  close(stary);
  std::string s;
  lseek(fd, 0, SEEK_SET);
  char b[4096];
  ssize_t n;
  while ((n = read(fd, b, sizeof b)) > 0) s.append(b, static_cast<size_t>(n));
  close(fd);
  return s;
}

std::vector<std::string> radky(const std::string& s) {
  std::vector<std::string> r;
  std::size_t z = 0;
  for (std::size_t i; (i = s.find('\n', z)) != std::string::npos; z = i + 1) r.push_back(s.substr(z, i - z));
  if (z < s.size()) r.push_back(s.substr(z));
  return r;
}

bool existuje(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0;
}

void nuluj_globaly() {
  g_chyba = 0;
  g_tisk_chyby_jiz_proveden = 0;
  g_autostart = 0;
  g_perioda = 120;
  g_ukonceni = 0;
  g_ukonceni_probehlo = 0;
  g_cislo_zarizeni = 0;
}

// Keeps keys pressed on descriptor 0 for the duration of a test.
struct Klavesnice {
  int zapis = -1, stary = -1;
  Klavesnice() {
    int p[2];
    EXPECT_EQ(0, pipe(p));
    stary = dup(0);
    dup2(p[0], 0);
    close(p[0]);
    zapis = p[1];
    kon_Novy_vstup();
  }
  ~Klavesnice() {
    if (zapis >= 0) close(zapis);
    dup2(stary, 0);
    close(stary);
    kon_Novy_vstup();
  }
  void stisk(const std::string& s) { EXPECT_EQ(static_cast<ssize_t>(s.size()), write(zapis, s.data(), s.size())); }
};

// A simulated line with the adapter at 251 and the port open on it; the data
// file and its copy in a fresh directory.
struct Linka {
  harness::TempDir dir;
  sim::Line line;
  std::unique_ptr<harness::VirtualClock> cas;
  Klavesnice klavesy;
  std::string zaznam, kopie;
  // On virtual time unless the test is about wall-clock time itself.
  explicit Linka(bool virtualni = true)
      : line(dir.port(0)), zaznam(dir.file("zaznam.txt")), kopie(dir.file("kopie.txt")) {
    if (virtualni) cas = std::make_unique<harness::VirtualClock>(&line);
    line.add_adapter(251);
    setenv("KVODA_PORT_PATTERN", dir.pattern().c_str(), 1);
    char err[200];
    EXPECT_EQ(0, rs232_Nastav_jmena(err, sizeof err)) << err;
    EXPECT_EQ(0, kom_Otevri_nebo_zavri_port(1, 0, 4800));
    nuluj_globaly();
    g_soubor = zaznam.c_str();
    g_kopie = kopie.c_str();
    // The first power-on checks the record of the last power-off.
    kom_Napajeni_vahy(0);
    line.clear_log();
    g_chyba = 0;
  }
  ~Linka() {
    kom_Zavri_port();
    unsetenv("KVODA_PORT_PATTERN");
    nuluj_globaly();
    g_soubor = "zaznam.txt";
    g_kopie = "kopie.txt";
  }
  std::vector<sim::Request> povely(int cmd) const {
    std::vector<sim::Request> r;
    for (auto& q : line.requests())
      if (q.cmd == cmd) r.push_back(q);
    return r;
  }
  std::vector<int> hledani_od() const {
    std::vector<int> r;
    for (auto& q : povely(6)) r.push_back(q.data.empty() ? -1 : q.data[0]);
    return r;
  }
};

}  // namespace

TEST(Najdi, SearchCommandAndOutcomes) {
  Linka l;
  l.line.add_scale(3);
  l.line.add_scale(17);
  int n = 0;
  std::string out = zachyt([&] { EXPECT_EQ(0, Najdi_nejblizsi(&n)); });
  EXPECT_EQ(3, n);
  EXPECT_EQ("", out);
  EXPECT_FALSE(l.line.supply_on());
  auto q = l.povely(6);
  ASSERT_EQ(1u, q.size());
  EXPECT_EQ(255, q[0].dest);
  EXPECT_EQ(0xFD, q[0].src);
  ASSERT_EQ(1u, q[0].data.size());
  EXPECT_EQ(0, q[0].data[0]);
  // Power on, the search, power off.
  auto vse = l.line.requests();
  ASSERT_EQ(3u, vse.size());
  EXPECT_EQ(5, vse[0].cmd);
  EXPECT_EQ(1, vse[0].data[0]);
  EXPECT_EQ(5, vse[2].cmd);
  EXPECT_EQ(0, vse[2].data[0]);

  n = 4;
  EXPECT_EQ(0, Najdi_nejblizsi(&n));
  EXPECT_EQ(17, n);
  n = 18;
  EXPECT_EQ(0, Najdi_nejblizsi(&n));
  EXPECT_EQ(251, n);  // the adapter answers the search too

  // Nobody answers: 256, after the short deadline. From the top of a second
  // the 2 s pass whole, plus the pauses of the two power switches (0.35 s
  // each); the scale's 9 s would take past 9.35.
  l.line.add_fault({-1, 6, -1, sim::Fault::Silence, -1, -1});
  n = 5;
  l.cas->next_second();
  double t0 = cas_s();
  out = zachyt([&] { EXPECT_EQ(1, Najdi_nejblizsi(&n)); });
  double trvani = cas_s() - t0;
  EXPECT_EQ(256, n);
  EXPECT_GT(trvani, 2.3);
  EXPECT_LT(trvani, 6.0);
  EXPECT_EQ("", out);
  EXPECT_FALSE(l.line.supply_on());

  // A corrupt reply names no device: the number stays.
  l.line.clear_faults();
  l.line.add_fault({-1, 6, -1, sim::Fault::BadChecksum, -1, -1});
  n = 5;
  g_tisk_chyby_jiz_proveden = 0;
  out = zachyt([&] { EXPECT_EQ(1, Najdi_nejblizsi(&n)); });
  EXPECT_EQ(5, n);
  EXPECT_EQ(0u, out.find("V Test_chyby_sumy nastala chyba 2\n"));

  // A wrong reply: reported, the number unchanged.
  l.line.clear_faults();
  g_tisk_chyby_jiz_proveden = 0;
  l.line.add_fault({-1, 6, -1, sim::Fault::WrongDest, -1, -1});
  n = 5;
  out = zachyt([&] { EXPECT_EQ(1, Najdi_nejblizsi(&n)); });
  EXPECT_EQ(5, n);
  EXPECT_EQ(0u, out.find("V Najdi_nejblizsi nastala chyba 21\n"));
  l.line.clear_faults();
  l.line.add_fault({-1, 6, -1, sim::Fault::WrongCode, -1, -1});
  g_tisk_chyby_jiz_proveden = 0;
  out = zachyt([&] { EXPECT_EQ(1, Najdi_nejblizsi(&n)); });
  EXPECT_EQ(5, n);
  EXPECT_EQ(0u, out.find("V Najdi_nejblizsi nastala chyba 30\n"));
  EXPECT_FALSE(l.line.supply_on());
#ifndef NDEBUG
  n = 256;
  EXPECT_DEATH(Najdi_nejblizsi(&n), "\\(\\*p_cislo >= MIN_CISLO_ZARIZENI\\)&& \\(\\*p_cislo <=MAX_CISLO_ZARIZENI\\)");
#endif
}

TEST(Snimani, TwoScalesOnePass) {
  Linka l;
  l.line.add_scale(3);
  l.line.add_scale(17);
  l.line.set_load(3, 25.0, 20.0);
  l.line.set_load(17, 40.0, 20.0);
  g_ukonceni = 1;
  g_cislo_zarizeni = 123;
  int r = -1;
  std::string out = zachyt([&] { r = Snimej_hmotnost_hledej(0); });
  EXPECT_EQ(0, r);
  EXPECT_EQ(1, g_ukonceni_probehlo);
  EXPECT_EQ(123, g_cislo_zarizeni);
  auto z = radky(harness::read_file(l.zaznam));
  ASSERT_EQ(2u, z.size()) << out;
  EXPECT_EQ(" 3\t", z[0].substr(0, 3));
  EXPECT_EQ("17\t", z[1].substr(0, 3));
  // The copy after each scale: after 17 it holds both records.
  EXPECT_EQ(harness::read_file(l.zaznam), harness::read_file(l.kopie));
  EXPECT_EQ(0u, out.find("Pro ukonceni cteni stisknete libovolnou klavesu...\nv: 3 dat:"));
  EXPECT_NE(std::string::npos, out.find("\nv:17 dat:"));
  EXPECT_EQ(std::string::npos, out.find("chyba"));
  // Searches from 0, after each scale from the next number; the weight
  // requests in order.
  EXPECT_EQ((std::vector<int>{0, 4, 18}), l.hledani_od());
  auto h = l.povely(3);
  ASSERT_EQ(2u, h.size());
  EXPECT_EQ(3, h[0].dest);
  EXPECT_EQ(17, h[1].dest);
  EXPECT_FALSE(l.line.supply_on());
}

TEST(Snimani, LastScaleCopiedAndKeysDiscarded) {
  // A scale stored as 40 that answers at 31: found as 31, asked at the
  // number its first block gives, recorded as 31. After 31 the pass ends
  // with the copy made; under the stop-after-first-pass setting every key waiting
  // is taken and discarded.
  Linka l;
  l.line.add_scale(40);
  l.line.set_alias(40, 31);
  l.klavesy.stisk("abc");
  g_ukonceni = 1;
  g_cislo_zarizeni = 7;
  int r = -1;
  std::string out = zachyt([&] { r = Snimej_hmotnost_hledej(0); });
  EXPECT_EQ(0, r);
  EXPECT_EQ(1, g_ukonceni_probehlo);
  EXPECT_EQ(7, g_cislo_zarizeni);
  EXPECT_EQ(0, kon_kbhit());
  auto z = radky(harness::read_file(l.zaznam));
  ASSERT_EQ(1u, z.size()) << out;
  EXPECT_EQ("31\t", z[0].substr(0, 3));
  EXPECT_EQ(harness::read_file(l.zaznam), harness::read_file(l.kopie));
  EXPECT_EQ((std::vector<int>{0}), l.hledani_od());
  auto bloky = l.povely(2);
  ASSERT_EQ(3u, bloky.size());
  EXPECT_EQ(31, bloky[0].dest);
  EXPECT_EQ(40, bloky[1].dest);
  EXPECT_EQ(40, bloky[2].dest);
  auto h = l.povely(3);
  ASSERT_EQ(1u, h.size());
  EXPECT_EQ(40, h[0].dest);
}

TEST(Snimani, KeyWaitingEndsTheRunAfterTheDevice) {
  // One key ends the run after the first scale, with the copy made; a second
  // key stays for whoever reads next.
  Linka l;
  l.line.add_scale(3);
  l.line.add_scale(17);
  l.klavesy.stisk("xy");
  int r = -1;
  std::string out = zachyt([&] { r = Snimej_hmotnost_hledej(0); });
  EXPECT_EQ(0, r);
  EXPECT_EQ(0, g_ukonceni_probehlo);
  auto z = radky(harness::read_file(l.zaznam));
  ASSERT_EQ(1u, z.size()) << out;
  EXPECT_EQ(" 3\t", z[0].substr(0, 3));
  EXPECT_EQ(harness::read_file(l.zaznam), harness::read_file(l.kopie));
  EXPECT_EQ((std::vector<int>{0}), l.hledani_od());
  EXPECT_EQ(1, kon_kbhit());
  EXPECT_EQ('y', kon_getch());
}

TEST(Snimani, PassesWithoutAScaleToMeasure) {
  {
    SCOPED_TRACE("adapter only: one search per pass, no record, no copy");
    Linka l;
    g_ukonceni = 1;
    std::string out = zachyt([&] { EXPECT_EQ(0, Snimej_hmotnost_hledej(0)); });
    EXPECT_EQ("Pro ukonceni cteni stisknete libovolnou klavesu...\n", out);
    EXPECT_EQ((std::vector<int>{0}), l.hledani_od());
    EXPECT_EQ("", harness::read_file(l.zaznam));  // created by the file test
    EXPECT_TRUE(existuje(l.zaznam));
    EXPECT_FALSE(existuje(l.kopie));
    EXPECT_TRUE(l.povely(2).empty());
  }
  {
    SCOPED_TRACE("a scale answering as 32 ends the pass unmeasured");
    Linka l;
    l.line.add_scale(32);
    g_ukonceni = 1;
    zachyt([&] { EXPECT_EQ(0, Snimej_hmotnost_hledej(0)); });
    EXPECT_EQ((std::vector<int>{0}), l.hledani_od());
    EXPECT_TRUE(l.povely(2).empty());
    EXPECT_TRUE(l.povely(3).empty());
    EXPECT_EQ("", harness::read_file(l.zaznam));
    EXPECT_FALSE(existuje(l.kopie));
  }
  {
    SCOPED_TRACE("silent search with a key waiting: the key ends the run, the copy is made");
    Linka l;
    l.line.add_fault({-1, 6, -1, sim::Fault::Silence, -1, -1});
    harness::write_file(l.zaznam, "stary zaznam\n");
    l.klavesy.stisk("k");
    std::string out = zachyt([&] { EXPECT_EQ(0, Snimej_hmotnost_hledej(0)); });
    EXPECT_EQ("Pro ukonceni cteni stisknete libovolnou klavesu...\n", out);
    EXPECT_EQ((std::vector<int>{0}), l.hledani_od());
    EXPECT_EQ("stary zaznam\n", harness::read_file(l.kopie));
    EXPECT_EQ(0, kon_kbhit());
  }
  {
    SCOPED_TRACE("a wrong reply to the search ends the pass with the message");
    Linka l;
    l.line.add_fault({-1, 6, -1, sim::Fault::WrongCode, -1, -1});
    g_ukonceni = 1;
    std::string out = zachyt([&] { EXPECT_EQ(0, Snimej_hmotnost_hledej(0)); });
    EXPECT_EQ(0u, out.find("Pro ukonceni cteni stisknete libovolnou klavesu...\nV Najdi_nejblizsi nastala chyba 30\n"));
    EXPECT_NE(std::string::npos, out.find("\nNastala nejaka chyba v Snimej_hmotnost2...\n"));
    EXPECT_EQ((std::vector<int>{0}), l.hledani_od());
    EXPECT_FALSE(existuje(l.kopie));
  }
  {
    SCOPED_TRACE("the result follows the error left by the last operation of the pass");
    Linka l;
    l.line.add_fault({251, 5, 0, sim::Fault::WrongCode, -1, -1});
    g_ukonceni = 1;
    std::string out = zachyt([&] { EXPECT_EQ(1, Snimej_hmotnost_hledej(0)); });
    EXPECT_EQ(1, g_ukonceni_probehlo);
    // One report only for the whole run.
    std::size_t prvni = out.find("nastala chyba");
    ASSERT_NE(std::string::npos, prvni);
    EXPECT_EQ(std::string::npos, out.find("nastala chyba", prvni + 1));
  }
  {
    SCOPED_TRACE("a data file that cannot be opened is reported, the run goes on");
    Linka l;
    mkdir(l.zaznam.c_str(), 0700);
    g_ukonceni = 1;
    std::string out = zachyt([&] { EXPECT_EQ(0, Snimej_hmotnost_hledej(0)); });
    EXPECT_EQ(0u, out.find("Pro ukonceni cteni stisknete libovolnou klavesu...\n"
                           "V Snimej_hmotnost_hledej nastala chyba 26\n"));
    EXPECT_EQ((std::vector<int>{0}), l.hledani_od());
  }
}

TEST(Snimani, CycleTimeChoice) {
  const std::string dotaz = "Zadejte dobu cyklu cteni v sekundach [10..86400]";
  const std::string ohlas = "Pro ukonceni cteni stisknete libovolnou klavesu...\n";
  struct Pripad {
    int a, autostart, perioda;
    std::string vstup, vystup;
  };
  const Pripad pripady[] = {
      {0, 0, 120, "", ohlas},
      {9, 0, 120, "", ohlas},
      {-5, 0, 120, "", ohlas},
      {10, 0, 120, "10\n", dotaz + " (    10):   bylo zadano: 10\n" + ohlas},
      {100000, 0, 120, "9 86401 86400\n",
       dotaz + " ( 86400):   bylo zadano: 9\n  Chyba rozsahu !)\n" + dotaz + " ( 86400):   bylo zadano: 86401\n" +
           "  Chyba rozsahu !)\n" + dotaz + " ( 86400):   bylo zadano: 86400\n" + ohlas},
      {86400, 0, 120, "600\n", dotaz + " ( 86400):   bylo zadano: 600\n" + ohlas},
      {10, 1, 5, "", "Doba cyklu je: 10 [s]\n" + ohlas},
      {0, 1, 100000, "", "Doba cyklu je: 86400 [s]\n" + ohlas},
      {0, 1, 120, "", "Doba cyklu je: 120 [s]\n" + ohlas},
  };
  for (const auto& p : pripady) {
    SCOPED_TRACE(p.a);
    Linka l;
    g_ukonceni = 1;
    g_autostart = p.autostart;
    g_perioda = p.perioda;
    l.klavesy.stisk(p.vstup);
    std::string out = zachyt([&] { EXPECT_EQ(0, Snimej_hmotnost_hledej(p.a)); });
    EXPECT_EQ(p.vystup, out);
    EXPECT_EQ(0, kon_kbhit());
  }
}

TEST(Snimani, CycleTimeAndKeyDuringTheWait) {
  // Autostart with a period of 5 runs at 10 s; a key during the wait ends the
  // run at once, without another pass. The key is pressed half a second after
  // the second pass powered the scales off, as a far end that keeps virtual
  // time from skipping past that moment.
  Linka l;
  g_autostart = 1;
  g_perioda = 5;
  double stisknuto = 0, vypnuto = -1;  // on the program's clock
  std::size_t pred_stiskem = 0;
  l.cas->attach([&]() -> long long {
    if (stisknuto > 0 || l.hledani_od().size() < 2) return -1;
    auto v = l.line.requests();
    if (v.empty() || v.back().cmd != 5 || v.back().data.empty() || v.back().data[0] != 0) return -1;
    if (vypnuto < 0) vypnuto = cas_s();
    const long long zbyva = std::llround((vypnuto + 0.5 - cas_s()) * 1000);
    if (zbyva > 0) return zbyva;
    stisknuto = cas_s();
    pred_stiskem = v.size();
    l.klavesy.stisk("q");
    return -1;
  });
  int r = -1;
  std::string out = zachyt([&] { r = Snimej_hmotnost_hledej(0); });
  double konec = cas_s();
  EXPECT_EQ(0, r);
  EXPECT_EQ(0, g_ukonceni_probehlo);
  ASSERT_GT(stisknuto, 0);
  EXPECT_LT(konec - stisknuto, 1.5);
  // Pressed half a second into the wait, as the wait looked on virtual
  // time: nothing went out after it.
  EXPECT_LT(stisknuto - vypnuto, 0.6);
  EXPECT_EQ(pred_stiskem, l.line.requests().size());
  auto hledani = l.povely(6);
  ASSERT_EQ(2u, hledani.size());
  // Whole seconds from the start of one pass to the next: 10 s, give or take
  // the second the clock runs in and the power-on before the search.
  double odstup = hledani[1].t - hledani[0].t;
  EXPECT_GT(odstup, 8.9);
  EXPECT_LT(odstup, 11.5);
  EXPECT_EQ("Doba cyklu je: 10 [s]\n" "Pro ukonceni cteni stisknete libovolnou klavesu...\n", out);
  EXPECT_EQ(0, kon_kbhit());
}

namespace {

struct Soubory {
  harness::TempDir dir;
  std::string a = dir.file("a.txt"), b = dir.file("b.txt");
  Soubory() {
    g_chyba = 0;
    g_tisk_chyby_jiz_proveden = 0;
  }
  std::string kopie(const std::string& z, const std::string& c) {
    g_tisk_chyby_jiz_proveden = 0;
    return zachyt([&] { EXPECT_EQ(0, Kopie(z.c_str(), c.c_str())); });
  }
};

}  // namespace

TEST(Kopie, ContentArrivesUnchanged) {
  Soubory s;
  std::string obsah = std::string(250, 'x') + "\n" + "kratky\n\n" + std::string(99, 'y') + "\n" +
                      std::string(100, 'z') + "\n" + std::string("nul\0uvnitr\n", 11) + "bez konce radku";
  harness::write_file(s.a, obsah);
  harness::write_file(s.b, std::string(20000, 'o'));  // a longer target is replaced
  ASSERT_EQ(0, chmod(s.b.c_str(), 0640));
  g_chyba = 7;
  EXPECT_EQ("", s.kopie(s.a, s.b));
  EXPECT_EQ(0, g_chyba);
  EXPECT_EQ(obsah, harness::read_file(s.b));
  struct stat st {};
  ASSERT_EQ(0, stat(s.b.c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 07777);  // the target keeps its permissions
  // A target reached through a link stays a link; its file gets the copy.
  const std::string odkaz = s.dir.file("odkaz");
  ASSERT_EQ(0, symlink("b.txt", odkaz.c_str()));
  harness::write_file(s.a, "pres odkaz\n");
  EXPECT_EQ("", s.kopie(s.a, odkaz));
  ASSERT_EQ(0, lstat(odkaz.c_str(), &st));
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ("pres odkaz\n", harness::read_file(s.b));
  harness::write_file(s.a, obsah);
  // An empty source gives an empty target; a missing target is created.
  harness::write_file(s.a, "");
  EXPECT_EQ("", s.kopie(s.a, s.dir.file("novy.txt")));
  EXPECT_TRUE(existuje(s.dir.file("novy.txt")));
  const mode_t maska = umask(0);
  umask(maska);
  ASSERT_EQ(0, stat(s.dir.file("novy.txt").c_str(), &st));
  EXPECT_EQ(0666u & ~maska, st.st_mode & 07777);  // as any new file
  EXPECT_EQ("", harness::read_file(s.dir.file("novy.txt")));
  // Larger than one block of the copy.
  std::string velky;
  for (int i = 0; i < 3000; ++i) velky += std::to_string(i) + "\tradek\n";
  harness::write_file(s.a, velky);
  EXPECT_EQ("", s.kopie(s.a, s.b));
  EXPECT_EQ(velky, harness::read_file(s.b));
}

TEST(Kopie, SameFileAndNonRegularFiles) {
  Soubory s;
  const std::string data = "data\n";
  harness::write_file(s.a, data);
  const std::string hlaseni = "V Kopie nastala chyba 24\n";
  // The same file by name, by another path, by a hard link, by a symbolic
  // link: nothing is copied and the data stay.
  std::string dalsi = s.dir.path + "/./a.txt";
  ASSERT_EQ(0, link(s.a.c_str(), s.dir.file("tvrdy").c_str()));
  ASSERT_EQ(0, symlink(s.a.c_str(), s.dir.file("mekky").c_str()));
  for (const std::string& cil : {s.a, dalsi, s.dir.file("tvrdy"), s.dir.file("mekky")}) {
    SCOPED_TRACE(cil);
    EXPECT_EQ(0u, s.kopie(s.a, cil).find(hlaseni));
    EXPECT_EQ(CHYBA_OTEVRENI_SOUBORU, g_chyba);
    EXPECT_EQ(data, harness::read_file(s.a));
  }
  // A directory as source or target, a missing source: open failures, and
  // the target stays as it was.
  const std::string adresar = s.dir.file("adr");
  ASSERT_EQ(0, mkdir(adresar.c_str(), 0700));
  harness::write_file(s.b, "cil\n");
  EXPECT_EQ(0u, s.kopie(adresar, s.b).find(hlaseni));
  EXPECT_EQ(CHYBA_OTEVRENI_SOUBORU, g_chyba);
  EXPECT_EQ("cil\n", harness::read_file(s.b));
  EXPECT_EQ(0u, s.kopie(s.a, adresar).find(hlaseni));
  EXPECT_EQ(CHYBA_OTEVRENI_SOUBORU, g_chyba);
  EXPECT_EQ(0u, s.kopie(s.dir.file("neni.txt"), s.b).find(hlaseni));
  EXPECT_EQ("cil\n", harness::read_file(s.b));
  EXPECT_EQ(0u, s.kopie(s.a, s.dir.file("neni/b.txt")).find(hlaseni));
  // A FIFO with nobody on the other end is refused at once, either way.
  const std::string fifo = s.dir.file("fifo");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  EXPECT_EQ(0u, s.kopie(fifo, s.b).find(hlaseni));
  EXPECT_EQ(0u, s.kopie(s.a, fifo).find(hlaseni));
  EXPECT_EQ("cil\n", harness::read_file(s.b));
  // Only the first failure of a cycle is reported.
  g_tisk_chyby_jiz_proveden = 1;
  EXPECT_EQ("", zachyt([&] { Kopie(fifo.c_str(), s.b.c_str()); }));
}

TEST(Kopie, WriteFailureIsReported) {
  // A target that cannot take the data (file size limit): error 25, never
  // passed as a success, and the old target stays whole with no temporary
  // file beside it.
  Soubory s;
  harness::write_file(s.a, std::string(50000, 'w'));
  harness::write_file(s.b, "stara kopie\n");
  int p[2];
  ASSERT_EQ(0, pipe(p));
  pid_t pid = fork();
  if (pid == 0) {
    dup2(p[1], 1);
    close(p[0]);
    signal(SIGXFSZ, SIG_IGN);
    rlimit lim{1000, 1000};
    setrlimit(RLIMIT_FSIZE, &lim);
    g_tisk_chyby_jiz_proveden = 0;
    int r = Kopie(s.a.c_str(), s.b.c_str());
    std::printf("=%d %d\n", r, g_chyba);
    std::fflush(stdout);
    _exit(0);
  }
  close(p[1]);
  std::string out;
  char b[4096];
  ssize_t n;
  while ((n = read(p[0], b, sizeof b)) > 0) out.append(b, static_cast<size_t>(n));
  close(p[0]);
  int status;
  waitpid(pid, &status, 0);
  EXPECT_EQ(0u, out.find("V Kopie nastala chyba 25\n")) << out;
  EXPECT_NE(std::string::npos, out.find("=0 25\n"));
  EXPECT_EQ("stara kopie\n", harness::read_file(s.b));
  std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(s.dir.path.c_str()), closedir);
  int souboru = 0;
  while (dirent* e = readdir(d.get())) souboru += e->d_name[0] != '.' || std::strlen(e->d_name) > 2;
  EXPECT_EQ(2, souboru);
}

TEST(Sledovani, OneLinePerChangeOfAScalesState) {
  enum Co { VYSLEDEK, NENALEZENA, ZAPOMEN };
  struct Krok {
    Co co;
    int cislo, kod;
    const char* radek;  // nullptr: nothing said
  } kroky[] = {
      {VYSLEDEK, 3, 0, nullptr},  // a first good result is no news
      {VYSLEDEK, 3, 0, nullptr},
      {VYSLEDEK, 3, 7, "kvoda_ser: scale 3: stopped answering (error 7 CHYBA_CEKANI_PRIJEM)\n"},
      {VYSLEDEK, 3, 7, nullptr},
      {VYSLEDEK, 3, 2, nullptr},  // another code is no change
      {VYSLEDEK, 3, 0, "kvoda_ser: scale 3: answers again\n"},
      {VYSLEDEK, 9, 2, "kvoda_ser: scale 9: failed (error 2 CHYBA_KONTROLNI_SUMY)\n"},  // a first failure is
      {NENALEZENA, 9, 0, "kvoda_ser: scale 9: no longer found\n"},
      {NENALEZENA, 9, 0, nullptr},
      {NENALEZENA, 12, 0, nullptr},  // never seen: nothing to miss
      {VYSLEDEK, 9, 0, "kvoda_ser: scale 9: answers again\n"},
      {VYSLEDEK, 31, 99, "kvoda_ser: scale 31: failed (error 99 unknown)\n"},
      {VYSLEDEK, 32, 7, nullptr},  // outside the sampled range
      {ZAPOMEN, 0, 0, nullptr},    // the adapter's own line stood for them
      {VYSLEDEK, 3, 0, nullptr},
      {VYSLEDEK, 31, 7, "kvoda_ser: scale 31: stopped answering (error 7 CHYBA_CEKANI_PRIJEM)\n"},
  };
  Sledovani_vah s;
  for (const Krok& k : kroky) {
    SCOPED_TRACE(std::to_string(k.cislo) + "/" + std::to_string(k.kod));
    char radek[160] = "";
    bool rekl = false;
    if (k.co == VYSLEDEK) rekl = s.Vysledek(k.cislo, k.kod, radek, sizeof radek);
    if (k.co == NENALEZENA) rekl = s.Nenalezena(k.cislo, radek, sizeof radek);
    if (k.co == ZAPOMEN) s.Zapomen();
    EXPECT_EQ(k.radek != nullptr, rekl);
    if (k.radek != nullptr) {
      EXPECT_STREQ(k.radek, radek);
    }
  }
}

TEST(Snimani, ScaleThatStopsAnsweringIsSaidOnceAndThePassStatusFollows) {
  Linka l;
  l.line.add_scale(3);
  l.line.add_scale(7);
  g_ukonceni = 1;
  auto pruchod = [&] { return zachyt([&] { Snimej_hmotnost_hledej(0); }, 2); };
  // Other tests of this process may have met scale 3 or 7 already.
  pruchod();
  EXPECT_EQ(0, g_stav_pruchodu);
  sim::FaultRule f;
  f.device = 7;
  f.command = 3;
  f.fault = sim::Fault::Silence;
  l.line.add_fault(f);
  std::string chyby;
  for (int i = 0; i < 3; ++i) {
    chyby += pruchod();
    EXPECT_EQ(1, g_stav_pruchodu);
  }
  EXPECT_EQ("kvoda_ser: scale 7: stopped answering (error 7 CHYBA_CEKANI_PRIJEM)\n", chyby);
  l.line.clear_faults();
  EXPECT_EQ("kvoda_ser: scale 7: answers again\n", pruchod());
  EXPECT_EQ(0, g_stav_pruchodu);
  // Every pass's records are in the copy, the last scale's too.
  EXPECT_EQ(harness::read_file(l.zaznam), harness::read_file(l.kopie));
  EXPECT_EQ(2u + 3u + 2u, radky(harness::read_file(l.zaznam)).size());
}

TEST(Kopie, SamplingCopyAppendsWhileItIsAPrefix) {
  EXPECT_EQ(0u, Zacatek_posledniho_radku(reinterpret_cast<const unsigned char*>("abc\n"), 4));
  EXPECT_EQ(3u, Zacatek_posledniho_radku(reinterpret_cast<const unsigned char*>("ab\ncd\n"), 6));
  EXPECT_EQ(3u, Zacatek_posledniho_radku(reinterpret_cast<const unsigned char*>("ab\ncd"), 5));
  EXPECT_EQ(0u, Zacatek_posledniho_radku(reinterpret_cast<const unsigned char*>("\n"), 1));

  harness::TempDir dir;
  const std::string data = dir.file("zaznam.txt"), kopie = dir.file("kopie.txt");
  auto inode = [](const std::string& p) {
    struct stat st {};
    return stat(p.c_str(), &st) == 0 ? st.st_ino : 0;
  };
  std::string obsah;
  for (int i = 0; i < 2000; ++i) obsah += " 3\t01.01.2026 10:00:00\t  12.50\t 20.0\t100000\t200000\t 10000\t" + std::to_string(i) + "\n";
  const std::string zaznam = " 3\t01.01.2026 10:05:00\t  12.60\t 20.1\t100001\t200001\t 10001\t30001\n";
  struct Pripad {
    const char* jak;
    std::string kopie_pred, data_pridano;
    bool pripsano;  // the copy kept its file and only the new bytes were written
  } pripady[] = {
      {"a prefix gains the new record", obsah, zaznam, true},
      {"an equal copy stays", obsah + zaznam, zaznam, true},
      {"an unfinished last line waits", obsah, zaznam + "17\t01.01", true},
      {"a last record that differs", obsah.substr(0, obsah.size() - 2) + "X\n", zaznam, false},
      {"a copy larger than the data", obsah + zaznam + zaznam, "", false},
      {"no copy yet", "", zaznam, false},
  };
  for (const Pripad& c : pripady) {
    SCOPED_TRACE(c.jak);
    harness::write_file(data, obsah + c.data_pridano);
    unlink(kopie.c_str());
    if (!c.kopie_pred.empty()) harness::write_file(kopie, c.kopie_pred);
    const auto pred = inode(kopie);
    const unsigned long long zapsano = Kopie_zapsano_bajtu();
    g_tisk_chyby_jiz_proveden = 0;
    std::string out = zachyt([&] { EXPECT_EQ(0, Kopie_dat(data.c_str(), kopie.c_str())); });
    EXPECT_EQ(0, g_chyba);
    EXPECT_EQ("", out);
    const std::string d = harness::read_file(data);
    EXPECT_EQ(d.substr(0, d.rfind('\n') + 1), harness::read_file(kopie));
    EXPECT_EQ(c.pripsano, pred != 0 && pred == inode(kopie));
    if (c.pripsano) {
      EXPECT_EQ(c.kopie_pred.size() < obsah.size() + 1 ? zaznam.size() : 0u, Kopie_zapsano_bajtu() - zapsano);
    }
  }
}
