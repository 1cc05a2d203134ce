// Console input: the dialogues and the shared input buffer, with standard
// input replaced by a pipe or a pseudo-terminal in a child process.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "harness.h"
#include "ser.h"
#include "sim.h"

namespace {

using Vysledek = harness::ChildResult;

std::string precti_vse(int fd) {
  std::string s;
  char b[4096];
  ssize_t n;
  while ((n = read(fd, b, sizeof b)) > 0 || (n < 0 && errno == EINTR)) {
    if (n > 0) s.append(b, static_cast<size_t>(n));
  }
  return s;
}

Vysledek v_diteti(const std::string& vstup, bool zavrit, const std::function<void()>& fn) {
  return harness::run_in_child(vstup, zavrit, fn);
}

bool skoncilo_nulou(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

const char* const KONEC = "--- program servis, byl ukoncen ---\n";

}  // namespace

TEST(Vstup, CisloPromptRangeAndConversion) {
  auto v = v_diteti("500\n", true, [] {
    int r = Vstup_cisla("\nZadejte hodnotu druhe zateze [0.1kg]", 500, -3000, 3000);
    std::printf("=%d", r);
  });
  EXPECT_EQ("\nZadejte hodnotu druhe zateze [0.1kg] (   500):   bylo zadano: 500\n=500", v.out);

  // Out of range: echo, the range line, the whole prompt again; bounds count.
  v = v_diteti("4000 -3000\n", true, [] { std::printf("=%d", Vstup_cisla("Z", 7, -3000, 3000)); });
  EXPECT_EQ("Z (     7):   bylo zadano: 4000\n  Chyba rozsahu !)\nZ (     7):   bylo zadano: -3000\n=-3000", v.out);
  v = v_diteti("3001\n3000\n", true, [] { std::printf("=%d", Vstup_cisla("Z", -42, -3000, 3000)); });
  EXPECT_EQ("Z (   -42):   bylo zadano: 3001\n  Chyba rozsahu !)\nZ (   -42):   bylo zadano: 3000\n=3000", v.out);

  // Not a number is 0; digits then text count up to the text; a huge number
  // saturates and is judged by the range like any other.
  v = v_diteti("abc\n", true, [] { std::printf("=%d", Vstup_cisla("Z", 0, 0, 249)); });
  EXPECT_EQ("Z (     0):   bylo zadano: 0\n=0", v.out);
  v = v_diteti("12abc\n", true, [] { std::printf("=%d", Vstup_cisla("Z", 0, 0, 249)); });
  EXPECT_EQ("Z (     0):   bylo zadano: 12\n=12", v.out);
  v = v_diteti("99999999999 -99999999999 5\n", true, [] { std::printf("=%d", Vstup_cisla("Z", 0, 0, 249)); });
  EXPECT_EQ(
      "Z (     0):   bylo zadano: 2147483647\n  Chyba rozsahu !)\n"
      "Z (     0):   bylo zadano: -2147483648\n  Chyba rozsahu !)\n"
      "Z (     0):   bylo zadano: 5\n=5",
      v.out);
  // Empty lines and blanks before an answer are skipped.
  v = v_diteti("\n\n  \t 17\n", true, [] { std::printf("=%d", Vstup_cisla("Z", 123456, 0, 249)); });
  EXPECT_EQ("Z (123456):   bylo zadano: 17\n=17", v.out);

  // Without a prompt: the old value for anything out of range, nothing printed.
  v = v_diteti("5 300 x -1 249\n", true, [] {
    int a = Vstup_cisla_2(77, 0, 249);
    int b = Vstup_cisla_2(77, 0, 249);
    int c = Vstup_cisla_2(77, 1, 249);
    int d = Vstup_cisla_2(77, 0, 249);
    int e = Vstup_cisla_2(77, 0, 249);
    std::printf("%d %d %d %d %d", a, b, c, d, e);
  });
  EXPECT_EQ("5 77 77 77 249", v.out);
}

TEST(Vstup, FloatFraction) {
  auto v = v_diteti("1 -1 1.5 nan -0.25 abc 1e300 -inf 0x1p-2 1.00000001\n", true, [] {
    for (int i = 0; i < 10; ++i) std::printf("%g ", static_cast<double>(Vstup_float_cisla_2(0.5f)));
  });
  // 1.00000001 rounds to 1.0f and is taken: the range is judged on the float.
  EXPECT_EQ("1 -1 0.5 0.5 -0.25 0 0.5 0.5 0.25 1 ", v.out);
}

TEST(Vstup, AnoNe) {
  auto v = v_diteti("ano\nne\n", true, [] {
    int a = Ano_ne("Cislo ponechat? [a/n]: ");
    int b = Ano_ne("(a/n) : ");
    std::printf("|%d%d", a, b);
  });
  EXPECT_EQ("Cislo ponechat? [a/n]: (a/n) : |10", v.out);
  // Capitals and other words are read past silently; only the first
  // character counts.
  v = v_diteti("A N x yes\nnic\n", true, [] { std::printf("|%d", Ano_ne("Q: ")); });
  EXPECT_EQ("Q: |0", v.out);
  v = v_diteti("Y\n\nandula\n", true, [] { std::printf("|%d", Ano_ne("Q: ")); });
  EXPECT_EQ("Q: |1", v.out);
}

TEST(Vstup, TypedAheadAndKeys) {
  // "a 5": the answer is the first token, the 5 is a waiting key afterwards
  // and also still there for a token read after it was not taken.
  auto v = v_diteti("a 5\n", false, [] {
    int r = Ano_ne("Q: ");
    int k = kon_kbhit();
    int c = kon_getch();
    int k2 = kon_kbhit();  // the line end after the 5 is a key of its own
    int c2 = kon_getch();
    int k3 = kon_kbhit();
    std::printf("|%d %d %c %d %d %d", r, k, c, k2, c2, k3);
  });
  EXPECT_EQ("Q: |1 1 5 1 10 0", v.out);
  // The line end that ended an answer is never a key, nor are the blanks
  // before it.
  v = v_diteti("12  \t\r\n", false, [] {
    int r = Vstup_cisla_2(0, 0, 99);
    std::printf("%d %d %d", r, kon_kbhit(), kon_Cekej_na_klavesu(50));
  });
  EXPECT_EQ("12 0 0", v.out);
  // Only one line end goes with the answer: an empty line after it is a key.
  v = v_diteti("12\n\nx", false, [] {
    int r = Vstup_cisla_2(0, 0, 99);
    int c1 = kon_getch();
    int c2 = kon_getch();
    std::printf("%d %d %d", r, c1, c2);
  });
  EXPECT_EQ("12 10 120", v.out);
  // Keys not taken stay for the next token; discarding takes them all.
  v = v_diteti("7 8 9\n42\n", false, [] {
    int a = Vstup_cisla_2(0, 0, 99);
    int b = Vstup_cisla_2(0, 0, 99);
    kon_Zahod_klavesy();
    int k = kon_kbhit();
    std::printf("%d %d %d", a, b, k);
  });
  EXPECT_EQ("7 8 0", v.out);
  // A token of 200 characters is consumed whole: the excess is not the next
  // answer, and nothing overruns the buffers (81 and 80 characters).
  std::string dlouhy(200, '7');
  v = v_diteti(dlouhy + " 5\n" + std::string(200, 'n') + " a\n", true, [] {
    int a = Vstup_cisla_2(3, 0, 99);
    int b = Vstup_cisla_2(3, 0, 99);
    int c = Ano_ne("");
    std::printf("%d %d %d %d", a, b, c, kon_kbhit());
  });
  EXPECT_EQ("3 5 0 1", v.out);
  v = v_diteti(std::string(5000, 'x') + "\n", true, [] {
    char buf[4];
    kon_Cti_token(buf, sizeof buf);
    std::printf("[%s] %d", buf, kon_kbhit());
  });
  EXPECT_EQ("[xxx] 0", v.out);

  // One key press is one key, however many bytes it sends; what follows it
  // is the next answer (Up then 7 must read 7, Alt+7 then Enter nothing).
  const char* const klavesy[] = {
      "\x1b[A",      "\x1bOA", "\x1b[15~", "\x1b[1;5C", "\x1b" "7", "\x1b\xc3\xa1",
      "\xc3\xa9",    "\xe2\x82\xac", "\xf0\x9f\x90\x9d", "q",
  };
  for (const char* k : klavesy) {
    SCOPED_TRACE(k);
    v = v_diteti(std::string(k) + "7\n", true, [] {
      int c = kon_getch();
      std::printf("%d %d", c, Vstup_cisla_2(-1, 0, 99));
    });
    EXPECT_EQ(std::to_string(static_cast<unsigned char>(k[0])) + " 7", v.out);
  }
  // Escape alone, even twice, and a key cut short by the end of input.
  v = v_diteti("\x1b\x1b[B8\n", true, [] {
    int a = kon_getch();
    int b = kon_getch();
    std::printf("%d %d %d", a, b, Vstup_cisla_2(-1, 0, 99));
  });
  EXPECT_EQ("27 27 8", v.out);
  v = v_diteti("\x1b[1;", true, [] {
    int a = kon_getch();
    std::printf("%d %d %d", a, kon_kbhit(), kon_getch());
  });
  EXPECT_EQ("27 0 -1", v.out);
}

TEST(Vstup, EndOfInputEndsTheProgram) {
  // Output written before the read reaches the user (flushed first), then the
  // closing line; status 0.
  auto v = v_diteti("", true, [] {
    std::printf("pred");
    Vstup_cisla("Z", 0, 0, 9);
    std::printf("nikdy");
  });
  EXPECT_TRUE(skoncilo_nulou(v.status));
  EXPECT_EQ(std::string("predZ (     0): ") + KONEC, v.out);
  // The same after answers ran out part-way; blanks alone are no answer.
  v = v_diteti("x y \n \n", true, [] {
    Ano_ne("Q: ");
    std::printf("nikdy");
  });
  EXPECT_TRUE(skoncilo_nulou(v.status));
  EXPECT_EQ(std::string("Q: ") + KONEC, v.out);
  // A last token without a line end still counts.
  v = v_diteti("33", true, [] {
    std::printf("%d|", Vstup_cisla_2(0, 0, 99));
    Vstup_cisla_2(0, 0, 99);
  });
  EXPECT_TRUE(skoncilo_nulou(v.status));
  EXPECT_EQ(std::string("33|") + KONEC, v.out);

  // End of input is never a key: not on an ended pipe, not on /dev/null, and
  // a wait for a key then sleeps its time out instead of returning at once,
  // or spinning on an input that is always readable (a service runs so).
  v = v_diteti("", true, [] {
    auto t0 = std::chrono::steady_clock::now();
    int r = kon_Cekej_na_klavesu(1000);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%d %d %d %d", kon_kbhit(), r, s >= 0.95 ? 1 : 0, kon_getch());
  });
  EXPECT_EQ("0 0 1 -1", v.out);
  EXPECT_LT(v.cpu, 0.1);
  v = v_diteti("", false, [] {
    int fd = open("/dev/null", O_RDONLY);
    dup2(fd, 0);
    close(fd);
    kon_Novy_vstup();
    int r = kon_Cekej_na_klavesu(200);
    std::printf("%d %d", r, kon_kbhit());
  });
  EXPECT_EQ("0 0", v.out);

  EXPECT_EXIT(
      {
        dup2(2, 1);
        int fd = open("/dev/null", O_RDONLY);
        dup2(fd, 0);
        kon_Novy_vstup();
        Ano_ne("Q: ");
      },
      ::testing::ExitedWithCode(0), "Q: --- program servis, byl ukoncen ---");
}

TEST(Vstup, WaitForKeyOnPipe) {
  // A key arriving during the wait ends it early; a wait with no key lasts its
  // time (ranges, so a loaded machine cannot make it flaky).
  int in[2], out[2];
  ASSERT_EQ(0, pipe(in));
  ASSERT_EQ(0, pipe(out));
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    close(in[1]);
    close(out[0]);
    alarm(30);
    auto t0 = std::chrono::steady_clock::now();
    int r1 = kon_Cekej_na_klavesu(200);
    double s1 = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    // Not flushed here: the wait itself hands what was printed to the pipe.
    std::printf("ready\n");
    t0 = std::chrono::steady_clock::now();
    int r2 = kon_Cekej_na_klavesu(20000);
    double s2 = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    int c = kon_getch();
    std::printf("%d %d %d %d %c\n", r1, s1 >= 0.15 ? 1 : 0, r2, s2 < 15 ? 1 : 0, c);
    std::fflush(stdout);
    _exit(0);
  }
  close(in[0]);
  close(out[1]);
  char b[8];
  ASSERT_EQ(6, read(out[0], b, 6));  // "ready\n"
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_EQ(1, write(in[1], "k", 1));
  std::string s = precti_vse(out[0]);
  int status;
  waitpid(pid, &status, 0);
  close(in[1]);
  close(out[0]);
  EXPECT_EQ("0 1 1 1 k\n", s);
}

namespace {

// A pseudo-terminal as the child's standard input, as a console is.
struct Terminal {
  int master = -1, slave = -1;
  termios puvodni{};
  Terminal() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master, 0);
    grantpt(master);
    unlockpt(master);
    slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    EXPECT_GE(slave, 0);
    EXPECT_EQ(0, tcgetattr(slave, &puvodni));
  }
  ~Terminal() {
    close(master);
    close(slave);
  }
  termios ted() const {
    termios t{};
    tcgetattr(slave, &t);
    return t;
  }
  // Waits until the child has switched the terminal to single keys.
  bool ceka_na_klavesy(double s = 10) {
    auto konec = std::chrono::steady_clock::now() + std::chrono::duration<double>(s);
    while (std::chrono::steady_clock::now() < konec) {
      if (!(ted().c_lflag & ICANON)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  bool jako_puvodne() const {
    termios t = ted();
    return t.c_lflag == puvodni.c_lflag && t.c_iflag == puvodni.c_iflag && t.c_oflag == puvodni.c_oflag &&
           t.c_cc[VMIN] == puvodni.c_cc[VMIN] && t.c_cc[VTIME] == puvodni.c_cc[VTIME];
  }
  std::string precti_echo(int ms) {
    std::string s;
    pollfd p{master, POLLIN, 0};
    while (poll(&p, 1, ms) > 0) {
      char b[256];
      ssize_t n = read(master, b, sizeof b);
      if (n <= 0) break;
      s.append(b, static_cast<size_t>(n));
    }
    return s;
  }
  // Starts fn in a child with the terminal as its standard input and a pipe
  // as its standard output; returns the pid, the pipe's read end in `out`.
  pid_t spust(const std::function<void()>& fn, int* out) {
    int p[2];
    EXPECT_EQ(0, pipe(p));
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
      setsid();
      dup2(slave, 0);
      dup2(p[1], 1);
      close(p[0]);
      close(p[1]);
      close(master);
      alarm(30);
      fn();
      std::exit(0);  // through the exit handlers, as the program ends
    }
    close(p[1]);
    *out = p[0];
    return pid;
  }
};

}  // namespace

TEST(Terminal, KeyWithoutEnterAndLineInputWithEcho) {
  Terminal t;
  ASSERT_TRUE(t.puvodni.c_lflag & ICANON);
  int out;
  pid_t pid = t.spust(
      [] {
        int r = kon_Cekej_na_klavesu(20000);
        int c = kon_getch();
        char buf[81];
        kon_Cti_token(buf, sizeof buf);  // ordinary line input again
        int k = kon_kbhit();
        std::printf("%d %c [%s] %d", r, c, buf, k);
      },
      &out);
  ASSERT_TRUE(t.ceka_na_klavesy());
  EXPECT_FALSE(t.ted().c_lflag & ECHO);
  ASSERT_EQ(1, write(t.master, "x", 1));  // no Enter
  // The token read switches back to a line with echo.
  auto konec = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!(t.ted().c_lflag & ICANON) && std::chrono::steady_clock::now() < konec)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(t.ted().c_lflag & ECHO);
  ASSERT_EQ(4, write(t.master, "42\n", 3) + 1);
  std::string s = precti_vse(out);
  int status;
  waitpid(pid, &status, 0);
  close(out);
  EXPECT_EQ("1 x [42] 0", s);
  // The key was not echoed, the typed answer was.
  EXPECT_EQ("42\r\n", t.precti_echo(200));
  EXPECT_TRUE(skoncilo_nulou(status));
  EXPECT_TRUE(t.jako_puvodne());
}

TEST(Terminal, ModesRestoredOnEveryWayOut) {
  // Normal exit, the end of the program and the three signals.
  for (int cesta = 0; cesta < 5; ++cesta) {
    SCOPED_TRACE(cesta);
    Terminal t;
    int out;
    pid_t pid = t.spust(
        [cesta] {
          std::printf("klavesy\n");
          kon_Cekej_na_klavesu(25000);
          if (cesta == 0) std::exit(0);
          if (cesta == 1) Konec_programu();
        },
        &out);
    ASSERT_TRUE(t.ceka_na_klavesy());
    int sig = cesta == 2 ? SIGINT : cesta == 3 ? SIGTERM : SIGHUP;
    if (cesta >= 2) {
      kill(pid, sig);
    } else {
      ASSERT_EQ(1, write(t.master, "z", 1));
    }
    std::string s = precti_vse(out);
    int status;
    waitpid(pid, &status, 0);
    close(out);
    if (cesta == 1) {
      EXPECT_EQ(std::string("klavesy\n") + KONEC, s);
    }
    if (cesta < 2) {
      EXPECT_TRUE(skoncilo_nulou(status));
    } else {
      ASSERT_TRUE(WIFSIGNALED(status));
      EXPECT_EQ(sig, WTERMSIG(status));
    }
    EXPECT_TRUE(t.jako_puvodne());
  }
}

TEST(Terminal, ModesSetAgainAfterStopAndContinue) {
  // Stopped with the terminal set for keys, the shell puts its own modes
  // back; after fg the wait for a key sets them again and a key without
  // Enter still counts.
  Terminal t;
  int out;
  pid_t pid = t.spust(
      [] {
        while (!kon_Cekej_na_klavesu(100)) {
        }
        std::printf("%c", kon_getch());
      },
      &out);
  ASSERT_TRUE(t.ceka_na_klavesy());
  kill(pid, SIGSTOP);
  int status;
  ASSERT_EQ(pid, waitpid(pid, &status, WUNTRACED));
  ASSERT_TRUE(WIFSTOPPED(status));
  ASSERT_EQ(0, tcsetattr(t.slave, TCSANOW, &t.puvodni));
  kill(pid, SIGCONT);
  ASSERT_TRUE(t.ceka_na_klavesy());
  ASSERT_EQ(1, write(t.master, "k", 1));
  std::string s = precti_vse(out);
  waitpid(pid, &status, 0);
  close(out);
  EXPECT_EQ("k", s);
  EXPECT_TRUE(t.jako_puvodne());
}

TEST(Terminal, RealProgramKeyAndSignal) {
  // The program itself on a terminal: option 6 with a cycle of 10 s. One
  // key without Enter (an arrow, sent as three bytes) ends the sampling and
  // leaves nothing for the next choice; in a second run SIGINT ends the
  // program while the terminal is set for single keys, and the terminal is
  // left as it was found. The line answers at once and its only device lies
  // above the scales, so each pass ends without waiting out a deadline.
  harness::TempDir dir;
  sim::Line line(dir.port(0));
  line.add_adapter(251);
  line.add_recorder(252);
  harness::Options o;
  o.cwd = dir.path;
  o.port_pattern = dir.pattern();
  o.stdin_tty = true;
  harness::Process p(o);
  termios pred{};
  ASSERT_EQ(0, tcgetattr(p.tty_master(), &pred));
  ASSERT_TRUE(pred.c_lflag & ICANON);
  auto klavesy = [&] {
    auto konec = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    termios t{};
    while (std::chrono::steady_clock::now() < konec) {
      if (tcgetattr(p.tty_master(), &t) == 0 && !(t.c_lflag & ICANON)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  };
  ASSERT_TRUE(p.wait_for("volba:", 30));
  p.write("6\n");
  ASSERT_TRUE(p.wait_for("[10..86400] (    10): ", 10));
  p.write("10\n");
  ASSERT_TRUE(p.wait_for("Pro ukonceni cteni stisknete libovolnou klavesu...", 10));
  ASSERT_TRUE(klavesy());
  std::size_t delka = p.out().size();
  // An arrow key: three bytes, one key. None of them may be echoed or left
  // over to spoil the next choice.
  p.write("\x1b[A");
  ASSERT_TRUE(p.wait_for_after("volba:", delka, 20));  // the menu is back
  EXPECT_EQ(std::string::npos, p.out().find("[A", delka));  // the key was not echoed
  termios menu{};
  ASSERT_EQ(0, tcgetattr(p.tty_master(), &menu));
  EXPECT_TRUE(menu.c_lflag & ICANON);

  delka = p.out().size();
  p.write("6\n");
  ASSERT_TRUE(p.wait_for_after("[10..86400] (    10): ", delka, 10));
  p.write("10\n");
  ASSERT_TRUE(klavesy());
  p.signal(SIGINT);
  ASSERT_TRUE(p.wait_exit(10));
  EXPECT_EQ(SIGINT, p.term_signal());
  termios po{};
  ASSERT_EQ(0, tcgetattr(p.tty_master(), &po));
  EXPECT_EQ(pred.c_lflag, po.c_lflag);
  EXPECT_EQ(pred.c_iflag, po.c_iflag);
  EXPECT_EQ(pred.c_cc[VMIN], po.c_cc[VMIN]);
  EXPECT_EQ(pred.c_cc[VTIME], po.c_cc[VTIME]);
}
