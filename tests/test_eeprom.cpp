// EEPROM blocks: byte layout of every field, the scale's float layout, and
// block reads and writes against the line simulator.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "bloky.h"
#include "harness.h"
#include "rs232.h"
#include "ser.h"
#include "sim.h"

namespace {

using Bajty = std::vector<std::uint8_t>;

std::uint32_t bity(float f) {
  std::uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

float z_bitu(std::uint32_t u) {
  float f;
  std::memcpy(&f, &u, sizeof f);
  return f;
}

Bajty zakoduj(int blok) {
  std::uint8_t b[NEJVETSI_BLOK];
  std::memset(b, 0xEE, sizeof b);
  EXPECT_EQ(0, Zakoduj_blok(blok, b));
  return Bajty(b, b + Blok(blok)->pocet);
}

void dekoduj(int blok, const Bajty& bajty) {
  std::uint8_t b[NEJVETSI_BLOK] = {};
  std::memcpy(b, bajty.data(), bajty.size());
  EXPECT_EQ(0, Dekoduj_blok(blok, b));
}

// The whole calibration and identification record, for comparing.
struct Zaznam {
  int cislo, posun, pamet, pocet, tc1, tc2, t1, t2, tc0, k1, k2;
  std::uint32_t k4, k5;
  int vcs, ts, rs, vcv, tv, rv;
  static Zaznam ted() {
    return {g_cislo_zarizeni, g_posun, g_pamet, g_pocet, g_tc1, g_tc2, g_t1, g_t2, g_tc0, g_k1, g_k2,
            bity(g_k4), bity(g_k5), g_vyrobni_cislo_snimace, g_typ_snimace, g_rok_vyroby_snimace,
            g_vyrobni_cislo_vahy, g_typ_vahy, g_rok_vyroby_vahy};
  }
  bool operator==(const Zaznam& o) const { return std::memcmp(this, &o, sizeof o) == 0; }
};

void vynuluj_zaznam() {
  g_cislo_zarizeni = g_posun = g_pamet = g_pocet = 0;
  g_tc1 = g_tc2 = g_t1 = g_t2 = g_tc0 = g_k1 = g_k2 = 0;
  g_k4 = g_k5 = 0.0f;
  g_vyrobni_cislo_snimace = g_typ_snimace = g_rok_vyroby_snimace = 0;
  g_vyrobni_cislo_vahy = g_typ_vahy = g_rok_vyroby_vahy = 0;
}

TEST(Bloky, TableOfBlocks) {
  const int ocekavano[4][3] = {{0, 7, 8}, {12, 12, 13}, {24, 12, 13}, {36, 10, 11}};
  for (int i = 0; i < 4; ++i) {
    const Blok_eeprom* b = Blok(i + 1);
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(ocekavano[i][0], b->adresa);
    EXPECT_EQ(ocekavano[i][1], b->pocet);
    EXPECT_EQ(ocekavano[i][2], b->delka_zapisu);
  }
  EXPECT_EQ(nullptr, Blok(0));
  EXPECT_EQ(nullptr, Blok(5));
  EXPECT_EQ(nullptr, Blok(-1));

  // Bad block numbers change nothing.
  std::uint8_t b[NEJVETSI_BLOK];
  std::memset(b, 0xEE, sizeof b);
  g_posun = 77;
  EXPECT_EQ(1, Zakoduj_blok(5, b));
  EXPECT_EQ(1, Dekoduj_blok(0, b));
  for (auto x : b) EXPECT_EQ(0xEE, x);
  EXPECT_EQ(77, g_posun);
  g_posun = 0;
}

TEST(Bloky, DeviceFloatLayout) {
  struct {
    float f;
    Bajty e;
  } priklady[] = {
      {1.0f, {0x00, 0x00, 0x00, 0x7F}},
      {-1.0f, {0x00, 0x00, 0x80, 0x7F}},
      {0.5f, {0x00, 0x00, 0x00, 0x7E}},
      {0.001f, {0x6F, 0x12, 0x03, 0x75}},
  };
  for (auto& p : priklady) {
    std::uint8_t e[4];
    Float_do_bajtu(p.f, e);
    EXPECT_EQ(p.e, Bajty(e, e + 4)) << p.f;
    EXPECT_EQ(bity(p.f), bity(Float_z_bajtu(p.e.data()))) << p.f;
  }
  EXPECT_EQ(0x3A83126Fu, bity(0.001f));

  // Sign to bit 23, exponent to the top byte, mantissa where it was: every
  // pattern, also NaN payloads, infinities, -0 and denormals, both ways.
  auto ocekavane = [](std::uint32_t u) {
    const std::uint32_t znamenko = u >> 31, exponent = (u >> 23) & 0xFF, mantisa = u & 0x7FFFFF;
    return mantisa | (znamenko << 23) | (exponent << 24);
  };
  const std::uint32_t zvlastni[] = {0x00000000, 0x80000000, 0x00000001, 0x807FFFFF, 0x7F800000, 0xFF800000,
                                    0x7F800001, 0x7FC12345, 0xFFBFFFFF, 0xFFFFFFFF, 0x7F7FFFFF, 0x00800000};
  for (std::uint32_t u : zvlastni) {
    EXPECT_EQ(ocekavane(u), Ieee_na_zarizeni(u)) << std::hex << u;
    std::uint8_t e[4];
    Float_do_bajtu(z_bitu(u), e);
    const std::uint32_t z = e[0] | (e[1] << 8) | (e[2] << 16) | (static_cast<std::uint32_t>(e[3]) << 24);
    EXPECT_EQ(ocekavane(u), z) << std::hex << u;
    EXPECT_EQ(u, bity(Float_z_bajtu(e))) << std::hex << u;
  }
  for (std::uint64_t v = 0; v <= 0xFFFFFFFFu; v += 40503) {
    const auto u = static_cast<std::uint32_t>(v);
    ASSERT_EQ(ocekavane(u), Ieee_na_zarizeni(u)) << std::hex << u;
    ASSERT_EQ(u, Zarizeni_na_ieee(Ieee_na_zarizeni(u))) << std::hex << u;
    ASSERT_EQ(u, Ieee_na_zarizeni(Zarizeni_na_ieee(u))) << std::hex << u;
  }
}

TEST(Bloky, FieldsWidthsAndSigns) {
  vynuluj_zaznam();
  // Block 1.
  g_cislo_zarizeni = 0x109;  // only the low byte is stored
  g_posun = -1;
  g_pamet = 40000;           // beyond 16 bits signed: comes back negative
  g_pocet = 65535;
  EXPECT_EQ((Bajty{0x09, 0xFF, 0xFF, 0x40, 0x9C, 0xFF, 0xFF}), zakoduj(1));
  vynuluj_zaznam();
  dekoduj(1, {0x09, 0xFF, 0xFF, 0x40, 0x9C, 0xFF, 0xFF});
  EXPECT_EQ(9, g_cislo_zarizeni);
  EXPECT_EQ(-1, g_posun);
  EXPECT_EQ(40000 - 65536, g_pamet);
  EXPECT_EQ(65535, g_pocet);
  dekoduj(1, {0xFF, 0x00, 0x80, 0xFF, 0x7F, 0x00, 0x80});
  EXPECT_EQ(255, g_cislo_zarizeni);
  EXPECT_EQ(-32768, g_posun);
  EXPECT_EQ(32767, g_pamet);
  EXPECT_EQ(32768, g_pocet);

  // Block 2: 24-bit counts, high bits dropped on writing.
  g_tc1 = -2;
  g_tc2 = 10000;
  g_t1 = 1193046;
  g_t2 = 0x7F123456;
  g_tc0 = -32768;
  EXPECT_EQ((Bajty{0xFE, 0xFF, 0x10, 0x27, 0x56, 0x34, 0x12, 0x56, 0x34, 0x12, 0x00, 0x80}), zakoduj(2));
  const int cislo = g_cislo_zarizeni;
  dekoduj(2, {0xFE, 0xFF, 0x10, 0x27, 0x56, 0x34, 0x12, 0xFF, 0xFF, 0xFF, 0x00, 0x80});
  EXPECT_EQ(-2, g_tc1);
  EXPECT_EQ(10000, g_tc2);
  EXPECT_EQ(1193046, g_t1);
  EXPECT_EQ(16777215, g_t2);  // zero-extended
  EXPECT_EQ(-32768, g_tc0);
  EXPECT_EQ(cislo, g_cislo_zarizeni);  // another block's fields stay

  // Block 3.
  g_k1 = -100;
  g_k2 = 70000;  // 0x11170: low 16 bits 0x1170
  g_k4 = 1.0f;
  g_k5 = -1.0f;
  EXPECT_EQ((Bajty{0x9C, 0xFF, 0x70, 0x11, 0x00, 0x00, 0x00, 0x7F, 0x00, 0x00, 0x80, 0x7F}), zakoduj(3));
  g_k4 = g_k5 = 0;
  dekoduj(3, {0x9C, 0xFF, 0x70, 0x11, 0x00, 0x00, 0x00, 0x7F, 0x45, 0x23, 0xC1, 0xFF});
  EXPECT_EQ(-100, g_k1);
  EXPECT_EQ(0x1170, g_k2);
  EXPECT_EQ(1.0f, g_k4);
  EXPECT_EQ(0xFFC12345u, bity(g_k5));  // a NaN with its payload and sign

  // Block 4: all unsigned.
  g_vyrobni_cislo_snimace = 65535;
  g_typ_snimace = 0x12345;
  g_rok_vyroby_snimace = 2024;  // one byte: 0xE8
  g_vyrobni_cislo_vahy = -1;
  g_typ_vahy = 0x8001;
  g_rok_vyroby_vahy = 255;
  const Bajty b4{0xFF, 0xFF, 0x45, 0x23, 0xE8, 0xFF, 0xFF, 0x01, 0x80, 0xFF};
  EXPECT_EQ(b4, zakoduj(4));
  vynuluj_zaznam();
  dekoduj(4, b4);
  EXPECT_EQ(65535, g_vyrobni_cislo_snimace);
  EXPECT_EQ(0x2345, g_typ_snimace);
  EXPECT_EQ(0xE8, g_rok_vyroby_snimace);
  EXPECT_EQ(65535, g_vyrobni_cislo_vahy);
  EXPECT_EQ(0x8001, g_typ_vahy);
  EXPECT_EQ(255, g_rok_vyroby_vahy);
  EXPECT_EQ(0, g_posun);
  vynuluj_zaznam();
}

TEST(EepromDeathTest, RangeGuards) {
#ifdef NDEBUG
  // Without assertions the guards still refuse, before anything is sent.
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(1, Cteni_eeprom(3, 0));
  EXPECT_EQ(1, Cteni_eeprom(3, 5));
  EXPECT_EQ(1, Zapis_eeprom(3, 5));
  EXPECT_EQ(1, Zapis_eeprom(256, 1));
  EXPECT_EQ(1, Zapis_eeprom(-1, 1));
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 1.0);
#else
  testing::FLAGS_gtest_death_test_style = "threadsafe";
  EXPECT_DEATH(Cteni_eeprom(3, 5), "\\(cislo_eeprom >= 1\\) & \\(cislo_eeprom <= 4\\)");
  EXPECT_DEATH(Zapis_eeprom(3, 0), "\\(cislo_eeprom >= 1\\) & \\(cislo_eeprom <= 4\\)");
  EXPECT_DEATH(Zapis_eeprom(256, 1), "\\(cislo_zarizeni >= 0\\) & \\(cislo_zarizeni <= 255\\)");
#endif
}

// --- against the simulator -----------------------------------------------------

constexpr int ADAPTER = 251;

// A simulated line with the adapter, the port open and the supply off, the
// error report ready for a fresh cycle.
struct Linka {
  harness::TempDir dir;
  sim::Line line;
  Linka() : line(dir.port(0)) {
    line.add_adapter(ADAPTER);
    setenv("KVODA_PORT_PATTERN", dir.pattern().c_str(), 1);
    char err[200];
    EXPECT_EQ(0, rs232_Nastav_jmena(err, sizeof err));
    g_cislo_adapteru = ADAPTER;
    EXPECT_EQ(0, kom_Otevri_nebo_zavri_port(1, 0, 4800));
    kom_Napajeni_vahy(0);  // a valid adapter reply for the power-on checks
    novy_cyklus();
    line.clear_log();
  }
  ~Linka() {
    kom_Zavri_port();
    unsetenv("KVODA_PORT_PATTERN");
    vynuluj_zaznam();
    novy_cyklus();
  }
  static void novy_cyklus() {
    g_chyba = 0;
    g_tisk_chyby_jiz_proveden = 0;
  }
  std::vector<sim::Request> povely(int cmd) {
    std::vector<sim::Request> r;
    for (auto& q : line.requests())
      if (q.cmd == cmd) r.push_back(q);
    return r;
  }
};

int vyskytu(const std::string& text, const std::string& co) {
  int n = 0;
  for (auto i = text.find(co); i != std::string::npos; i = text.find(co, i + 1)) ++n;
  return n;
}

sim::Eeprom obraz() {
  sim::Eeprom e = sim::default_eeprom(7);
  const std::uint8_t b[46] = {
      7,    0xFF, 0xFF, 0x34, 0x12, 0xFF, 0xFF,                          // 0..6
      0xAA, 0xAA, 0xAA, 0xAA, 0xAA,                                      // 7..11 unused
      0x00, 0x80, 0xFF, 0x7F, 0x56, 0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xD0, 0x07,  // 12..23
      0x10, 0x27, 0x18, 0xFC, 0x00, 0x00, 0x00, 0x7F, 0x45, 0x23, 0xC1, 0xFF,  // 24..35
      0x01, 0x02, 0x03, 0x04, 24,   0x05, 0x06, 0x07, 0x08, 25};             // 36..45
  std::memcpy(e.data(), b, sizeof b);
  return e;
}

TEST(EepromLine, ReadsEveryBlock) {
  Linka l;
  l.line.add_scale(7, obraz());
  l.line.set_alias(7, 12);
  kom_Napajeni_vahy(1);
  l.line.clear_log();
  vynuluj_zaznam();

  EXPECT_EQ(0, Cteni_eeprom(12, 1));
  EXPECT_EQ(7, g_cislo_zarizeni);  // the number the scale stores, not the address asked
  EXPECT_EQ(-1, g_posun);
  EXPECT_EQ(0x1234, g_pamet);
  EXPECT_EQ(65535, g_pocet);
  EXPECT_EQ(0, Cteni_eeprom(12, 2));
  EXPECT_EQ(-32768, g_tc1);
  EXPECT_EQ(32767, g_tc2);
  EXPECT_EQ(1193046, g_t1);
  EXPECT_EQ(16777215, g_t2);
  EXPECT_EQ(2000, g_tc0);
  EXPECT_EQ(0, Cteni_eeprom(12, 3));
  EXPECT_EQ(10000, g_k1);
  EXPECT_EQ(-1000, g_k2);
  EXPECT_EQ(1.0f, g_k4);
  EXPECT_EQ(0xFFC12345u, bity(g_k5));
  EXPECT_EQ(0, Cteni_eeprom(12, 4));
  EXPECT_EQ(0x0201, g_vyrobni_cislo_snimace);
  EXPECT_EQ(0x0403, g_typ_snimace);
  EXPECT_EQ(24, g_rok_vyroby_snimace);
  EXPECT_EQ(0x0605, g_vyrobni_cislo_vahy);
  EXPECT_EQ(0x0807, g_typ_vahy);
  EXPECT_EQ(25, g_rok_vyroby_vahy);
  EXPECT_EQ(0, g_chyba);
  EXPECT_EQ(0, g_tisk_chyby_jiz_proveden);

  auto r = l.povely(2);
  ASSERT_EQ(4u, r.size());
  const Bajty data[4] = {{0, 7}, {12, 12}, {24, 12}, {36, 10}};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(12, r[i].dest);
    EXPECT_EQ(0xFD, r[i].src);
    EXPECT_EQ(2, r[i].len);
    EXPECT_TRUE(r[i].checksum_ok);
    EXPECT_EQ(data[i], r[i].data);
  }
  kom_Napajeni_vahy(0);
}

TEST(EepromLine, WritesEveryBlockAndReadsItBack) {
  Linka l;
  l.line.add_scale(5, sim::default_eeprom(5));
  kom_Napajeni_vahy(1);
  l.line.clear_log();

  vynuluj_zaznam();
  g_cislo_zarizeni = 9;  // the scale addressed as 5 takes 9 as its number
  g_posun = -300;
  g_pamet = 0x12345;     // high bits dropped
  g_pocet = 1000;
  g_tc1 = -500;
  g_tc2 = 4000;
  g_t1 = 1193046;
  g_t2 = 0x1ABCDEF;      // high bits dropped
  g_tc0 = 2000;
  g_k1 = 12345;
  g_k2 = -32768;
  g_k4 = z_bitu(0x7F800001);  // a signalling NaN passes bit for bit
  g_k5 = -0.0f;
  g_vyrobni_cislo_snimace = 4660;
  g_typ_snimace = 3;
  g_rok_vyroby_snimace = 26;
  g_vyrobni_cislo_vahy = 65535;
  g_typ_vahy = 1;
  g_rok_vyroby_vahy = 0x1FF;
  const Zaznam zapsano = Zaznam::ted();

  // Block 1 last: after it the scale answers at 9.
  for (int blok : {2, 3, 4, 1}) EXPECT_EQ(0, Zapis_eeprom(5, blok)) << blok;
  EXPECT_EQ(zapsano, Zaznam::ted());  // writing leaves the record as it was
  EXPECT_EQ(4, l.line.eeprom_writes(5));

  const sim::Eeprom e = l.line.eeprom(5);
  EXPECT_EQ((Bajty{9, 0xD4, 0xFE, 0x45, 0x23, 0xE8, 0x03}), Bajty(e.begin(), e.begin() + 7));
  EXPECT_EQ((Bajty{0x56, 0x34, 0x12, 0xEF, 0xCD, 0xAB}), Bajty(e.begin() + 16, e.begin() + 22));
  EXPECT_EQ((Bajty{0x01, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x80, 0x00}), Bajty(e.begin() + 28, e.begin() + 36));
  EXPECT_EQ(0xFF, e[45]);
  EXPECT_EQ(0xFF, e[7]);  // addresses 7..11 untouched

  auto r = l.povely(1);
  ASSERT_EQ(4u, r.size());
  const int delky[] = {13, 13, 11, 8};
  const int adresy[] = {12, 24, 36, 0};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(5, r[i].dest);
    EXPECT_EQ(delky[i], r[i].len);
    ASSERT_EQ(static_cast<std::size_t>(delky[i]), r[i].data.size());
    EXPECT_EQ(adresy[i], r[i].data[0]);
  }

  vynuluj_zaznam();
  for (int blok : {1, 2, 3, 4}) EXPECT_EQ(0, Cteni_eeprom(9, blok));
  EXPECT_EQ(9, g_cislo_zarizeni);
  EXPECT_EQ(0x2345, g_pamet);
  EXPECT_EQ(0xABCDEF, g_t2);
  EXPECT_EQ(0xFF, g_rok_vyroby_vahy);
  EXPECT_EQ(0x7F800001u, bity(g_k4));
  EXPECT_EQ(0x80000000u, bity(g_k5));
  EXPECT_EQ(-300, g_posun);
  EXPECT_EQ(-32768, g_k2);
  EXPECT_EQ(0, g_tisk_chyby_jiz_proveden);
  kom_Napajeni_vahy(0);
}

TEST(EepromLine, StatusAndChecksumFaultsAreReported) {
  Linka l;
  l.line.add_scale(7, obraz());
  kom_Napajeni_vahy(1);

  // A refused read is reported once and its data still taken.
  l.line.add_fault({7, 2, -1, sim::Fault::BadStatus, 1, 4});
  vynuluj_zaznam();
  Linka::novy_cyklus();
  testing::internal::CaptureStdout();
  EXPECT_EQ(0, Cteni_eeprom(7, 2));
  std::fflush(stdout);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(CHYBA_PROVEDENI_POVELU, g_chyba);
  EXPECT_EQ(1, vyskytu(out, "V Cteni_eeprom nastala chyba 23\n")) << out;
  EXPECT_EQ(1, vyskytu(out, "nastala chyba")) << out;
  EXPECT_EQ(-32768, g_tc1);
  EXPECT_EQ(32767, g_tc2);
  EXPECT_EQ(1193046, g_t1);
  EXPECT_EQ(16777215, g_t2);
  EXPECT_EQ(2000, g_tc0);

  // A refused write: reported, yet counted as done.
  l.line.add_fault({7, 1, -1, sim::Fault::BadStatus, 1, -1});
  Linka::novy_cyklus();
  g_cislo_zarizeni = 7;
  testing::internal::CaptureStdout();
  EXPECT_EQ(0, Zapis_eeprom(7, 1));
  std::fflush(stdout);
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(CHYBA_PROVEDENI_POVELU, g_chyba);
  EXPECT_EQ(1, vyskytu(out, "V Zapis_eeprom nastala chyba 23\n")) << out;

  // A reply with a wrong checksum: the exchange reports it and the block is
  // taken as it came.
  l.line.add_fault({7, 2, -1, sim::Fault::BadChecksum, 1, -1});
  Linka::novy_cyklus();
  g_k1 = 0;
  testing::internal::CaptureStdout();
  EXPECT_EQ(0, Cteni_eeprom(7, 3));
  std::fflush(stdout);
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(CHYBA_KONTROLNI_SUMY, g_chyba);
  EXPECT_EQ(1, vyskytu(out, "V Test_chyby_sumy nastala chyba 2\n")) << out;
  EXPECT_EQ(10000, g_k1);

  // An overlong reply: error 9, nothing stored beyond the record.
  l.line.add_fault({7, 2, -1, sim::Fault::LongLength, 1, 40});
  Linka::novy_cyklus();
  testing::internal::CaptureStdout();
  EXPECT_EQ(0, Cteni_eeprom(7, 1));
  std::fflush(stdout);
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(1, vyskytu(out, "V Test_chyby_sumy nastala chyba 9\n")) << out;
  EXPECT_EQ(7, g_cislo_zarizeni);
  kom_Napajeni_vahy(0);
}

TEST(EepromLine, WriteTimeoutLeavesRecord) {
  Linka l;
  l.line.add_scale(7, obraz());
  kom_Napajeni_vahy(1);
  l.line.add_fault({7, 1, -1, sim::Fault::Silence, -1, -1});
  g_cislo_zarizeni = 7;
  g_posun = -5;
  g_k4 = 0.25f;
  const Zaznam pred = Zaznam::ted();
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(1, Zapis_eeprom(7, 1));
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GE(s, 7.5);
  EXPECT_LE(s, 10.5);
  EXPECT_EQ(CHYBA_CEKANI_PRIJEM, g_chyba);
  EXPECT_EQ(0, g_tisk_chyby_jiz_proveden);  // a timeout is left to the caller to report
  EXPECT_EQ(pred, Zaznam::ted());
  kom_Napajeni_vahy(0);
}

TEST(EepromLine, ReadTimeoutLeavesRecord) {
  Linka l;
  l.line.add_scale(7, obraz());
  // Supply off: the scale does not answer.
  g_posun = 123;
  g_cislo_zarizeni = 40;
  const Zaznam pred = Zaznam::ted();
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(1, Cteni_eeprom(7, 1));
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GE(s, 7.5);
  EXPECT_LE(s, 10.5);
  EXPECT_EQ(CHYBA_CEKANI_PRIJEM, g_chyba);
  EXPECT_EQ(pred, Zaznam::ted());
}

}  // namespace
