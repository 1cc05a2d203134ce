// The serial driver on real pseudo-terminals.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "harness.h"
#include "kom.h"
#include "rs232.h"

namespace {

// A pseudo-terminal whose slave is reachable as port index 0 of the table.
struct Pty {
  harness::TempDir dir;
  int master = -1;
  int slave = -1;  // held open, like the simulator does
  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(master);
    unlockpt(master);
    std::string name = ptsname(master);
    slave = open(name.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    EXPECT_EQ(0, symlink(name.c_str(), dir.port(0).c_str()));
    setenv("KVODA_PORT_PATTERN", dir.pattern().c_str(), 1);
    char err[200];
    EXPECT_EQ(0, rs232_Nastav_jmena(err, sizeof err));
  }
  ~Pty() {
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
    unsetenv("KVODA_PORT_PATTERN");
  }
};

}  // namespace

TEST(Rs232, PortNamesFollowThePattern) {
  char out[64];
  ASSERT_TRUE(rs232_Jmeno_portu("/dev/ttyUSB%d", 0, out, sizeof out));
  EXPECT_STREQ("/dev/ttyUSB0", out);
  ASSERT_TRUE(rs232_Jmeno_portu("/dev/ttyUSB%d", 254, out, sizeof out));
  EXPECT_STREQ("/dev/ttyUSB254", out);
  ASSERT_TRUE(rs232_Jmeno_portu("/tmp/p%d.link", 7, out, sizeof out));
  EXPECT_STREQ("/tmp/p7.link", out);
  // Anything but one %d and no other % is refused, never formatted.
  for (const char* bad : {"/dev/ttyUSB", "/dev/tty%s", "/dev/%d%d", "/dev/%%d", "%n%d", "/dev/tty%", "%x"}) {
    EXPECT_FALSE(rs232_Jmeno_portu(bad, 1, out, sizeof out)) << bad;
  }
  EXPECT_FALSE(rs232_Jmeno_portu(std::string(70, 'a').append("%d").c_str(), 1, out, sizeof out));

  unsetenv("KVODA_PORT_PATTERN");
  char err[200] = "";
  ASSERT_EQ(0, rs232_Nastav_jmena(err, sizeof err));
  EXPECT_STREQ("/dev/ttyUSB0", comports[0]);
  EXPECT_STREQ("/dev/ttyUSB1", comports[1]);
  EXPECT_STREQ("", comports[255]);
  setenv("KVODA_PORT_PATTERN", "/dev/tty%s", 1);
  EXPECT_EQ(1, rs232_Nastav_jmena(err, sizeof err));
  EXPECT_NE(nullptr, std::strstr(err, "KVODA_PORT_PATTERN"));
  EXPECT_EQ(nullptr, std::strchr(err, '\n'));
  unsetenv("KVODA_PORT_PATTERN");
}

TEST(Rs232, RefusedOpensTouchNothing) {
  Pty p;
  EXPECT_EQ(1, OpenComport(255, 4800));
  EXPECT_EQ(1, OpenComport(256, 4800));
  EXPECT_EQ(1, OpenComport(static_cast<unsigned>(-1), 4800));
  testing::internal::CaptureStdout();
  EXPECT_EQ(1, OpenComport(0, 14400));
  EXPECT_EQ("invalid baudrate\n", testing::internal::GetCapturedStdout());
  // The refused rate never reached the device: it still opens at once.
  ASSERT_EQ(0, OpenComport(0, 2400));
  EXPECT_STREQ("baud=2400 data=8 parity=N stop=1", baudr);
  CloseComport(0);
}

TEST(Rs232, AllRatesOpenRawAndExclusive) {
  Pty p;
  for (int rate : {110, 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 128000, 256000}) {
    ASSERT_EQ(0, OpenComport(0, rate)) << rate;
    termios t{};
    ASSERT_EQ(0, tcgetattr(Cport[0], &t));
    EXPECT_EQ(0u, t.c_lflag & (ICANON | ECHO | ISIG)) << rate;
    EXPECT_EQ(0u, t.c_iflag & (IXON | IXOFF | ICRNL)) << rate;
    EXPECT_EQ(0u, t.c_oflag & OPOST) << rate;
    EXPECT_EQ(static_cast<tcflag_t>(CS8 | CREAD | CLOCAL), t.c_cflag & (CSIZE | CREAD | CLOCAL | PARENB | CSTOPB | CRTSCTS));
    EXPECT_EQ(0u, t.c_cflag & HUPCL);
    int fl = fcntl(Cport[0], F_GETFD);
    EXPECT_TRUE(fl & FD_CLOEXEC);

    // A port held open by us cannot be opened again, silently.
    int held = Cport[0];
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, OpenComport(0, rate));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_EQ(held, Cport[0]);
    CloseComport(0);
  }
}

TEST(Rs232, PollCapsAndSendEchoes) {
  Pty p;
  ASSERT_EQ(0, OpenComport(0, 9600));
  unsigned char buf[8192];
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(0, PollComport(0, buf, 10));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200));
  EXPECT_EQ(0, kom_Cekej_na_port(0, 50));

  std::string data(5000, 'x');
  ASSERT_EQ(5000, write(p.master, data.data(), data.size()));
  EXPECT_EQ(1, kom_Cekej_na_port(0, 1000));
  usleep(50000);
  // Never more than 4096 at once, whatever is asked for; nothing lost.
  std::memset(buf, 0xEE, sizeof buf);
  int total = 0;
  for (int i = 0; i < 10 && total < 5000; ++i) {
    int n = PollComport(0, buf, 5000);
    EXPECT_LE(n, 4096);
    EXPECT_EQ(0xEE, buf[4096]);
    total += n;
    usleep(10000);
  }
  EXPECT_EQ(5000, total);

  EXPECT_EQ(0, SendByte(0, 0x1A5));  // only the low 8 bits go out
  cprintf(0, "");
  cprintf(0, "ok");
  EXPECT_EQ(3, SendBuf(0, reinterpret_cast<const unsigned char*>("abc"), 3));
  usleep(50000);
  unsigned char got[16];
  EXPECT_EQ(6, read(p.master, got, sizeof got));
  EXPECT_EQ(0xA5, got[0]);
  EXPECT_EQ(0, std::memcmp(got + 1, "okabc", 5));
  CloseComport(0);
  // The exclusive flag is cleared on close: the port opens again.
  ASSERT_EQ(0, OpenComport(0, 9600));
  CloseComport(0);
}

TEST(Rs232, DeadPortFailsWithoutSpinning) {
  Pty p;
  ASSERT_EQ(0, OpenComport(0, 4800));
  EXPECT_EQ(nullptr, rs232_Duvod_ztraty(0));
  // The names as they are; a node that appears afterwards is news once.
  rs232_Zapamatuj_uzly();
  EXPECT_EQ(-1, rs232_Novy_uzel());
  ASSERT_EQ(0, symlink("/dev/null", p.dir.port(7).c_str()));
  EXPECT_EQ(7, rs232_Novy_uzel());
  EXPECT_EQ(-1, rs232_Novy_uzel());
  close(p.master);
  close(p.slave);
  p.master = p.slave = -1;
  rusage r0{}, r1{};
  getrusage(RUSAGE_SELF, &r0);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(-1, kom_Cekej_na_port(0, 500));
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  getrusage(RUSAGE_SELF, &r1);
  double cpu = (r1.ru_utime.tv_sec - r0.ru_utime.tv_sec) + (r1.ru_utime.tv_usec - r0.ru_utime.tv_usec) / 1e6 +
               (r1.ru_stime.tv_sec - r0.ru_stime.tv_sec) + (r1.ru_stime.tv_usec - r0.ru_stime.tv_usec) / 1e6;
  EXPECT_GE(wall, 0.45);
  EXPECT_LT(cpu, 0.2);
  unsigned char b;
  EXPECT_EQ(0, PollComport(0, &b, 1));
  EXPECT_EQ(1, SendByte(0, 1));
  EXPECT_STREQ("hang-up", rs232_Duvod_ztraty(0));
  CloseComport(0);
  EXPECT_EQ(nullptr, rs232_Duvod_ztraty(0));  // no port open
}
