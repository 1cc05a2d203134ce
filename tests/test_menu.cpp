// The main menu, driven through the real program against the simulated line
// (or, where a long deadline is in the way, its menu loop in a child of the
// test on virtual time).
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "harness.h"
#include "program_v_diteti.h"
#include "rs232.h"
#include "ser.h"
#include "sim.h"
#include "texty.h"

namespace {


using texty::Hlaseni;
using texty::Menu;

const std::string k_zaver = "--- program servis, byl ukoncen ---\n";
const std::string k_konec = "n\n" + k_zaver;
const std::string k_autostart = "6\nStiskem libovolne klavesy muzete jeste zrusit autostart...";

std::string Nalezen(int adapter = 251) {
  return "Hledam pripojeny adapter...OK   Adapter " + std::to_string(adapter) + " pripojen na port COM1...OK\n";
}

std::string Dotaz_cisla(const std::string& text, int zobrazeno, int zadano) {
  char b[32];
  std::snprintf(b, sizeof b, "%6d", zobrazeno);
  return text + " (" + b + "): " + "  bylo zadano: " + std::to_string(zadano) + "\n";
}

size_t Pocet(const std::string& s, const std::string& co) {
  size_t n = 0;
  for (size_t p = s.find(co); p != std::string::npos; p = s.find(co, p + 1)) ++n;
  return n;
}

using Povel = std::tuple<int, int, int>;  // command, destination, first data byte

std::vector<Povel> Povely(const sim::Line& line, int povel = -1) {
  std::vector<Povel> v;
  for (const auto& r : line.requests())
    if (povel < 0 || r.cmd == povel) v.emplace_back(r.cmd, r.dest, r.data.empty() ? -1 : r.data[0]);
  return v;
}

harness::Options Volby(const harness::TempDir& dir, const std::vector<std::string>& args = {}) {
  harness::Options o;
  o.args = args;
  o.port_pattern = dir.pattern();
  o.cwd = dir.path;
  return o;
}

// The program on `line` in a child of the test, on virtual time: the menu's
// texts and the line's traffic are the subject, not its deadlines or pauses.
harness::Result Spust(sim::Line& line, const harness::TempDir& dir, const std::string& vstup,
                      const std::vector<std::string>& args = {}, double sekundy = 40) {
  harness::VirtualClock cas(&line);
  return harness::run(program::Na_virtualnim_case(Volby(dir, args), cas), vstup, sekundy);
}

// ---------------------------------------------------------------------------

TEST(Menu, TextChoicesAndQuit) {
  harness::TempDir dir;
  sim::Line line(dir.port(0));
  line.add_adapter(251);
  // N is no choice; 4 and - only echo; a long token counts by its first
  // character and none of its rest reaches the next prompt.
  const std::string dlouhy = "4" + std::string(199, 'n');
  harness::Result r = Spust(line, dir, "N\n4\n-\n" + dlouhy + "\nx -\nnxyz\n");
  EXPECT_EQ(Nalezen() + Menu() + Menu() + "4\n" + Menu() + "-\n" + Menu() + "4\n" + Menu() + Menu() + "-\n" + Menu() +
                k_konec,
            r.out);
  EXPECT_EQ(0, r.exit_code);
  // One power-off per cycle, and nothing else after the adapter test.
  std::vector<Povel> ocekavane = {Povel{5, 251, 2}};
  for (int i = 0; i < 7; ++i) ocekavane.emplace_back(5, 251, 0);
  EXPECT_EQ(ocekavane, Povely(line));
}

TEST(Menu, EndOfInputAtTheChoiceEndsOnce) {
  harness::TempDir dir;
  sim::Line line(dir.port(0));
  line.add_adapter(251);
  harness::Result r = Spust(line, dir, "4\n");
  const std::string zacatek = Nalezen() + Menu() + "4\n" + Menu();
  EXPECT_EQ(zacatek, r.out.substr(0, zacatek.size()));
  ASSERT_GE(r.out.size(), k_zaver.size());
  EXPECT_EQ(k_zaver, r.out.substr(r.out.size() - k_zaver.size()));
  EXPECT_EQ(1u, Pocet(r.out, k_zaver));
  EXPECT_EQ(2u, Pocet(r.out, "volba:"));
  EXPECT_EQ(0, r.exit_code);
}

TEST(Menu, DeviceSearchOverARange) {
  const std::string dotaz = "Zadejte od jakeho cisla hledat [0..255]";
  // Two independent programs side by side: the second searches while the
  // first is driven.
  harness::TempDir dir, dir2;
  sim::Line line(dir.port(0));
  line.add_adapter(40);
  line.add_recorder(252);
  line.add_recorder(255);
  sim::Line line2(dir2.port(0));
  line2.add_adapter(251);
  // The searches' deadlines pass on virtual time, in children of the test.
  harness::VirtualClock cas(&line), cas2(&line2);
  harness::Process p1(program::Na_virtualnim_case(Volby(dir), cas));
  harness::Process p2(program::Na_virtualnim_case(Volby(dir2), cas2));
  ASSERT_TRUE(p2.wait_for(Nalezen() + Menu(), 20)) << p2.out();
  p2.write("+\n252\n");
  {
    // The adapter at 40 keeps 251 free; the walk stops after 255 without
    // asking any further.
    harness::Process& p = p1;
    ASSERT_TRUE(p.wait_for(Nalezen(40) + Menu(), 20)) << p.out();
    size_t od = line.requests().size();
    p.write("+\n250\n");
    const std::string vysledek = Nalezen(40) + Menu() + "+\n" + Dotaz_cisla(dotaz, 0, 250) +
                                 "Pro ukonceni hledani stisknete libovolnou klavesu...\n"
                                 "Nalezeno: 252 255\n" +
                                 Menu();
    ASSERT_TRUE(p.wait_for(vysledek, 20)) << p.out();
    p.write("n\n");
    ASSERT_TRUE(p.wait_exit(10));
    EXPECT_EQ(vysledek + k_konec, p.out());
    EXPECT_EQ(0, p.exit_code());
    std::vector<sim::Request> q = line.requests();
    std::vector<Povel> hledani;
    for (size_t i = od; i < q.size(); ++i)
      if (q[i].cmd == 6) hledani.emplace_back(6, q[i].dest, q[i].data.at(0));
    std::vector<Povel> ocekavane = {Povel{6, 255, 250}, Povel{6, 255, 253}};
    EXPECT_EQ(ocekavane, hledani);
  }
  {
    harness::Process& p = p2;
    const std::string vysledek = Nalezen() + Menu() + "+\n" + Dotaz_cisla(dotaz, 0, 252) +
                                 "Zadne zarizeni v zadanem rozsahu nebylo nalezeno!\n" + Menu();
    ASSERT_TRUE(p.wait_for(vysledek, 20)) << p.out();
    p.write("n\n");
    ASSERT_TRUE(p.wait_exit(10));
    EXPECT_EQ(vysledek + k_konec, p.out());
  }
}

TEST(Menu, CurrentNumberAndWritingItIntoTheScale) {
  // Two runs side by side on virtual time, each on a line of its own with
  // scale 3.
  harness::TempDir dir, dir2;
  sim::Line line1(dir.port(0));
  sim::Line line2(dir2.port(0));
  for (sim::Line* l : {&line1, &line2}) {
    l->add_adapter(251);
    l->add_scale(3);
  }
  const std::string nove = "Zadejte nove cislo [0..249]";
  harness::VirtualClock cas1(&line1), cas2(&line2);
  std::vector<harness::Result> behy =
      harness::run_side_by_side({{program::Na_virtualnim_case(Volby(dir), cas1), "0\n300\n3\n1\na\n1\nn\n3\nn\n"},
                                 {program::Na_virtualnim_case(Volby(dir2), cas2), "0\n3\n1\nn\n9\na\nn\n"}},
                                40);
  {
    // Option 0 touches no device; option 1 kept or given the same number
    // sends nothing either.
    const sim::Line& line = line1;
    const harness::Result& r = behy[0];
    EXPECT_EQ(Nalezen() + Menu() + "0\n" + Dotaz_cisla(nove, 0, 300) + "  Chyba rozsahu !)\n" +
                  Dotaz_cisla(nove, 0, 3) + Menu(3) + "1\nAktualni cislo vahy je: 3\nCislo ponechat? [a/n]: " +
                  Menu(3) + "1\nAktualni cislo vahy je: 3\nCislo ponechat? [a/n]: " + Dotaz_cisla(nove, 3, 3) +
                  "Bylo zadano stejne cislo, nic se nemeni\n" + Menu(3) + k_konec,
              r.out);
    EXPECT_EQ(0, r.exit_code);
    for (const auto& q : line.requests()) {
      EXPECT_EQ(5, q.cmd);
      EXPECT_NE(std::vector<std::uint8_t>{1}, q.data);  // never powered on
    }
  }
  {
    const sim::Line& line = line2;
    const harness::Result& r = behy[1];
    EXPECT_EQ(Nalezen() + Menu() + "0\n" + Dotaz_cisla(nove, 0, 3) + Menu(3) +
                  "1\nAktualni cislo vahy je: 3\nCislo ponechat? [a/n]: " + Dotaz_cisla(nove, 3, 9) +
                  "Zapsat zadane cislo do vahy? [a/n]: " + Menu(9) + k_konec,
              r.out);
    EXPECT_EQ(0, r.exit_code);
    EXPECT_EQ(9, line.eeprom(3)[0]);
    EXPECT_EQ(1, line.eeprom_writes(3));
    // Read and write of block 1, both at the old number, each inside its
    // own power-on/power-off; the write read back from the new number.
    std::vector<Povel> ocekavane = {Povel{5, 251, 2}, Povel{5, 251, 0}, Povel{5, 251, 0}, Povel{5, 251, 1},
                                    Povel{2, 3, 0},   Povel{5, 251, 0}, Povel{5, 251, 1}, Povel{1, 3, 0},
                                    Povel{2, 9, 0},   Povel{5, 251, 0}, Povel{5, 251, 0}};
    EXPECT_EQ(ocekavane, Povely(line));
    std::vector<sim::Request> q = line.requests();
    for (const auto& z : q)
      if (z.cmd == 1) {
        ASSERT_GE(z.data.size(), 2u);
        EXPECT_EQ(9, z.data[1]);
      }
  }
}

TEST(Menu, CommunicationTestWithoutScale) {
  // The scale's long deadline passes on virtual time: the program runs as a
  // routine in a child of the test.
  harness::TempDir dir;
  sim::Line line(dir.port(0));
  harness::VirtualClock cas(&line);
  line.add_adapter(251);
  harness::Process p(program::Na_virtualnim_case(Volby(dir), cas));
  ASSERT_TRUE(p.wait_for(Nalezen() + Menu(), 20)) << p.out();
  p.write("5\n");
  const std::string vysledek = Nalezen() + Menu() +
                               "5\n\nPocet uspesnych cyklu komunikace: 0\n"
                               "Pocet prenesenych bytu po posledni odpovedi: 0\n" +
                               Menu();
  ASSERT_TRUE(p.wait_for(vysledek, 30)) << p.out();
  p.write("n\n");
  ASSERT_TRUE(p.wait_exit(10));
  EXPECT_EQ(vysledek + k_konec, p.out());
  EXPECT_EQ(0, p.exit_code());
}

TEST(Menu, OneShotMeasurementRecordsOneLine) {
  harness::TempDir dir;
  sim::Line line(dir.port(0));
  line.add_adapter(251);
  line.add_scale(3);
  line.set_load(3, 42.5, 18.0);
  harness::Result r = Spust(line, dir, "0\n3\n7\nn\n");
  EXPECT_EQ(0, r.exit_code);
  EXPECT_NE(std::string::npos, r.out.find(Menu(3) + "7\nv: 3 dat:")) << r.out;
  EXPECT_EQ(k_konec, r.out.substr(r.out.size() - k_konec.size()));
  std::string zaznam = harness::read_file(dir.file("zaznam.txt"));
  EXPECT_EQ(1u, Pocet(zaznam, "\n"));
  EXPECT_EQ(" 3\t", zaznam.substr(0, 3));
  EXPECT_EQ(7u, Pocet(zaznam, "\t"));
}

TEST(Menu, DataFileBackupRestoreErase) {
  // Four runs side by side on virtual time, each in a directory of its own
  // holding the files the run before it leaves (as asserted after that run).
  harness::TempDir dir, dir2, dir3, dir4;
  sim::Line line(dir.port(0)), line2(dir2.port(0)), line3(dir3.port(0)), line4(dir4.port(0));
  for (sim::Line* l : {&line, &line2, &line3, &line4}) l->add_adapter(251);
  const std::string zaloha = "\nOpravdu chcete prepsat zalohu aktualnimi daty? [a/n]: ";
  const std::string obnova = "\nOpravdu chcete obnovit data ze zalohy? [a/n]: ";
  const std::string vymaz = "\nOpravdu chcete vymazat aktualni data? [a/n]: ";
  const std::string data = " 3\t07.12.2026 08:15:30\t 123.45\t 21.5\t123456\t 98765\t  4321\t31000\n" +
                           std::string(150, 'x') + "\n";
  harness::write_file(dir2.file("zaloha.txt"), data);
  harness::write_file(dir3.file("zaznam.txt"), data);
  harness::write_file(dir3.file("zaloha.txt"), "");
  harness::write_file(dir4.file("zaznam.txt"), data);
  harness::write_file(dir4.file("zaloha.txt"), data);
  harness::VirtualClock cas(&line), cas2(&line2), cas3(&line3), cas4(&line4);
  std::vector<harness::Result> behy =
      harness::run_side_by_side({{program::Na_virtualnim_case(Volby(dir), cas), "o\nn\n"},
                                 {program::Na_virtualnim_case(Volby(dir2), cas2), "k\na\nn\n"},
                                 {program::Na_virtualnim_case(Volby(dir3), cas3),
                                  "k\nn\nk\na\nv\nn\nv\na\no\nn\no\na\nn\n"},
                                 {program::Na_virtualnim_case(Volby(dir4), cas4), "v\na\nn\n"}},
                                40);

  // No backup yet: nothing to restore, and nothing is created.
  std::string soubor = dir.file("zaznam.txt"), zal = dir.file("zaloha.txt");
  harness::Result r = behy[0];
  EXPECT_EQ(Nalezen() + Menu() + "Zadna zaloha zatim nebyla ulozena.\n" + Menu() + k_konec, r.out);
  EXPECT_EQ(-1, ::access(soubor.c_str(), F_OK));
  EXPECT_EQ(-1, ::access(zal.c_str(), F_OK));

  // No data file (rotated away, or the wrong directory): the backup is not
  // replaced by an empty copy, and no data file is made.
  soubor = dir2.file("zaznam.txt");
  zal = dir2.file("zaloha.txt");
  r = behy[1];
  EXPECT_EQ(Nalezen() + Menu() + zaloha + Hlaseni("Kopie", 24) + Menu() + k_konec, r.out);
  EXPECT_EQ(-1, ::access(soubor.c_str(), F_OK));
  EXPECT_EQ(data, harness::read_file(zal));

  soubor = dir3.file("zaznam.txt");
  zal = dir3.file("zaloha.txt");
  r = behy[2];
  EXPECT_EQ(Nalezen() + Menu() + zaloha + Menu() + zaloha + "predchozi zaloha byla prepsana aktualnimi daty\n" +
                Menu() + vymaz + Menu() + vymaz + "vymazano\n" + Menu() + obnova + Menu() + obnova + "obnoveno\n" +
                Menu() + k_konec,
            r.out);
  EXPECT_EQ(data, harness::read_file(soubor));
  EXPECT_EQ(data, harness::read_file(zal));

  soubor = dir4.file("zaznam.txt");
  zal = dir4.file("zaloha.txt");
  r = behy[3];
  EXPECT_EQ("", harness::read_file(soubor));
  EXPECT_EQ(data, harness::read_file(zal));
}

TEST(Menu, BackupOntoItselfLosesNothing) {
  // Two runs side by side, each with the same backup in a directory of its own.
  harness::TempDir dir, dir2;
  sim::Line line(dir.port(0)), line2(dir2.port(0));
  const std::string data = "radek 1\nradek 2\n";
  for (sim::Line* l : {&line, &line2}) l->add_adapter(251);
  for (const harness::TempDir* d : {&dir, &dir2}) harness::write_file(d->file("zaloha.txt"), data);
  std::vector<harness::Result> behy = harness::run_side_by_side(
      {{Volby(dir, {"4800", "0", "0", "120", "zaloha.txt"}), "k\na\no\na\nn\n"},
       {Volby(dir2, {"4800", "0", "0", "120", "./zaloha.txt"}), "k\na\no\na\nn\n"}},
      40);
  harness::Result r = behy[0];
  std::string zal = dir.file("zaloha.txt");
  // Refused: the report, and no success text after it.
  EXPECT_EQ(Nalezen() + Menu() + "\nOpravdu chcete prepsat zalohu aktualnimi daty? [a/n]: " + Hlaseni("Kopie", 24) +
                Menu() + "\nOpravdu chcete obnovit data ze zalohy? [a/n]: " + Hlaseni("Kopie", 24) + Menu() + k_konec,
            r.out);
  EXPECT_EQ(data, harness::read_file(zal));

  // The same file under another spelling of its name.
  r = behy[1];
  zal = dir2.file("zaloha.txt");
  EXPECT_EQ(0, r.exit_code);
  EXPECT_EQ(data, harness::read_file(zal));
}

TEST(Menu, ClockTestEndsEvenWithoutTheSleepCommand) {
  harness::TempDir dir;
  sim::Line line(dir.port(0));
  line.add_adapter(251);
  harness::Options o = Volby(dir);
  o.env.push_back("PATH=/nonexistent-kvoda");
  harness::Result r = harness::run(o, "/\nn\n", 40);
  EXPECT_EQ(0, r.exit_code);
  const std::string zacatek = Nalezen() + Menu() + "/\n";
  ASSERT_EQ(zacatek, r.out.substr(0, zacatek.size()));
  std::string zbytek = r.out.substr(zacatek.size());
  std::smatch m;
  std::regex vzor(
      "^(\\d{4})/(\\d\\d)/(\\d\\d)-      (\\d\\d):(\\d\\d):(\\d\\d)\n\\d{4}/\\d\\d/\\d\\d-12345 "
      "(\\d\\d):(\\d\\d):(\\d\\d)$");
  const std::string konec = Menu() + k_konec;
  ASSERT_GT(zbytek.size(), konec.size());
  EXPECT_EQ(konec, zbytek.substr(zbytek.size() - konec.size()));
  std::string casy = zbytek.substr(0, zbytek.size() - konec.size());
  ASSERT_TRUE(std::regex_match(casy, m, vzor)) << casy;
  EXPECT_EQ(m[1].str() + "/" + m[2].str() + "/" + m[3].str() + "-", casy.substr(casy.find('\n') + 1, 11));
  auto s = [&](int i) { return std::stoi(m[i].str()) * 3600 + std::stoi(m[i + 1].str()) * 60 + std::stoi(m[i + 2].str()); };
  int rozdil = (s(7) - s(4) + 86400) % 86400;
  EXPECT_GE(rozdil, 5);
  EXPECT_LE(rozdil, 8);
}

TEST(Menu, AutostartCancelledByAKey) {
  harness::TempDir dir;
  sim::Line line(dir.port(0));
  line.add_adapter(251);
  line.add_scale(3);
  harness::Process p(Volby(dir, {"4800", "0", "1"}));
  const std::string zacatek = Nalezen() + Menu() + k_autostart;
  ASSERT_TRUE(p.wait_for(zacatek, 20)) << p.out();
  p.write("x");
  ASSERT_TRUE(p.wait_for_after("volba:", zacatek.size(), 15)) << p.out();
  // Autostart is off now: the menu waits for a choice.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  p.write("n\n");
  ASSERT_TRUE(p.wait_exit(10));
  std::string out = p.out();
  ASSERT_EQ(zacatek, out.substr(0, zacatek.size()));
  const std::string konec = Menu() + k_konec;
  ASSERT_GE(out.size(), zacatek.size() + konec.size());
  EXPECT_EQ(konec, out.substr(out.size() - konec.size()));
  std::string odpocet = out.substr(zacatek.size(), out.size() - zacatek.size() - konec.size());
  EXPECT_EQ(std::string("12345678910").substr(0, odpocet.size()), odpocet);
  EXPECT_LT(odpocet.size(), 10u);
  EXPECT_TRUE(Povely(line, 6).empty());  // no sampling
  EXPECT_EQ(0, p.exit_code());
}

TEST(Menu, AutostartSamplesAfterTenSecondsOnceOrQuitsAfterThePass) {
  // The countdown passes on virtual time: each program runs as a routine in
  // a child of the test. The first samples and goes on until a key, the
  // second ends after its first pass.
  for (bool jeden_pruchod : {false, true}) {
    SCOPED_TRACE(jeden_pruchod);
    harness::TempDir dir;
    sim::Line line(dir.port(0));
    harness::VirtualClock cas(&line);
    line.add_adapter(251);
    line.add_scale(3);
    std::vector<std::string> args{"4800", "0", "1", "120"};
    if (jeden_pruchod) args.insert(args.end(), {"data.txt", "1"});
    harness::Process p(program::Na_virtualnim_case(Volby(dir, args), cas));
    const std::string zacatek = Nalezen() + Menu() + k_autostart + "12345678910\n";
    if (!jeden_pruchod) {
      ASSERT_TRUE(p.wait_for("v: 3 ", 30)) << p.out();
      EXPECT_NE(std::string::npos, p.out().find("Doba cyklu je: 120 [s]\n"));
      p.write("x");
      ASSERT_TRUE(p.wait_for_after("volba:", zacatek.size(), 20)) << p.out();
      p.write("n\n");
    }
    ASSERT_TRUE(p.wait_exit(45)) << p.out();
    const std::string out = p.out();
    EXPECT_EQ(0, p.exit_code());
    EXPECT_EQ(zacatek, out.substr(0, zacatek.size()));
    EXPECT_EQ(Menu() + k_konec, out.substr(out.size() - (Menu() + k_konec).size()));
    EXPECT_EQ(2u, Pocet(out, "volba:"));
    // Ten whole seconds from the adapter's discovery to the first power-on.
    const std::vector<sim::Request> q = line.requests();
    std::size_t zapnuti = 0;
    while (zapnuti < q.size() && !(q[zapnuti].cmd == 5 && !q[zapnuti].data.empty() && q[zapnuti].data[0] == 1))
      ++zapnuti;
    ASSERT_TRUE(zapnuti > 0 && zapnuti < q.size());
    const double t = q[zapnuti].t - q[zapnuti - 1].t;
    EXPECT_GE(t, 8.5);
    EXPECT_LE(t, 12.5);
    const std::string zaznam = harness::read_file(dir.file(jeden_pruchod ? "data.txt" : "zaznam.txt"));
    if (jeden_pruchod) {
      EXPECT_EQ(1u, Pocet(zaznam, "\n"));
    }
    EXPECT_EQ(" 3\t", zaznam.substr(0, 3));
  }
}

}  // namespace
