// Direct constant editor: the screen, the keys and ranges, the t1/t2 guard
// and the save, through the real program and in a child process against the
// simulated line.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "harness.h"
#include "program_v_diteti.h"
#include "rs232.h"
#include "ser.h"
#include "sim.h"

namespace {

void Put(sim::Eeprom& e, int adresa, std::int32_t hodnota, int sirka) {
  for (int i = 0; i < sirka; ++i) e[adresa + i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(hodnota) >> (8 * i));
}

std::int32_t S16(const sim::Eeprom& e, int adresa) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(e[adresa] | (e[adresa + 1] << 8)));
}

std::int32_t U24(const sim::Eeprom& e, int adresa) {
  return e[adresa] | (e[adresa + 1] << 8) | (e[adresa + 2] << 16);
}

// The working values the screen shows; defaults are those of the
// simulator's default image of scale 3.
struct Hodnoty {
  long posun, pamet, pocet, tc1, tc2, t1, t2, tc0, k1, k2;
  std::string k4, k5;
  Hodnoty() {
    const sim::Eeprom e = sim::default_eeprom(3);
    posun = S16(e, 1), pamet = S16(e, 3), pocet = e[5] | (e[6] << 8);
    tc1 = S16(e, 12), tc2 = S16(e, 14), t1 = U24(e, 16), t2 = U24(e, 19), tc0 = S16(e, 22);
    k1 = S16(e, 24), k2 = S16(e, 26);
    k4 = Float(e, 28), k5 = Float(e, 32);
  }
  static std::string Float(const sim::Eeprom& e, int a) {
    const std::uint8_t b[4] = {e[a], e[a + 1], static_cast<std::uint8_t>((e[a + 2] & 0x7F) | ((e[a + 3] & 1) << 7)),
                               static_cast<std::uint8_t>((e[a + 2] & 0x80) | (e[a + 3] >> 1))};
    float f;
    std::memcpy(&f, b, 4);
    char t[32];
    std::snprintf(t, sizeof t, "%e", static_cast<double>(f));
    return t;
  }
};

std::string Obrazovka(int cislo, const Hodnoty& h) {
  auto r = [](const char* text, const std::string& v) { return std::string(text) + v + "\n"; };
  auto n = [](long v) { return std::to_string(v); };
  return "\n" + r("Cislo zarizeni: ", n(cislo)) +
         "Prime upravy kalibracnich konstant:\n"
         "UPOZORNENI!!! nevhodne nastaveni konstant\n"
         "muze zpusobit nefunkcnost vahy!!!\n"
         "--------------------------------------\n" +
         r("   (0) posun [0.1kg] : ", n(h.posun)) + r("   (1) pamet [0.1kg] : ", n(h.pamet)) +
         r("   (2) pocet [-]  >0 : ", n(h.pocet)) + "\n" + r("   (3) tc1 [0.01st.C]: ", n(h.tc1)) +
         r("   (4) tc2 [0.01st.C]: ", n(h.tc2)) + r("   (5) t1  [-]   >=0 : ", n(h.t1)) +
         r("   (6) t2  [-]   >=0 : ", n(h.t2)) + r("   (7) tc0 [0.01st.C]: ", n(h.tc0)) + "\n" +
         r("   (8) k1  [-]     >0: ", n(h.k1)) + r("   (9) k2  [0.1kg]<=0: ", n(h.k2)) +
         r("   (-) k4  [-] <-1;1>: ", h.k4) + r("   (+) k5  [-] <-1;1>: ", h.k5) +
         "\n"
         "   (a) Ano, souhlasi, pokracovat\n"
         "   (n) Navrat (nic se nemeni)\n"
         "--------------------------------------\n";
}

const std::string k_shoda = "Pozor! (t2 se nesmi rovnat t1)\n";
const std::string k_nic = "Nic zmeneno ani ulozeno nebylo.\n";
const std::string k_ulozit = "Ulozit tyto kalibracni hodnoty do vahy? [a/n]: ";
const std::string k_zaver = "--- program servis, byl ukoncen ---\n";

harness::Options Volby(const harness::TempDir& dir) {
  harness::Options o;
  o.port_pattern = dir.pattern();
  o.cwd = dir.path;
  return o;
}

std::vector<int> Zapisy(const sim::Line& line) {
  std::vector<int> v;
  for (const auto& r : line.requests())
    if (r.cmd == 1) v.push_back(r.data.empty() ? -1 : r.data[0]);
  return v;
}

std::size_t Pocet(const std::string& s, const std::string& co) {
  std::size_t n = 0;
  for (std::size_t p = s.find(co); p != std::string::npos; p = s.find(co, p + 1)) ++n;
  return n;
}

constexpr int A_POSUN = 1, A_PAMET = 3, A_T1 = 16, A_T2 = 19, A_K1 = 24, A_K2 = 26, A_K4 = 28;

// Runs the editor in a child process of the test, on the simulated line at
// `dir` and the virtual time `cas`, scale `cislo` current, standard input
// fed with `vstup`; returns
// what the child printed, followed by the record's g_k2 and g_t1 as
// "|k2=.. t1=..|" when the editor returned.
std::string Editor_v_diteti(const harness::TempDir& dir, harness::VirtualClock& cas, int cislo,
                            const std::string& vstup) {
  harness::ChildResult r = harness::run_in_child(
      vstup, true,
      [&dir, cislo] {
        kon_Novy_vstup();
        setenv("KVODA_PORT_PATTERN", dir.pattern().c_str(), 1);
        char chyba[200];
        if (rs232_Nastav_jmena(chyba, sizeof chyba) != 0 || kom_Otevri_nebo_zavri_port(1, 0, 4800) != 0) {
          std::printf("port not opened\n");
          std::fflush(stdout);
          _exit(1);
        }
        g_cislo_zarizeni = cislo;
        Prime_nastaveni();
        std::printf("|k2=%d t1=%d|", g_k2, g_t1);
        std::fflush(stdout);
        kom_Zavri_port();
      },
      60, &cas);
  EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0) << r.out;
  return r.out;
}

// Runs the program from its command line on (the adapter search, then the
// menu until it ends) in a child process of the test, on the
// simulated line at `dir` and the virtual time `cas`, standard input fed
// with `vstup` (and with `i_stderr` standard error joined to the output);
// for tests of a dialogue that would otherwise wait out the
// line's real deadlines.
harness::ChildResult Program_v_diteti(const harness::TempDir& dir, harness::VirtualClock& cas,
                                      const std::string& vstup, bool i_stderr = false) {
  return harness::run_in_child(
      vstup, true,
      [&dir, i_stderr] {
        // Standard error joins the output, unbuffered, ahead of what stdout
        // still holds.
        if (i_stderr) ::dup2(1, 2);
        setenv("KVODA_PORT_PATTERN", dir.pattern().c_str(), 1);
        if (chdir(dir.path.c_str()) != 0) _exit(2);
        program::Program();
      },
      60, &cas);
}

}  // namespace

TEST(Editor, ScreenKeysRangesAndSave) {
  harness::TempDir dir;
  sim::Line line(dir.port(0));
  line.add_adapter(251);
  line.add_scale(3);
  const sim::Eeprom pred = line.eeprom(3);
  harness::VirtualClock cas(&line);
  harness::Result r = harness::run(program::Na_virtualnim_case(Volby(dir), cas),
                                   "0\n3\n8\n"
                                   "5 500001\n- 1.5\n- -1\n+ nan\n0abc 25\nx\n0 zz\n0 -32768\n2 abc\n"
                                   "1 -32768\n1 -32767\n8 0\n8 32768\n8 32767\n9 -32768\na\na\nn\n",
                                   60);
  ASSERT_EQ(0, r.exit_code) << r.out;

  Hodnoty h;
  std::string ocekavano = "8\n" + Obrazovka(3, h);
  // Out of range: kept, and the screen comes back without a word.
  ocekavano += "t1 [0..500000]: " + Obrazovka(3, h);
  ocekavano += "korekce teplotni zavislosti zesileni\nk4 [-1..1]: " + Obrazovka(3, h);
  h.k4 = "-1.000000e+00";  // the bound itself is taken
  ocekavano += "korekce teplotni zavislosti zesileni\nk4 [-1..1]: " + Obrazovka(3, h);
  ocekavano += "korekce teplotni zavislosti nuly\nk5 [-1..1]: " + Obrazovka(3, h);  // NaN refused
  h.posun = 25;  // 0abc is the key 0
  ocekavano += "posun [-32768..32767]: " + Obrazovka(3, h);
  ocekavano += Obrazovka(3, h);  // x only redisplays
  h.posun = 0;  // a token without a number is 0, inside the range of posun
  ocekavano += "posun [-32768..32767]: " + Obrazovka(3, h);
  h.posun = -32768;
  ocekavano += "posun [-32768..32767]: " + Obrazovka(3, h);
  ocekavano += "pocet [1..10000]: " + Obrazovka(3, h);  // 0 lies outside 1..10000
  ocekavano += "pamet [-32767..32767]: " + Obrazovka(3, h);  // -32768 refused for pamet
  h.pamet = -32767;
  ocekavano += "pamet [-32767..32767]: " + Obrazovka(3, h);
  ocekavano += "nastaveni zesileni\nk1 [1..32767]: " + Obrazovka(3, h);  // a gain of 0 refused
  ocekavano += "nastaveni zesileni\nk1 [1..32767]: " + Obrazovka(3, h);
  h.k1 = 32767;
  ocekavano += "nastaveni zesileni\nk1 [1..32767]: " + Obrazovka(3, h);
  h.k2 = -32768;  // the lowest zero the field holds
  ocekavano += "nastaveni nuly\nk2 [-32768..0]: " + Obrazovka(3, h);
  ocekavano += k_ulozit + "\n";  // then the menu
  EXPECT_NE(std::string::npos, r.out.find(ocekavano)) << r.out;
  EXPECT_EQ(std::string::npos, r.out.find(k_shoda));

  EXPECT_EQ((std::vector<int>{0, 12, 24}), Zapisy(line));
  // Read back after the writes, each block once, and found the same.
  std::vector<int> cteni;
  for (const auto& q : line.requests())
    if (q.cmd == 2) cteni.push_back(q.data.empty() ? -1 : q.data[0]);
  EXPECT_EQ((std::vector<int>{0, 12, 24, 0, 12, 24}), cteni);
  EXPECT_EQ("", r.err);
  sim::Eeprom po = line.eeprom(3);
  EXPECT_EQ(-32768, S16(po, A_POSUN));
  EXPECT_EQ(-32767, S16(po, A_PAMET));
  EXPECT_EQ(32767, S16(po, A_K1));
  EXPECT_EQ(-32768, S16(po, A_K2));
  // -1.0 in the scale's own float layout.
  EXPECT_EQ(0x00, po[A_K4]);
  EXPECT_EQ(0x00, po[A_K4 + 1]);
  EXPECT_EQ(0x80, po[A_K4 + 2]);
  EXPECT_EQ(0x7F, po[A_K4 + 3]);
  // Everything else written back as it was read.
  sim::Eeprom cekane = pred;
  Put(cekane, A_POSUN, -32768, 2);
  Put(cekane, A_PAMET, -32767, 2);
  Put(cekane, A_K1, 32767, 2);
  Put(cekane, A_K2, -32768, 2);
  cekane[A_K4] = 0x00;
  cekane[A_K4 + 1] = 0x00;
  cekane[A_K4 + 2] = 0x80;
  cekane[A_K4 + 3] = 0x7F;
  EXPECT_EQ(cekane, po);
}

TEST(Editor, EqualT1T2DeclinedSaveAndEndOfInput) {
  harness::TempDir dir;
  sim::Line line(dir.port(0));
  line.add_adapter(251);
  sim::Eeprom e = sim::default_eeprom(3);
  Put(e, A_T1, 500000, 3);
  Put(e, A_T2, 500000, 3);
  line.add_scale(3, e);
  harness::VirtualClock cas(&line);
  harness::ChildResult r = Program_v_diteti(dir, cas,
                                            "0\n3\n"
                                            "8\n6 400000\n6 500000\na\n"  // equal again: saving refused
                                            "8\n6 7\n9 -5\na\nn\n"        // saving declined
                                            "8\nn\n"                      // left at once
                                            "8\n3 55\n");                 // input ends while editing
  ASSERT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0) << r.out;

  Hodnoty h;
  h.t1 = h.t2 = 500000;
  Hodnoty jine = h;
  jine.t2 = 400000;
  // Stored equal: the warning at the first display; changing t2 clears it,
  // making it equal again brings it back, and 'a' then leaves at once.
  std::string prvni = "8\n" + Obrazovka(3, h) + k_shoda + "t2 [0..500000]: " + Obrazovka(3, jine) +
                      "t2 [0..500000]: " + Obrazovka(3, h) + k_shoda + k_nic + "\n=== ";
  EXPECT_NE(std::string::npos, r.out.find(prvni)) << r.out;

  Hodnoty druhe = h;
  druhe.t2 = 7;
  Hodnoty treti = druhe;
  treti.k2 = -5;
  std::string druha = "8\n" + Obrazovka(3, h) + k_shoda + "t2 [0..500000]: " + Obrazovka(3, druhe) +
                      "nastaveni nuly\nk2 [-32768..0]: " + Obrazovka(3, treti) + k_ulozit + "\n=== ";
  EXPECT_NE(std::string::npos, r.out.find(druha)) << r.out;

  // Nothing reached the scale: the next visits show the stored values again.
  std::string treti_navsteva = "8\n" + Obrazovka(3, h) + k_shoda + k_nic + "\n=== ";
  EXPECT_NE(std::string::npos, r.out.find(treti_navsteva)) << r.out;
  Hodnoty konec = h;
  konec.tc1 = 55;
  std::string posledni = "8\n" + Obrazovka(3, h) + k_shoda + "tc1 [-10000..10000]: " + Obrazovka(3, konec) + k_shoda + k_zaver;
  ASSERT_GE(r.out.size(), posledni.size());
  EXPECT_EQ(posledni, r.out.substr(r.out.size() - posledni.size()));

  EXPECT_TRUE(Zapisy(line).empty());
  EXPECT_EQ(0, line.eeprom_writes(3));
  EXPECT_EQ(e, line.eeprom(3));
}

TEST(Editor, FailedReadAndFailedWrite) {
  harness::TempDir dir;
  sim::Line line(dir.port(0));
  line.add_adapter(251);
  line.add_scale(3);
  const sim::Eeprom pred = line.eeprom(3);
  // The first read of block 2 carries one byte of the block's twelve, the
  // next one times out; the first write of block 3 is refused.
  line.add_fault({3, 2, 12, sim::Fault::Short, 1, 2});
  line.add_fault({3, 2, 12, sim::Fault::Silence, 1, -1});
  line.add_fault({3, 1, 24, sim::Fault::BadStatus, 1, -1});
  harness::VirtualClock cas(&line);
  harness::ChildResult r = Program_v_diteti(dir, cas, "0\n3\n8\n8\n8\n9 -5\na\na\nn\n", true);
  ASSERT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0) << r.out;
  // Neither failed read opens the editor: the short one is reported, the
  // timeout is not; the third visit shows its screen twice.
  EXPECT_NE(std::string::npos, r.out.find("volba:8\nV Cteni_eeprom nastala chyba 9\n")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("volba:8\n\n=== ")) << r.out;
  EXPECT_EQ(2u, Pocet(r.out, "Prime upravy kalibracnich konstant:")) << r.out;
  // Blocks 1 and 2 written, block 3 refused; the technician is told so.
  EXPECT_EQ((std::vector<int>{0, 12, 24}), Zapisy(line));
  EXPECT_EQ(1u, Pocet(r.out, "kvoda_ser: scale 3: block 1, block 2 written; block 3 not written\n")) << r.out;
  EXPECT_EQ(1u, Pocet(r.out, "V Zapis_eeprom nastala chyba 23\n")) << r.out;
  EXPECT_EQ(0u, Pocet(r.out, "read back")) << r.out;
  // Blocks 1 and 2 went back unchanged (the simulated scale stores even a
  // write it refuses, so block 3 is not compared).
  EXPECT_TRUE(std::equal(pred.begin(), pred.begin() + 24, line.eeprom(3).begin()));
}

TEST(Editor, RecordKeptOnDeclineAndTakenOnConfirm) {
  harness::TempDir dir;
  sim::Line line(dir.port(0));
  harness::VirtualClock cas(&line);
  line.add_adapter(251);
  line.add_scale(3);
  // Declined: the record keeps what the blocks held.
  std::string s = Editor_v_diteti(dir, cas, 3, "9 -5\n5 1234\na\nn\n");
  EXPECT_NE(std::string::npos,
            s.find(k_ulozit + "|k2=" + std::to_string(Hodnoty().k2) + " t1=" + std::to_string(Hodnoty().t1) + "|"))
      << s;
  EXPECT_TRUE(Zapisy(line).empty());

  // Confirmed with a failing block 2: the record holds the edits all the
  // same, while the scale keeps its block 3.
  line.add_fault({3, 1, 12, sim::Fault::Silence, 1, -1});
  s = Editor_v_diteti(dir, cas, 3, "9 -5\n5 1234\na\na\n");
  EXPECT_NE(std::string::npos, s.find("|k2=-5 t1=1234|")) << s;
  EXPECT_EQ((std::vector<int>{0, 12}), Zapisy(line));
  EXPECT_EQ(Hodnoty().k2, S16(line.eeprom(3), A_K2));

  // End of input inside the editor ends the program there: no write.
  line.clear_log();
  s = Editor_v_diteti(dir, cas, 3, "9 -5\n");
  EXPECT_NE(std::string::npos, s.find("k2 [-32768..0]: ")) << s;
  EXPECT_NE(std::string::npos, s.find(k_zaver)) << s;
  EXPECT_EQ(std::string::npos, s.find("|k2=")) << s;
  EXPECT_TRUE(Zapisy(line).empty());
}
