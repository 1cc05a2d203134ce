// EEPROM blocks: byte layout of every field, the scale's float layout, and
// block reads and writes against the line simulator.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>
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

// The whole calibration and identification record, for comparing.
struct Zaznam {
  int c, posun, pamet, pocet, tc1, tc2, t1, t2, tc0, k1, k2;
  std::uint32_t k4, k5;
  int vcs, ts, rs, vcv, tv, rv;
  static Zaznam ted() {
    return {g_cislo_zarizeni, g_posun, g_pamet, g_pocet, g_tc1, g_tc2, g_t1, g_t2, g_tc0, g_k1, g_k2,
            bity(g_k4), bity(g_k5), g_vyrobni_cislo_snimace, g_typ_snimace, g_rok_vyroby_snimace,
            g_vyrobni_cislo_vahy, g_typ_vahy, g_rok_vyroby_vahy};
  }
  void nastav() const {
    g_cislo_zarizeni = c, g_posun = posun, g_pamet = pamet, g_pocet = pocet;
    g_tc1 = tc1, g_tc2 = tc2, g_t1 = t1, g_t2 = t2, g_tc0 = tc0, g_k1 = k1, g_k2 = k2;
    g_k4 = z_bitu(k4), g_k5 = z_bitu(k5);
    g_vyrobni_cislo_snimace = vcs, g_typ_snimace = ts, g_rok_vyroby_snimace = rs;
    g_vyrobni_cislo_vahy = vcv, g_typ_vahy = tv, g_rok_vyroby_vahy = rv;
  }
  bool operator==(const Zaznam& o) const { return std::memcmp(this, &o, sizeof o) == 0; }
};

// Values beyond every field width: signed fields come back negative, high
// bits are lost, k4 is a signalling NaN and k5 a negative zero.
const Zaznam SIROKY = {0x109, -1, 40000, 65535, -2, 10000, 1193046, 0x7F123456, -32768, -100, 70000,
                       0x7F800001, 0x80000000, 65535, 0x12345, 2024, -1, 0x8001, 255};
const Zaznam ZUZENY = {9, -1, 40000 - 65536, 65535, -2, 10000, 1193046, 0x123456, -32768, -100, 0x1170,
                       0x7F800001, 0x80000000, 65535, 0x2345, 0xE8, 65535, 0x8001, 255};
const Bajty BLOKY[4] = {
    {0x09, 0xFF, 0xFF, 0x40, 0x9C, 0xFF, 0xFF},
    {0xFE, 0xFF, 0x10, 0x27, 0x56, 0x34, 0x12, 0x56, 0x34, 0x12, 0x00, 0x80},
    {0x9C, 0xFF, 0x70, 0x11, 0x01, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x80, 0x00},
    {0xFF, 0xFF, 0x45, 0x23, 0xE8, 0xFF, 0xFF, 0x01, 0x80, 0xFF},
};

TEST(Bloky, DeviceFloatLayout) {
  struct {
    float f;
    Bajty e;
  } priklady[] = {{1.0f, {0x00, 0x00, 0x00, 0x7F}},
                  {-1.0f, {0x00, 0x00, 0x80, 0x7F}},
                  {0.5f, {0x00, 0x00, 0x00, 0x7E}},
                  {0.001f, {0x6F, 0x12, 0x03, 0x75}}};
  for (auto& p : priklady) {
    std::uint8_t e[4];
    Float_do_bajtu(p.f, e);
    EXPECT_EQ(p.e, Bajty(e, e + 4)) << p.f;
    EXPECT_EQ(bity(p.f), bity(Float_z_bajtu(p.e.data()))) << p.f;
  }

  // Sign to bit 23, exponent to the top byte, the mantissa stays: for NaN
  // payloads, infinities, -0, denormals and a sweep of all patterns.
  auto ocekavane = [](std::uint32_t u) { return (u & 0x7FFFFF) | ((u >> 31) << 23) | (((u >> 23) & 0xFF) << 24); };
  for (std::uint32_t u : {0x80000000u, 0x00000001u, 0x807FFFFFu, 0x7F800000u, 0xFF800000u, 0x7F800001u,
                          0x7FC12345u, 0xFFFFFFFFu}) {
    std::uint8_t e[4];
    Float_do_bajtu(z_bitu(u), e);
    std::uint32_t z = 0;
    for (int i = 0; i < 4; ++i) z |= static_cast<std::uint32_t>(e[i]) << (8 * i);
    EXPECT_EQ(ocekavane(u), z) << std::hex << u;
    EXPECT_EQ(u, bity(Float_z_bajtu(e))) << std::hex << u;
  }
  for (std::uint64_t v = 0; v <= 0xFFFFFFFFu; v += 40503) {
    const auto u = static_cast<std::uint32_t>(v);
    ASSERT_EQ(ocekavane(u), Ieee_na_zarizeni(u)) << std::hex << u;
    ASSERT_EQ(u, Zarizeni_na_ieee(Ieee_na_zarizeni(u))) << std::hex << u;
  }
}

TEST(Bloky, FieldWidthsAndSigns) {
  for (int blok = 1; blok <= 4; ++blok) {
    SIROKY.nastav();
    std::uint8_t b[NEJVETSI_BLOK];
    std::memset(b, 0xEE, sizeof b);
    ASSERT_EQ(0, Zakoduj_blok(blok, b));
    EXPECT_EQ(BLOKY[blok - 1], Bajty(b, b + Blok(blok)->pocet)) << blok;
  }
  // Decoding a block replaces its own fields only.
  Zaznam ocekavany = SIROKY;
  for (int blok = 1; blok <= 4; ++blok) {
    std::uint8_t b[NEJVETSI_BLOK] = {};
    std::memcpy(b, BLOKY[blok - 1].data(), BLOKY[blok - 1].size());
    ASSERT_EQ(0, Dekoduj_blok(blok, b));
    const Zaznam z = Zaznam::ted();
    if (blok == 1) ocekavany.c = 9, ocekavany.pamet = ZUZENY.pamet;
    if (blok == 2) ocekavany.t2 = ZUZENY.t2;
    if (blok == 3) ocekavany.k2 = ZUZENY.k2;
    if (blok == 4) ocekavany = ZUZENY;
    EXPECT_EQ(ocekavany, z) << blok;
  }
  const std::uint8_t ff[NEJVETSI_BLOK] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  Dekoduj_blok(1, ff);
  EXPECT_EQ(-1, g_posun);
  EXPECT_EQ(65535, g_pocet);
  EXPECT_EQ(255, g_cislo_zarizeni);

  // Block numbers outside 1..4 touch nothing.
  std::uint8_t b[NEJVETSI_BLOK];
  std::memset(b, 0xEE, sizeof b);
  EXPECT_EQ(1, Zakoduj_blok(5, b));
  EXPECT_EQ(1, Dekoduj_blok(0, ff));
  EXPECT_EQ(nullptr, Blok(-1));
  for (auto x : b) EXPECT_EQ(0xEE, x);
  EXPECT_EQ(-1, g_posun);
}

TEST(EepromDeathTest, RangeGuards) {
#ifdef NDEBUG
  // Without assertions the guards still refuse, before anything is sent.
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(1, Cteni_eeprom(3, 0));
  EXPECT_EQ(1, Cteni_eeprom(3, 5));
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

// A line with the adapter, the port open, the supply off and the error
// report ready for a fresh cycle.
struct Linka {
  harness::TempDir dir;
  sim::Line line;
  harness::VirtualClock cas{&line};
  explicit Linka(const sim::Eeprom& obraz) : line(dir.port(0)) {
    line.add_adapter(ADRESA_ADAPTERU);
    line.add_scale(obraz[0], obraz);
    setenv("KVODA_PORT_PATTERN", dir.pattern().c_str(), 1);
    char err[200];
    EXPECT_EQ(0, rs232_Nastav_jmena(err, sizeof err));
    EXPECT_EQ(0, kom_Otevri_nebo_zavri_port(1, 0, 4800));
    kom_Napajeni_vahy(0);  // a valid adapter reply for the power-on checks
    g_chyba = g_tisk_chyby_jiz_proveden = 0;
    line.clear_log();
  }
  ~Linka() {
    kom_Zavri_port();
    unsetenv("KVODA_PORT_PATTERN");
    Zaznam{}.nastav();
    g_chyba = g_tisk_chyby_jiz_proveden = 0;
  }
  std::vector<sim::Request> povely(int cmd) {
    std::vector<sim::Request> r;
    for (auto& q : line.requests())
      if (q.cmd == cmd) r.push_back(q);
    return r;
  }
};

// Standard output of `f` in a fresh menu cycle; its result in *r.
std::string vystup(const std::function<int()>& f, int* r) {
  g_tisk_chyby_jiz_proveden = 0;
  testing::internal::CaptureStdout();
  *r = f();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

int vyskytu(const std::string& text, const std::string& co) {
  int n = 0;
  for (auto i = text.find(co); i != std::string::npos; i = text.find(co, i + 1)) ++n;
  return n;
}

sim::Eeprom obraz(int cislo) {
  sim::Eeprom e = sim::default_eeprom(cislo);
  for (int blok = 0; blok < 4; ++blok)
    std::copy(BLOKY[blok].begin(), BLOKY[blok].end(), e.begin() + Blok(blok + 1)->adresa);
  e[0] = static_cast<std::uint8_t>(cislo);
  return e;
}

TEST(EepromLine, ReadRenumbersAndWriteRoundTrips) {
  Linka l(obraz(7));
  l.line.set_alias(7, 12);
  kom_Napajeni_vahy(1);
  l.line.clear_log();

  Zaznam{}.nastav();
  for (int blok = 1; blok <= 4; ++blok) EXPECT_EQ(0, Cteni_eeprom(12, blok));
  Zaznam ocekavany = ZUZENY;
  ocekavany.c = 7;  // the number the scale stores, not the address asked
  EXPECT_EQ(ocekavany, Zaznam::ted());
  EXPECT_EQ(0, g_tisk_chyby_jiz_proveden);
  auto r = l.povely(2);
  ASSERT_EQ(4u, r.size());
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(12, r[i].dest);
    EXPECT_TRUE(r[i].checksum_ok);
    EXPECT_EQ((Bajty{static_cast<std::uint8_t>(Blok(i + 1)->adresa), static_cast<std::uint8_t>(Blok(i + 1)->pocet)}),
              r[i].data);
  }

  // Written to the scale addressed as 12, which then stores 9 as its number;
  // block 1 last, as the scale answers at 9 after it.
  l.line.clear_log();
  SIROKY.nastav();
  for (int blok : {2, 3, 4, 1}) EXPECT_EQ(0, Zapis_eeprom(12, blok)) << blok;
  EXPECT_EQ(SIROKY, Zaznam::ted());
  r = l.povely(1);
  ASSERT_EQ(4u, r.size());
  const int delky[] = {13, 13, 11, 8};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(12, r[i].dest);
    EXPECT_EQ(delky[i], r[i].len);
    EXPECT_EQ(static_cast<std::size_t>(delky[i]), r[i].data.size());
  }
  const sim::Eeprom e = l.line.eeprom(7);
  EXPECT_EQ(9, e[0]);
  EXPECT_EQ((Bajty{0x56, 0x34, 0x12}), Bajty(e.begin() + 16, e.begin() + 19));
  EXPECT_EQ(0xFF, e[7]);  // addresses 7..11 belong to no block

  Zaznam{}.nastav();
  for (int blok = 1; blok <= 4; ++blok) EXPECT_EQ(0, Cteni_eeprom(9, blok));
  EXPECT_EQ(ZUZENY, Zaznam::ted());  // NaN payload and -0 bit for bit over the line
  kom_Napajeni_vahy(0);
}

TEST(EepromLine, StatusAndChecksumFaultsAreReported) {
  Linka l(obraz(7));
  kom_Napajeni_vahy(1);

  // A refused read, or one whose reply is not whole, is reported once, fails
  // and leaves the record (the scale's number too) as it was.
  int r = -1;
  std::string out;
  for (auto f : {std::make_tuple(sim::Fault::BadStatus, 4, "V Cteni_eeprom nastala chyba 23\n"),
                 std::make_tuple(sim::Fault::Short, 7, "V Cteni_eeprom nastala chyba 9\n")}) {
    l.line.add_fault({7, 2, -1, std::get<0>(f), 1, std::get<1>(f)});
    SIROKY.nastav();
    out = vystup([] { return Cteni_eeprom(7, 1); }, &r);
    EXPECT_EQ(1, r);
    EXPECT_EQ(1, vyskytu(out, std::get<2>(f))) << out;
    EXPECT_EQ(1, vyskytu(out, "nastala chyba")) << out;
    EXPECT_EQ(SIROKY, Zaznam::ted());
  }

  // A refused write: reported, yet counted as done.
  l.line.add_fault({7, 1, -1, sim::Fault::BadStatus, 1, -1});
  g_cislo_zarizeni = 7;
  out = vystup([] { return Zapis_eeprom(7, 1); }, &r);
  EXPECT_EQ(0, r);
  EXPECT_EQ(1, vyskytu(out, "V Zapis_eeprom nastala chyba 23\n")) << out;

  // A reply failing its checksum or length test is reported by the exchange
  // and never reaches the record.
  for (auto f : {std::make_pair(sim::Fault::BadChecksum, "V Test_chyby_sumy nastala chyba 2\n"),
                 std::make_pair(sim::Fault::LongLength, "V Test_chyby_sumy nastala chyba 9\n")}) {
    l.line.add_fault({7, 2, -1, f.first, 1, 40});
    SIROKY.nastav();
    out = vystup([] { return Cteni_eeprom(7, 3); }, &r);
    EXPECT_EQ(1, r);
    EXPECT_EQ(1, vyskytu(out, f.second)) << out;
    EXPECT_EQ(SIROKY, Zaznam::ted());
  }
  kom_Napajeni_vahy(0);
}

// A request nobody answers: 1 after the 9-second deadline, no report, the
// record as it was.
void bez_odpovedi(const std::function<int()>& f) {
  SIROKY.nastav();
  const long long t0 = kom_Cas_ms();  // virtual time
  EXPECT_EQ(1, f());
  const double s = (kom_Cas_ms() - t0) / 1000.0;
  EXPECT_GE(s, 7.5);
  EXPECT_LE(s, 10.5);
  EXPECT_EQ(CHYBA_CEKANI_PRIJEM, g_chyba);
  EXPECT_EQ(0, g_tisk_chyby_jiz_proveden);
  EXPECT_EQ(SIROKY, Zaznam::ted());
}

TEST(Bloky, SaveLines) {
  using O = Osud_bloku;
  struct {
    std::vector<int> bloky;
    std::vector<O> osud;
    int velikost;
    std::string radek;
  } priklady[] = {
      {{1, 2, 3}, {O::Zapsan, O::Zapsan, O::Nezapsan}, 160,
       "kvoda_ser: scale 3: block 1, block 2 written; block 3 not written\n"},
      {{3}, {O::Nezapsan}, 160, "kvoda_ser: scale 3: block 3 not written\n"},
      {{1, 2, 3}, {O::Jiny, O::Stejny, O::Jiny}, 160,
       "kvoda_ser: scale 3: block 1, block 3 read back different; block 2 read back the same\n"},
      {{1, 2}, {O::Stejny, O::Neprecten}, 160, "kvoda_ser: scale 3: block 1 read back the same; block 2 not read back\n"},
      {{1, 2, 3}, {O::Zapsan, O::Zapsan, O::Nezapsan}, 24, "kvoda_ser: scale 3: bl\n"},  // cut, still a line
  };
  for (auto& p : priklady) {
    char out[200];
    std::memset(out, 'Z', sizeof out);
    const int n = Popis_ulozeni(out, p.velikost, 3, p.bloky.data(), p.osud.data(), static_cast<int>(p.bloky.size()));
    EXPECT_EQ(p.radek, std::string(out, static_cast<std::size_t>(n)));
    EXPECT_EQ('\0', out[n]);
    EXPECT_EQ('Z', out[p.velikost]);
  }
}

TEST(EepromLine, SaveReadsBackIntoScratch) {
  Linka l(obraz(7));
  kom_Napajeni_vahy(1);
  // Written to 7 with 9 in the number field, block 1 last: read back from
  // 9, the record untouched; the read-back of block 2 is refused.
  l.line.add_fault({9, 2, 12, sim::Fault::BadStatus, 1, -1});
  SIROKY.nastav();
  g_cislo_zarizeni = 9;
  const Zaznam pred = Zaznam::ted();
  const int bloky[] = {2, 1};
  testing::internal::CaptureStderr();
  EXPECT_EQ(0, Uloz_bloky(7, bloky, 2));
  EXPECT_EQ("kvoda_ser: scale 9: block 2 not read back; block 1 read back the same\n",
            testing::internal::GetCapturedStderr());
  EXPECT_EQ(pred, Zaznam::ted());
  std::vector<int> cteni;
  for (auto& q : l.povely(2)) cteni.push_back(q.dest * 100 + q.data[0]);
  EXPECT_EQ((std::vector<int>{912, 900}), cteni);
  kom_Napajeni_vahy(0);
}

TEST(EepromLine, WriteTimeoutLeavesRecord) {
  Linka l(obraz(7));
  kom_Napajeni_vahy(1);
  l.line.add_fault({7, 1, -1, sim::Fault::Silence, -1, -1});
  bez_odpovedi([] { return Zapis_eeprom(7, 1); });
  kom_Napajeni_vahy(0);
}

TEST(EepromLine, ReadTimeoutLeavesRecord) {
  Linka l(obraz(7));  // supply off: the scale does not answer
  bez_odpovedi([] { return Cteni_eeprom(7, 2); });
}

}  // namespace
