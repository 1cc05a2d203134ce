// No record lost or corrupted: data files that cannot be written, files that
// are the copy or backup themselves, signals during sampling, end of input
// inside a dialogue, and an adapter pulled out at every stage of a run.
#include <gtest/gtest.h>

#include <signal.h>
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "konzole.h"
#include "program_v_diteti.h"
#include "sim.h"

namespace {

const std::string k_zaver = "--- program servis, byl ukoncen ---\n";

std::vector<std::string> radky(const std::string& s) {
  std::vector<std::string> r;
  size_t a = 0;
  while (a < s.size()) {
    size_t b = s.find('\n', a);
    if (b == std::string::npos) {
      r.push_back(s.substr(a));  // an unterminated last line
      break;
    }
    r.push_back(s.substr(a, b - a + 1));
    a = b + 1;
  }
  return r;
}

// Every line is a complete record: eight fields, seven tabs, a line end.
void jen_cele_zaznamy(const std::string& obsah) {
  for (const std::string& r : radky(obsah)) {
    ASSERT_FALSE(r.empty());
    EXPECT_EQ('\n', r.back()) << r;
    EXPECT_EQ(7, std::count(r.begin(), r.end(), '\t')) << r;
  }
}

size_t pocet(const std::string& s, const std::string& co) {
  size_t n = 0;
  for (size_t p = s.find(co); p != std::string::npos; p = s.find(co, p + 1)) ++n;
  return n;
}

// Processor time of a running process so far (utime + stime), seconds.
double cpu_procesu(int pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  size_t p = s.rfind(')');
  if (p == std::string::npos) return -1;
  std::vector<std::string> pole;
  std::string cur;
  for (size_t i = p + 2; i < s.size(); ++i) {
    if (s[i] == ' ') {
      pole.push_back(cur);
      cur.clear();
    } else {
      cur += s[i];
    }
  }
  if (pole.size() < 13) return -1;
  return (std::stod(pole[11]) + std::stod(pole[12])) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Share of one processor the process uses over `sekundy` of waiting.
double podil_cpu(int pid, double sekundy) {
  double c0 = cpu_procesu(pid);
  auto t0 = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(sekundy));
  double c1 = cpu_procesu(pid);
  double w = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return (c1 - c0) / w;
}

// Names in a directory, "." and ".." left out.
std::vector<std::string> jmena_v(const std::string& adresar) {
  std::vector<std::string> v;
  std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(adresar.c_str()), closedir);
  if (!d) return v;
  while (dirent* e = readdir(d.get()))
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) v.push_back(e->d_name);
  std::sort(v.begin(), v.end());
  return v;
}

const std::string k_zaznam_a = " 9\t01.01.2026 10:00:00\t  12.50\t 20.0\t100000\t200000\t 10000\t30000\n";
const std::string k_zaznam_b = " 9\t01.01.2026 10:05:00\t  12.60\t 20.1\t100001\t200001\t 10001\t30001\n";

// The adapter and scale 3 on a line, and options that run the program on it
// in its own directory.
struct Stanoviste {
  harness::TempDir dir;
  sim::Line line{dir.port(0)};
  harness::Options o;
  Stanoviste() {
    line.add_adapter(251);
    line.add_scale(3);
    o.port_pattern = dir.pattern();
    o.cwd = dir.path;
  }
  // The program started by a shell that first sets up what the run is
  // about: `kolem` is the shell's command, with $0 "$@" the program.
  void pres_shell(const std::string& kolem) {
    o.program = "/bin/sh";
    o.args = {"-c", kolem, harness::kvoda_ser_path()};
  }
};

const std::string k_program = "exec \"$0\" \"$@\"";

// Runs the parts side by side, each in a thread of its own, and returns when
// all have ended. The program runs they hold mostly wait on deadlines and the
// line, so they cost no more processor than one after another. A failed
// ASSERT ends only its own part.
void soubezne(const std::vector<std::function<void()>>& casti) {
  std::vector<std::thread> vlakna;
  for (const auto& c : casti) vlakna.emplace_back(c);
  for (std::thread& v : vlakna) v.join();
}

}  // namespace

TEST(Ztraty, UnwritableDataFileIsReportedNotHidden) {
  // /dev/null is a working data file that keeps nothing; /dev/full and the
  // rest can't take a record, and a FIFO must not hang any option. Names
  // without a slash lie in the run's own directory.
  struct Pripad {
    std::string soubor;
    bool zapisovatelny, vymazatelny;
  } pripady[] = {{"/dev/null", true, true},
                 {"/dev/full", false, true},
                 {"chybi/zaznam.txt", false, false},
                 {"adresar", false, false},
                 {"rura", false, false}};
  // Each case on a line and in a directory of its own, side by side.
  const std::size_t n = std::size(pripady);
  std::vector<std::unique_ptr<Stanoviste>> st;
  std::vector<std::pair<harness::Options, std::string>> zadani;
  for (const Pripad& c : pripady) {
    st.push_back(std::make_unique<Stanoviste>());
    const harness::TempDir& dir = st.back()->dir;
    ASSERT_EQ(0, mkdir(dir.file("adresar").c_str(), 0755));
    ASSERT_EQ(0, mkfifo(dir.file("rura").c_str(), 0644));
    harness::write_file(dir.file("zaloha.txt"), k_zaznam_a);
    harness::Options o = st.back()->o;
    o.args = {"4800", "0", "0", "120", c.soubor[0] == '/' ? c.soubor : dir.file(c.soubor)};
    // One-shot reading, backup, erase, restore, and sampling stopped by a key.
    zadani.emplace_back(o, "0\n3\n7\nk\na\nv\na\no\na\n6\n10\nx\nn\n");
  }
  // A FIFO as the backup: backup and restore refuse it at once.
  Stanoviste fifo;
  harness::write_file(fifo.dir.file("zaznam.txt"), k_zaznam_a);
  ASSERT_EQ(0, mkfifo(fifo.dir.file("zaloha.txt").c_str(), 0644));
  zadani.emplace_back(fifo.o, "k\na\no\na\nn\n");
  const std::vector<harness::Result> vysledky = harness::run_side_by_side(zadani, 60);

  for (std::size_t i = 0; i < n; ++i) {
    const Pripad& c = pripady[i];
    const harness::TempDir& dir = st[i]->dir;
    const harness::Result& r = vysledky[i];
    SCOPED_TRACE(c.soubor);
    EXPECT_EQ(0, r.exit_code);
    EXPECT_NE(std::string::npos, r.out.find(k_zaver));
    // The readings are shown; a record that cannot be kept is error 26, not success.
    EXPECT_EQ(2u, pocet(r.out, "\nv: 3 dat:")) << r.out;
    EXPECT_EQ(c.zapisovatelny ? 0u : 1u, pocet(r.out, "V Sejmi_hmotnost nastala chyba 26\n")) << r.out;
    EXPECT_EQ(c.zapisovatelny ? 0u : 1u, pocet(r.out, "V Snimej_hmotnost_hledej nastala chyba 26\n")) << r.out;
    // No regular file to copy from or to: refused, and no success text.
    EXPECT_EQ(2u, pocet(r.out, "V Kopie nastala chyba 24\n")) << r.out;
    EXPECT_EQ(0u, pocet(r.out, "predchozi zaloha byla prepsana")) << r.out;
    EXPECT_EQ(0u, pocet(r.out, "obnoveno")) << r.out;
    EXPECT_EQ(c.vymazatelny ? 1u : 0u, pocet(r.out, "vymazano\n")) << r.out;
    EXPECT_EQ(c.vymazatelny ? 0u : 1u, pocet(r.out, "V Vymaz_dat nastala chyba 26\n")) << r.out;
    EXPECT_EQ(k_zaznam_a, harness::read_file(dir.file("zaloha.txt")));
    struct stat s {};
    EXPECT_NE(0, stat(dir.file("chybi").c_str(), &s));  // nothing created in its place
    ASSERT_EQ(0, stat(dir.file("rura").c_str(), &s));
    EXPECT_TRUE(S_ISFIFO(s.st_mode));
  }

  const harness::Result& r = vysledky[n];
  EXPECT_EQ(0, r.exit_code);
  EXPECT_EQ(2u, pocet(r.out, "V Kopie nastala chyba 24\n")) << r.out;
  EXPECT_EQ(0u, pocet(r.out, "predchozi zaloha byla prepsana")) << r.out;
  EXPECT_EQ(0u, pocet(r.out, "obnoveno")) << r.out;
  EXPECT_EQ(k_zaznam_a, harness::read_file(fifo.dir.file("zaznam.txt")));
}

TEST(Ztraty, DataFileThatIsTheCopyOrTheBackupKeepsEveryRecord) {
  // Three independent runs side by side, each in a directory of its own.
  struct Beh {
    harness::TempDir dir;
    sim::Line line{dir.port(0)};
    harness::Options o;
  } beh[3];
  std::vector<std::pair<harness::Options, std::string>> zadani;
  for (Beh& b : beh) {
    b.line.add_adapter(251);
    b.line.add_scale(3);
    b.o.port_pattern = b.dir.pattern();
    b.o.cwd = b.dir.path;
  }
  // Named like the copy, directly and through a link: one sampling pass.
  const char* const soubory[] = {"kopie.txt", "data.txt"};
  for (int i = 0; i < 2; ++i) {
    const harness::TempDir& dir = beh[i].dir;
    harness::write_file(dir.file("data.txt"), k_zaznam_a + k_zaznam_b);
    if (std::string(soubory[i]) == "data.txt")
      ASSERT_EQ(0, symlink("data.txt", dir.file("kopie.txt").c_str()));
    else
      harness::write_file(dir.file("kopie.txt"), k_zaznam_a + k_zaznam_b);
    beh[i].o.args = {"4800", "0", "0", "120", soubory[i], "1"};
    zadani.emplace_back(beh[i].o, "6\n10\n");
  }
  // Named like the backup: backup (k) and restore (o) leave it whole.
  harness::write_file(beh[2].dir.file("zaloha.txt"), k_zaznam_a + k_zaznam_b);
  beh[2].o.args = {"4800", "0", "0", "120", "zaloha.txt"};
  zadani.emplace_back(beh[2].o, "k\na\no\na\nn\n");
  const std::vector<harness::Result> vysledky = harness::run_side_by_side(zadani, 90);

  for (int i = 0; i < 2; ++i) {
    const harness::Result& r = vysledky[i];
    const char* soubor = soubory[i];
    EXPECT_EQ(1, r.exit_code) << r.out;  // a one-pass run whose copy failed
    EXPECT_NE(std::string::npos, r.out.find("V Kopie nastala chyba 24\n")) << r.out;
    std::string obsah = harness::read_file(beh[i].dir.file(soubor));
    EXPECT_EQ(0u, obsah.find(k_zaznam_a + k_zaznam_b)) << soubor;
    EXPECT_EQ(3u, radky(obsah).size()) << obsah;
    jen_cele_zaznamy(obsah);
  }
  EXPECT_EQ(0, vysledky[2].exit_code);
  EXPECT_EQ(k_zaznam_a + k_zaznam_b, harness::read_file(beh[2].dir.file("zaloha.txt")));
}

TEST(Ztraty, SignalsDuringSamplingLeaveOnlyWholeRecords) {
  // One run per signal, side by side.
  std::vector<std::function<void()>> casti;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) casti.push_back([sig] {
    SCOPED_TRACE(sig);
    harness::TempDir dir;
    sim::Line line(dir.port(0));
    line.add_adapter(251);
    for (int n : {3, 7, 17}) line.add_scale(n);
    harness::write_file(dir.file("zaznam.txt"), k_zaznam_a);
    harness::Options o;
    o.port_pattern = dir.pattern();
    o.cwd = dir.path;
    harness::Process p(o);
    p.write("6\n10\n");
    ASSERT_TRUE(p.wait_for("v: 7 dat:", 40)) << p.out();
    // Somewhere inside the measurement of the next scale.
    std::this_thread::sleep_for(std::chrono::milliseconds(300 + 150 * (sig % 3)));
    p.signal(sig);
    ASSERT_TRUE(p.wait_exit(10));
    EXPECT_EQ(sig, p.term_signal());
    // The clean stop: the last power command on the line switched the supply off.
    int posledni = -1;
    for (const sim::Request& q : line.requests())
      if (q.cmd == 5 && q.dest == 251 && !q.data.empty() && q.data[0] <= 1) posledni = q.data[0];
    EXPECT_EQ(0, posledni);
    EXPECT_FALSE(line.supply_on());
    std::string obsah = harness::read_file(dir.file("zaznam.txt"));
    EXPECT_EQ(0u, obsah.find(k_zaznam_a));
    jen_cele_zaznamy(obsah);
    // Every record whose console line came before the one in progress is there.
    size_t ukazano = pocet(p.out(), "\nv:");
    EXPECT_GE(radky(obsah).size(), ukazano);  // the old record plus all but the last shown
    EXPECT_GE(ukazano, 2u);
  });
  soubezne(casti);
}

TEST(Ztraty, EndOfInputInsideNumberDialogueWritesNothing) {
  // Option 1 up to the last question, then the input ends; each input on a
  // line of its own, side by side.
  const char* const vstupy[] = {"0\n3\n1\nn\n", "0\n3\n1\nn\n5\n", "0\n3\n1\nn\n5\nx\n"};
  Stanoviste st[3];
  std::vector<std::pair<harness::Options, std::string>> zadani;
  for (int i = 0; i < 3; ++i) zadani.emplace_back(st[i].o, vstupy[i]);
  const std::vector<harness::Result> vysledky = harness::run_side_by_side(zadani, 60);
  for (int i = 0; i < 3; ++i) {
    const char* vstup = vstupy[i];
    const harness::Result& r = vysledky[i];
    EXPECT_EQ(0, r.exit_code);
    EXPECT_EQ(1u, pocet(r.out, k_zaver)) << vstup;
    EXPECT_EQ(0, st[i].line.eeprom_writes(3)) << vstup;
    EXPECT_EQ(3, st[i].line.eeprom(3)[0]);
  }
}

namespace {

void odpojeni_pri_jednom_cteni() {
  SCOPED_TRACE("one-shot reading");
  harness::TempDir dir;
  auto line = std::make_unique<sim::Line>(dir.port(0));
  line->add_adapter(251);
  line->add_scale(3);
  sim::FaultRule f;
  f.device = 3;
  f.command = 3;
  f.fault = sim::Fault::Silence;
  line->add_fault(f);
  harness::write_file(dir.file("zaznam.txt"), k_zaznam_a);
  harness::Options o;
  o.port_pattern = dir.pattern();
  o.cwd = dir.path;
  harness::Process p(o);
  p.write("0\n3\n7\n");
  // Waiting for the weight reply that will never come: pull the adapter.
  ASSERT_TRUE(p.wait_for("volba:7\n", 20)) << p.out();
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  line->unplug();
  size_t pred = p.out().size();
  ASSERT_TRUE(p.wait_for_after("volba:", pred, 20)) << p.out();
  // At the menu on a dead line: no processor spin.
  EXPECT_LT(podil_cpu(p.pid(), 2.0), 0.02);
  p.write("7\n");
  pred = p.out().size();
  ASSERT_TRUE(p.wait_for_after("volba:", pred, 60)) << p.out();
  p.write("n\n");
  ASSERT_TRUE(p.wait_exit(20));
  EXPECT_EQ(0, p.exit_code());
  EXPECT_NE(std::string::npos, p.out().find(k_zaver));
  EXPECT_EQ(k_zaznam_a, harness::read_file(dir.file("zaznam.txt")));
}

// Waits until the process's standard error holds `text`.
bool ceka_chyba(harness::Process& p, const std::string& text, double sekundy) {
  auto konec = std::chrono::steady_clock::now() + std::chrono::duration<double>(sekundy);
  while (p.err().find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > konec) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

void odpojeni_pri_snimani() {
  SCOPED_TRACE("periodic sampling: the adapter pulled out and plugged back");
  harness::TempDir dir;
  // The simulator ended and started again on the same link, as an adapter
  // unplugged and plugged back gets its name again.
  auto zapoj = [&] {
    auto l = std::make_unique<sim::Line>(dir.port(0));
    l->add_adapter(251);
    l->add_scale(3);
    l->add_scale(17);
    return l;
  };
  auto line = zapoj();
  harness::Options o;
  o.port_pattern = dir.pattern();
  o.cwd = dir.path;
  harness::Process p(o);
  p.write("6\n10\n");
  ASSERT_TRUE(p.wait_for("v:17 dat:", 40)) << p.out();
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  line.reset();
  ASSERT_TRUE(ceka_chyba(p, "kvoda_ser: adapter lost on " + dir.port(0) + " (hang-up); waiting for it\n", 10))
      << p.err();
  // Watching the file system once a second: no processor spin.
  EXPECT_LT(podil_cpu(p.pid(), 2.0), 0.02);
  size_t pred = p.out().size();
  line = zapoj();
  ASSERT_TRUE(ceka_chyba(p, "kvoda_ser: adapter 251 back on " + dir.port(0) + "\n", 10)) << p.err();
  ASSERT_TRUE(p.wait_for_after("v:17 dat:", pred, 30)) << p.out();
  p.write("x");
  pred = p.out().size();
  ASSERT_TRUE(p.wait_for_after("volba:", pred, 30)) << p.out();
  p.write("n\n");
  ASSERT_TRUE(p.wait_exit(20));
  EXPECT_EQ(0, p.exit_code());
  // Two passes, none glued to another; the console kept its own texts; the
  // adapter's lines stood for the scales.
  std::string obsah = harness::read_file(dir.file("zaznam.txt"));
  EXPECT_EQ(4u, radky(obsah).size()) << obsah;
  jen_cele_zaznamy(obsah);
  EXPECT_EQ(harness::read_file(dir.file("kopie.txt")), obsah);
  EXPECT_EQ(std::string::npos, p.out().find("kvoda_ser:"));
  EXPECT_EQ(2u, radky(p.err()).size()) << p.err();
}

void odpojeni_pri_hledani() {
  SCOPED_TRACE("discovery");
  harness::TempDir dir;
  auto line = std::make_unique<sim::Line>(dir.port(3));
  line->add_adapter(251);
  sim::FaultRule f;
  f.device = 251;
  f.command = 5;
  f.fault = sim::Fault::Silence;
  line->add_fault(f);
  harness::Options o;
  o.port_pattern = dir.pattern();
  o.cwd = dir.path;
  auto t0 = std::chrono::steady_clock::now();
  harness::Process p(o);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  line->unplug();
  ASSERT_TRUE(p.wait_for("volba:", 30)) << p.out();
  EXPECT_NE(std::string::npos, p.out().find("Hledam pripojeny adapter...")) << p.out();
  // The first report of the start-up is the one shown: the failed send.
  EXPECT_NE(std::string::npos, p.out().find("Hledam pripojeny adapter...V kom_Vysli_1_byte nastala chyba 6\n"))
      << p.out();
  EXPECT_EQ(std::string::npos, p.out().find("pripojen na port"));
  p.write("n\n");
  ASSERT_TRUE(p.wait_exit(20));
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(0, p.exit_code());
  EXPECT_LT(p.cpu_seconds() / wall, 0.2);
}

}  // namespace

// The three stages each wait out a deadline or a cycle of the real program
// on a line of their own: side by side.
TEST(Odpojeni, AdapterPulledOutDuringDiscoveryOneShotReadingOrSampling) {
  soubezne({odpojeni_pri_hledani, odpojeni_pri_jednom_cteni, odpojeni_pri_snimani});
}

TEST(Ztraty, InterruptedProgramLeavesThePortOpenable) {
  // Whatever standard input is: a terminal (at the menu, and raw during
  // sampling), /dev/null as under a service manager (in the autostart
  // countdown), a pipe as under cron.
  enum Vstup { TERMINAL, DEV_NULL, ROURA };
  struct Pripad {
    Vstup vstup;
    int sig;
    std::vector<std::string> args;
    std::string vstupni_text, cekej_na;
  } pripady[] = {
      {TERMINAL, SIGINT, {}, "", "volba:"},
      {TERMINAL, SIGQUIT, {}, "6\n10\n", "v: 3 dat:"},
      {DEV_NULL, SIGTERM, {"4800", "0", "1", "120"}, "", "zrusit autostart..."},
      {ROURA, SIGHUP, {}, "", "volba:"},
      // Outside the handled set, ending the program by default.
      {TERMINAL, SIGUSR1, {}, "6\n10\n", "v: 3 dat:"},
  };
  // Each case on a line of its own, side by side.
  std::vector<std::function<void()>> casti;
  for (const Pripad& c : pripady) casti.push_back([&c] {
    SCOPED_TRACE(c.sig);
    Stanoviste st;
    harness::Options& o = st.o;
    o.stdin_tty = c.vstup == TERMINAL;
    // No core file for SIGQUIT; /dev/null put on standard input by the shell.
    st.pres_shell("ulimit -c 0; " + k_program + (c.vstup == DEV_NULL ? " </dev/null" : ""));
    o.args.insert(o.args.end(), c.args.begin(), c.args.end());
    harness::Process p(o);
    ASSERT_TRUE(p.wait_for("volba:", 30)) << p.out();
    p.write(c.vstupni_text);
    ASSERT_TRUE(p.wait_for(c.cekej_na, 30)) << p.out();
    termios t{};
    if (c.sig == SIGQUIT || c.sig == SIGUSR1) {
      // Polling for keys after the scale: the terminal is raw now.
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      ASSERT_EQ(0, tcgetattr(p.tty_master(), &t));
      EXPECT_FALSE(t.c_lflag & ICANON);
    }
    p.signal(c.sig);
    ASSERT_TRUE(p.wait_exit(10));
    EXPECT_EQ(c.sig, p.term_signal());
    if (c.vstup == TERMINAL) {
      // Line editing and echo are back for the shell.
      ASSERT_EQ(0, tcgetattr(p.tty_master(), &t));
      EXPECT_TRUE((t.c_lflag & ICANON) && (t.c_lflag & ECHO));
    }
    // The simulator keeps its side open, so the exclusive flag would outlive
    // the program and lock out every user but root.
    int fd = open(st.dir.port(0).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    int excl = -1;
    ASSERT_EQ(0, ioctl(fd, TIOCGEXCL, &excl));
    EXPECT_EQ(0, excl);
    close(fd);
  });
  soubezne(casti);
}

TEST(Ztraty, OnePassExitStatusAndACopyThatCostsOnlyTheRecord) {
  // A good pass over a large data file whose copy is up to date; a data
  // file that takes no record; no adapter at all. Side by side.
  Stanoviste dobry, plny;
  std::string velky;
  while (velky.size() < (8u << 20)) velky += k_zaznam_a;
  harness::write_file(dobry.dir.file("zaznam.txt"), velky);
  harness::write_file(dobry.dir.file("kopie.txt"), velky);
  struct stat pred {};
  ASSERT_EQ(0, stat(dobry.dir.file("kopie.txt").c_str(), &pred));
  dobry.o.args = {"4800", "0", "0", "120", "zaznam.txt", "1"};
  plny.o.args = {"4800", "0", "0", "120", "/dev/full", "1"};
  harness::TempDir bez;
  harness::Options bez_adapteru;
  bez_adapteru.cwd = bez.path;
  bez_adapteru.args = dobry.o.args;
  const std::vector<harness::Result> r =
      harness::run_side_by_side({{dobry.o, "6\n10\n"}, {plny.o, "6\n10\n"}, {bez_adapteru, "6\n10\n"}}, 60);
  EXPECT_EQ(0, r[0].exit_code) << r[0].out;
  EXPECT_EQ(1, r[1].exit_code) << r[1].out;
  EXPECT_EQ(2, r[2].exit_code) << r[2].out;
  // The copy was brought up to date in place (the same file, the record
  // appended), not rewritten, and equals the data file.
  const std::string data = harness::read_file(dobry.dir.file("zaznam.txt"));
  EXPECT_EQ(0u, data.find(velky));
  EXPECT_EQ(1, std::count(data.begin() + static_cast<std::ptrdiff_t>(velky.size()), data.end(), '\n'));
  EXPECT_TRUE(data == harness::read_file(dobry.dir.file("kopie.txt")));
  struct stat po {};
  ASSERT_EQ(0, stat(dobry.dir.file("kopie.txt").c_str(), &po));
  EXPECT_EQ(pred.st_ino, po.st_ino);
}

TEST(Ztraty, HangUpKeptIgnoredAndASecondSignalEndsAtOnce) {
  auto ignorovany = [] {
    // As under nohup: the program goes on, and ends when asked.
    Stanoviste st;
    st.pres_shell("trap '' HUP; " + k_program);
    harness::Process p(st.o);
    ASSERT_TRUE(p.wait_for("volba:", 30)) << p.out();
    p.signal(SIGHUP);
    EXPECT_FALSE(p.wait_exit(0.5));
    p.write("n\n");
    ASSERT_TRUE(p.wait_exit(20));
    EXPECT_EQ(0, p.exit_code());
  };
  auto druhy = [] {
    // The stop's power-off waits for an adapter that no longer answers, and
    // after it the broker's queue would be given its time: with a record
    // queued for a broker that takes the connection and never answers, that
    // end says so on standard error. A second signal waits for neither, so
    // no such line.
    Stanoviste st;
#ifdef KVODA_S_MQTT
    const int mlcici = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    ASSERT_EQ(0, bind(mlcici, reinterpret_cast<sockaddr*>(&a), sizeof a));
    ASSERT_EQ(0, listen(mlcici, 4));
    ASSERT_EQ(0, getsockname(mlcici, reinterpret_cast<sockaddr*>(&a), &n));
    st.o.env.push_back("KVODA_MQTT=mqtt://127.0.0.1:" + std::to_string(ntohs(a.sin_port)));
#endif
    harness::Process p(st.o);
    ASSERT_TRUE(p.wait_for("volba:", 30)) << p.out();
    // One record waits for the broker that never answers.
    p.write("0\n3\n7\n");
    ASSERT_TRUE(p.wait_for("volba:7", 30)) << p.out();
    ASSERT_TRUE(p.wait_for_after("volba:", p.out().find("volba:7") + 1, 30)) << p.out();
    sim::FaultRule f;
    f.device = 251;
    f.command = 5;
    f.data0 = 0;
    f.fault = sim::Fault::Silence;
    st.line.add_fault(f);
    st.line.clear_log();
    p.signal(SIGTERM);
    // The stop has sent its power-off: its reply deadline (at least a whole
    // second) and the pause after it lie ahead.
    auto konec = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (st.line.requests().empty() && std::chrono::steady_clock::now() < konec)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_FALSE(st.line.requests().empty());
    p.signal(SIGTERM);
    ASSERT_TRUE(p.wait_exit(20));
    EXPECT_EQ(SIGTERM, p.term_signal());
#ifdef KVODA_S_MQTT
    EXPECT_EQ(std::string::npos, p.err().find("MQTT")) << p.err();
    close(mlcici);
#endif
  };
  soubezne({ignorovany, druhy});
}

TEST(Ztraty, ResponderBelowTheStartEndsThePassInsteadOfLoggingForEver) {
  harness::TempDir dir;
  sim::Line line(dir.port(0));
  line.add_adapter(251);
  line.add_scale(3);
  line.add_scale(17);
  // Every search reply names scale 3, whatever number it was asked from.
  sim::FaultRule f;
  f.device = 255;
  f.command = 6;
  f.fault = sim::Fault::WrongResponder;
  f.param = 3;
  line.add_fault(f);
  harness::Options o;
  o.args = {"4800", "0", "0", "120", "zaznam.txt", "1"};
  o.port_pattern = dir.pattern();
  o.cwd = dir.path;
  harness::VirtualClock cas(&line);
  auto r = harness::run(program::Na_virtualnim_case(o, cas), "6\n10\n", 60);
  EXPECT_EQ(1, r.exit_code) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("Nastala nejaka chyba v Snimej_hmotnost2...\n")) << r.out;
  std::string obsah = harness::read_file(dir.file("zaznam.txt"));
  EXPECT_EQ(1u, radky(obsah).size()) << obsah;
  EXPECT_EQ(0u, obsah.find(" 3\t"));
}

TEST(Ztraty, StandardStreamClosedAtTheStartOrOnTheWay) {
  // Three independent runs side by side, each on a line of its own.
  Stanoviste vstup, vystup;
  for (Stanoviste* st : {&vstup, &vystup}) harness::write_file(st->dir.file("zaznam.txt"), k_zaznam_a);
  // Standard input closed: no port may take its place and feed the menu;
  // the program meets the end of input and ends, the data file untouched.
  vstup.pres_shell(k_program + " <&-");
  // Standard output closed: the menu must not go out on the line, and the
  // reading is recorded.
  vystup.pres_shell(k_program + " >&-");
  auto ctenar_odejde = [] {
    Stanoviste st;
    const harness::TempDir& dir = st.dir;
    harness::Options& o = st.o;
    // Standard output a pipe whose reader goes away during the menu: sampling
    // goes on recording every scale, and the program ends normally.
    st.line.add_scale(7);
    harness::write_file(dir.file("zaznam.txt"), "");
    st.pres_shell("{ \"$0\" \"$@\"; echo $? >stav; } | head -c 100 >/dev/null");
    harness::Process p(o);
    p.write("6\n10\n");
    auto konec = std::chrono::steady_clock::now() + std::chrono::seconds(40);
    while (radky(harness::read_file(dir.file("zaznam.txt"))).size() < 2 && std::chrono::steady_clock::now() < konec)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    p.write("x");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    p.write("n\n");
    ASSERT_TRUE(p.wait_exit(30));
    EXPECT_EQ("0\n", harness::read_file(dir.file("stav")));
    std::string obsah = harness::read_file(dir.file("zaznam.txt"));
    EXPECT_EQ(2u, radky(obsah).size()) << obsah;
    jen_cele_zaznamy(obsah);
  };
  // Standard error closed: it gets /dev/null, so that no port takes its
  // number and the program's error text never goes out on the line.
  auto chyby_zavreny = [] {
    Stanoviste st;
    st.pres_shell(k_program + " 2>&-");
    harness::Process p(st.o);
    ASSERT_TRUE(p.wait_for("volba:", 30)) << p.out();
    char cil[64] = "";
    const std::string fd2 = "/proc/" + std::to_string(p.pid()) + "/fd/2";
    ASSERT_GT(readlink(fd2.c_str(), cil, sizeof cil - 1), 0);
    EXPECT_STREQ("/dev/null", cil);
    p.write("n\n");
    ASSERT_TRUE(p.wait_exit(20));
  };
  harness::Result r, r2;
  soubezne({[&] { r = harness::run(vstup.o, "", 30); }, [&] { r2 = harness::run(vystup.o, "0\n3\n7\nn\n", 30); },
            ctenar_odejde, chyby_zavreny});

  EXPECT_EQ(0, r.exit_code);
  EXPECT_EQ(1u, pocet(r.out, "volba:")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("volba:" + k_zaver)) << r.out;
  EXPECT_EQ(k_zaznam_a, harness::read_file(vstup.dir.file("zaznam.txt")));
  EXPECT_EQ(0, vstup.line.eeprom_writes(3));

  EXPECT_EQ(0, r2.exit_code);
  EXPECT_EQ("", r2.out);
  EXPECT_EQ("", r2.err);
  const std::vector<std::uint8_t> b = vystup.line.received();
  EXPECT_EQ(std::string::npos, std::string(b.begin(), b.end()).find("volba:"));
  std::string obsah = harness::read_file(vystup.dir.file("zaznam.txt"));
  EXPECT_EQ(2u, radky(obsah).size()) << obsah;
  EXPECT_EQ(0u, obsah.find(k_zaznam_a));
  EXPECT_NE(std::string::npos, obsah.find("\n 3\t"));
}

namespace {

// Fills the file system that holds `soubor` (created for it) to the last byte.
void zaplnit(const std::string& soubor) {
  int fd = open(soubor.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0) << soubor;
  const std::string blok(4096, 'p');
  for (size_t kus = blok.size(); kus > 0; kus /= 2)
    while (write(fd, blok.data(), kus) == static_cast<ssize_t>(kus)) {
    }
  close(fd);
}

// Whole records, the last one padded so that the file ends `volno` bytes
// short of a 4 KiB boundary: on a full disk an append finds room for that
// much of a record and no more.
std::string zaznamy_do(size_t radku, size_t volno) {
  std::string s;
  for (size_t i = 0; i < radku; ++i) s += k_zaznam_a;
  const std::string zacatek = " 9\t01.01.2026 10:00:00\t\t\t\t\t\t";
  size_t cil = (s.size() + zacatek.size() + 1 + volno + 4095) / 4096 * 4096 - volno;
  return s + zacatek + std::string(cil - s.size() - zacatek.size() - 1, 'x') + "\n";
}

}  // namespace

TEST(Ztraty, FullDiskOrFileSizeLimitLeavesEveryFileWhole) {
  const std::string data = zaznamy_do(3, 30);
  // A file size limit cuts the record short: the program is not killed, the
  // fragment goes, the failure is reported. Run beside the full disk below,
  // on a line of its own.
  std::thread limit([&data] {
    Stanoviste st;
    harness::write_file(st.dir.file("zaznam.txt"), data);
    harness::Options& o = st.o;
    o.program = "prlimit";
    o.args = {"--fsize=" + std::to_string(data.size() + 30), "--", harness::kvoda_ser_path()};
    auto r = harness::run(o, "0\n3\n7\nn\n", 30);
    EXPECT_EQ(0, r.exit_code) << r.err;
    EXPECT_EQ(1u, pocet(r.out, "V Sejmi_hmotnost nastala chyba 26\n")) << r.out;
    EXPECT_EQ(data, harness::read_file(st.dir.file("zaznam.txt")));
  });
  // Joined on every way out of the test, a failed ASSERT or a skip included.
  struct Spoj {
    std::thread& t;
    ~Spoj() { t.join(); }
  } spoj{limit};

  Stanoviste st;
  const harness::TempDir& dir = st.dir;
  harness::Options& o = st.o;
  // A full disk: a small tmpfs of our own in a private mount namespace.
  ASSERT_EQ(0, mkdir(dir.file("disk").c_str(), 0755));
  const std::string pokus =
      "unshare -m --propagation private sh -c 'mount -t tmpfs -o size=64k tmpfs " + dir.file("disk") + "' 2>/dev/null";
  if (std::system(pokus.c_str()) != 0) GTEST_SKIP() << "no private tmpfs here (unshare -m and mount need root)";
  o.program = "unshare";
  o.args = {"-m", "--propagation", "private", "sh", "-c",
            "mount -t tmpfs -o size=64k tmpfs disk && cd disk && exec \"$0\" \"$@\"", harness::kvoda_ser_path()};
  harness::Process p(o);
  ASSERT_TRUE(p.wait_for("volba:", 30)) << p.out() << p.err();
  // The namespace's files, seen from here while the program runs in it.
  const std::string disk = "/proc/" + std::to_string(p.pid()) + "/root" + dir.file("disk") + "/";
  const std::string zaloha = zaznamy_do(40, 100), kopie = zaznamy_do(5, 100);
  harness::write_file(disk + "zaznam.txt", data);
  harness::write_file(disk + "zaloha.txt", zaloha);
  harness::write_file(disk + "kopie.txt", kopie);
  zaplnit(disk + "plnic");
  auto krok = [&](const std::string& vstup, const std::string& cekej_na = "volba:") {
    size_t pred = p.out().size();
    p.write(vstup);
    EXPECT_TRUE(p.wait_for_after(cekej_na, pred, 30)) << p.out();
    return pred;
  };
  krok("0\n3\n");
  size_t pred = krok("7\n");
  EXPECT_NE(std::string::npos, p.out().find("V Sejmi_hmotnost nastala chyba 26\n", pred));
  pred = krok("k\na\n");
  EXPECT_NE(std::string::npos, p.out().find("V Kopie nastala chyba", pred));
  pred = krok("o\na\n");
  EXPECT_NE(std::string::npos, p.out().find("V Kopie nastala chyba", pred));
  // Sampling: the record fails, and so does the copy after the scale.
  pred = krok("6\n10\n", "v: 3 dat:");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  krok("x");
  EXPECT_NE(std::string::npos, p.out().find("V Snimej_hmotnost_hledej nastala chyba 26\n", pred));
  EXPECT_EQ(std::string::npos, p.out().find("predchozi zaloha byla prepsana"));
  EXPECT_EQ(std::string::npos, p.out().find("obnoveno"));
  EXPECT_EQ(data, harness::read_file(disk + "zaznam.txt"));
  EXPECT_EQ(zaloha, harness::read_file(disk + "zaloha.txt"));
  EXPECT_EQ(kopie, harness::read_file(disk + "kopie.txt"));
  // Freed again: the next record starts on a line of its own.
  ASSERT_EQ(0, unlink((disk + "plnic").c_str()));
  pred = krok("7\n");
  EXPECT_EQ(std::string::npos, p.out().find("nastala chyba", pred));
  std::string obsah = harness::read_file(disk + "zaznam.txt");
  EXPECT_EQ(0u, obsah.find(data));
  EXPECT_EQ(radky(data).size() + 1, radky(obsah).size());
  jen_cele_zaznamy(obsah);
  // No temporary file of a failed copy is left behind.
  EXPECT_EQ((std::vector<std::string>{"kopie.txt", "zaloha.txt", "zaznam.txt"}), jmena_v(disk));
  p.write("n\n");
  ASSERT_TRUE(p.wait_exit(10));
  EXPECT_EQ(0, p.exit_code());
}

TEST(Ztraty, SignalDuringTheCopyLeavesTheOldCopyWhole) {
  Stanoviste st;
  const harness::TempDir& dir = st.dir;
  // A data file long enough for the copy after the scale to take a while.
  std::string data;
  while (data.size() < (32u << 20)) data += k_zaznam_a;
  harness::write_file(dir.file("zaznam.txt"), data);
  const std::string stara = k_zaznam_a + k_zaznam_b;
  harness::write_file(dir.file("kopie.txt"), stara);
  harness::Process p(st.o);
  p.write("6\n10\n");
  ASSERT_TRUE(p.wait_for("v: 3 dat:", 40)) << p.out();
  // The moment the new copy is being written beside the old one.
  auto docasne = [&] {
    for (const std::string& j : jmena_v(dir.path))
      if (j.compare(0, 11, ".kopie.txt.") == 0) return true;
    return false;
  };
  auto konec = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!docasne() && std::chrono::steady_clock::now() < konec)
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  ASSERT_TRUE(docasne()) << "the copy was never seen in progress";
  p.signal(SIGTERM);
  ASSERT_TRUE(p.wait_exit(20));
  EXPECT_EQ(SIGTERM, p.term_signal());
  // The stop comes at the next wait: the copy is either the old one or,
  // finished meanwhile, the whole data file; never a part.
  const std::string kopie = harness::read_file(dir.file("kopie.txt"));
  EXPECT_TRUE(kopie == stara || kopie == harness::read_file(dir.file("zaznam.txt"))) << kopie.size();
  EXPECT_FALSE(docasne());
}

TEST(Ztraty, FailedAssertionRestoresTheTerminal) {
  // A child with a terminal as standard input, raw for key polling, aborts
  // as a failed assertion does: the terminal gets its modes back first.
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(0, grantpt(master));
  ASSERT_EQ(0, unlockpt(master));
  const std::string slave = ptsname(master);
  // Held open here too, so the terminal's modes outlive the child.
  int drzeny = open(slave.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(drzeny, 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int fd = open(slave.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0 || dup2(fd, 0) != 0) _exit(2);
    kon_Priprav_signaly();
    kon_kbhit();
    termios t{};
    if (tcgetattr(0, &t) != 0 || (t.c_lflag & ICANON)) _exit(3);  // not raw: nothing to test
    struct sigaction sa {};
    if (sigaction(SIGABRT, nullptr, &sa) != 0 || sa.sa_handler == SIG_DFL) _exit(4);
    std::abort();
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFSIGNALED(status)) << "exit " << WEXITSTATUS(status);
  EXPECT_EQ(SIGABRT, WTERMSIG(status));
  termios t{};
  ASSERT_EQ(0, tcgetattr(master, &t));
  EXPECT_TRUE((t.c_lflag & ICANON) && (t.c_lflag & ECHO));
  close(drzeny);
  close(master);
}
