// Temperature and weight formulas, the record and console lines, and the
// one-shot measurement against the line simulator.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"
#include "mereni.h"
#include "rs232.h"
#include "ser.h"
#include "sim.h"
#include "vzorce.h"

namespace {

constexpr std::int32_t MAX32 = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t MIN32 = std::numeric_limits<std::int32_t>::min();

std::tm cas(int rok, int mesic, int den, int h, int m, int s) {
  std::tm t{};
  t.tm_year = rok - 1900;
  t.tm_mon = mesic - 1;
  t.tm_mday = den;
  t.tm_hour = h;
  t.tm_min = m;
  t.tm_sec = s;
  return t;
}

std::string zaznam(const Vysledek_mereni& v) {
  char buf[DELKA_RADKU];
  const int n = Radek_zaznamu(v, buf, sizeof buf);
  EXPECT_EQ(std::strlen(buf), static_cast<std::size_t>(n));
  return buf;
}

std::string konzole(const Vysledek_mereni& v) {
  char buf[DELKA_RADKU];
  Radek_konzole(v, buf, sizeof buf);
  return buf;
}

std::vector<std::string> pole(const std::string& radek) {
  std::vector<std::string> p;
  std::string kus;
  std::istringstream in(radek);
  while (std::getline(in, kus, '\t')) p.push_back(kus);
  return p;
}

TEST(Vzorce, DifferencesAndRawCounts) {
  EXPECT_EQ(2, Rozdil_32(5, 3));
  EXPECT_EQ(MIN32, Rozdil_32(MAX32, -1));  // wraps like 32-bit arithmetic
  EXPECT_EQ(MAX32, Rozdil_32(MIN32, 1));
  EXPECT_EQ(-1, Rozdil_32(MAX32, MIN32));
  EXPECT_EQ(MIN32, Rozdil_32(0, MIN32));

  // Little-endian 24-bit counts, never sign-extended.
  const int data[12] = {0x01, 0x02, 0x83, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x80, 0x10, 0x20, 0x30};
  const Surove_hodnoty s = Dekoduj_surove(data);
  EXPECT_EQ(0x830201, s.a);
  EXPECT_EQ(16777215, s.b);
  EXPECT_EQ(0x800000, s.n);
  EXPECT_EQ(0x302010, s.t);
}

TEST(Vzorce, Temperature) {
  long double tc = -7;
  ASSERT_TRUE(Vypocti_teplotu(0, 10000, 1000, 2000, 1500, &tc));
  EXPECT_EQ(5000.0L, tc);
  ASSERT_TRUE(Vypocti_teplotu(-1000, 3000, 2000, 1000, 1250, &tc));  // falling line
  EXPECT_EQ(2000.0L, tc);
  // Only tc1 is added; the differences are taken from the calibration points.
  ASSERT_TRUE(Vypocti_teplotu(100, 100, 0, 10, 5, &tc));
  EXPECT_EQ(100.0L, tc);

  tc = -7;
  EXPECT_FALSE(Vypocti_teplotu(0, 10000, 1234, 1234, 1500, &tc));
  EXPECT_EQ(-7.0L, tc);
  // Differences that leave the 32-bit range wrap instead of widening.
  ASSERT_TRUE(Vypocti_teplotu(-1, MAX32, 0, 1, 1, &tc));
  EXPECT_EQ(static_cast<long double>(MIN32) - 1, tc);
  // The product is kept exact in extended precision.
  ASSERT_TRUE(Vypocti_teplotu(0, 16777215, 0, 1, 16777213, &tc));
  EXPECT_EQ(16777215.0L * 16777213.0L, tc);
}

TEST(Vzorce, RatioAndWeight) {
  long double m = -7;
  EXPECT_FALSE(Vypocti_pomer(4321, 98765, 4321, &m));
  EXPECT_EQ(-7.0L, m);
  ASSERT_TRUE(Vypocti_pomer(3000, 2000, 1000, &m));
  EXPECT_EQ(0.5L, m);
  ASSERT_TRUE(Vypocti_pomer(0, 16777215, 16777215, &m));
  EXPECT_EQ(-0.0L, m);
  ASSERT_TRUE(Vypocti_pomer(1, 0, 16777215, &m));
  EXPECT_EQ(16777215.0L / 16777214.0L, m);

  // Without temperature corrections the temperature does not matter.
  long double fk = 0;
  for (long double tc : {-5000.0L, 0.0L, 2150.0L, 1e18L}) {
    ASSERT_TRUE(Vypocti_hmotnost(0.25L, tc, {4000, -100, 7, 2000, 0.0f, 0.0f}, &fk));
    EXPECT_EQ(0.25L * 4000 - 100 + 7, fk);
  }
  // Corrections around tc0.
  ASSERT_TRUE(Vypocti_hmotnost(0.5L, 3000, {2000, 300, 0, 2000, 0.001f, -0.0005f}, &fk));
  const long double g1 = static_cast<long double>(0.001f) * 1000 + 1;
  const long double g2 = static_cast<long double>(-0.0005f) * 1000 + 1;
  EXPECT_EQ(0.5L * 2000 / g1 + 300 / g2, fk);

  // A zero denominator stops before fk; a NaN one passes.
  fk = -7;
  EXPECT_FALSE(Vypocti_hmotnost(1, 5000, {1, 1, 1, 4999, -1.0f, 0.0f}, &fk));
  EXPECT_FALSE(Vypocti_hmotnost(1, 5000, {1, 1, 1, 4999, 0.0f, -1.0f}, &fk));
  EXPECT_EQ(-7.0L, fk);
  ASSERT_TRUE(Vypocti_hmotnost(1, 5000, {1, 1, 1, 4999, std::numeric_limits<float>::quiet_NaN(), 0.0f}, &fk));
  EXPECT_TRUE(std::isnan(fk));
  // The unrounded temperature goes in: one part in 2^40 still counts.
  ASSERT_TRUE(Vypocti_hmotnost(1, 2000 + std::ldexp(1.0L, -40), {1, 0, 0, 2000, 1.0f, 0.0f}, &fk));
  EXPECT_EQ(1 / (1 + std::ldexp(1.0L, -40)), fk);
  EXPECT_NE(1.0L, fk);
}

TEST(Vzorce, RecordAndConsoleLines) {
  const Vysledek_mereni priklad{3, cas(2026, 12, 7, 8, 15, 30), 1234.5f, 2150.0f, {123456, 98765, 4321, 31000}};
  EXPECT_EQ(" 3\t07.12.2026 08:15:30\t 123.45\t 21.5\t123456\t 98765\t  4321\t31000\n", zaznam(priklad));
  EXPECT_EQ("v: 3 dat:07.12_08:15:30 fk: 123.45 tc: 21.5 A:123456 B: 98765 N:  4321 T:31000\n",
            konzole(priklad));

  Vysledek_mereni v = priklad;
  v.cislo = 17;
  v.cas = cas(2031, 1, 2, 23, 5, 9);
  v.fk = -125;
  v.tc = 5000;
  v.s = {0, 16777215, 7, 1};
  EXPECT_EQ("17\t02.01.2031 23:05:09\t -12.50\t 50.0\t     0\t16777215\t     7\t    1\n", zaznam(v));
  v.fk = 100000;
  v.tc = -1050;
  auto p = pole(zaznam(v));
  ASSERT_EQ(8u, p.size());
  EXPECT_EQ("10000.00", p[2]);  // the field widens, nothing is cut
  EXPECT_EQ("-10.5", p[3]);
  EXPECT_EQ("v:17 dat:02.01_23:05:09 fk:10000.00 tc:-10.5 A:     0 B:16777215 N:     7 T:    1\n", konzole(v));

  // Printed from the stored single-precision values.
  v.fk = 0.1f;
  v.tc = 0.0f;
  p = pole(zaznam(v));
  EXPECT_EQ("   0.01", p[2]);
  EXPECT_EQ("  0.0", p[3]);

  // The widest values still fit whole.
  v.fk = -std::numeric_limits<float>::max();
  v.tc = std::numeric_limits<float>::max();
  v.s = {MIN32, MIN32, MIN32, MIN32};
  v.cislo = MIN32;
  std::string r = zaznam(v);
  EXPECT_LT(r.size(), DELKA_RADKU);
  EXPECT_EQ('\n', r.back());
  EXPECT_EQ(8u, pole(r).size());
  r = konzole(v);
  EXPECT_EQ('\n', r.back());
  v.fk = std::numeric_limits<float>::infinity();
  v.tc = std::numeric_limits<float>::quiet_NaN();
  p = pole(zaznam(v));
  EXPECT_EQ("    inf", p[2]);
  EXPECT_EQ("  nan", p[3]);

  // A short buffer is cut, never overrun.
  char maly[10];
  EXPECT_EQ(9, Radek_zaznamu(priklad, maly, sizeof maly));
  EXPECT_STREQ(" 3\t07.12.", maly);
}

// --- against the simulator -----------------------------------------------------

constexpr int ADAPTER = 251;

void vynuluj() {
  g_cislo_zarizeni = g_posun = g_pamet = g_pocet = 0;
  g_tc1 = g_tc2 = g_t1 = g_t2 = g_tc0 = g_k1 = g_k2 = 0;
  g_k4 = g_k5 = 0.0f;
  g_tx = g_tref = g_toff = g_t = 0;
  g_tc = g_m = g_fk = 0.0f;
  g_chyba = 0;
  g_tisk_chyby_jiz_proveden = 0;
}

// A line with the adapter, the port open and the supply off, the error
// report ready for a fresh cycle.
struct Linka {
  harness::TempDir dir;
  sim::Line line;
  std::string soubor;
  Linka() : line(dir.port(0)), soubor(dir.file("zaznam.txt")) {
    line.add_adapter(ADAPTER);
    setenv("KVODA_PORT_PATTERN", dir.pattern().c_str(), 1);
    setenv("TZ", "UTC0", 1);
    tzset();
    char err[200];
    EXPECT_EQ(0, rs232_Nastav_jmena(err, sizeof err));
    g_cislo_adapteru = ADAPTER;
    EXPECT_EQ(0, kom_Otevri_nebo_zavri_port(1, 0, 4800));
    kom_Napajeni_vahy(0);  // a valid adapter reply for the power-on checks
    vynuluj();
    line.clear_log();
  }
  ~Linka() {
    kom_Zavri_port();
    unsetenv("KVODA_PORT_PATTERN");
    vynuluj();
  }
  // Commands as they went out: "5:1" power on, "2@12" a block read sent to 12...
  std::vector<std::string> prubeh() {
    std::vector<std::string> r;
    for (auto& q : line.requests()) {
      if (q.cmd == 5)
        r.push_back("5:" + std::to_string(q.data.empty() ? -1 : q.data[0]));
      else
        r.push_back(std::to_string(q.cmd) + "@" + std::to_string(q.dest));
    }
    return r;
  }
  bool vypnuto_naposled() {
    auto r = prubeh();
    return !line.supply_on() && !r.empty() && r.back() == "5:0";
  }
};

using Seznam = std::vector<std::string>;

// Calibration with easy numbers: 50.00 degC and m = 0.5 give 109.5 kg.
sim::Eeprom kalibrace(int cislo) {
  sim::Eeprom e = sim::default_eeprom(cislo);
  auto put = [&](int adr, std::uint32_t v, int w) {
    for (int i = 0; i < w; ++i) e[adr + i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  put(1, static_cast<std::uint16_t>(-5), 2);  // posun
  put(12, 0, 2);                              // tc1
  put(14, 10000, 2);                          // tc2
  put(16, 1000, 3);                           // t1
  put(19, 2000, 3);                           // t2
  put(22, 2000, 2);                           // tc0
  put(24, 2000, 2);                           // k1
  put(26, 100, 2);                            // k2
  put(28, 0, 4);                              // k4 = 0
  put(32, 0, 4);                              // k5 = 0
  return e;
}

struct Vystup {
  int vysledek;
  std::string out;
};

Vystup sejmi(int cislo, const std::string& soubor) {
  testing::internal::CaptureStdout();
  const int r = Sejmi_hmotnost(cislo, soubor.c_str());
  std::fflush(stdout);
  return {r, testing::internal::GetCapturedStdout()};
}

int vyskytu(const std::string& text, const std::string& co) {
  int n = 0;
  for (auto i = text.find(co); i != std::string::npos; i = text.find(co, i + 1)) ++n;
  return n;
}

TEST(Mereni, OneShotShowsAndRecords) {
  Linka l;
  l.line.add_scale(7, kalibrace(7));
  l.line.set_alias(7, 12);
  l.line.set_raw(7, 0x801000 + 1000, 0x801000 + 500, 0x801000, 1500);  // top bit set: still positive
  g_cislo_zarizeni = 12;

  const std::time_t pred = std::time(nullptr);
  Vystup v = sejmi(12, l.soubor);
  const std::time_t po = std::time(nullptr);
  EXPECT_EQ(0, v.vysledek);
  EXPECT_EQ(0, g_chyba);

  // Block 1 renumbers the record; the requests still go to the caller's number.
  EXPECT_EQ((Seznam{"5:1", "2@12", "2@12", "2@12", "3@12", "5:0"}), l.prubeh());
  EXPECT_EQ(7, g_cislo_zarizeni);
  EXPECT_FALSE(l.line.supply_on());

  EXPECT_EQ(0x801000 + 1000, g_tx);
  EXPECT_EQ(0x801000 + 500, g_tref);
  EXPECT_EQ(0x801000, g_toff);
  EXPECT_EQ(1500, g_t);
  EXPECT_EQ(5000.0f, g_tc);
  EXPECT_EQ(0.5f, g_m);
  EXPECT_EQ(1095.0f, g_fk);

  const std::string soubor = harness::read_file(l.soubor);
  ASSERT_EQ(1, vyskytu(soubor, "\n"));
  auto p = pole(soubor);
  ASSERT_EQ(8u, p.size());
  EXPECT_EQ("12", p[0]);
  EXPECT_EQ(" 109.50", p[2]);
  EXPECT_EQ(" 50.0", p[3]);
  EXPECT_EQ("8393704", p[4]);
  EXPECT_EQ("8393204", p[5]);
  EXPECT_EQ("8392704", p[6]);
  EXPECT_EQ(" 1500\n", p[7]);
  // Date and time of the measurement, local time (UTC here).
  bool datum = false;
  for (std::time_t t = pred; t <= po; ++t) {
    std::tm c;
    gmtime_r(&t, &c);
    char d[40];
    std::snprintf(d, sizeof d, "%02d.%02d.%04d %02d:%02d:%02d", c.tm_mday, c.tm_mon + 1, c.tm_year + 1900,
                  c.tm_hour, c.tm_min, c.tm_sec);
    if (p[1] == d) datum = true;
  }
  EXPECT_TRUE(datum) << p[1];

  // The console line carries the same values without the year.
  EXPECT_EQ(1, vyskytu(v.out, "v:12 dat:")) << v.out;
  EXPECT_EQ(1, vyskytu(v.out, " fk: 109.50 tc: 50.0 A:8393704 B:8393204 N:8392704 T: 1500\n")) << v.out;
  EXPECT_EQ(0, vyskytu(v.out, "nastala chyba")) << v.out;

  // A second measurement appends.
  g_tisk_chyby_jiz_proveden = 0;
  v = sejmi(12, l.soubor);
  EXPECT_EQ(0, v.vysledek);
  const std::string dvakrat = harness::read_file(l.soubor);
  EXPECT_EQ(2, vyskytu(dvakrat, "\n"));
  EXPECT_EQ(0u, dvakrat.find(soubor));
}

TEST(Mereni, SamplingCoreAddressesByRecord) {
  Linka l;
  l.line.add_scale(7, kalibrace(7));
  l.line.set_alias(7, 12);
  l.line.set_raw(7, 3000, 2000, 1000, 1500);
  g_cislo_zarizeni = 12;
  kom_Napajeni_vahy(0);
  l.line.clear_log();
  testing::internal::CaptureStdout();
  const int r = Mereni_zarizeni(12, true, l.soubor.c_str(), "Snimej_hmotnost_hledej");
  std::fflush(stdout);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(0, r);
  // After block 1 the requests follow the number the scale stores; the
  // power stays on for the caller.
  EXPECT_EQ((Seznam{"5:1", "2@12", "2@7", "2@7", "3@7"}), l.prubeh());
  EXPECT_TRUE(l.line.supply_on());
  EXPECT_EQ(1, vyskytu(out, "v:12 dat:")) << out;
  EXPECT_EQ(0u, harness::read_file(l.soubor).find("12\t"));

  // Errors are reported under the name given.
  l.line.add_fault({7, 3, -1, sim::Fault::WrongCode, 1, -1});
  g_cislo_zarizeni = 12;
  g_tisk_chyby_jiz_proveden = 0;
  testing::internal::CaptureStdout();
  EXPECT_EQ(1, Mereni_zarizeni(12, true, l.soubor.c_str(), "Snimej_hmotnost_hledej"));
  std::fflush(stdout);
  EXPECT_EQ(1, vyskytu(testing::internal::GetCapturedStdout(), "V Snimej_hmotnost_hledej nastala chyba 31\n"));
  kom_Napajeni_vahy(0);
}

TEST(Mereni, DataFileFailures) {
  Linka l;
  l.line.add_scale(3, kalibrace(3));
  l.line.set_raw(3, 3000, 2000, 1000, 1500);

  // A missing file is created by the test before the measurement.
  const std::string novy = l.dir.file("novy.txt");
  Vystup v = sejmi(3, novy);
  EXPECT_EQ(0, v.vysledek);
  EXPECT_EQ(1, vyskytu(harness::read_file(novy), "\n"));

  // A file that can't be opened at all: reported, the line still shown.
  for (const std::string& cesta : {l.dir.file("chybi/zaznam.txt"), l.dir.path}) {
    vynuluj();
    l.line.clear_log();
    v = sejmi(3, cesta);
    EXPECT_EQ(1, v.vysledek) << cesta;
    EXPECT_EQ(1, vyskytu(v.out, "V Sejmi_hmotnost nastala chyba 26\n")) << v.out;
    EXPECT_EQ(1, vyskytu(v.out, "nastala chyba")) << v.out;
    EXPECT_EQ(1, vyskytu(v.out, "v: 3 dat:")) << v.out;
    EXPECT_EQ(1095.0f, g_fk);
    EXPECT_TRUE(l.vypnuto_naposled());
  }
  struct stat st;
  EXPECT_NE(0, stat(l.dir.file("chybi").c_str(), &st));

  // Opens fine, but the record can't be written.
  vynuluj();
  l.line.clear_log();
  v = sejmi(3, "/dev/full");
  EXPECT_EQ(1, v.vysledek);
  EXPECT_EQ(1, vyskytu(v.out, "V Sejmi_hmotnost nastala chyba 26\n")) << v.out;
  EXPECT_EQ(1, vyskytu(v.out, "v: 3 dat:")) << v.out;
  EXPECT_TRUE(l.vypnuto_naposled());

  // A FIFO nobody reads would block the open: refused instead.
  const std::string fifo = l.dir.file("fifo");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0666));
  vynuluj();
  v = sejmi(3, fifo);
  EXPECT_EQ(1, v.vysledek);
  EXPECT_EQ(1, vyskytu(v.out, "V Sejmi_hmotnost nastala chyba 26\n")) << v.out;
}

TEST(Mereni, ReplyFaultsKeepMeasuredValues) {
  Linka l;
  l.line.add_scale(3, kalibrace(3));
  l.line.set_raw(3, 3000, 2000, 1000, 1500);
  struct {
    sim::Fault chyba;
    int kod;
  } pripady[] = {{sim::Fault::WrongDest, CHYBA_CISLA_PC}, {sim::Fault::WrongCode, CHYBA_ODPOVED_DEJ_HMOT}};
  for (auto& p : pripady) {
    vynuluj();
    g_tx = g_tref = g_toff = g_t = -9;
    g_tc = g_m = g_fk = -9.0f;
    l.line.clear_log();
    l.line.add_fault({3, 3, -1, p.chyba, 1, -1});
    Vystup v = sejmi(3, l.soubor);
    EXPECT_EQ(1, v.vysledek);
    EXPECT_EQ(1, vyskytu(v.out, "V Sejmi_hmotnost nastala chyba " + std::to_string(p.kod) + "\n")) << v.out;
    EXPECT_EQ(0, vyskytu(v.out, "v: 3")) << v.out;
    EXPECT_EQ(-9, g_tx);
    EXPECT_EQ(-9, g_t);
    EXPECT_EQ(-9.0f, g_fk);
    EXPECT_EQ((Seznam{"5:1", "2@3", "2@3", "2@3", "3@3", "5:0"}), l.prubeh());
    EXPECT_FALSE(l.line.supply_on());
  }
  EXPECT_EQ("", harness::read_file(l.soubor));  // created by the file test, nothing recorded

  // The status of the weight reply is not looked at.
  vynuluj();
  l.line.add_fault({3, 3, -1, sim::Fault::BadStatus, 1, -1});
  EXPECT_EQ(0, sejmi(3, l.soubor).vysledek);

  // A power-off that gets no reply fails the measurement after the fact.
  vynuluj();
  l.line.add_fault({ADAPTER, 5, 0, sim::Fault::Silence, 1, -1});
  Vystup v = sejmi(3, l.soubor);
  EXPECT_EQ(1, v.vysledek);
  EXPECT_EQ(CHYBA_CEKANI_PRIJEM, g_chyba);
  EXPECT_EQ(1, vyskytu(v.out, "v: 3 dat:"));
  EXPECT_EQ(2, vyskytu(harness::read_file(l.soubor), "\n"));
}

TEST(Mereni, DivisionByZeroKeepsWhatWasComputed) {
  Linka l;
  auto pokus = [&](const sim::Eeprom& e, std::uint32_t a, std::uint32_t n) {
    l.line.set_eeprom(3, e);
    l.line.set_raw(3, a, 2000, n, 1500);
    vynuluj();
    g_tc = g_m = g_fk = -9.0f;
    l.line.clear_log();
    Vystup v = sejmi(3, l.soubor);
    EXPECT_EQ(1, v.vysledek);
    EXPECT_EQ(1, vyskytu(v.out, "V Sejmi_hmotnost nastala chyba 32\n")) << v.out;
    EXPECT_EQ(0, vyskytu(v.out, "v: 3")) << v.out;
    EXPECT_TRUE(l.vypnuto_naposled());
    EXPECT_EQ(static_cast<int>(a), g_tx);
    EXPECT_EQ(1500, g_t);
  };
  l.line.add_scale(3, kalibrace(3));

  sim::Eeprom e = kalibrace(3);
  e[19] = e[16];  // t2 = t1
  e[20] = e[17];
  e[21] = e[18];
  pokus(e, 3000, 1000);
  EXPECT_EQ(-9.0f, g_tc);
  EXPECT_EQ(-9.0f, g_m);
  EXPECT_EQ(-9.0f, g_fk);

  pokus(kalibrace(3), 1000, 1000);  // A = N
  EXPECT_EQ(5000.0f, g_tc);
  EXPECT_EQ(-9.0f, g_m);
  EXPECT_EQ(-9.0f, g_fk);

  // 50.00 degC against tc0 = 49.99: k4 or k5 = -1 zeroes a denominator.
  e = kalibrace(3);
  e[22] = 4999 & 0xFF;
  e[23] = 4999 >> 8;
  sim::Eeprom e4 = e, e5 = e;
  const std::uint8_t minus_jedna[4] = {0x00, 0x00, 0x80, 0x7F};
  std::memcpy(&e4[28], minus_jedna, 4);
  std::memcpy(&e5[32], minus_jedna, 4);
  for (const sim::Eeprom& x : {e4, e5}) {
    pokus(x, 3000, 1000);
    EXPECT_EQ(5000.0f, g_tc);
    EXPECT_EQ(0.5f, g_m);
    EXPECT_EQ(-9.0f, g_fk);
  }
  EXPECT_EQ("", harness::read_file(l.soubor));

  // A NaN correction is no zero: the measurement is recorded.
  const std::uint8_t nan[4] = {0x00, 0x00, 0x40, 0xFF};
  std::memcpy(&e[28], nan, 4);
  l.line.set_eeprom(3, e);
  vynuluj();
  Vystup v = sejmi(3, l.soubor);
  EXPECT_EQ(0, v.vysledek);
  EXPECT_TRUE(std::isnan(g_fk));
  EXPECT_EQ(1, vyskytu(harness::read_file(l.soubor), "nan\t 50.0\t"));
}

TEST(Mereni, SilentScaleStillPowersOff) {
  Linka l;
  l.line.add_scale(3, kalibrace(3));
  l.line.add_fault({3, 2, -1, sim::Fault::Silence, -1, -1});
  g_tx = -9;
  Vystup v = sejmi(3, l.soubor);
  EXPECT_EQ(1, v.vysledek);
  EXPECT_EQ(0, vyskytu(v.out, "nastala chyba")) << v.out;  // a timeout is not reported here
  EXPECT_EQ((Seznam{"5:1", "2@3", "5:0"}), l.prubeh());
  EXPECT_FALSE(l.line.supply_on());
  EXPECT_EQ(-9, g_tx);
}

}  // namespace
