// Temperature and weight formulas, the record and console lines, and the
// one-shot measurement against the line simulator.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>
#include <sys/stat.h>
#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstring>
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

// Every flush to the disk in this test program, with the file it was on and
// that file's size at the time, so that a test sees a record made durable.
struct Fsync_volani {
  std::string cesta;
  long long velikost;
};
std::vector<Fsync_volani> g_fsync;

extern "C" int fsync(int fd) {
  char odkaz[64], cesta[4096];
  std::snprintf(odkaz, sizeof odkaz, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(odkaz, cesta, sizeof cesta - 1);
  struct stat st {};
  if (n > 0 && fstat(fd, &st) == 0) g_fsync.push_back({std::string(cesta, static_cast<std::size_t>(n)), st.st_size});
  using Fsync = int (*)(int);
  static const Fsync skutecny = reinterpret_cast<Fsync>(dlsym(RTLD_NEXT, "fsync"));
  return skutecny != nullptr ? skutecny(fd) : 0;
}

namespace {

constexpr std::int32_t MAX32 = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t MIN32 = std::numeric_limits<std::int32_t>::min();
using Seznam = std::vector<std::string>;

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

Seznam pole(const std::string& radek) {
  Seznam p;
  std::string kus;
  std::istringstream in(radek);
  while (std::getline(in, kus, '\t')) p.push_back(kus);
  return p;
}

int vyskytu(const std::string& text, const std::string& co) {
  int n = 0;
  for (auto i = text.find(co); i != std::string::npos; i = text.find(co, i + 1)) ++n;
  return n;
}

TEST(Vzorce, CountsTemperatureAndRatio) {
  EXPECT_EQ(MIN32, Rozdil_32(MAX32, -1));  // wraps like 32-bit arithmetic
  EXPECT_EQ(MAX32, Rozdil_32(MIN32, 1));
  EXPECT_EQ(-1, Rozdil_32(MAX32, MIN32));

  // Little-endian 24-bit counts, never sign-extended.
  const int data[12] = {0x01, 0x02, 0x83, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x80, 0x10, 0x20, 0x30};
  const Surove_hodnoty s = Dekoduj_surove(data);
  EXPECT_EQ((std::vector<int>{0x830201, 16777215, 0x800000, 0x302010}), (std::vector<int>{s.a, s.b, s.n, s.t}));

  long double x = -7;
  ASSERT_TRUE(Vypocti_teplotu(0, 10000, 1000, 2000, 1500, &x));
  EXPECT_EQ(5000.0L, x);
  ASSERT_TRUE(Vypocti_teplotu(-1000, 3000, 2000, 1000, 1250, &x));
  EXPECT_EQ(2000.0L, x);
  ASSERT_TRUE(Vypocti_teplotu(-1, MAX32, 0, 1, 1, &x));  // tc2 - tc1 wraps
  EXPECT_EQ(static_cast<long double>(MIN32) - 1, x);
  ASSERT_TRUE(Vypocti_teplotu(0, 16777215, 0, 1, 16777213, &x));  // exact product
  EXPECT_EQ(16777215.0L * 16777213.0L, x);
  x = -7;
  EXPECT_FALSE(Vypocti_teplotu(0, 10000, 1234, 1234, 1500, &x));
  EXPECT_FALSE(Vypocti_pomer(4321, 98765, 4321, &x));
  EXPECT_EQ(-7.0L, x);
  ASSERT_TRUE(Vypocti_pomer(3000, 2000, 1000, &x));
  EXPECT_EQ(0.5L, x);
  ASSERT_TRUE(Vypocti_pomer(1, 0, 16777215, &x));
  EXPECT_EQ(16777215.0L / 16777214.0L, x);
}

TEST(Vzorce, Weight) {
  long double fk = 0;
  // Without temperature corrections the temperature does not matter.
  for (long double tc : {-5000.0L, 0.0L, 2150.0L, 1e18L}) {
    ASSERT_TRUE(Vypocti_hmotnost(0.25L, tc, {4000, -100, 7, 2000, 0.0f, 0.0f}, &fk));
    EXPECT_EQ(0.25L * 4000 - 100 + 7, fk);
  }
  ASSERT_TRUE(Vypocti_hmotnost(0.5L, 3000, {2000, 300, 0, 2000, 0.001f, -0.0005f}, &fk));
  EXPECT_EQ(0.5L * 2000 / (static_cast<long double>(0.001f) * 1000 + 1) +
                300 / (static_cast<long double>(-0.0005f) * 1000 + 1),
            fk);
  // The unrounded temperature goes in: one part in 2^40 still counts.
  ASSERT_TRUE(Vypocti_hmotnost(1, 2000 + std::ldexp(1.0L, -40), {1, 0, 0, 2000, 1.0f, 0.0f}, &fk));
  EXPECT_EQ(1 / (1 + std::ldexp(1.0L, -40)), fk);

  // A zero denominator stops before fk; a NaN one passes.
  fk = -7;
  EXPECT_FALSE(Vypocti_hmotnost(1, 5000, {1, 1, 1, 4999, -1.0f, 0.0f}, &fk));
  EXPECT_FALSE(Vypocti_hmotnost(1, 5000, {1, 1, 1, 4999, 0.0f, -1.0f}, &fk));
  EXPECT_EQ(-7.0L, fk);
  ASSERT_TRUE(Vypocti_hmotnost(1, 5000, {1, 1, 1, 4999, std::numeric_limits<float>::quiet_NaN(), 0.0f}, &fk));
  EXPECT_TRUE(std::isnan(fk));
}

TEST(Vzorce, RecordAndConsoleLines) {
  std::tm cas{};
  cas.tm_year = 2026 - 1900, cas.tm_mon = 11, cas.tm_mday = 7, cas.tm_hour = 8, cas.tm_min = 15, cas.tm_sec = 30;
  const Vysledek_mereni priklad{3, cas, 1234.5f, 2150.0f, {123456, 98765, 4321, 31000}};
  EXPECT_EQ(" 3\t07.12.2026 08:15:30\t 123.45\t 21.5\t123456\t 98765\t  4321\t31000\n", zaznam(priklad));
  EXPECT_EQ("v: 3 dat:07.12_08:15:30 fk: 123.45 tc: 21.5 A:123456 B: 98765 N:  4321 T:31000\n",
            konzole(priklad));

  Vysledek_mereni v = priklad;
  v.cislo = 17, v.fk = -125, v.tc = 5000, v.s = {0, 16777215, 7, 1};
  EXPECT_EQ("17\t07.12.2026 08:15:30\t -12.50\t 50.0\t     0\t16777215\t     7\t    1\n", zaznam(v));
  v.fk = 100000, v.tc = -1050;
  EXPECT_EQ((Seznam{"17", "07.12.2026 08:15:30", "10000.00", "-10.5", "     0", "16777215", "     7", "    1\n"}),
            pole(zaznam(v)));
  EXPECT_EQ("v:17 dat:07.12_08:15:30 fk:10000.00 tc:-10.5 A:     0 B:16777215 N:     7 T:    1\n", konzole(v));

  // The widest values fit whole; inf and NaN print as words.
  v.fk = -std::numeric_limits<float>::max(), v.tc = std::numeric_limits<float>::max();
  v.cislo = MIN32, v.s = {MIN32, MIN32, MIN32, MIN32};
  EXPECT_EQ(8u, pole(zaznam(v)).size());
  EXPECT_EQ('\n', zaznam(v).back());
  EXPECT_EQ('\n', konzole(v).back());
  v.fk = std::numeric_limits<float>::infinity(), v.tc = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ("    inf", pole(zaznam(v))[2]);
  EXPECT_EQ("  nan", pole(zaznam(v))[3]);

  // A short buffer is cut, never overrun.
  char maly[10];
  EXPECT_EQ(9, Radek_zaznamu(priklad, maly, sizeof maly));
  EXPECT_STREQ(" 3\t07.12.", maly);
}

// What the program writes, the plot and the replay read back: every field at
// its edges, and what no reader may take for a value.
TEST(Vzorce, RecordLineReadsBackAsWritten) {
  struct Pripad {
    long cislo;
    int rok, mesic, den, hodina, minuta, sekunda;
    float fk, tc;
    Surove_hodnoty s;
    double kg, stupne;
  };
  const Pripad pripady[] = {
      {3, 2026, 12, 7, 8, 15, 30, 1234.5f, 2150.0f, {123456, 98765, 4321, 31000}, 123.45, 21.5},
      {0, 1, 1, 1, 0, 0, 0, -125.0f, -1050.0f, {0, 16777215, 0, 16777215}, -12.5, -10.5},
      {255, 9999, 12, 31, 23, 59, 60, 9999999.0f, 20000.0f, {16777215, 0, 16777215, 0}, 999999.9, 200.0},
      {99, 2024, 2, 29, 12, 0, 0, -9999999.0f, -10000.0f, {1, 2, 3, 4}, -999999.9, -100.0},
      {7, 2000, 3, 1, 1, 2, 3, -0.4f, -4.0f, {10, 100, 1000, 10000}, -0.04, -0.04},
  };
  for (const Pripad& p : pripady) {
    std::tm cas{};
    cas.tm_year = p.rok - 1900, cas.tm_mon = p.mesic - 1, cas.tm_mday = p.den;
    cas.tm_hour = p.hodina, cas.tm_min = p.minuta, cas.tm_sec = p.sekunda;
    const std::string radek = zaznam({p.cislo, cas, p.fk, p.tc, p.s});
    SCOPED_TRACE(radek);
    ASSERT_EQ('\n', radek.back());
    zaznam::Record r;
    ASSERT_EQ(zaznam::Fault::none, zaznam::ParseRecord(radek.data(), radek.size() - 1, r));
    EXPECT_EQ(p.cislo, r.device);
    EXPECT_EQ(zaznam::SecondsFromCivil(p.rok, p.mesic, p.den, p.hodina, p.minuta, p.sekunda), r.time);
    EXPECT_DOUBLE_EQ(p.kg, r.weight);
    EXPECT_DOUBLE_EQ(std::round(p.stupne * 10) / 10, r.temp);
    EXPECT_EQ((std::vector<int>{p.s.a, p.s.b, p.s.n, p.s.t}), (std::vector<int>{r.a, r.b, r.n, r.t}));
  }

  // Beyond what a record can hold the line is refused, never misread.
  std::tm cas{};
  cas.tm_year = 126, cas.tm_mday = 1;
  const Vysledek_mereni mimo[] = {{256, cas, 0, 0, {0, 0, 0, 0}},
                                  {1, cas, 1e8f, 0, {0, 0, 0, 0}},
                                  {1, cas, 0, std::numeric_limits<float>::quiet_NaN(), {0, 0, 0, 0}},
                                  {1, cas, 0, 20010, {0, 0, 0, 0}}};
  for (const Vysledek_mereni& v : mimo) {
    const std::string radek = zaznam(v);
    zaznam::Record r;
    EXPECT_NE(zaznam::Fault::none, zaznam::ParseRecord(radek.data(), radek.size() - 1, r)) << radek;
  }
}

// --- against the simulator -----------------------------------------------------

void vynuluj() {
  g_cislo_zarizeni = g_posun = g_pamet = g_pocet = 0;
  g_tc1 = g_tc2 = g_t1 = g_t2 = g_tc0 = g_k1 = g_k2 = 0;
  g_k4 = g_k5 = 0.0f;
  g_tx = g_tref = g_toff = g_t = -9;
  g_tc = g_m = g_fk = -9.0f;
  g_chyba = g_tisk_chyby_jiz_proveden = 0;
}

// Calibration with easy numbers: T = 1500 gives 50.00 degC, m = 0.5 gives
// 109.5 kg.
sim::Eeprom kalibrace(int cislo) {
  sim::Eeprom e = sim::default_eeprom(cislo);
  auto put = [&](int adr, int v, int w) {
    for (int i = 0; i < w; ++i) e[adr + i] = static_cast<std::uint8_t>(static_cast<unsigned>(v) >> (8 * i));
  };
  put(1, -5, 2);       // posun
  put(12, 0, 2);       // tc1
  put(14, 10000, 2);   // tc2
  put(16, 1000, 3);    // t1
  put(19, 2000, 3);    // t2
  put(22, 2000, 2);    // tc0
  put(24, 2000, 2);    // k1
  put(26, 100, 2);     // k2
  put(28, 0, 4);       // k4 = 0
  put(32, 0, 4);       // k5 = 0
  return e;
}

// A line with the adapter and one scale, the port open, the supply off and
// the error report ready for a fresh cycle.
struct Linka {
  harness::TempDir dir;
  sim::Line line;
  harness::VirtualClock cas{&line};
  std::string soubor;
  explicit Linka(int cislo) : line(dir.port(0)), soubor(dir.file("zaznam.txt")) {
    line.add_adapter(ADRESA_ADAPTERU);
    line.add_scale(cislo, kalibrace(cislo));
    line.set_raw(cislo, 3000, 2000, 1000, 1500);
    setenv("KVODA_PORT_PATTERN", dir.pattern().c_str(), 1);
    setenv("TZ", "UTC0", 1);
    tzset();
    char err[200];
    EXPECT_EQ(0, rs232_Nastav_jmena(err, sizeof err));
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
  // The commands as they went out: "5:1" power on, "2@12" a block read to 12.
  Seznam prubeh() {
    Seznam r;
    for (auto& q : line.requests())
      r.push_back(q.cmd == 5 ? "5:" + std::to_string(q.data.empty() ? -1 : q.data[0])
                             : std::to_string(q.cmd) + "@" + std::to_string(q.dest));
    line.clear_log();
    return r;
  }
  struct Vystup {
    int vysledek;
    std::string out;
  };
  // One-shot measurement in a fresh menu cycle, its standard output taken.
  Vystup sejmi(int cislo, const std::string& kam) {
    g_tisk_chyby_jiz_proveden = 0;
    testing::internal::CaptureStdout();
    const int r = Sejmi_hmotnost(cislo, kam.c_str());
    std::fflush(stdout);
    return {r, testing::internal::GetCapturedStdout()};
  }
};

const Seznam CELE_MERENI = {"5:1", "2@3", "2@3", "2@3", "3@3", "5:0"};

TEST(Mereni, OneShotShowsAndRecords) {
  Linka l(7);
  l.line.set_alias(7, 12);
  l.line.set_raw(7, 0x801000 + 1000, 0x801000 + 500, 0x801000, 1500);  // top bit set: still positive
  g_cislo_zarizeni = 12;

  const std::time_t pred = std::time(nullptr);
  auto v = l.sejmi(12, l.soubor);
  const std::time_t po = std::time(nullptr);
  EXPECT_EQ(0, v.vysledek);
  // Block 1 renumbers the record; the requests still go to the caller's number.
  EXPECT_EQ((Seznam{"5:1", "2@12", "2@12", "2@12", "3@12", "5:0"}), l.prubeh());
  EXPECT_EQ(7, g_cislo_zarizeni);
  EXPECT_FALSE(l.line.supply_on());
  EXPECT_EQ((std::vector<int>{8393704, 8393204, 8392704, 1500}), (std::vector<int>{g_tx, g_tref, g_toff, g_t}));
  EXPECT_EQ(5000.0f, g_tc);
  EXPECT_EQ(0.5f, g_m);
  EXPECT_EQ(1095.0f, g_fk);

  const std::string soubor = harness::read_file(l.soubor);
  auto p = pole(soubor);
  ASSERT_EQ(8u, p.size());
  EXPECT_EQ((Seznam{"12", " 109.50", " 50.0", "8393704", "8393204", "8392704", " 1500\n"}),
            (Seznam{p[0], p[2], p[3], p[4], p[5], p[6], p[7]}));
  bool datum = false;  // local time (UTC here) of the measurement
  for (std::time_t t = pred; t <= po; ++t) {
    std::tm c;
    gmtime_r(&t, &c);
    char d[40];
    std::strftime(d, sizeof d, "%d.%m.%Y %H:%M:%S", &c);
    datum = datum || p[1] == d;
  }
  EXPECT_TRUE(datum) << p[1];
  EXPECT_EQ(1, vyskytu(v.out, "v:12 dat:")) << v.out;
  EXPECT_EQ(1, vyskytu(v.out, " fk: 109.50 tc: 50.0 A:8393704 B:8393204 N:8392704 T: 1500\n")) << v.out;
  EXPECT_EQ(0, vyskytu(v.out, "nastala chyba")) << v.out;

  // A second measurement appends.
  EXPECT_EQ(0, l.sejmi(12, l.soubor).vysledek);
  const std::string dvakrat = harness::read_file(l.soubor);
  EXPECT_EQ(2, vyskytu(dvakrat, "\n"));
  EXPECT_EQ(0u, dvakrat.find(soubor));
}

TEST(Mereni, SamplingCoreAddressesByRecord) {
  Linka l(7);
  l.line.set_alias(7, 12);
  g_cislo_zarizeni = 12;
  testing::internal::CaptureStdout();
  int r = Mereni_zarizeni(12, true, l.soubor.c_str(), "Snimej_hmotnost_hledej");
  std::fflush(stdout);
  EXPECT_EQ(1, vyskytu(testing::internal::GetCapturedStdout(), "v:12 dat:"));
  EXPECT_EQ(0, r);
  // After block 1 the requests follow the number the scale stores; the
  // power stays on for the caller.
  EXPECT_EQ((Seznam{"5:1", "2@12", "2@7", "2@7", "3@7"}), l.prubeh());
  EXPECT_TRUE(l.line.supply_on());
  EXPECT_EQ(0u, harness::read_file(l.soubor).find("12\t"));

  // Errors are reported under the name given.
  l.line.add_fault({7, 3, -1, sim::Fault::WrongCode, 1, -1});
  g_cislo_zarizeni = 12;
  testing::internal::CaptureStdout();
  r = Mereni_zarizeni(12, true, l.soubor.c_str(), "Snimej_hmotnost_hledej");
  std::fflush(stdout);
  EXPECT_EQ(1, vyskytu(testing::internal::GetCapturedStdout(), "V Snimej_hmotnost_hledej nastala chyba 31\n"));
  EXPECT_EQ(1, r);
  kom_Napajeni_vahy(0);
}

TEST(Mereni, DataFileFailures) {
  Linka l(3);
  // A missing file is created by the test before the measurement; the
  // record is on the disk before the measurement ends.
  g_fsync.clear();
  auto v = l.sejmi(3, l.soubor);
  EXPECT_EQ(0, v.vysledek);
  const std::string prvni = harness::read_file(l.soubor);
  EXPECT_EQ(1, vyskytu(prvni, "\n"));
  char skutecna[4096];
  ASSERT_NE(nullptr, realpath(l.soubor.c_str(), skutecna));
  int na_disk = 0;
  for (const Fsync_volani& f : g_fsync)
    na_disk += f.cesta == skutecna && f.velikost == static_cast<long long>(prvni.size());
  EXPECT_EQ(1, na_disk);

  // A last line left without its end (an editor, another writer's crash)
  // is ended first: the record is not glued to it.
  harness::write_file(l.soubor, prvni + "poznamka");
  EXPECT_EQ(0, l.sejmi(3, l.soubor).vysledek);
  const std::string tri = harness::read_file(l.soubor);
  EXPECT_EQ(0u, tri.find(prvni + "poznamka\n 3\t")) << tri;
  EXPECT_EQ(3, vyskytu(tri, "\n"));
  const std::string treti = tri.substr(prvni.size() + 9);
  EXPECT_EQ(7, vyskytu(treti, "\t")) << treti;
  // A device that takes everything is a working data file.
  l.prubeh();
  v = l.sejmi(3, "/dev/null");
  EXPECT_EQ(0, v.vysledek);
  EXPECT_EQ(0, vyskytu(v.out, "nastala chyba")) << v.out;
  EXPECT_EQ(CELE_MERENI, l.prubeh());

  // Can't be opened (no directory, a directory, a FIFO nobody reads), or
  // opens and can't take the record: reported once, line shown, power off.
  const std::string fifo = l.dir.file("fifo");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0666));
  for (const std::string& kam : {l.dir.file("chybi/zaznam.txt"), l.dir.path, fifo, std::string("/dev/full")}) {
    vynuluj();
    l.prubeh();
    v = l.sejmi(3, kam);
    EXPECT_EQ(1, v.vysledek) << kam;
    EXPECT_EQ(1, vyskytu(v.out, "V Sejmi_hmotnost nastala chyba 26\n")) << v.out;
    EXPECT_EQ(1, vyskytu(v.out, "nastala chyba")) << v.out;
    EXPECT_EQ(1, vyskytu(v.out, "v: 3 dat:")) << v.out;
    EXPECT_EQ(1095.0f, g_fk);
    EXPECT_EQ(CELE_MERENI, l.prubeh()) << kam;
    EXPECT_FALSE(l.line.supply_on());
  }
  struct stat st;
  EXPECT_NE(0, stat(l.dir.file("chybi").c_str(), &st));
}

TEST(Mereni, ReplyFaultsKeepMeasuredValues) {
  Linka l(3);
  for (auto p : {std::make_pair(sim::Fault::WrongDest, "V Sejmi_hmotnost nastala chyba 21\n"),
                 std::make_pair(sim::Fault::WrongCode, "V Sejmi_hmotnost nastala chyba 31\n"),
                 std::make_pair(sim::Fault::BadChecksum, "V Test_chyby_sumy nastala chyba 2\n")}) {
    vynuluj();
    l.line.add_fault({3, 3, -1, p.first, 1, -1});
    auto v = l.sejmi(3, l.soubor);
    EXPECT_EQ(1, v.vysledek);
    EXPECT_EQ(1, vyskytu(v.out, p.second)) << v.out;
    EXPECT_EQ(0, vyskytu(v.out, "v: 3")) << v.out;
    EXPECT_EQ(-9, g_tx);
    EXPECT_EQ(-9.0f, g_fk);
    EXPECT_EQ(CELE_MERENI, l.prubeh());
    EXPECT_FALSE(l.line.supply_on());
  }
  EXPECT_EQ("", harness::read_file(l.soubor));  // created by the file test, nothing recorded

  // The status of the weight reply is not looked at.
  l.line.add_fault({3, 3, -1, sim::Fault::BadStatus, 1, -1});
  EXPECT_EQ(0, l.sejmi(3, l.soubor).vysledek);

  // A power-off that gets no reply fails the measurement after the fact.
  l.line.add_fault({ADRESA_ADAPTERU, 5, 0, sim::Fault::Silence, 1, -1});
  auto v = l.sejmi(3, l.soubor);
  EXPECT_EQ(1, v.vysledek);
  EXPECT_EQ(CHYBA_CEKANI_PRIJEM, g_chyba);
  EXPECT_EQ(2, vyskytu(harness::read_file(l.soubor), "\n"));
}

TEST(Mereni, DivisionByZeroKeepsWhatWasComputed) {
  Linka l(3);
  auto pokus = [&](const sim::Eeprom& e, std::uint32_t a) {
    l.line.set_eeprom(3, e);
    l.line.set_raw(3, a, 2000, 1000, 1500);
    vynuluj();
    auto v = l.sejmi(3, l.soubor);
    EXPECT_EQ(1, v.vysledek);
    EXPECT_EQ(1, vyskytu(v.out, "V Sejmi_hmotnost nastala chyba 32\n")) << v.out;
    EXPECT_EQ(0, vyskytu(v.out, "v: 3")) << v.out;
    EXPECT_EQ(CELE_MERENI, l.prubeh());
    EXPECT_EQ(static_cast<int>(a), g_tx);
    return std::vector<float>{g_tc, g_m, g_fk};
  };
  sim::Eeprom e = kalibrace(3);
  std::copy(e.begin() + 16, e.begin() + 19, e.begin() + 19);  // t2 = t1
  EXPECT_EQ((std::vector<float>{-9, -9, -9}), pokus(e, 3000));
  EXPECT_EQ((std::vector<float>{5000, -9, -9}), pokus(kalibrace(3), 1000));  // A = N

  // 50.00 degC against tc0 = 49.99: k4 or k5 = -1 zeroes a denominator.
  e = kalibrace(3);
  e[22] = 4999 & 0xFF, e[23] = 4999 >> 8;
  for (int adr : {28, 32}) {
    sim::Eeprom x = e;
    x[adr + 2] = 0x80, x[adr + 3] = 0x7F;  // -1.0
    EXPECT_EQ((std::vector<float>{5000, 0.5f, -9}), pokus(x, 3000));
  }
  EXPECT_EQ("", harness::read_file(l.soubor));

  // A NaN correction is no zero: the measurement is recorded.
  e[30] = 0x40, e[31] = 0xFF;
  l.line.set_eeprom(3, e);
  vynuluj();
  EXPECT_EQ(0, l.sejmi(3, l.soubor).vysledek);
  EXPECT_TRUE(std::isnan(g_fk));
  EXPECT_EQ(1, vyskytu(harness::read_file(l.soubor), "nan\t 50.0\t"));
}

TEST(Mereni, SilentScaleStillPowersOff) {
  Linka l(3);
  l.line.add_fault({3, 2, -1, sim::Fault::Silence, -1, -1});
  auto v = l.sejmi(3, l.soubor);
  EXPECT_EQ(1, v.vysledek);
  EXPECT_EQ(0, vyskytu(v.out, "nastala chyba")) << v.out;  // a timeout is not reported here
  EXPECT_EQ((Seznam{"5:1", "2@3", "5:0"}), l.prubeh());
  EXPECT_FALSE(l.line.supply_on());
  EXPECT_EQ(-9, g_tx);
}

}  // namespace
