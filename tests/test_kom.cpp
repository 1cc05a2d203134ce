// The frame exchange against a scripted device on a real pseudo-terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "chyba.h"
#include "harness.h"
#include "kom.h"
#include "rs232.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

double now_s() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double cpu_s() {
  rusage r{};
  getrusage(RUSAGE_SELF, &r);
  return r.ru_utime.tv_sec + r.ru_utime.tv_usec / 1e6 + r.ru_stime.tv_sec + r.ru_stime.tv_usec / 1e6;
}

// Plain reply frame as a device sends it: start in clear, the rest keyed.
Bytes reply(int key, int dest, int src, int code, int status, const Bytes& data, int sum_delta = 0,
            int start = 0x55, int len_field = -1) {
  int len = len_field < 0 ? static_cast<int>(data.size()) : len_field;
  int plain[7] = {start, dest, src, code, 0, len, status};
  int sum = 0;
  for (int v : plain) sum += v;
  for (auto d : data) sum += d;
  plain[4] = (sum + sum_delta) & 0xFF;
  Bytes out{static_cast<std::uint8_t>(start)};
  for (int i = 1; i < 7; ++i) out.push_back(static_cast<std::uint8_t>(plain[i] ^ key));
  for (auto d : data) out.push_back(static_cast<std::uint8_t>(d ^ key));
  return out;
}

// A device on the far end: echoes every byte and, for each complete
// request frame, sends what the script returns.
class Device {
 public:
  using Script = std::function<Bytes(const Bytes& frame_on_line, int key)>;
  harness::TempDir dir;

  explicit Device(Script s) : script_(std::move(s)) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(master_);
    unlockpt(master_);
    std::string name = ptsname(master_);
    slave_ = open(name.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    tcsetattr(slave_, TCSANOW, &t);
    EXPECT_EQ(0, symlink(name.c_str(), dir.port(0).c_str()));
    setenv("KVODA_PORT_PATTERN", dir.pattern().c_str(), 1);
    char err[200];
    EXPECT_EQ(0, rs232_Nastav_jmena(err, sizeof err));
    thread_ = std::thread([this] { run(); });
    g_chyba = 0;
    g_tisk_chyby_jiz_proveden = 0;
    EXPECT_EQ(0, kom_Otevri_nebo_zavri_port(1, 0, 9600));
  }
  ~Device() {
    kom_Zavri_port();
    stop_ = true;
    thread_.join();
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
    unsetenv("KVODA_PORT_PATTERN");
  }
  // Closes the far end, as an unplugged adapter does.
  void unplug() {
    std::lock_guard<std::mutex> l(m_);
    close(master_);
    close(slave_);
    master_ = slave_ = -1;
  }
  std::vector<Bytes> frames() {
    std::lock_guard<std::mutex> l(m_);
    return frames_;
  }
  // Busy while bytes from the program wait unread (it answers as it reads).
  bool busy() {
    std::lock_guard<std::mutex> l(m_);
    pollfd p{master_, POLLIN, 0};
    return master_ >= 0 && poll(&p, 1, 0) > 0;
  }
  void send_later(const Bytes& b, int delay_ms) {
    std::thread([this, b, delay_ms] {
      std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
      std::lock_guard<std::mutex> l(m_);
      if (master_ >= 0) (void)!write(master_, b.data(), b.size());
    }).detach();
  }

 private:
  void run() {
    Bytes cur;
    while (!stop_) {
      int fd;
      {
        std::lock_guard<std::mutex> l(m_);
        fd = master_;
      }
      if (fd < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0 || !(p.revents & POLLIN)) continue;
      std::uint8_t buf[256];
      std::lock_guard<std::mutex> l(m_);
      if (master_ < 0) continue;
      ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0) continue;
      (void)!write(master_, buf, static_cast<size_t>(n));  // the line echoes the sender
      for (ssize_t i = 0; i < n; ++i) {
        cur.push_back(buf[i]);
        // 0x00, 0x55, 5 keyed header bytes, key, data
        if (cur.size() >= 8) {
          int key = cur[7];
          size_t len = cur[6] ^ key;
          if (cur.size() == 8 + len) {
            frames_.push_back(cur);
            Bytes r = script_(cur, key);
            if (!r.empty()) (void)!write(master_, r.data(), r.size());
            cur.clear();
          }
        }
      }
    }
  }
  Script script_;
  int master_ = -1, slave_ = -1;
  std::atomic<bool> stop_{false};
  std::mutex m_;
  std::thread thread_;
  std::vector<Bytes> frames_;
};

void fill(int* z, int dest, int cmd, const Bytes& data) {
  for (int i = 0; i < KOM_DELKA_ZPRAVY; ++i) z[i] = 0;
  z[Z_START] = 0x55;
  z[Z_CIL] = dest;
  z[Z_ZDROJ] = 0xFD;
  z[Z_POVEL] = cmd;
  z[Z_DELKA] = static_cast<int>(data.size());
  for (size_t i = 0; i < data.size(); ++i) z[Z_DATA + i] = data[i];
}

}  // namespace

TEST(Frame, BytesOnTheLine) {
  int z[KOM_DELKA_ZPRAVY];
  fill(z, 12, 2, {24, 12});
  std::uint8_t out[21];
  ASSERT_EQ(10, kom_Sestav_ramec(z, 0x5A, out));
  int sum = (0x55 + 12 + 0xFD + 2 + 2 + 0x5A + 24 + 12) & 0xFF;
  EXPECT_EQ(sum, z[Z_SUMA]);
  EXPECT_EQ(0x5A, z[Z_KLIC]);
  const std::uint8_t want[] = {0x00, 0x55, 12 ^ 0x5A, 0xFD ^ 0x5A, 2 ^ 0x5A, static_cast<std::uint8_t>(sum ^ 0x5A),
                               2 ^ 0x5A, 0x5A, 24 ^ 0x5A, 12 ^ 0x5A};
  for (int i = 0; i < 10; ++i) EXPECT_EQ(want[i], out[i]) << i;
  EXPECT_EQ(2, kom_Doba_cekani(5));
  EXPECT_EQ(2, kom_Doba_cekani(6));
  EXPECT_EQ(2, kom_Doba_cekani(10));
  for (int c : {1, 2, 3, 4, 7}) EXPECT_EQ(9, kom_Doba_cekani(c));
}

TEST(Kom, RequestEchoAndReply) {
  Device dev([](const Bytes& f, int key) {
    int dest = f[2] ^ key;
    return reply(key, 0xFD, dest, 0x83, 0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  });
  int vys[KOM_DELKA_ZPRAVY], pri[KOM_DELKA_ZPRAVY];
  fill(vys, 7, 3, {});
  for (int& v : pri) v = -1;
  ASSERT_EQ(0, kom_Vysli_a_prijmi_zpravu(vys, pri));
  EXPECT_EQ(0, g_chyba);
  auto frames = dev.frames();
  ASSERT_EQ(1u, frames.size());
  // A request without data: the 0x00 and seven header bytes, key in clear.
  const Bytes& f = frames[0];
  ASSERT_EQ(8u, f.size());
  int key = f[7];
  EXPECT_EQ(0x00, f[0]);
  EXPECT_EQ(0x55, f[1]);
  EXPECT_EQ(7, f[2] ^ key);
  EXPECT_EQ(0xFD, f[3] ^ key);
  EXPECT_EQ(3, f[4] ^ key);
  EXPECT_EQ((0x55 + 7 + 0xFD + 3 + 0 + key) & 0xFF, f[5] ^ key);
  EXPECT_EQ(0, f[6] ^ key);
  // The echo was consumed: the record holds the reply, not our own bytes.
  EXPECT_EQ(0x55, pri[0]);
  EXPECT_EQ(0xFD, pri[Z_CIL]);
  EXPECT_EQ(7, pri[Z_ZDROJ]);
  EXPECT_EQ(0x83, pri[Z_POVEL]);
  EXPECT_EQ(12, pri[Z_DELKA]);
  EXPECT_EQ(0, pri[Z_KLIC]);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(i + 1, pri[Z_DATA + i]);
  EXPECT_EQ(-1, pri[19]);
}

TEST(Kom, ReplyShapesAndChecksum) {
  int mode = 0;
  Device dev([&mode](const Bytes&, int key) -> Bytes {
    switch (mode) {
      case 0: return reply(key, 0xFD, 9, 0x85, 0, {}, 0, 0x54);  // odd start byte, sum matches
      case 1: return reply(key, 0xFD, 9, 0x82, 0, Bytes(13, 0xAB));
      case 2: return reply(key, 0xFD, 9, 0x85, 0, {1}, 1);  // wrong checksum
      default: return reply(key, 0xFD, 9, 0x82, 0, Bytes(16, 3));  // over-long: 16 data bytes
    }
  });
  int vys[KOM_DELKA_ZPRAVY], pri[KOM_DELKA_ZPRAVY];
  fill(vys, 9, 5, {2});

  mode = 0;
  testing::internal::CaptureStdout();
  ASSERT_EQ(0, kom_Vysli_a_prijmi_zpravu(vys, pri));
  EXPECT_EQ(0, g_chyba);
  EXPECT_EQ(0x54, pri[0]);
  EXPECT_EQ(0, pri[Z_DELKA]);

  mode = 1;
  ASSERT_EQ(0, kom_Vysli_a_prijmi_zpravu(vys, pri));
  EXPECT_EQ(0, g_chyba);
  EXPECT_EQ(0xAB, pri[19]);
  EXPECT_EQ("", testing::internal::GetCapturedStdout());

  mode = 2;
  testing::internal::CaptureStdout();
  ASSERT_EQ(0, kom_Vysli_a_prijmi_zpravu(vys, pri));
  EXPECT_EQ(CHYBA_KONTROLNI_SUMY, g_chyba);
  EXPECT_EQ(1, pri[Z_DATA]);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(0u, out.find("V Test_chyby_sumy nastala chyba 2\n"));

  // An over-long reply: error 9, nothing stored past element 19, and the
  // surplus is off the line so the next exchange is clean.
  g_tisk_chyby_jiz_proveden = 0;
  mode = 3;
  int guard[KOM_DELKA_ZPRAVY + 4];
  for (int& v : guard) v = -7;
  testing::internal::CaptureStdout();
  ASSERT_EQ(0, kom_Vysli_a_prijmi_zpravu(vys, guard));
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(CHYBA_MAX_DELKA_DAT, g_chyba);
  EXPECT_EQ(0u, out.find("V Test_chyby_sumy nastala chyba 9\n"));
  EXPECT_EQ(3, guard[19]);
  for (int i = 20; i < KOM_DELKA_ZPRAVY + 4; ++i) EXPECT_EQ(-7, guard[i]);
  mode = 0;
  ASSERT_EQ(0, kom_Vysli_a_prijmi_zpravu(vys, pri));
  EXPECT_EQ(0, g_chyba);
  EXPECT_EQ(0x54, pri[0]);
}

TEST(Kom, SilentDeviceDeadlines) {
  Device dev([](const Bytes&, int) { return Bytes{}; });
  int vys[KOM_DELKA_ZPRAVY], pri[KOM_DELKA_ZPRAVY];
  fill(vys, 9, 6, {0});
  // Waiting happens in the kernel, not in a polling loop: a real wait.
  double t0 = now_s();
  double c0 = cpu_s();
  EXPECT_EQ(CHYBA_CEKANI_PRIJEM, kom_Vysli_a_prijmi_zpravu(vys, pri));
  EXPECT_EQ(CHYBA_CEKANI_PRIJEM, g_chyba);
  EXPECT_GE(now_s() - t0, 0.9);
  EXPECT_LT(cpu_s() - c0, 0.5);

  // The deadlines' lengths, on virtual time.
  harness::VirtualClock cas;
  cas.attach([&dev] { return dev.busy() ? 0LL : -1LL; });
  for (auto [povel, sekund] : {std::pair{6, 2.0}, std::pair{3, 9.0}}) {
    fill(vys, 9, povel, {});
    cas.next_second();
    t0 = cas.seconds();
    EXPECT_EQ(CHYBA_CEKANI_PRIJEM, kom_Vysli_a_prijmi_zpravu(vys, pri));
    const double dt = cas.seconds() - t0;
    EXPECT_GT(dt, sekund - 0.01) << povel;
    EXPECT_LT(dt, sekund + 0.5) << povel;
  }
  // Every request went out whole: the 7 is the reply's deadline.
  EXPECT_EQ(3u, dev.frames().size());
  // A timeout is not reported at this level.
  EXPECT_EQ(0, g_tisk_chyby_jiz_proveden);
}

TEST(Kom, PartialAndLateReplies) {
  Device dev([](const Bytes&, int key) {
    Bytes r = reply(key, 0xFD, 9, 0x83, 0, {10, 20, 30, 40});
    r.resize(9);  // header and two data bytes
    return r;
  });
  harness::VirtualClock cas;
  cas.attach([&dev] { return dev.busy() ? 0LL : -1LL; });
  int vys[KOM_DELKA_ZPRAVY], pri[KOM_DELKA_ZPRAVY];
  fill(vys, 9, 5, {1});
  for (int& v : pri) v = 99;
  EXPECT_EQ(CHYBA_CEKANI_PRIJEM, kom_Vysli_a_prijmi_zpravu(vys, pri));
  EXPECT_EQ(0xFD, pri[Z_CIL]);
  EXPECT_EQ(4, pri[Z_DELKA]);
  EXPECT_EQ(10, pri[Z_DATA]);
  EXPECT_EQ(20, pri[Z_DATA + 1]);
  EXPECT_EQ(99, pri[Z_DATA + 2]);

  // Whatever trickles in after the deadline is flushed before the next send.
  dev.send_later(Bytes{0x55, 1, 2, 3}, 10);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(4, Vyprazdni_prijimac());
}

TEST(Kom, UnpluggedLineTimesOutWithoutSpinning) {
  Device dev([](const Bytes&, int) { return Bytes{}; });
  int vys[KOM_DELKA_ZPRAVY], pri[KOM_DELKA_ZPRAVY];
  fill(vys, 9, 5, {1});
  std::thread([&dev] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    dev.unplug();
  }).detach();
  double t0 = now_s(), c0 = cpu_s();
  int r = kom_Vysli_a_prijmi_zpravu(vys, pri);
  double dt = now_s() - t0, cpu = cpu_s() - c0;
  EXPECT_EQ(CHYBA_CEKANI_PRIJEM, r);
  EXPECT_LE(dt, 2.6);
  EXPECT_LT(cpu, 0.1 * dt + 0.05);
  // Every later exchange: a send failure or a timeout, never a crash or a spin.
  t0 = now_s();
  c0 = cpu_s();
  testing::internal::CaptureStdout();
  r = kom_Vysli_a_prijmi_zpravu(vys, pri);
  testing::internal::GetCapturedStdout();
  dt = now_s() - t0;
  EXPECT_TRUE(r == CHYBA_VYSLI_1_BYTE || r == CHYBA_CEKANI_PRIJEM) << r;
  EXPECT_LT(cpu_s() - c0, 0.1 * dt + 0.05);
}

TEST(Kom, NoPortEveryExchangeTimesOut) {
  ASSERT_EQ(-1, g_fd);
  harness::VirtualClock cas;
  int vys[KOM_DELKA_ZPRAVY], pri[KOM_DELKA_ZPRAVY];
  fill(vys, 9, 6, {0});
  double t0 = cas.seconds();
  EXPECT_EQ(CHYBA_CEKANI_PRIJEM, kom_Vysli_a_prijmi_zpravu(vys, pri));
  double dt = cas.seconds() - t0;
  EXPECT_GE(dt, 0.9);
  EXPECT_LE(dt, 2.6);
  EXPECT_EQ(0, Vyprazdni_prijimac());
}

TEST(Kom, KeysAndTimer) {
  // Reseeded from the clock each time: one second, one key.
  for (int tries = 0; tries < 5; ++tries) {
    time_t s = time(nullptr);
    int a = Sifra(), b = Sifra();
    if (time(nullptr) != s) continue;
    EXPECT_EQ(a, b);
    EXPECT_GE(a, 0);
    EXPECT_LE(a, 255);
    break;
  }
  long long t = 0;
  EXPECT_EQ(1, kom_Casovac_dobehl(&t, 0));
  EXPECT_EQ(kom_Cas_s(), t);
  EXPECT_EQ(0, kom_Casovac_dobehl(&t, 5));
  t -= 5;
  EXPECT_EQ(1, kom_Casovac_dobehl(&t, 5));
  double t0 = now_s();
  kom_Zpozdeni(120);
  EXPECT_GE(now_s() - t0, 0.119);
}

TEST(Chyba, ReportOncePerCycle) {
  g_tisk_chyby_jiz_proveden = 0;
  g_chyba = 7;
  testing::internal::CaptureStdout();
  EXPECT_EQ(0, Tisk_chyby("Povel_napajeni"));
  g_chyba = 21;
  EXPECT_EQ(0, Tisk_chyby("Cteni_eeprom"));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(
      "V Povel_napajeni nastala chyba 7\n"
      "CHYBA_KONTROLNI_SUMY     2\n"
      "CHYBA_OTEVRENI_COM       3\n"
      "CHYBA_ZAVRENI_COM        4\n"
      "CHYBA_ODBLOKOVANI_COM    5\n"
      "CHYBA_VYSLI_1_BYTE       6\n"
      "CHYBA_CEKANI_PRIJEM      7\n"
      "CHYBA_SUMY_BLOKU         8\n"
      "CHYBA_MAX_DELKA_DAT      9\n"
      "CHYBA_CISLA_USB1            20\n"
      "CHYBA_CISLA_PC              21\n"
      "CHYBA_KODU_ODPOVEDI         22\n"
      "CHYBA_PROVEDENI_POVELU      23\n"
      "CHYBA_POCTU_OPAKOVANI_BLOKU 26\n"
      "CHYBA_POCTU_ZAZNAMU         27\n"
      "CHYBA_OTEVRENI_SOUBORU      24\n"
      "CHYBA_ZAVRENI_SOUBORU       25\n"
      "CHYBA_ODPOVED_HLEDEJ        30\n"
      "CHYBA_ODPOVED_DEJ_HMOT      31\n"
      "CHYBA_DELENI_NULOU          32\n"
      "\n",
      out);
  EXPECT_EQ(21, g_chyba);
  EXPECT_EQ(1, g_tisk_chyby_jiz_proveden);
  g_tisk_chyby_jiz_proveden = 0;
}
