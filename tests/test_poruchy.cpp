// The fault matrix: every command the program sends, against every fault the
// simulated line injects, with the outcome each row expects (result, error
// code, report, what is stored) and a clean exchange afterwards.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "program_v_diteti.h"
#include "rs232.h"
#include "ser.h"
#include "sim.h"

namespace {

enum class Op { Zapis1, Cteni2, Vaha3, Odpoj50, Pripoj51, Test52, Hledej6 };
using F = sim::Fault;

const char* jmeno_op(Op o) {
  switch (o) {
    case Op::Zapis1: return "cmd1_write";
    case Op::Cteni2: return "cmd2_read";
    case Op::Vaha3: return "cmd3_weight";
    case Op::Odpoj50: return "cmd5_off";
    case Op::Pripoj51: return "cmd5_on";
    case Op::Test52: return "cmd5_test";
    case Op::Hledej6: return "cmd6_search";
  }
  return "?";
}

const char* jmeno_poruchy(F f) {
  switch (f) {
    case F::None: return "none";
    case F::Silence: return "silence";
    case F::Partial: return "partial";
    case F::BadChecksum: return "checksum";
    case F::LongLength: return "long";
    case F::WrongDest: return "dest";
    case F::WrongResponder: return "responder";
    case F::WrongCode: return "code";
    case F::BadStatus: return "status";
    case F::CorruptEcho: return "echo";
    case F::GarbageBefore: return "garbage";
    case F::Late: return "late";
    case F::Short: return "short";
  }
  return "?";
}

// What a row expects. `vysledek`: the routine's result (for the power
// switch, which always returns 0, nothing is compared). `chyba`: g_chyba
// afterwards (-1 not compared). `hlaseni`: the report's first line, "" for
// none. `ulozeno`: for a read, the block decoded into the record; for a
// measurement, one record line written; for a search, the number found.
// `smeti`: garbage on the line, whose parse depends on the drawn key: the
// reply must not pass as good (an error code or a report), nothing more.
struct Ocekavani {
  int vysledek = 0;
  int chyba = 0;
  std::string hlaseni;
  int ulozeno = 0;
  bool smeti = false;
};

struct Radek {
  Op op;
  F porucha;
  Ocekavani o;
};

Ocekavani ok(int vysledek = 0, int ulozeno = 0) { return {vysledek, 0, "", ulozeno, false}; }
Ocekavani chyba(int vysledek, int kod, const std::string& hlaseni, int ulozeno = 0) {
  return {vysledek, kod, hlaseni, ulozeno, false};
}
Ocekavani smeti(int vysledek) { return {vysledek, -1, "", 0, true}; }

const std::string SUMA2 = "V Test_chyby_sumy nastala chyba 2";
const std::string DELKA9 = "V Test_chyby_sumy nastala chyba 9";

// Every (command, fault) pair must have a row; a missing one fails.
const std::vector<Radek>& tabulka() {
  static const std::vector<Radek> t = {
      // EEPROM write of block 3: the device stores the bytes in every row;
      // the result says whether the program may rely on it.
      {Op::Zapis1, F::None, ok(0)},
      {Op::Zapis1, F::Silence, chyba(1, 7, "")},
      {Op::Zapis1, F::Partial, chyba(1, 7, "")},
      {Op::Zapis1, F::BadChecksum, chyba(1, 2, SUMA2)},
      {Op::Zapis1, F::LongLength, chyba(1, 9, DELKA9)},
      {Op::Zapis1, F::WrongDest, ok(0)},
      {Op::Zapis1, F::WrongResponder, ok(0)},
      {Op::Zapis1, F::WrongCode, ok(0)},
      {Op::Zapis1, F::BadStatus, chyba(0, 23, "V Zapis_eeprom nastala chyba 23")},
      {Op::Zapis1, F::CorruptEcho, ok(0)},
      {Op::Zapis1, F::GarbageBefore, smeti(1)},
      {Op::Zapis1, F::Late, chyba(1, 7, "")},
      {Op::Zapis1, F::Short, ok(0)},
      // EEPROM read of block 2: decoded (1) or the record left as it was (0).
      {Op::Cteni2, F::None, ok(0, 1)},
      {Op::Cteni2, F::Silence, chyba(1, 7, "", 0)},
      {Op::Cteni2, F::Partial, chyba(1, 7, "", 0)},
      {Op::Cteni2, F::BadChecksum, chyba(1, 2, SUMA2, 0)},
      {Op::Cteni2, F::LongLength, chyba(1, 9, DELKA9, 0)},
      {Op::Cteni2, F::WrongDest, chyba(1, 21, "V Cteni_eeprom nastala chyba 21", 0)},
      {Op::Cteni2, F::WrongResponder, chyba(1, 20, "V Cteni_eeprom nastala chyba 20", 0)},
      {Op::Cteni2, F::WrongCode, chyba(1, 22, "V Cteni_eeprom nastala chyba 22", 0)},
      {Op::Cteni2, F::BadStatus, chyba(1, 23, "V Cteni_eeprom nastala chyba 23", 0)},
      {Op::Cteni2, F::CorruptEcho, ok(0, 1)},
      {Op::Cteni2, F::GarbageBefore, smeti(1)},
      {Op::Cteni2, F::Late, chyba(1, 7, "", 0)},
      {Op::Cteni2, F::Short, chyba(1, 9, "V Cteni_eeprom nastala chyba 9", 0)},
      // One-shot measurement with the fault on the weight command: a record
      // line (1) or none (0). The closing power-off clears the error code.
      {Op::Vaha3, F::None, ok(0, 1)},
      {Op::Vaha3, F::Silence, chyba(1, 0, "", 0)},
      {Op::Vaha3, F::Partial, chyba(1, 0, "", 0)},
      {Op::Vaha3, F::BadChecksum, chyba(1, 0, SUMA2, 0)},
      {Op::Vaha3, F::LongLength, chyba(1, 0, DELKA9, 0)},
      {Op::Vaha3, F::WrongDest, chyba(1, 0, "V Sejmi_hmotnost nastala chyba 21", 0)},
      {Op::Vaha3, F::WrongResponder, ok(0, 1)},
      {Op::Vaha3, F::WrongCode, chyba(1, 0, "V Sejmi_hmotnost nastala chyba 31", 0)},
      {Op::Vaha3, F::BadStatus, ok(0, 1)},
      {Op::Vaha3, F::CorruptEcho, ok(0, 1)},
      {Op::Vaha3, F::GarbageBefore, smeti(1)},
      {Op::Vaha3, F::Late, chyba(1, 0, "", 0)},
      {Op::Vaha3, F::Short, chyba(1, 0, "V Sejmi_hmotnost nastala chyba 9", 0)},
      // Power off: the reply is checked field by field.
      {Op::Odpoj50, F::None, ok()},
      {Op::Odpoj50, F::Silence, chyba(0, 7, "V Povel_napajeni nastala chyba 7")},
      {Op::Odpoj50, F::Partial, chyba(0, 7, "V Povel_napajeni nastala chyba 7")},
      {Op::Odpoj50, F::BadChecksum, chyba(0, 2, SUMA2)},
      {Op::Odpoj50, F::LongLength, chyba(0, 9, DELKA9)},
      {Op::Odpoj50, F::WrongDest, chyba(0, 21, "V Povel_napajeni nastala chyba 21")},
      {Op::Odpoj50, F::WrongResponder, chyba(0, 20, "V Povel_napajeni nastala chyba 20")},
      {Op::Odpoj50, F::WrongCode, chyba(0, 22, "V Povel_napajeni nastala chyba 22")},
      {Op::Odpoj50, F::BadStatus, chyba(0, 23, "V Povel_napajeni nastala chyba 23")},
      {Op::Odpoj50, F::CorruptEcho, ok()},
      {Op::Odpoj50, F::GarbageBefore, smeti(0)},
      {Op::Odpoj50, F::Late, chyba(0, 7, "V Povel_napajeni nastala chyba 7")},
      {Op::Odpoj50, F::Short, ok()},
      // Power on reads no reply: whatever the adapter does with it, the
      // checks run on the good power-off reply before it.
      {Op::Pripoj51, F::None, ok()},
      {Op::Pripoj51, F::Silence, ok()},
      {Op::Pripoj51, F::Partial, ok()},
      {Op::Pripoj51, F::BadChecksum, ok()},
      {Op::Pripoj51, F::LongLength, ok()},
      {Op::Pripoj51, F::WrongDest, ok()},
      {Op::Pripoj51, F::WrongResponder, ok()},
      {Op::Pripoj51, F::WrongCode, ok()},
      {Op::Pripoj51, F::BadStatus, ok()},
      {Op::Pripoj51, F::CorruptEcho, ok()},
      {Op::Pripoj51, F::GarbageBefore, ok()},
      {Op::Pripoj51, F::Late, ok()},
      {Op::Pripoj51, F::Short, ok()},
      // Adapter test: only the status counts; a bad checksum still answers.
      {Op::Test52, F::None, ok(0)},
      {Op::Test52, F::Silence, chyba(7, 7, "")},
      {Op::Test52, F::Partial, chyba(7, 7, "")},
      {Op::Test52, F::BadChecksum, chyba(0, 2, SUMA2)},
      {Op::Test52, F::LongLength, chyba(0, 9, DELKA9)},
      {Op::Test52, F::WrongDest, ok(0)},
      {Op::Test52, F::WrongResponder, ok(0)},
      {Op::Test52, F::WrongCode, ok(0)},
      {Op::Test52, F::BadStatus, chyba(23, 23, "")},
      {Op::Test52, F::CorruptEcho, ok(0)},
      {Op::Test52, F::GarbageBefore, chyba(7, 7, "")},  // the responder 251 reads as a length of 251
      {Op::Test52, F::Late, chyba(7, 7, "")},
      {Op::Test52, F::Short, ok(0)},
      // Search from 0 with scale 3 on the line: the number found (256 when
      // nobody answered in time; 0, the start, when unchanged).
      {Op::Hledej6, F::None, ok(0, 3)},
      {Op::Hledej6, F::Silence, chyba(1, 0, "", 256)},
      {Op::Hledej6, F::Partial, chyba(1, 0, "", 256)},
      {Op::Hledej6, F::BadChecksum, chyba(1, 0, SUMA2, 0)},
      {Op::Hledej6, F::LongLength, chyba(1, 0, DELKA9, 0)},
      {Op::Hledej6, F::WrongDest, chyba(1, 0, "V Najdi_nejblizsi nastala chyba 21", 0)},
      {Op::Hledej6, F::WrongResponder, ok(0, 4)},
      {Op::Hledej6, F::WrongCode, chyba(1, 0, "V Najdi_nejblizsi nastala chyba 30", 0)},
      {Op::Hledej6, F::BadStatus, ok(0, 3)},
      {Op::Hledej6, F::CorruptEcho, ok(0, 3)},
      {Op::Hledej6, F::GarbageBefore, smeti(1)},
      {Op::Hledej6, F::Late, chyba(1, 0, "", 256)},
      {Op::Hledej6, F::Short, ok(0, 3)},
  };
  return t;
}

struct Par {
  Op op;
  F porucha;
};

std::vector<Par> vsechny_dvojice() {
  std::vector<Par> p;
  for (Op o : {Op::Zapis1, Op::Cteni2, Op::Vaha3, Op::Odpoj50, Op::Pripoj51, Op::Test52, Op::Hledej6}) {
    for (F f : {F::None, F::Silence, F::Partial, F::BadChecksum, F::LongLength, F::WrongDest, F::WrongResponder,
                F::WrongCode, F::BadStatus, F::CorruptEcho, F::GarbageBefore, F::Late, F::Short}) {
      p.push_back({o, f});
    }
  }
  return p;
}

std::string prvni_radek_hlaseni(const std::string& out) {
  size_t a = out.find("V ");
  while (a != std::string::npos && a != 0 && out[a - 1] != '\n') a = out.find("V ", a + 1);
  if (a == std::string::npos) return "";
  return out.substr(a, out.find('\n', a) - a);
}

void vynuluj_zaznam() {
  g_tc1 = g_tc2 = g_t1 = g_t2 = g_tc0 = -77;
  g_tx = g_tref = g_toff = g_t = -1;
}

class Matice : public testing::TestWithParam<Par> {};

}  // namespace

TEST_P(Matice, OutcomeAsTheRowSays) {
  const Par par = GetParam();
  const Radek* radek = nullptr;
  for (const Radek& r : tabulka()) {
    if (r.op == par.op && r.porucha == par.porucha) radek = &r;
  }
  ASSERT_NE(nullptr, radek) << "no expectation for this row";
  const Ocekavani& o = radek->o;

  harness::TempDir dir;
  setenv("KVODA_PORT_PATTERN", dir.pattern().c_str(), 1);
  char err[200];
  ASSERT_EQ(0, rs232_Nastav_jmena(err, sizeof err));
  sim::Line line(dir.port(0));
  harness::VirtualClock cas(&line);
  line.add_adapter(251);
  line.add_scale(3);
  sim::Eeprom obraz = line.eeprom(3);
  obraz[12] = 0x34;  // tc1 = 0x1234, so that a decoded block 2 is recognisable
  obraz[13] = 0x12;
  line.set_eeprom(3, obraz);
  std::string data = dir.file("zaznam.txt");

  g_cislo_adapteru = 251;
  g_chyba = 0;
  g_tisk_chyby_jiz_proveden = 0;
  std::memset(g_pri, 0, sizeof g_pri);
  ASSERT_EQ(0, kom_Otevri_nebo_zavri_port(1, 0, 4800));
  testing::internal::CaptureStdout();
  // A good power-off first, so the power-on checks have a good record.
  kom_Napajeni_vahy(0);
  ASSERT_EQ(0, g_chyba);
  if (par.op == Op::Zapis1 || par.op == Op::Cteni2) {
    kom_Napajeni_vahy(1);
    ASSERT_TRUE(line.supply_on());
  }
  vynuluj_zaznam();
  g_tisk_chyby_jiz_proveden = 0;

  sim::FaultRule pravidlo;
  pravidlo.fault = par.porucha;
  pravidlo.count = 1;
  switch (par.op) {
    case Op::Zapis1: pravidlo.device = 3, pravidlo.command = 1; break;
    case Op::Cteni2: pravidlo.device = 3, pravidlo.command = 2; break;
    case Op::Vaha3: pravidlo.device = 3, pravidlo.command = 3; break;
    case Op::Odpoj50: pravidlo.device = 251, pravidlo.command = 5, pravidlo.data0 = 0; break;
    case Op::Pripoj51: pravidlo.device = 251, pravidlo.command = 5, pravidlo.data0 = 1; break;
    case Op::Test52: pravidlo.device = 251, pravidlo.command = 5, pravidlo.data0 = 2; break;
    case Op::Hledej6: pravidlo.device = 255, pravidlo.command = 6; break;
  }
  if (par.porucha != F::None) line.add_fault(pravidlo);

  int vysledek = 0;
  int ulozeno = 0;
  switch (par.op) {
    case Op::Zapis1:
      g_k1 = 4321;
      vysledek = Zapis_eeprom(3, 3);
      // The device carries the write out whatever happens to its reply.
      EXPECT_EQ(4321, line.eeprom(3)[24] | (line.eeprom(3)[25] << 8));
      break;
    case Op::Cteni2:
      vysledek = Cteni_eeprom(3, 2);
      ulozeno = g_tc1 == 0x1234 ? 1 : 0;
      if (ulozeno == 0) {
        EXPECT_EQ(-77, g_tc1);
        EXPECT_EQ(-77, g_t2);
        EXPECT_EQ(-77, g_tc0);
      }
      break;
    case Op::Vaha3: {
      vysledek = Sejmi_hmotnost(3, data.c_str());
      std::string obsah = harness::read_file(data);
      ulozeno = static_cast<int>(std::count(obsah.begin(), obsah.end(), '\n'));
      EXPECT_FALSE(line.supply_on());
      break;
    }
    case Op::Odpoj50: kom_Napajeni_vahy(0); break;
    case Op::Pripoj51: kom_Napajeni_vahy(1); break;
    case Op::Test52: vysledek = Test_pripojeni_adapteru(251); break;
    case Op::Hledej6: {
      int n = 0;
      vysledek = Najdi_nejblizsi(&n);
      ulozeno = n;
      EXPECT_FALSE(line.supply_on());
      break;
    }
  }
  int chyba_po = g_chyba;
  std::string out = testing::internal::GetCapturedStdout();
  std::string hlaseni = prvni_radek_hlaseni(out);

  EXPECT_EQ(o.vysledek, vysledek);
  if (o.smeti) {
    EXPECT_TRUE(chyba_po != 0 || !hlaseni.empty() || vysledek != 0) << out;
  } else {
    if (o.chyba >= 0) {
      EXPECT_EQ(o.chyba, chyba_po);
    }
    EXPECT_EQ(o.hlaseni, hlaseni) << out;
    if (par.op == Op::Cteni2 || par.op == Op::Vaha3 || par.op == Op::Hledej6) {
      EXPECT_EQ(o.ulozeno, ulozeno);
    }
  }

  // The next exchange is clean: whatever the fault left on the line (a late
  // reply, surplus bytes) is dropped before the next request.
  line.clear_faults();
  if (par.porucha == F::Late) kom_Zpozdeni(2600);
  g_chyba = 0;
  g_tisk_chyby_jiz_proveden = 0;
  testing::internal::CaptureStdout();
  // A power-on checks the record the last power reply left, so the menu's
  // own order is kept: off first, then on.
  kom_Napajeni_vahy(0);
  kom_Napajeni_vahy(1);
  int r1 = Cteni_eeprom(3, 1);
  int chyba1 = g_chyba;
  kom_Napajeni_vahy(0);
  int chyba2 = g_chyba;
  std::string po = testing::internal::GetCapturedStdout();
  EXPECT_EQ(0, r1) << po;
  EXPECT_EQ(0, chyba1) << po;
  EXPECT_EQ(0, chyba2) << po;
  EXPECT_EQ(3, g_cislo_zarizeni);
  EXPECT_EQ("", po);
  kom_Zavri_port();
  unsetenv("KVODA_PORT_PATTERN");
}

INSTANTIATE_TEST_SUITE_P(Poruchy, Matice, testing::ValuesIn(vsechny_dvojice()),
                         [](const testing::TestParamInfo<Par>& i) {
                           return std::string(jmeno_op(i.param.op)) + "_" + jmeno_poruchy(i.param.porucha);
                         });

TEST(Poruchy, EveryRowHasAnExpectation) {
  // Belt and braces: the table names every pair exactly once.
  for (const Par& p : vsechny_dvojice()) {
    int n = 0;
    for (const Radek& r : tabulka()) n += (r.op == p.op && r.porucha == p.porucha);
    EXPECT_EQ(1, n) << jmeno_op(p.op) << " " << jmeno_poruchy(p.porucha);
  }
}

TEST(Poruchy, BlockReadsNotWholeStopEveryUser) {
  // Through the program, side by side: a reading with a short block 3, the
  // editor with a refused block 2, the zero calibration with block 1 from
  // another responder, and option 1 whose write is refused.
  const sim::FaultRule poruchy[] = {{3, 2, 24, F::Short, 1, -1},
                                    {3, 2, 12, F::BadStatus, 1, -1},
                                    {3, 2, 0, F::WrongResponder, 1, -1},
                                    {3, 1, 0, F::BadStatus, 1, -1}};
  const char* const vstupy[] = {"0\n3\n7\nn\n", "0\n3\n8\nn\n", "0\n3\n3\na\nn\n", "0\n3\n1\nn\n9\na\nn\n"};
  const char* const hlaseni[] = {"V Cteni_eeprom nastala chyba 9\n", "V Cteni_eeprom nastala chyba 23\n",
                                 "V Cteni_eeprom nastala chyba 20\n", "V Zapis_eeprom nastala chyba 23\n"};
  std::vector<std::unique_ptr<harness::TempDir>> dirs;
  std::vector<std::unique_ptr<sim::Line>> lines;
  std::vector<std::unique_ptr<harness::VirtualClock>> casy;
  std::vector<std::pair<harness::Options, std::string>> behy;
  for (int i = 0; i < 4; ++i) {
    dirs.push_back(std::make_unique<harness::TempDir>());
    lines.push_back(std::make_unique<sim::Line>(dirs[i]->port(0)));
    lines[i]->add_adapter(251);
    lines[i]->add_scale(3);
    lines[i]->set_load(3, 42.5, 18.0);
    lines[i]->add_fault(poruchy[i]);
    harness::Options o;
    o.port_pattern = dirs[i]->pattern();
    o.cwd = dirs[i]->path;
    casy.push_back(std::make_unique<harness::VirtualClock>(lines[i].get()));
    behy.emplace_back(program::Na_virtualnim_case(o, *casy[i]), vstupy[i]);
  }
  const sim::Eeprom pred = lines[0]->eeprom(3);
  std::vector<harness::Result> r = harness::run_side_by_side(behy, 60);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(0, r[i].exit_code) << i;
    EXPECT_NE(std::string::npos, r[i].out.find(hlaseni[i])) << i << r[i].out;
    int vahy = 0, zapisy = 0;
    for (const auto& q : lines[i]->requests()) {
      vahy += q.cmd == 3;
      zapisy += q.cmd == 1;
    }
    // Nothing measured, shown or written on a block that was not whole.
    if (i < 3) {
      EXPECT_EQ(0, vahy) << i;
      EXPECT_EQ(0, zapisy) << i;
      EXPECT_EQ(pred, lines[i]->eeprom(3)) << i;
      EXPECT_EQ(std::string::npos, r[i].out.find("Prime upravy")) << r[i].out;
      EXPECT_EQ(std::string::npos, r[i].out.find("Zadejte pozadovanou")) << r[i].out;
      EXPECT_EQ("", r[i].err) << i;
    }
  }
  EXPECT_EQ("", harness::read_file(dirs[0]->file("zaznam.txt")));
  EXPECT_EQ("kvoda_ser: scale 3: block 1 not written\n", r[3].err);
}
