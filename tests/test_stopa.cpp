// The line trace: decoded lines for frames and replies, written only to the
// trace file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "chyba.h"
#include "harness.h"
#include "kom.h"
#include "rs232.h"
#include "sim.h"
#include "stopa.h"

namespace {

// 2026-12-07 08:15:30.042 local time in the zone the test sets.
long long cas_prikladu() {
  setenv("TZ", "UTC", 1);
  tzset();
  return 1796631330042LL;
}

std::vector<std::string> radky(const std::string& text) {
  std::vector<std::string> out;
  size_t a = 0;
  while (a < text.size()) {
    size_t b = text.find('\n', a);
    if (b == std::string::npos) b = text.size();
    out.push_back(text.substr(a, b - a));
    a = b + 1;
  }
  return out;
}

}  // namespace

TEST(Stopa, LinesDecodeTheFields) {
  long long t = cas_prikladu();
  int z[KOM_DELKA_ZPRAVY] = {0x55, 12, 0xFD, 2, 0x6B, 2, 0x5A, 24, 12};
  char buf[512];
  std::size_t n = stopa_Radek_vyslano(buf, sizeof buf, t, z, StopaVysledek::Ok, 10);
  EXPECT_EQ("2026-12-07 08:15:30.042 TX dst=12 src=253 cmd=2 len=2 key=0x5A data=18 0C sum=0x6B ok\n",
            std::string(buf, n));
  n = stopa_Radek_vyslano(buf, sizeof buf, t, z, StopaVysledek::Termin, 3);
  EXPECT_EQ("2026-12-07 08:15:30.042 TX dst=12 src=253 cmd=2 len=2 key=0x5A data=18 0C sum=0x6B deadline passed, 3 of "
            "10 echo bytes arrived\n",
            std::string(buf, n));
  n = stopa_Radek_vyslano(buf, sizeof buf, t, z, StopaVysledek::ChybaVysilani, 0);
  EXPECT_NE(std::string::npos, std::string(buf, n).find(" send failed\n"));

  int r[KOM_DELKA_ZPRAVY] = {0x55, 0xFD, 12, 0x82, 0x10, 3, 0, 0, 7, 0};
  n = stopa_Radek_prijato(buf, sizeof buf, t, r, StopaVysledek::Ok, 10, true);
  EXPECT_EQ("2026-12-07 08:15:30.042 RX start=0x55 dst=253 src=12 code=0x82 len=3 status=0 data=00 07 00 sum=ok ok\n",
            std::string(buf, n));
  n = stopa_Radek_prijato(buf, sizeof buf, t, r, StopaVysledek::Ok, 10, false);
  EXPECT_NE(std::string::npos, std::string(buf, n).find(" sum=bad ok\n"));
  // A partial reply shows only what arrived.
  n = stopa_Radek_prijato(buf, sizeof buf, t, r, StopaVysledek::Termin, 8, false);
  EXPECT_EQ("2026-12-07 08:15:30.042 RX start=0x55 dst=253 src=12 code=0x82 len=3 status=0 data=00 deadline passed, 8 "
            "bytes arrived\n",
            std::string(buf, n));
  n = stopa_Radek_prijato(buf, sizeof buf, t, r, StopaVysledek::Termin, 0, false);
  EXPECT_EQ("2026-12-07 08:15:30.042 RX deadline passed, 0 bytes arrived\n", std::string(buf, n));
  // A line that does not fit is cut, still ended by a line end, never overrun.
  char maly[20];
  n = stopa_Radek_prijato(maly, sizeof maly, t, r, StopaVysledek::Ok, 10, true);
  EXPECT_EQ(19u, n);
  EXPECT_EQ('\n', maly[18]);
}

TEST(Stopa, ExchangesAreTracedToTheFileOnly) {
  harness::TempDir dir;
  std::string stopa = dir.file("trace.txt");
  setenv("KVODA_TRACE", stopa.c_str(), 1);
  setenv("KVODA_PORT_PATTERN", dir.pattern().c_str(), 1);
  char err[200];
  ASSERT_EQ(0, rs232_Nastav_jmena(err, sizeof err));
  sim::Line line(dir.port(0));
  harness::VirtualClock cas(&line);
  line.add_adapter(251);
  ASSERT_EQ(0, kom_Otevri_nebo_zavri_port(1, 0, 4800));

  testing::internal::CaptureStdout();
  int vys[KOM_DELKA_ZPRAVY] = {0x55, 251, 0xFD, 5, 0, 1, 0, 2};
  int pri[KOM_DELKA_ZPRAVY] = {};
  ASSERT_EQ(0, kom_Vysli_a_prijmi_zpravu(vys, pri));
  int ticho[KOM_DELKA_ZPRAVY] = {0x55, 40, 0xFD, 5, 0, 1, 0, 2};
  ASSERT_EQ(CHYBA_CEKANI_PRIJEM, kom_Vysli_a_prijmi_zpravu(ticho, pri));
  EXPECT_EQ("", testing::internal::GetCapturedStdout());
  kom_Zavri_port();

  auto l = radky(harness::read_file(stopa));
  ASSERT_EQ(4u, l.size());
  EXPECT_NE(std::string::npos, l[0].find(" TX dst=251 src=253 cmd=5 len=1 key=0x"));
  EXPECT_NE(std::string::npos, l[0].find(" data=02 sum=0x"));
  EXPECT_NE(std::string::npos, l[1].find(" RX start=0x55 dst=253 src=251 code=0x85 len=0 status=0 data=- sum=ok ok"));
  EXPECT_NE(std::string::npos, l[2].find(" TX dst=40 "));
  EXPECT_NE(std::string::npos, l[3].find(" RX deadline passed, 0 bytes arrived"));
  unsetenv("KVODA_TRACE");
}

TEST(Stopa, UnopenableTraceIsSaidOnceAndIgnored) {
  harness::TempDir dir;
  setenv("KVODA_TRACE", dir.file("missing/dir/trace.txt").c_str(), 1);
  int vys[KOM_DELKA_ZPRAVY] = {0x55, 40, 0xFD, 3, 0, 0, 0};
  testing::internal::CaptureStderr();
  stopa_Vyslano(vys, StopaVysledek::Ok, 8);
  stopa_Prijato(vys, StopaVysledek::Termin, 0, false);
  stopa_Vyslano(vys, StopaVysledek::Ok, 8);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(1u, std::count(err.begin(), err.end(), '\n')) << err;
  EXPECT_NE(std::string::npos, err.find("missing/dir/trace.txt"));

  // A FIFO, with a reader or none, is refused at once; a terminal nobody
  // reads takes what it can and the rest is dropped, never waited for.
  const std::string fifo = dir.file("trace.fifo");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  const int ctenar = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(ctenar, 0);
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(0, grantpt(master));
  ASSERT_EQ(0, unlockpt(master));
  for (const std::string& cesta : {fifo, std::string(ptsname(master))}) {
    setenv("KVODA_TRACE", cesta.c_str(), 1);
    testing::internal::CaptureStderr();
    for (int i = 0; i < 5000; ++i) stopa_Vyslano(vys, StopaVysledek::Ok, 8);
    err = testing::internal::GetCapturedStderr();
    if (cesta == fifo) {
      EXPECT_EQ("kvoda_ser: cannot open the trace file " + fifo +
                    " (not a regular file or a character device); running without a trace\n",
                err);
    } else {
      EXPECT_EQ("", err);
    }
  }
  char b;
  EXPECT_LE(read(ctenar, &b, 1), 0);  // nothing was written into the FIFO
  close(ctenar);
  unsetenv("KVODA_TRACE");
  close(master);
}

TEST(Stopa, OneShotReadingThroughTheProgram) {
  harness::TempDir dir;
  sim::Line line(dir.port(0));
  line.add_adapter(251);
  line.add_scale(3);
  line.set_raw(3, 1200000, 2200000, 200000, 1200000);
  auto beh = [&](bool trace) {
    harness::Options o;
    o.port_pattern = dir.pattern();
    o.cwd = dir.path;
    if (trace) o.env = {"KVODA_TRACE=" + dir.file("trace.txt")};
    return harness::run(o, "0\n3\n7\nn\n", 60);
  };
  // Beside the run without a trace, one on a line of its own whose trace is
  // a FIFO nobody reads: it runs just the same, untraced.
  harness::TempDir dir2;
  sim::Line line2(dir2.port(0));
  line2.add_adapter(251);
  line2.add_scale(3);
  line2.set_raw(3, 1200000, 2200000, 200000, 1200000);
  const std::string fifo = dir2.file("trace.fifo");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  harness::Options o2;
  o2.port_pattern = dir2.pattern();
  o2.cwd = dir2.path;
  o2.env = {"KVODA_TRACE=" + fifo};
  harness::Options o1;
  o1.port_pattern = dir.pattern();
  o1.cwd = dir.path;
  auto dva = harness::run_side_by_side({{o1, "0\n3\n7\nn\n"}, {o2, "0\n3\n7\nn\n"}}, 60);
  const harness::Result& bez = dva[0];
  line.clear_log();
  auto se = beh(true);
  ASSERT_EQ(0, se.exit_code);
  // Same console, apart from the time of the reading.
  auto bez_casu = [](std::string s) {
    size_t p = s.find("dat:");
    if (p != std::string::npos) s.replace(p, 19, "dat:--");
    return s;
  };
  EXPECT_EQ(bez_casu(bez.out), bez_casu(se.out));
  EXPECT_EQ("", se.err);
  EXPECT_EQ(0, dva[1].exit_code);
  EXPECT_EQ(bez_casu(bez.out), bez_casu(dva[1].out));
  EXPECT_EQ("kvoda_ser: cannot open the trace file " + fifo +
                " (not a regular file or a character device); running without a trace\n",
            dva[1].err);

  // One TX line per request the simulator saw, in order, each followed by
  // its reply (the power-on reply is never read).
  auto l = radky(harness::read_file(dir.file("trace.txt")));
  auto req = line.requests();
  std::vector<std::string> tx;
  for (auto& s : l)
    if (s.find(" TX ") != std::string::npos) tx.push_back(s);
  ASSERT_EQ(req.size(), tx.size());
  for (size_t i = 0; i < req.size(); ++i) {
    std::string hlava = " TX dst=" + std::to_string(req[i].dest) + " src=253 cmd=" + std::to_string(req[i].cmd) +
                        " len=" + std::to_string(req[i].len) + " ";
    EXPECT_NE(std::string::npos, tx[i].find(hlava)) << i << ": " << tx[i];
    EXPECT_NE(std::string::npos, tx[i].find(" ok")) << tx[i];
  }
  bool vaha = false;
  for (size_t i = 0; i + 1 < l.size(); ++i) {
    if (l[i].find(" TX dst=3 src=253 cmd=3 len=0 ") == std::string::npos) continue;
    vaha = true;
    EXPECT_NE(std::string::npos,
              l[i + 1].find(" RX start=0x55 dst=253 src=3 code=0x83 len=12 status=0 "
                            "data=80 4F 12 C0 91 21 40 0D 03 80 4F 12 sum=ok ok"))
        << l[i + 1];
  }
  EXPECT_TRUE(vaha);
}
