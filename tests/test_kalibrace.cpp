// Calibration dialogues: the arithmetic and limits directly, the dialogues
// through the program's menu in a child process against the simulated line.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"
#include "kalibrace.h"
#include "program_v_diteti.h"
#include "konzole.h"
#include "rs232.h"
#include "ser.h"
#include "sim.h"

namespace {

constexpr std::int32_t MIN32 = std::numeric_limits<std::int32_t>::min();

// --- EEPROM image helpers -----------------------------------------------------

void Put(sim::Eeprom& e, int adresa, std::int32_t hodnota, int sirka) {
  for (int i = 0; i < sirka; ++i) e[adresa + i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(hodnota) >> (8 * i));
}

std::int32_t S16(const sim::Eeprom& e, int adresa) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(e[adresa] | (e[adresa + 1] << 8)));
}

std::int32_t U24(const sim::Eeprom& e, int adresa) {
  return e[adresa] | (e[adresa + 1] << 8) | (e[adresa + 2] << 16);
}

constexpr int A_POSUN = 1, A_PAMET = 3, A_POCET = 5, A_T1 = 16, A_T2 = 19, A_K1 = 24, A_K2 = 26;

// --- running the program ----------------------------------------------------------

// The program on a fresh simulated line with the adapter at 251; answers are
// written as the dialogue reaches them. The dialogues, not the deadlines,
// are the subject: it runs in a child of the test on virtual time.
struct Relace {
  harness::TempDir dir;
  sim::Line line;
  harness::VirtualClock cas;
  std::unique_ptr<harness::Process> p;  // after the clock: the child ends first
  std::size_t znacka = 0;

  Relace() : line(dir.port(0)), cas(&line) { line.add_adapter(251); }

  void Spust(const std::vector<std::string>& args = {}) {
    harness::Options o;
    o.args = args;
    o.port_pattern = dir.pattern();
    o.cwd = dir.path;
    p = std::make_unique<harness::Process>(program::Na_virtualnim_case(o, cas));
  }
  // Waits for `text` after the previous one found and moves past it.
  bool Cekej(const std::string& text, double sekundy = 40) {
    if (!p->wait_for_after(text, znacka, sekundy)) return false;
    znacka = p->out().find(text, znacka) + text.size();
    return true;
  }
  void Posli(const std::string& s) { p->write(s); }
  bool Konec(double sekundy = 40) { return p->wait_exit(sekundy) && p->exit_code() == 0; }
};

std::string Dotaz(const std::string& text, int zobrazeno, int zadano) {
  char b[32];
  std::snprintf(b, sizeof b, "%6d", zobrazeno);
  return text + " (" + b + "): " + "  bylo zadano: " + std::to_string(zadano) + "\n";
}

std::size_t Pocet(const std::string& s, const std::string& co) {
  std::size_t n = 0;
  for (std::size_t p = s.find(co); p != std::string::npos; p = s.find(co, p + 1)) ++n;
  return n;
}

std::size_t Pocet_radku(const std::string& s) { return Pocet(s, "\n"); }

// Command-1 requests in the log, by the block's start address.
std::vector<int> Zapisy(const sim::Line& line) {
  std::vector<int> v;
  for (const auto& r : line.requests())
    if (r.cmd == 1) v.push_back(r.data.empty() ? -1 : r.data[0]);
  return v;
}

// Weight shown by the last console line of a measurement, in kg.
double Posledni_fk(const std::string& out) {
  std::size_t p = out.rfind("fk:");
  if (p == std::string::npos) return NAN;
  return std::atof(out.c_str() + p + 3);
}

const std::string k_zaver = "--- program servis, byl ukoncen ---\n";

const std::string k_vysvetleni_2 =
    "2\n"
    "Kalibrace nuly a zesileni se provadi zmerenim zatizeni ve\n"
    "dvou bodech (napr. pri 0kg a 50kg), pri ustalene teplote a\n"
    "bez zahrnuti teplotnich korekci. Konstanta POSUN je pri tom\n"
    "vynulovana.Hodnoty konstant teplotnich korekci se nemeni, kalibrace dle\n"
    "teploty by se mela provest az po tomto zakladnim\n"
    "nakalibrovani zesileni a nuly.\n"
    "Pokracovat? (a/n) : ";

const std::string k_vysvetleni_3 =
    "3\n"
    "Kalibrace nuly se provadi zmerenim vahy pri zadanem\n"
    "zatizeni a nasledne odpovidajicim posunem vystupu\n"
    "pomoci zmeny konstanty k2.\n"
    "Soucasne se vynuluje konstanta posun v EEPROM vahy.\n"
    "Teplotni korekce se nemeni.\n"
    "Pokracovat? [a/n]: ";

const std::string k_prvni = "\nZadejte hodnotu prvni zateze [0.1kg]";
const std::string k_druha = "\nZadejte hodnotu druhe zateze [0.1kg]";
const std::string k_vystup = "\nZadejte pozadovanou hodnotu vystupu po kalibraci nuly [0.1kg]";
const std::string k_hmotnost = "\nZadejte pozadovanou hodnotu hmotnosti [0.1kg] [-3000..3000]";

const std::string k_shoda_t =
    "\nByla zjistena shoda konstant t1 a t2 z EEPROM, coz\n"
    "neni pripustne. Hodnota t2 bude nyni proto upravena\n"
    "na t2+1. Pokracovat? [a/n]: ";

const std::string k_varovani_k1_dole =
    "Pozor, hodnota konstanty K1 je %ld a bude omezena na 1 !\n"
    "(pro odstraneni tohoto problemu zkuste snizit pocet\n"
    " merenych period konstantou POCET)\n";
const std::string k_varovani_k1_nahore =
    "Pozor, hodnota konstanty K1 je %ld a bude omezena na 32767 !\n"
    "(pro odstraneni tohoto problemu zkuste zvysit pocet\n"
    " merenych period konstantou POCET)\n";
const std::string k_varovani_k2_dole =
    "Pozor, hodnota konstanty K2 je %ld a bude omezena na -32768 !\n"
    "(pro odstraneni tohoto problemu zkuste snizit bud pocet\n"
    " merenych period konstantou POCET, anebo konstantu pro\n"
    " zesileni K1)\n";
const std::string k_varovani_k2_nahore =
    "Pozor, hodnota konstanty K2 je %ld a bude omezena na 0 !\n"
    "(pro odstraneni tohoto problemu zkuste zmenit bud pocet\n"
    " merenych period konstantou POCET, anebo konstantu pro\n"
    " zesileni K1, anebo je problem spise jinde)\n";
const std::string k_varovani_posun_dole =
    "Pozor, hodnota konstanty POSUN je %ld a bude omezena na -3000 !\n"
    "(pro odstraneni tohoto problemu zkuste znovu nakalibrovat\n"
    " zesileni a nulu vahy)\n";
const std::string k_varovani_posun_nahore =
    "Pozor, hodnota konstanty POSUN je %ld a bude omezena na 3000 !\n"
    "(pro odstraneni tohoto problemu zkuste znovu nakalibrovat\n"
    " zesileni a nulu vahy)\n";

std::string S_hodnotou(const std::string& vzor, long hodnota) {
  std::string s = vzor;
  s.replace(s.find("%ld"), 3, std::to_string(hodnota));
  return s;
}

template <typename F>
std::string Vystup(F f) {
  testing::internal::CaptureStdout();
  f();
  return testing::internal::GetCapturedStdout();
}

}  // namespace

// ---------------------------------------------------------------------------
// Arithmetic and limits

TEST(KalibraceVypocet, GainAndZeroThroughTwoPoints) {
  // Ratios 1/8 and 3/16, loads 3 and 503: slope 8000, intercept 3 - 1000.
  Zesileni_a_nula v = Vypocet_zesileni_a_nuly(9000000, 2000000, 1000000, 9000000, 2500000, 1000000, 3.0f, 503.0f);
  EXPECT_EQ(8000, v.k1);
  EXPECT_EQ(-997, v.k2);
  // Loads in the other order give the same line.
  v = Vypocet_zesileni_a_nuly(9000000, 2500000, 1000000, 9000000, 2000000, 1000000, 503.0f, 3.0f);
  EXPECT_EQ(8000, v.k1);
  EXPECT_EQ(-997, v.k2);
  // A falling line: truncation toward zero on both sides of it.
  v = Vypocet_zesileni_a_nuly(2, 1, 0, 4, 3, 0, 0.0f, -1.0f);  // ratios 0.5, 0.75: slope -4, 0 + 2
  EXPECT_EQ(-4, v.k1);
  EXPECT_EQ(2, v.k2);
  // Counts whose 32-bit differences would overflow still give the exact line.
  v = Vypocet_zesileni_a_nuly(std::numeric_limits<std::int32_t>::max(), 0, MIN32,
                              std::numeric_limits<std::int32_t>::max(), std::numeric_limits<std::int32_t>::max(),
                              MIN32, 0.0f, 100.0f);
  EXPECT_EQ(200, v.k1);  // ratios 2^31 / (2^32 - 1) and 1
  EXPECT_EQ(-100, v.k2);
}

TEST(KalibraceVypocet, DegenerateGains) {
  // Equal ratios: an infinite slope; both results are -2147483648, and the
  // limits bring them to 1 and -32768 with their warnings.
  Zesileni_a_nula v = Vypocet_zesileni_a_nuly(2000, 1500, 1000, 3000, 2000, 1000, 0.0f, 500.0f);
  EXPECT_EQ(MIN32, v.k1);
  EXPECT_EQ(MIN32, v.k2);
  std::int32_t k1 = 0, k2 = 0;
  std::string out = Vystup([&] {
    k1 = Omez_k1(v.k1);
    k2 = Omez_k2(v.k2);
  });
  EXPECT_EQ(1, k1);
  EXPECT_EQ(-32768, k2);
  EXPECT_EQ(S_hodnotou(k_varovani_k1_dole, MIN32) + S_hodnotou(k_varovani_k2_dole, MIN32), out);
  // Equal ratios of zero: 0 x infinity in the intercept is not a number either.
  v = Vypocet_zesileni_a_nuly(2000, 1000, 1000, 3000, 1000, 1000, 0.0f, 500.0f);
  EXPECT_EQ(MIN32, v.k1);
  EXPECT_EQ(MIN32, v.k2);
  // A = N for both loads: nothing finite anywhere.
  v = Vypocet_zesileni_a_nuly(1000, 1500, 1000, 1000, 1500, 1000, 0.0f, 500.0f);
  EXPECT_EQ(MIN32, v.k1);
  EXPECT_EQ(MIN32, v.k2);

  // A gain of 0.5 truncates to 0 and is limited to 1; the zero comes from
  // the unrounded 0.5 (100 - 10 x 0.5), neither from 0 nor from 1.
  v = Vypocet_zesileni_a_nuly(2000, 20000, 0, 2000, 24000, 0, 100.0f, 101.0f);
  EXPECT_EQ(0, v.k1);
  EXPECT_EQ(95, v.k2);
  out = Vystup([&] { k1 = Omez_k1(v.k1); });
  EXPECT_EQ(1, k1);
  EXPECT_EQ(S_hodnotou(k_varovani_k1_dole, 0), out);

  // A slope of 500 x 16777215 lies beyond 32 bits: -2147483648, so the lower
  // limit 1 applies, not the upper one.
  v = Vypocet_zesileni_a_nuly(16777215, 0, 0, 16777215, 1, 0, 0.0f, 500.0f);
  EXPECT_EQ(MIN32, v.k1);
  EXPECT_EQ(0, v.k2);
  out = Vystup([&] { k1 = Omez_k1(v.k1); });
  EXPECT_EQ(1, k1);
  EXPECT_EQ(S_hodnotou(k_varovani_k1_dole, MIN32), out);
  // Just inside 32 bits is a plain large gain.
  v = Vypocet_zesileni_a_nuly(4, 0, 0, 4, 1, 0, 0.0f, 2000.0f);
  EXPECT_EQ(8000, v.k1);
}

TEST(KalibraceVypocet, ZeroAndOffsetCorrections) {
  // k2 = -100 with a wanted 0: a reading of 12.7 moves it by -12, -12.7 by 12.
  EXPECT_EQ(-12, Vypocet_korekce(0, 12.7f));
  EXPECT_EQ(-112, Soucet_32(-100, Vypocet_korekce(0, 12.7f)));
  EXPECT_EQ(12, Vypocet_korekce(0, -12.7f));
  EXPECT_EQ(-88, Soucet_32(-100, Vypocet_korekce(0, -12.7f)));
  EXPECT_EQ(2987, Vypocet_korekce(3000, 12.7f));
  EXPECT_EQ(-3000, Vypocet_korekce(-3000, 0.4f));
  // The float enters as it is stored: 0.1 in single precision lies above 0.1.
  EXPECT_EQ(0, Vypocet_korekce(0, 0.1f));
  // A weight that is no number, or too large for 32 bits, gives -2147483648,
  // and the 32-bit sum with it wraps instead of overflowing.
  EXPECT_EQ(MIN32, Vypocet_korekce(0, std::numeric_limits<float>::quiet_NaN()));
  EXPECT_EQ(MIN32, Vypocet_korekce(0, std::numeric_limits<float>::infinity()));
  EXPECT_EQ(MIN32, Vypocet_korekce(0, 3e9f));
  EXPECT_EQ(2147483548, Soucet_32(-100, MIN32));
  EXPECT_EQ(MIN32, Soucet_32(std::numeric_limits<std::int32_t>::max(), 1));
}

TEST(KalibraceVypocet, LimitsAndTheirWarnings) {
  std::int32_t r = 0;
  // Values on the limits pass silently.
  EXPECT_EQ("", Vystup([&] {
              EXPECT_EQ(1, Omez_k1(1));
              EXPECT_EQ(32767, Omez_k1(32767));
              EXPECT_EQ(0, Omez_k2(0));
              EXPECT_EQ(-32768, Omez_k2(-32768));
              EXPECT_EQ(-3000, Omez_posun(-3000));
              EXPECT_EQ(3000, Omez_posun(3000));
            }));
  EXPECT_EQ(S_hodnotou(k_varovani_k1_nahore, 32768), Vystup([&] { r = Omez_k1(32768); }));
  EXPECT_EQ(32767, r);
  EXPECT_EQ(S_hodnotou(k_varovani_k1_dole, -5), Vystup([&] { r = Omez_k1(-5); }));
  EXPECT_EQ(1, r);
  EXPECT_EQ(S_hodnotou(k_varovani_k2_nahore, 1), Vystup([&] { r = Omez_k2(1); }));
  EXPECT_EQ(0, r);
  EXPECT_EQ(S_hodnotou(k_varovani_k2_dole, -32769), Vystup([&] { r = Omez_k2(-32769); }));
  EXPECT_EQ(-32768, r);
  EXPECT_EQ(S_hodnotou(k_varovani_k2_nahore, 2147483548), Vystup([&] { r = Omez_k2(2147483548); }));
  EXPECT_EQ(0, r);
  EXPECT_EQ(S_hodnotou(k_varovani_posun_nahore, 3001), Vystup([&] { r = Omez_posun(3001); }));
  EXPECT_EQ(3000, r);
  EXPECT_EQ(S_hodnotou(k_varovani_posun_dole, -3001), Vystup([&] { r = Omez_posun(-3001); }));
  EXPECT_EQ(-3000, r);
  EXPECT_EQ(S_hodnotou(k_varovani_posun_dole, MIN32), Vystup([&] { r = Omez_posun(MIN32); }));
  EXPECT_EQ(-3000, r);
}

// ---------------------------------------------------------------------------
// Option 2 through the program

TEST(KalibraceZesileni, OffsetClearedSilentlyThenEndOfInput) {
  Relace r;
  sim::Eeprom e = sim::default_eeprom(3);
  Put(e, A_POSUN, 25, 2);
  r.line.add_scale(3, e);
  r.Spust();
  // Answers typed ahead; the input ends at the first load.
  r.Posli("0\n3\n2\na\n");
  r.p->close_stdin();
  ASSERT_TRUE(r.Konec()) << r.p->out();
  // Nothing between the question and the first load: the offset is cleared
  // without a word.
  EXPECT_NE(std::string::npos,
            r.p->out().find(k_vysvetleni_2 + k_prvni + " (     0): " + k_zaver))
      << r.p->out();
  sim::Eeprom po = r.line.eeprom(3);
  EXPECT_EQ(std::vector<int>{0}, Zapisy(r.line));
  EXPECT_EQ(1, r.line.eeprom_writes(3));
  EXPECT_EQ(0, S16(po, A_POSUN));
  Put(e, A_POSUN, 0, 2);
  EXPECT_EQ(e, po);  // the rest of the image as it was
}

TEST(KalibraceZesileni, EqualLoadsAskedAgainAndWarnings) {
  Relace r;
  r.line.add_scale(3);
  const sim::Eeprom pred = r.line.eeprom(3);
  r.Spust();
  // Both measurements of an unchanged load give equal ratios. The input
  // ends at the save question.
  r.Posli("0\n3\n2\na\n0\na\n0\n0\n500\na\n");
  r.p->close_stdin();
  ASSERT_TRUE(r.Konec()) << r.p->out();
  const std::string out = r.p->out();
  EXPECT_NE(std::string::npos,
            out.find(k_vysvetleni_2 + Dotaz(k_prvni, 0, 0) + "Vlozte na vahu prvni zatez. Pokracovat? (a/n) : "))
      << out;
  const std::string opakovani = Dotaz(k_druha, 500, 0) + "Prvni a druha zatez musi mit odlisne hodnoty!" +
                                Dotaz(k_druha, 500, 0) + "Prvni a druha zatez musi mit odlisne hodnoty!" +
                                Dotaz(k_druha, 500, 500) + "Vlozte na vahu druhou zatez. Pokracovat? [a/n] : ";
  EXPECT_NE(std::string::npos, out.find(opakovani)) << out;
  EXPECT_NE(std::string::npos,
            out.find(S_hodnotou(k_varovani_k1_dole, MIN32) + S_hodnotou(k_varovani_k2_dole, MIN32) +
                     "\nUlozit nove kalibracni konstanty do vahy? [a/n]: " + k_zaver))
      << out;
  EXPECT_TRUE(Zapisy(r.line).empty());
  EXPECT_EQ(pred, r.line.eeprom(3));
  // Two measurements, each recorded in the gain calibration's file.
  EXPECT_EQ(2u, Pocet_radku(harness::read_file(r.dir.file("kalzesil.txt"))));
}

TEST(KalibraceZesileni, TwoPointCalibrationThenReading) {
  // The real programs as a technician has them: kvoda_ser on a kvoda_sim
  // line, the loads put on from a second terminal with the control command.
  // The scale's image is first mis-set (gain, zero and an offset) through
  // the constant editor: only a correct calibration at two true loads
  // brings its readings back.
  harness::TempDir dir;
  const std::string port = dir.port(0);
  harness::Options o;
  o.program = harness::kvoda_sim_path();
  o.cwd = dir.path;
  o.args = {"--no-line-timing", "--port", port, "--adapter", "251", "--scale", "3:0:20", "--log", "--", harness::kvoda_ser_path()};
  harness::Process p(o);
  std::size_t znacka = 0;
  auto cekej = [&](const std::string& text) {
    if (!p.wait_for_after(text, znacka, 40)) return false;
    znacka = p.out().find(text, znacka) + text.size();
    return true;
  };
  auto ovladej = [&](const std::vector<std::string>& args) {
    harness::Options c;
    c.program = harness::kvoda_sim_path();
    c.args = {"--port", port};
    c.args.insert(c.args.end(), args.begin(), args.end());
    return harness::run(c, "", 20);
  };
  auto zatez = [&](double kg) {
    char b[32];
    std::snprintf(b, sizeof b, "3:load=%g", kg);
    const harness::Result r = ovladej({"--set", b});
    EXPECT_EQ(0, r.exit_code) << r.err;
    std::snprintf(b, sizeof b, "%.1f", kg);
    EXPECT_EQ("scale 3: load " + std::string(b) + " kg\n", r.out);
  };
  const sim::Eeprom vyrobni = sim::default_eeprom(3);
  p.write("0\n3\n8\n8 12000\n9 -500\n0 30\na\na\n");
  ASSERT_TRUE(cekej("Ulozit tyto kalibracni hodnoty do vahy? [a/n]: ")) << p.out() << p.err();
  ASSERT_TRUE(cekej("volba:")) << p.out();

  p.write("2\na\n0\na\n500\n");
  ASSERT_TRUE(cekej("Vlozte na vahu druhou zatez. Pokracovat? [a/n] : ")) << p.out();
  EXPECT_GT(std::fabs(Posledni_fk(p.out())), 1.0) << "the mis-set scale read 0 kg right";
  zatez(50.0);
  p.write("a\na\n");
  ASSERT_TRUE(cekej("\nUlozit nove kalibracni konstanty do vahy? [a/n]: ")) << p.out();
  ASSERT_TRUE(cekej("volba:")) << p.out();
  EXPECT_NEAR(50.0, Posledni_fk(p.out()), 0.1) << p.out();  // the control measurement
  for (double kg : {0.0, 137.3, 150.0}) {
    zatez(kg);
    p.write("7\n");
    ASSERT_TRUE(cekej("7\n"));
    ASSERT_TRUE(cekej("volba:")) << p.out();
    EXPECT_NEAR(kg, Posledni_fk(p.out()), 0.1) << p.out();
  }
  const harness::Result stav = ovladej({"--status"});
  ASSERT_EQ(0, stav.exit_code) << stav.err;
  p.write("n\n");
  ASSERT_TRUE(p.wait_exit(40)) << p.out();
  EXPECT_EQ(0, p.exit_code()) << p.err();
  const std::string out = p.out();
  EXPECT_EQ(std::string::npos, out.find("Pozor")) << out;

  // The image as the simulator shows it: "  eeprom: 03 00 ..." under scale 3.
  const std::size_t at = stav.out.find("\n  eeprom:", stav.out.find("scale 3:"));
  ASSERT_NE(std::string::npos, at) << stav.out;
  sim::Eeprom po{};
  for (int i = 0; i < sim::EEPROM_SIZE; ++i)
    po[i] = static_cast<std::uint8_t>(std::strtoul(stav.out.c_str() + at + 10 + 3 * i, nullptr, 16));
  EXPECT_EQ(0, S16(po, A_POSUN));
  // The sensor's own constants, as its factory found them.
  EXPECT_NEAR(S16(vyrobni, A_K1), S16(po, A_K1), 1);
  EXPECT_NEAR(S16(vyrobni, A_K2), S16(po, A_K2), 1);
  // Command-1 requests the simulator logged, by the block's start address:
  // the editor's three blocks, then the calibration's blocks 1 and 3.
  std::vector<int> zapisy;
  const std::string log = p.err();
  for (std::size_t z = log.find(" cmd=1 "); z != std::string::npos; z = log.find(" cmd=1 ", z + 1))
    zapisy.push_back(std::atoi(log.c_str() + log.find("data=[", z) + 6));
  EXPECT_EQ((std::vector<int>{0, 12, 24, 0, 24}), zapisy) << log;
  // Two calibration measurements and the control one.
  EXPECT_EQ(3u, Pocet_radku(harness::read_file(dir.file("kalzesil.txt"))));
  EXPECT_EQ(3u, Pocet_radku(harness::read_file(dir.file("zaznam.txt"))));
}

// ---------------------------------------------------------------------------
// Read-and-check and option 3

TEST(KalibraceNuly, EqualT1T2RepairDeclinedOrMade) {
  Relace r;
  sim::Eeprom e = sim::default_eeprom(3);
  Put(e, A_T1, 700000, 3);
  Put(e, A_T2, 700000, 3);
  Put(e, A_POSUN, 40, 2);
  r.line.add_scale(3, e);
  r.Spust();
  r.Posli("0\n3\n3\na\n");
  ASSERT_TRUE(r.Cekej(k_vysvetleni_3 + k_shoda_t)) << r.p->out();
  // Declined: back to the menu, nothing written.
  r.Posli("n\n");
  ASSERT_TRUE(r.Cekej("volba:")) << r.p->out();
  EXPECT_TRUE(Zapisy(r.line).empty());
  EXPECT_EQ(e, r.line.eeprom(3));

  // Accepted: t2 + 1 goes into block 2; the offset is kept on request; the
  // input ends before the measurement.
  r.Posli("3\na\n");
  ASSERT_TRUE(r.Cekej(k_vysvetleni_3 + k_shoda_t)) << r.p->out();
  r.Posli("a\n");
  ASSERT_TRUE(r.Cekej(
      "\nByla zjistena nenulova hodnota konstanty posun.\nVynulovat konstantu posun? [a/n]: "))
      << r.p->out();
  r.Posli("n\n0\n");
  r.p->close_stdin();
  ASSERT_TRUE(r.Konec()) << r.p->out();
  EXPECT_TRUE(r.Cekej(Dotaz(k_vystup, 0, 0) +
                      "Ponechte vahu bez zatizeni nebo vlozte odpovidajici zatizeni.\nPokracovat? [a/n]: " + k_zaver))
      << r.p->out();
  EXPECT_EQ(std::vector<int>{12}, Zapisy(r.line));
  sim::Eeprom po = r.line.eeprom(3);
  EXPECT_EQ(700001, U24(po, A_T2));
  EXPECT_EQ(40, S16(po, A_POSUN));
  Put(e, A_T2, 700001, 3);
  EXPECT_EQ(e, po);
  EXPECT_EQ(0u, Pocet_radku(harness::read_file(r.dir.file("kalnuly.txt"))));
}

TEST(KalibraceNuly, ZeroShiftWithLimitThenSaved) {
  Relace r;
  sim::Eeprom e = sim::default_eeprom(3);
  const int k2 = S16(e, A_K2);
  Put(e, A_POSUN, 40, 2);
  r.line.add_scale(3, e);
  // A true load that the constants without offset read as 12.7.
  r.line.set_load(3, 1.27, 20.0);
  r.Spust();
  // First pass: the offset cleared on request, 3000 wanted: k2 would be
  // k2 + 2987, limited to 0; not saved.
  r.Posli("0\n3\n3\na\na\n3000\na\n");
  ASSERT_TRUE(r.Cekej(S_hodnotou(k_varovani_k2_nahore, k2 + 2987) +
                      "\nUlozit nove kalibracni konstanty do vahy? (a/n): "))
      << r.p->out();
  r.Posli("n\n");
  ASSERT_TRUE(r.Cekej("volba:")) << r.p->out();
  EXPECT_EQ(std::vector<int>{0}, Zapisy(r.line));
  EXPECT_EQ(0, S16(r.line.eeprom(3), A_POSUN));
  EXPECT_EQ(k2, S16(r.line.eeprom(3), A_K2));

  // Second pass: the offset is 0 now, so no question about it; 0 wanted:
  // k2 - 12, saved, and the control measurement reads 0.7.
  r.Posli("3\na\n0\na\n");
  ASSERT_TRUE(r.Cekej(k_vysvetleni_3 + Dotaz(k_vystup, 0, 0))) << r.p->out();
  ASSERT_TRUE(r.Cekej("\nUlozit nove kalibracni konstanty do vahy? (a/n): ")) << r.p->out();
  r.Posli("a\n");
  ASSERT_TRUE(r.Cekej("volba:")) << r.p->out();
  r.Posli("n\n");
  ASSERT_TRUE(r.Konec()) << r.p->out();
  EXPECT_EQ((std::vector<int>{0, 24}), Zapisy(r.line));
  EXPECT_EQ(k2 - 12, S16(r.line.eeprom(3), A_K2));
  EXPECT_NEAR(0.07, Posledni_fk(r.p->out()), 0.005) << r.p->out();
  // Three measurements: one per pass and the control one.
  EXPECT_EQ(3u, Pocet_radku(harness::read_file(r.dir.file("kalnuly.txt"))));
}

// ---------------------------------------------------------------------------
// Option * through the program

TEST(KalibracePosunu, OffsetOfTheCurrentScaleFromItsOwnWeight) {
  // Three scales; the current one is 3, and it comes first in the run, so a
  // result taken from the last scale measured (17) would show.
  Relace r;
  sim::Eeprom e3 = sim::default_eeprom(3);
  Put(e3, A_POSUN, 10, 2);
  Put(e3, A_PAMET, 111, 2);
  Put(e3, A_POCET, 900, 2);
  r.line.add_scale(3, e3);
  r.line.add_scale(7);
  sim::Eeprom e17 = sim::default_eeprom(17);
  Put(e17, A_POSUN, 7, 2);
  Put(e17, A_PAMET, 222, 2);
  Put(e17, A_POCET, 1100, 2);
  r.line.add_scale(17, e17);
  const sim::Eeprom e7 = r.line.eeprom(7);
  r.line.set_load(3, 42.55, 20.0);
  r.line.set_load(7, 10.05, 20.0);
  r.line.set_load(17, 20.05, 20.0);
  // The sixth parameter makes each sampling run a single pass.
  r.Spust({"4800", "0", "0", "120", "zaznam.txt", "1"});
  r.Posli("0\n3\n*\n400\n");
  ASSERT_TRUE(r.Cekej("*\n" + Dotaz(k_hmotnost, 0, 400) +
                      "Ponechte vahu pripojenu, nyni bude sejmuta soucasna hmotnost.\n"))
      << r.p->out();
  ASSERT_TRUE(r.Cekej("\nUlozit novou konstantu posunu do vahy? (a/n): ")) << r.p->out();
  r.Posli("a\n");
  // The control run, then the menu ends the program after the single pass.
  ASSERT_TRUE(r.Konec()) << r.p->out();
  EXPECT_EQ(std::string::npos, r.p->out().find("Pozor")) << r.p->out();
  // Scale 3 carries 42.55 kg and reads 435.5 with its offset 10: 10 + (400 -
  // 435) goes into its block 1, whose number, memory and period count stay
  // its own.
  Put(e3, A_POSUN, -25, 2);
  EXPECT_EQ(e3, r.line.eeprom(3));
  EXPECT_EQ(std::vector<int>{0}, Zapisy(r.line));
  EXPECT_EQ(1, r.line.eeprom_writes(3));
  EXPECT_EQ(e7, r.line.eeprom(7));
  EXPECT_EQ(e17, r.line.eeprom(17));
  // Both runs recorded all three scales.
  const std::string data = harness::read_file(r.dir.file("zaznam.txt"));
  EXPECT_EQ(6u, Pocet_radku(data)) << data;
}

TEST(KalibracePosunu, CurrentScaleNotInTheRunAndEndOfInput) {
  // Scale 40 lies above the sampled range, so the run cannot weigh it: no
  // offset is computed from another scale's weight. The input ends during
  // the run, which then stops as on a key instead of sampling for ever.
  Relace r;
  r.line.add_scale(3);
  r.line.add_scale(40);
  const sim::Eeprom e3 = r.line.eeprom(3), e40 = r.line.eeprom(40);
  r.Spust();
  r.Posli("0\n40\n*\n0\n");
  r.p->close_stdin();
  ASSERT_TRUE(r.Konec()) << r.p->out();
  const std::string out = r.p->out();
  EXPECT_NE(std::string::npos,
            out.find("Vaha 40 nebyla pri snimani zmerena, konstanta posun nebyla zmenena.\n\n=== Kvoda"))
      << out;
  EXPECT_EQ(out.size() - k_zaver.size(), out.find(k_zaver)) << out;
  EXPECT_EQ(std::string::npos, out.find("Ulozit")) << out;
  EXPECT_TRUE(Zapisy(r.line).empty());
  EXPECT_EQ(e3, r.line.eeprom(3));
  EXPECT_EQ(e40, r.line.eeprom(40));
  // The run stopped after the first scale it measured.
  EXPECT_EQ(1u, Pocet_radku(harness::read_file(r.dir.file("zaznam.txt"))));
}

TEST(KalibracePosunu, LimitedOffsetThenEndOfInput) {
  // Scale 31, the last number the run visits, is weighed like any other.
  Relace r;
  r.line.add_scale(31);
  const sim::Eeprom pred = r.line.eeprom(31);
  r.line.set_load(31, -5.05, 20.0);
  r.Spust();
  r.Posli("0\n31\n*\n3000\n");
  ASSERT_TRUE(r.Cekej("v:31 ")) << r.p->out();
  // A key stops the sampling run.
  r.Posli("x");
  ASSERT_TRUE(r.Cekej(S_hodnotou(k_varovani_posun_nahore, 3050) +
                      "\nUlozit novou konstantu posunu do vahy? (a/n): "))
      << r.p->out();
  r.p->close_stdin();
  ASSERT_TRUE(r.Konec()) << r.p->out();
  EXPECT_TRUE(r.Cekej(k_zaver));
  EXPECT_TRUE(Zapisy(r.line).empty());
  EXPECT_EQ(pred, r.line.eeprom(31));
}
