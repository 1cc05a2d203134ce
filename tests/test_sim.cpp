// The simulated line, driven by a small raw client on its terminal, and the
// process harness with trivial programs.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <system_error>
#include <thread>

#include <gtest/gtest.h>

#include "harness.h"
#include "sim.h"
#include "texty.h"
#include "wire.h"
#include "vzorce.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// What a program puts on the line for one request: 0x00, then the keyed frame.
Bytes frame(int dest, int cmd, const Bytes& data, int key) {
  int plain[7] = {0x55, dest, 0xFD, cmd, 0, static_cast<int>(data.size()), key};
  int sum = 0;
  for (int v : plain) sum += v;
  for (auto b : data) sum += b;
  plain[4] = sum & 0xFF;
  Bytes out{0x00, 0x55};
  for (int i = 1; i < 6; ++i) out.push_back(static_cast<std::uint8_t>(plain[i] ^ key));
  out.push_back(static_cast<std::uint8_t>(key));
  for (auto b : data) out.push_back(static_cast<std::uint8_t>(b ^ key));
  return out;
}

struct Reply {
  Bytes raw;
  int start = -1, dest = -1, resp = -1, code = -1, sum = -1, len = -1, status = -1;
  Bytes data;
  bool sum_ok = false;
};

class Client {
 public:
  explicit Client(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return;
    termios t;
    ::tcgetattr(fd_, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd_, TCSANOW, &t);
  }
  ~Client() {
    if (fd_ >= 0) ::close(fd_);
  }
  int fd() const { return fd_; }
  void send(const Bytes& b) { ASSERT_EQ(::write(fd_, b.data(), b.size()), static_cast<ssize_t>(b.size())); }
  // Up to `n` bytes, waiting at most `seconds` for them.
  Bytes read_n(std::size_t n, double seconds) {
    Bytes got;
    const auto t0 = Clock::now();
    while (got.size() < n) {
      const double left = seconds - since(t0);
      if (left <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0) continue;
      std::uint8_t b[256];
      ssize_t r = ::read(fd_, b, std::min(sizeof b, n - got.size()));
      if (r <= 0) break;
      got.insert(got.end(), b, b + r);
    }
    return got;
  }
  Reply reply(int key, double seconds = 1.0) {
    Reply r;
    r.raw = read_n(7, seconds);
    if (r.raw.size() < 7) return r;
    int* h[] = {&r.start, &r.dest, &r.resp, &r.code, &r.sum, &r.len, &r.status};
    *h[0] = r.raw[0];
    for (int i = 1; i < 7; ++i) *h[i] = r.raw[i] ^ key;
    Bytes d = read_n(static_cast<std::size_t>(r.len), seconds);
    for (auto b : d) r.data.push_back(static_cast<std::uint8_t>(b ^ key));
    r.raw.insert(r.raw.end(), d.begin(), d.end());
    int s = r.start + r.dest + r.resp + r.code + r.len + r.status;
    for (auto b : r.data) s += b;
    r.sum_ok = (s & 0xFF) == r.sum && r.data.size() == static_cast<std::size_t>(r.len);
    return r;
  }
  // Sends a request, checks that exactly its bytes come back as the echo, and
  // returns the reply (fields -1 when none came).
  Reply exchange(int dest, int cmd, const Bytes& data, int key = 0x5A, double seconds = 1.0) {
    Bytes f = frame(dest, cmd, data, key);
    send(f);
    Bytes echo = read_n(f.size(), 1.0);
    EXPECT_EQ(echo, f) << "echo of cmd " << cmd << " to " << dest;
    return reply(key, seconds);
  }
  bool quiet(double seconds) { return read_n(1, seconds).empty(); }
  // Switches the supply on and waits until the scales behind it answer.
  void power_on(int adapter = 251) {
    exchange(adapter, 5, {1});
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
  }
  void set_rate(int rate) {
    termios t;
    ::tcgetattr(fd_, &t);
    ::cfsetispeed(&t, rate == 9600 ? B9600 : B4800);
    ::cfsetospeed(&t, rate == 9600 ? B9600 : B4800);
    ::tcsetattr(fd_, TCSANOW, &t);
  }

 private:
  int fd_ = -1;
};

// A scale's constants, to check what the counts mean.
struct Calib {
  long double posun, tc1, tc2, t1, t2, tc0, k1, k2, k4, k5;
};

Calib decode(const sim::Eeprom& e) {
  auto u = [&](int a, int w) {
    std::uint32_t v = 0;
    for (int i = 0; i < w; ++i) v |= static_cast<std::uint32_t>(e[a + i]) << (8 * i);
    return v;
  };
  auto s16 = [&](int a) { return static_cast<long double>(static_cast<std::int16_t>(u(a, 2))); };
  auto flt = [&](int a) {
    std::uint8_t b[4] = {e[a], e[a + 1], static_cast<std::uint8_t>((e[a + 2] & 0x7F) | ((e[a + 3] & 1) << 7)),
                         static_cast<std::uint8_t>((e[a + 2] & 0x80) | (e[a + 3] >> 1))};
    float f;
    std::memcpy(&f, b, 4);
    return static_cast<long double>(f);
  };
  return {s16(1), s16(12), s16(14), static_cast<long double>(u(16, 3)), static_cast<long double>(u(19, 3)),
          s16(22), s16(24), s16(26), flt(28), flt(32)};
}

// Weight [0.1 kg] and temperature [0.01 degC] the program's own formulas
// derive from counts (NaN where they refuse).
std::pair<long double, long double> evaluate(const sim::Eeprom& e, const std::array<std::uint32_t, 4>& c) {
  Calib k = decode(e);
  auto i32 = [](long double v) { return static_cast<std::int32_t>(v); };
  auto u = [](std::uint32_t v) { return static_cast<std::int32_t>(v); };
  long double tc = NAN, m = NAN, fk = NAN;
  Vypocti_teplotu(i32(k.tc1), i32(k.tc2), i32(k.t1), i32(k.t2), u(c[3]), &tc);
  Vypocti_pomer(u(c[0]), u(c[1]), u(c[2]), &m);
  const Konstanty_vahy kv{i32(k.k1), i32(k.k2), i32(k.posun), i32(k.tc0), static_cast<float>(k.k4),
                          static_cast<float>(k.k5)};
  Vypocti_hmotnost(m, tc, kv, &fk);
  return {fk, tc};
}

std::array<std::uint32_t, 4> counts_of(const Reply& r) {
  std::array<std::uint32_t, 4> c{};
  for (int i = 0; i < 4 && r.data.size() >= 12; ++i)
    c[i] = r.data[3 * i] | (r.data[3 * i + 1] << 8) | (r.data[3 * i + 2] << 16);
  return c;
}

TEST(SimLine, EchoEepromReadAndWrite) {
  harness::TempDir dir;
  sim::Line line(dir.port(0));
  line.add_adapter(251);
  line.add_scale(3);
  Client c(dir.port(0));
  ASSERT_GE(c.fd(), 0);

  Reply r = c.exchange(251, 5, {1}, 0x37);
  std::this_thread::sleep_for(std::chrono::milliseconds(120));
  EXPECT_EQ(r.start, 0x55);
  EXPECT_EQ(r.dest, 0xFD);
  EXPECT_EQ(r.resp, 251);
  EXPECT_EQ(r.code, 0x85);
  EXPECT_EQ(r.len, 0);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.sum_ok);
  EXPECT_TRUE(line.supply_on());

  const sim::Eeprom img = line.eeprom(3);
  r = c.exchange(3, 2, {24, 12}, 0xC3);
  ASSERT_EQ(r.len, 13);
  EXPECT_TRUE(r.sum_ok);
  EXPECT_EQ(r.code, 0x82);
  EXPECT_EQ(r.resp, 3);
  EXPECT_EQ(r.data[0], 24);
  EXPECT_EQ(Bytes(r.data.begin() + 1, r.data.end()), Bytes(img.begin() + 24, img.begin() + 36));

  // Outside the image, or more than a reply can carry: refused.
  EXPECT_NE(c.exchange(3, 2, {40, 10}).status, 0);
  EXPECT_NE(c.exchange(3, 2, {0, 13}).status, 0);
  EXPECT_NE(c.exchange(3, 1, {44, 1, 2, 3}).status, 0);
  EXPECT_EQ(line.eeprom(3), img);

  // Writing block 1 with another number renumbers the scale.
  r = c.exchange(3, 1, {0, 9, 0xFF, 0xFF, 0, 0, 0xE8, 0x03}, 0x00);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.len, 0);
  EXPECT_EQ(line.eeprom_writes(3), 1);
  EXPECT_EQ(line.eeprom(3)[0], 9);
  EXPECT_EQ(line.eeprom(3)[1], 0xFF);
  c.exchange(3, 2, {0, 7});
  EXPECT_TRUE(c.quiet(0.3)) << "old number still answers";
  r = c.exchange(9, 2, {0, 7});
  ASSERT_EQ(r.len, 8);
  EXPECT_EQ(r.data[1], 9);
  EXPECT_EQ(r.data[2], 0xFF);

  auto log = line.requests();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[0].dest, 251);
  EXPECT_EQ(log[0].src, 0xFD);
  EXPECT_EQ(log[0].cmd, 5);
  EXPECT_EQ(log[0].key, 0x37);
  EXPECT_EQ(log[0].data, Bytes{1});
  EXPECT_TRUE(log[0].checksum_ok);
  EXPECT_EQ(log[1].data, (Bytes{24, 12}));
  EXPECT_LE(log[0].t, log[1].t);
  Bytes rx = line.received();
  Bytes first = frame(251, 5, {1}, 0x37);
  ASSERT_GE(rx.size(), first.size());
  EXPECT_EQ(Bytes(rx.begin(), rx.begin() + static_cast<long>(first.size())), first);
  line.clear_log();
  EXPECT_TRUE(line.requests().empty());
  EXPECT_TRUE(line.received().empty());
}

TEST(SimLine, SupplySearchAndReadings) {
  harness::TempDir dir;
  sim::Line line(dir.port(1));
  line.add_adapter(251);
  line.add_scale(3);
  line.add_scale(17);
  line.add_recorder(40);
  Client c(dir.port(1));

  // Supply off: scales are silent, recorders and adapters answer the search.
  c.exchange(3, 3, {});
  EXPECT_TRUE(c.quiet(0.3));
  EXPECT_EQ(c.exchange(255, 6, {0}).resp, 40);
  EXPECT_EQ(c.exchange(255, 6, {41}).resp, 251);
  c.exchange(255, 6, {252});
  EXPECT_TRUE(c.quiet(0.3));
  // The adapter answers command 5 only at its own address.
  c.exchange(250, 5, {2});
  EXPECT_TRUE(c.quiet(0.3));
  Reply r = c.exchange(251, 5, {2});
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(line.supply_on());

  c.power_on();
  r = c.exchange(255, 6, {0});
  EXPECT_EQ(r.resp, 3);
  EXPECT_EQ(r.code, 0x86);
  EXPECT_EQ(r.dest, 0xFD);
  EXPECT_EQ(c.exchange(255, 6, {3}).resp, 3);
  EXPECT_EQ(c.exchange(255, 6, {4}).resp, 17);
  EXPECT_EQ(c.exchange(255, 6, {18}).resp, 40);
  line.set_alias(17, 30);
  EXPECT_EQ(c.exchange(255, 6, {18}).resp, 30);
  EXPECT_EQ(c.exchange(30, 2, {0, 7}).resp, 30);

  // Readings follow the true load through the factory calibration; the
  // counts come from the sensor, whatever constants the image holds.
  line.set_load(3, 25.5, 31.25);
  r = c.exchange(3, 3, {});
  ASSERT_EQ(r.len, 12);
  EXPECT_EQ(r.code, 0x83);
  auto v = evaluate(line.eeprom(3), counts_of(r));
  EXPECT_NEAR(static_cast<double>(v.first), 255.0, 0.01);
  EXPECT_NEAR(static_cast<double>(v.second), 3125.0, 0.05);
  sim::Eeprom img = line.eeprom(3);
  img[1] = 100;  // posun = +100
  line.set_eeprom(3, img);
  Reply again = c.exchange(3, 3, {});
  EXPECT_EQ(counts_of(again), counts_of(r));
  EXPECT_NEAR(static_cast<double>(evaluate(line.eeprom(3), counts_of(again)).first), 355.0, 0.01);

  line.set_raw(3, 0x123456, 0xABCDEF, 0x000102, 0xFFFFFF);
  r = c.exchange(3, 3, {});
  EXPECT_EQ(counts_of(r), (std::array<std::uint32_t, 4>{0x123456, 0xABCDEF, 0x000102, 0xFFFFFF}));

  // Drift stays around the true values.
  line.set_load(17, 40, 20);
  line.set_drift(true);
  r = c.exchange(17, 3, {});
  v = evaluate(line.eeprom(17), counts_of(r));
  EXPECT_NEAR(static_cast<double>(v.first), 400.0, 30.0);
  EXPECT_NEAR(static_cast<double>(v.second), 2000.0, 500.0);

  c.exchange(251, 5, {0});
  EXPECT_FALSE(line.supply_on());
  EXPECT_EQ(c.exchange(255, 6, {0}).resp, 40);

  // A scale wakes 100 ms after its supply comes on; until then it is silent,
  // to the search as well.
  c.exchange(251, 5, {1});
  c.send(frame(3, 3, {}, 0x11));
  EXPECT_EQ(c.read_n(8, 1).size(), 8u);
  EXPECT_TRUE(c.quiet(0.03));
  c.send(frame(255, 6, {0}, 0x12));
  EXPECT_EQ(c.read_n(9, 1).size(), 9u);
  EXPECT_EQ(c.reply(0x12, 0.03).resp, 40);
  std::this_thread::sleep_for(std::chrono::milliseconds(120));
  EXPECT_EQ(c.exchange(255, 6, {0}).resp, 3);

  // Two devices answering at once: the line carries the OR of their
  // replies, which no longer adds up.
  line.set_alias(17, 3);
  r = c.exchange(3, 3, {});
  EXPECT_EQ(r.len, 12);
  EXPECT_FALSE(r.sum_ok);
  r = c.exchange(3, 2, {12, 12});
  EXPECT_FALSE(r.sum_ok) << "two sensors' temperature calibrations differ";
  line.add_recorder(3);  // same bytes as the scales' search answer: no harm
  EXPECT_TRUE(c.exchange(255, 6, {0}).sum_ok);

  EXPECT_THROW(line.set_load(99, 1, 1), std::invalid_argument);
  EXPECT_THROW(line.add_scale(3), std::invalid_argument);
  EXPECT_THROW(line.add_adapter(256), std::invalid_argument);
}

// A part of the fault tests on a line of its own, powered on, with the
// adapter and scales 3 and 17.
void on_own_line(const harness::TempDir& dir, int index, const std::function<void(sim::Line&, Client&)>& part) {
  sim::Line line(dir.port(index));
  line.add_adapter(251);
  line.add_scale(3);
  line.add_scale(17);
  Client c(dir.port(index));
  c.power_on();
  part(line, c);
}

TEST(SimLine, Faults) {
  harness::TempDir dir;
  const Bytes block3{24, 12};
  // The late replies take seconds each: they go side by side with the rest,
  // each on a line of its own.
  std::thread late_off(on_own_line, std::cref(dir), 3, [](sim::Line& line, Client& c) {
    // The first data byte selects: only the power-off is late, by 300 ms past
    // its 2-second deadline.
    sim::FaultRule late;
    late.command = 5;
    late.data0 = 0;
    late.fault = sim::Fault::Late;
    late.param = 300;
    line.add_fault(late);
    EXPECT_EQ(c.exchange(251, 5, {2}).status, 0);
    auto t0 = Clock::now();
    c.send(frame(251, 5, {0}, 0x66));
    c.read_n(9, 1);
    EXPECT_TRUE(c.quiet(1.9));
    Reply r = c.reply(0x66, 3);
    const double took = since(t0);
    EXPECT_TRUE(r.sum_ok);
    EXPECT_GE(took, 2.2);
    EXPECT_LT(took, 4.5);
    EXPECT_FALSE(line.supply_on()) << "a late reply still carries the command out";
  });
  std::thread late_reply(on_own_line, std::cref(dir), 4, [&block3](sim::Line& line, Client& c) {
    // A power-off while a scale's late reply waits silences the scale.
    sim::FaultRule late;
    late.device = 255;
    late.command = 6;
    late.data0 = -1;
    late.fault = sim::Fault::Late;
    late.param = 0;
    line.add_fault(late);
    c.exchange(255, 6, {0});  // scale 3 answers, 2 s late
    EXPECT_EQ(c.exchange(251, 5, {0}).status, 0);
    EXPECT_TRUE(c.quiet(2.3));

    line.clear_faults();
    c.power_on();
    EXPECT_EQ(c.exchange(3, 2, block3).len, 13);
  });
  // Joined on every way out, a failed assertion below included.
  struct Joined {
    std::thread &a, &b;
    ~Joined() {
      a.join();
      b.join();
    }
  } joined{late_off, late_reply};

  sim::Line line(dir.port(2));
  line.add_adapter(251);
  line.add_scale(3);
  line.add_scale(17);
  Client c(dir.port(2));
  c.power_on();
  auto rule = [&](sim::Fault f, int count = 1, int param = -1) {
    sim::FaultRule r;
    r.device = 3;
    r.command = 2;
    r.fault = f;
    r.count = count;
    r.param = param;
    line.add_fault(r);
  };

  rule(sim::Fault::Silence, 2);
  c.exchange(3, 2, block3);
  EXPECT_TRUE(c.quiet(0.3));
  EXPECT_EQ(c.exchange(17, 2, block3).len, 13) << "rule for device 3 hit device 17";
  c.exchange(3, 2, block3);
  EXPECT_TRUE(c.quiet(0.3));
  EXPECT_EQ(c.exchange(3, 2, block3).len, 13) << "count not honoured";

  rule(sim::Fault::Partial);
  c.send(frame(3, 2, block3, 0x11));
  c.read_n(10, 1);
  EXPECT_EQ(c.read_n(100, 0.5).size(), 5u);
  rule(sim::Fault::Partial, 1, 9);
  c.send(frame(3, 2, block3, 0x11));
  c.read_n(10, 1);
  EXPECT_EQ(c.read_n(100, 0.5).size(), 9u);

  rule(sim::Fault::BadChecksum);
  Reply r = c.exchange(3, 2, block3);
  EXPECT_EQ(r.len, 13);
  EXPECT_FALSE(r.sum_ok);
  EXPECT_EQ(r.sum, (r.start + r.dest + r.resp + r.code + r.len + r.status + [&] {
              int s = 0;
              for (auto b : r.data) s += b;
              return s;
            }() + 1) & 0xFF);

  rule(sim::Fault::LongLength);
  r = c.exchange(3, 2, block3);
  EXPECT_EQ(r.len, 14);
  EXPECT_TRUE(r.sum_ok);
  EXPECT_TRUE(c.quiet(0.2));

  rule(sim::Fault::WrongDest);
  r = c.exchange(3, 2, block3);
  EXPECT_EQ(r.dest, 0);
  EXPECT_TRUE(r.sum_ok);
  rule(sim::Fault::WrongResponder);
  EXPECT_EQ(c.exchange(3, 2, block3).resp, 4);
  rule(sim::Fault::WrongCode, 1, 0x86);
  EXPECT_EQ(c.exchange(3, 2, block3).code, 0x86);
  rule(sim::Fault::BadStatus);
  r = c.exchange(3, 2, block3);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.len, 13);
  EXPECT_TRUE(r.sum_ok);

  rule(sim::Fault::CorruptEcho);
  Bytes f = frame(3, 2, block3, 0x44);
  c.send(f);
  Bytes echo = c.read_n(f.size(), 1);
  ASSERT_EQ(echo.size(), f.size());
  EXPECT_EQ(echo[0], 0x00) << "the lead byte is not part of the frame";
  for (std::size_t i = 1; i < f.size(); ++i) EXPECT_EQ(echo[i], static_cast<std::uint8_t>(~f[i]));
  EXPECT_TRUE(c.reply(0x44).sum_ok);

  rule(sim::Fault::GarbageBefore);
  c.send(frame(3, 2, block3, 0x21));
  c.read_n(10, 1);
  Bytes junk = c.read_n(3, 1);
  EXPECT_EQ(junk.size(), 3u);
  r = c.reply(0x21);
  EXPECT_EQ(r.start, 0x55);
  EXPECT_TRUE(r.sum_ok);
}

TEST(SimLine, FramingResyncAndUnplug) {
  harness::TempDir dir;
  sim::Line line(dir.port(3));
  line.add_adapter(251);
  Client c(dir.port(3));

  // Garbage before a frame is echoed and skipped.
  Bytes junk{0x12, 0x00, 0xFE};
  c.send(junk);
  EXPECT_EQ(c.read_n(3, 1), junk);
  EXPECT_EQ(c.exchange(251, 5, {2}).status, 0);

  // A decoded length above 13 is no frame; a bad checksum gets no answer.
  Bytes big = frame(251, 5, {2}, 0x10);
  big[6] = static_cast<std::uint8_t>(14 ^ 0x10);
  c.send(big);
  EXPECT_EQ(c.read_n(big.size(), 1), big);
  EXPECT_TRUE(c.quiet(0.2));
  Bytes bad = frame(251, 5, {2}, 0x10);
  bad[5] ^= 1;
  line.clear_log();
  c.send(bad);
  EXPECT_EQ(c.read_n(bad.size(), 1), bad);
  EXPECT_TRUE(c.quiet(0.3));
  auto log = line.requests();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_FALSE(log[0].checksum_ok);
  EXPECT_EQ(c.exchange(251, 5, {2}).status, 0);

  // A frame cut short is given up, and the next one is answered.
  c.send({0x00, 0x55, 0x01, 0x02});
  c.read_n(1, 0.5);
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  c.read_n(3, 0.5);
  EXPECT_EQ(c.exchange(251, 5, {2}).status, 0);

  // Unplugged: the program sees a hang-up and the link is gone.
  line.unplug();
  pollfd p{c.fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 1000), 1);
  EXPECT_TRUE(p.revents & POLLHUP);
  std::uint8_t b;
  EXPECT_LE(::read(c.fd(), &b, 1), 0);
  struct stat st;
  EXPECT_NE(::lstat(dir.port(3).c_str(), &st), 0);
  EXPECT_FALSE(line.supply_on());  // the API still answers

  // A link is replaced; anything else at the path is left alone.
  harness::write_file(dir.file("plain0"), "keep");
  EXPECT_THROW(sim::Line(dir.file("plain0")), std::system_error);
  EXPECT_EQ(harness::read_file(dir.file("plain0")), "keep");
  EXPECT_EQ(::symlink("/nowhere", dir.port(4).c_str()), 0);
  {
    sim::Line again(dir.port(4));
    Client c4(dir.port(4));
    EXPECT_GE(c4.fd(), 0);
  }
  EXPECT_NE(::lstat(dir.port(4).c_str(), &st), 0);
}

// The line and its devices as models, with no terminal: bytes in at a
// time, bytes out with theirs.
TEST(SimWire, DevicesWithoutATerminal) {
  sim::Wire w;
  w.devices.adapters = {251};
  EXPECT_FALSE(w.devices.add_scale(3, nullptr));
  auto send = [&w](const Bytes& f, double t) {
    w.out.clear();
    w.receive(f.data(), f.size(), t, -1);
    w.tick(t);
    return w.out.size() - f.size();  // the reply's bytes after the echo
  };
  EXPECT_EQ(send(frame(251, 5, {1}, 0x10), 0), 7u);
  EXPECT_EQ(send(frame(3, 2, {0, 7}, 0x11), 0.05), 0u) << "answered before it woke";
  EXPECT_EQ(send(frame(3, 1, {1, 100, 0}, 0x12), 0.2), 7u);
  w.devices.remove_scale(3);
  EXPECT_EQ(send(frame(3, 2, {0, 7}, 0x13), 0.3), 0u);
  EXPECT_THROW(w.devices.remove_scale(3), std::invalid_argument);
  EXPECT_TRUE(w.devices.add_scale(3, nullptr)) << "did not come back";
  EXPECT_EQ(w.devices.get(3).image[1], 100);
  EXPECT_THROW(w.devices.add_scale(3, nullptr), std::invalid_argument);
  w.cut();
  EXPECT_FALSE(w.devices.supply);
  EXPECT_EQ(send(frame(3, 2, {0, 7}, 0x14), 0.5), 0u) << "unpowered after the adapter was pulled out";
  EXPECT_EQ(w.log.size(), 5u);
}

TEST(SimCounts, SensorPhysics) {
  // Every number its own sensor, the same one every time.
  EXPECT_EQ(sim::default_eeprom(7), sim::default_eeprom(7));
  EXPECT_NE(sim::sensor_of(7).gain, sim::sensor_of(8).gain);
  for (int n : {0, 3, 7, 17, 31, 249}) {
    SCOPED_TRACE(n);
    const sim::Eeprom d = sim::default_eeprom(n);
    const sim::Sensor sensor = sim::sensor_of(n);
    Calib k = decode(d);
    EXPECT_EQ(d[0], n);
    EXPECT_EQ(d[5] | (d[6] << 8), 1000);
    // Inside the ranges the constant editor accepts, so they can be typed back.
    EXPECT_TRUE(k.t1 >= 0 && k.t1 <= 500000 && k.t2 >= 0 && k.t2 <= 500000 && k.t1 != k.t2);
    EXPECT_TRUE(k.tc1 >= -10000 && k.tc2 <= 10000 && k.tc0 >= -10000 && k.tc0 <= 10000);
    EXPECT_TRUE(k.k1 >= 1 && k.k1 <= 32767 && k.k2 >= -32768 && k.k2 <= 0);
    EXPECT_TRUE(k.k4 != 0 && std::fabs(static_cast<double>(k.k4)) <= 1 && std::fabs(static_cast<double>(k.k5)) <= 1);

    // The factory calibration reads true over the cell's range and the year's
    // temperatures; without its temperature corrections the reading drifts.
    sim::Eeprom plain = d;
    std::fill(plain.begin() + 28, plain.begin() + 36, 0);
    double drift = 0;
    for (double kg = 0; kg <= 150; kg += 12.5) {
      for (double deg : {-20.0, 0.0, 20.0, 21.37, 45.0}) {
        auto c = sim::sensor_counts(sensor, kg, deg);
        auto v = evaluate(d, c);
        EXPECT_NEAR(static_cast<double>(v.first), kg * 10, 0.05) << kg << " kg " << deg << " degC";
        EXPECT_NEAR(static_cast<double>(v.second), deg * 100, 0.05) << kg << " kg " << deg << " degC";
        if (deg == 45.0) drift = std::max(drift, std::fabs(static_cast<double>(evaluate(plain, c).first) - kg * 10));
      }
    }
    EXPECT_GT(drift, 2.0);
    // Another scale's calibration reads this one wrong.
    auto c50 = sim::sensor_counts(sensor, 50, 20);
    EXPECT_GT(std::fabs(static_cast<double>(evaluate(sim::default_eeprom(n + 1), c50).first) - 500), 5.0);
    // Counts saturate in 24 bits, as the converter does.
    auto over = sim::sensor_counts(sensor, 5000, 20);
    auto under = sim::sensor_counts(sensor, -1000, 20);
    EXPECT_EQ(over[1], 0xFFFFFFu);
    EXPECT_EQ(under[1], 0u);
    for (auto v : over) EXPECT_LE(v, 0xFFFFFFu);
    EXPECT_EQ(sim::sensor_counts(sensor, 80, 20)[0], over[0]) << "load moves only B";
  }
}

TEST(SimCounts, HivesDriftByTheDay) {
  for (int n : {3, 7, 17}) {
    EXPECT_EQ(sim::hive_drift(n, 0), (std::pair<double, double>{0, 0}));
    double kg_lo = 0, kg_hi = 0, deg_lo = 0, deg_hi = 0, step = 0;
    for (double t = 0; t <= 2 * 86400; t += 600) {
      auto d = sim::hive_drift(n, t);
      kg_lo = std::min(kg_lo, d.first), kg_hi = std::max(kg_hi, d.first);
      deg_lo = std::min(deg_lo, d.second), deg_hi = std::max(deg_hi, d.second);
      step = std::max(step, std::fabs(d.first - sim::hive_drift(n, t + 600).first));
    }
    EXPECT_NEAR(deg_hi - deg_lo, 10, 0.1) << n;
    EXPECT_LE(kg_hi - kg_lo, 2.0) << n;
    EXPECT_LT(step, 0.1) << n << ": kilograms in ten minutes";
  }
}

TEST(SimCounts, UartAtTheWrongRate) {
  const Bytes f = frame(251, 5, {2}, 0x5A);
  EXPECT_EQ(sim::uart_resample(f, 4800, 4800), f);
  EXPECT_EQ(sim::uart_resample(f, 4800, 4850), f) << "within a receiver's tolerance";
  for (int rate : {110, 2400, 9600, 115200, 128000, 256000}) {
    const Bytes heard = sim::uart_resample(f, rate, 4800);
    EXPECT_NE(heard, f) << rate;
    EXPECT_LE(heard.size(), 10 * f.size()) << rate;
  }
  // A slow sender's long low start bit is a byte without stop bit: 0x00.
  EXPECT_EQ(sim::uart_resample({0x00}, 1200, 4800), Bytes{0x00});
  EXPECT_TRUE(sim::uart_resample({}, 9600, 4800).empty());
  EXPECT_TRUE(sim::uart_resample({0xFF}, 256000, 4800).size() <= 1);
}

TEST(SimLine, BaudRateTimingAndOnePerPath) {
  harness::TempDir dir;
  sim::Line line(dir.port(0));
  line.add_adapter(251);
  Client c(dir.port(0));

  // A client at 9600 on a 4800 Bd line: noise back, no reply.
  c.set_rate(9600);
  const Bytes f = frame(251, 5, {2}, 0x5A);
  c.send(f);
  EXPECT_NE(c.read_n(f.size(), 0.3), f);
  EXPECT_TRUE(c.quiet(0.3));
  EXPECT_TRUE(line.requests().empty());
  line.set_baud(9600);
  EXPECT_EQ(c.exchange(251, 5, {2}).status, 0);
  // A client that keeps the terminal's rate follows the line's.
  line.set_baud(4800);
  Client d(dir.port(0));
  EXPECT_EQ(d.exchange(251, 5, {2}).status, 0);

  // With line timing every byte costs 10 bit times, the device 2 ms, and
  // the adapter its latency: 9 bytes out (and echoed), 7 back at 4800 Bd.
  line.set_line_timing(true);
  line.set_latency_ms(16);
  const double floor = (9 + 7) * 10 / 4800.0 + 0.002 + 0.016;
  for (int i = 0; i < 3; ++i) {
    auto t0 = Clock::now();
    Bytes fr = frame(251, 5, {2}, 0x21);
    d.send(fr);
    Bytes echo = d.read_n(fr.size(), 1);
    const double echo_at = since(t0);
    Reply r = d.reply(0x21);
    const double took = since(t0);
    EXPECT_EQ(echo, fr);
    EXPECT_TRUE(r.sum_ok);
    EXPECT_GE(echo_at, 9 * 10 / 4800.0 + 0.016 - 0.001);
    EXPECT_GE(took, floor - 0.001);
    EXPECT_LT(took, floor + 0.5);
  }
  auto log = line.requests();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back().replied, 7);

  // One simulator per path; a dead one's link is taken over.
  EXPECT_THROW(sim::Line(dir.port(0)), std::system_error);
  {
    sim::Line other(dir.port(1));
  }
  sim::Line again(dir.port(1));
}

TEST(Harness, ProcessWithTrivialPrograms) {
  harness::TempDir dir;
  harness::Options o;
  o.program = "/bin/sh";
  o.args = {"-c", "read x; echo \"got $x\"; echo oops >&2; exit 3"};
  harness::Process p(o);
  p.write("hello\n");
  EXPECT_TRUE(p.wait_for("got hello\n", 10));
  EXPECT_TRUE(p.wait_exit(10));
  EXPECT_EQ(p.exit_code(), 3);
  EXPECT_EQ(p.term_signal(), 0);
  EXPECT_EQ(p.err(), "oops\n");
  EXPECT_FALSE(p.wait_for("never", 0.1));

  o.args = {"-c", "echo one; echo two; exec sleep 30"};
  harness::Process s(o);
  EXPECT_TRUE(s.wait_for("one", 10));
  EXPECT_TRUE(s.wait_for_after("two", 3, 10));
  EXPECT_FALSE(s.wait_for_after("one", 3, 0.2));
  EXPECT_FALSE(s.wait_exit(0.1));
  EXPECT_EQ(s.exit_code(), -1);
  s.signal(SIGTERM);
  EXPECT_TRUE(s.wait_exit(10));
  EXPECT_EQ(s.exit_code(), -1);
  EXPECT_EQ(s.term_signal(), SIGTERM);
  EXPECT_GE(s.cpu_seconds(), 0);

  o.args = {"-c", "pwd; echo \"$KVODA_PORT_PATTERN $EXTRA\"; cat"};
  o.cwd = dir.path;
  o.port_pattern = dir.pattern();
  o.env = {"EXTRA=x1"};
  harness::Result r = harness::run(o, "line1\nline2", 10);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, dir.path + "\n" + dir.pattern() + " x1\nline1\nline2");

  harness::Options t;
  t.program = "/bin/sh";
  t.stdin_tty = true;
  t.args = {"-c", "test -t 0 && test -t 1 && echo on-tty; read x; echo \"[$x]\""};
  harness::Process q(t);
  EXPECT_GE(q.tty_master(), 0);
  EXPECT_TRUE(q.wait_for("on-tty\n", 10));
  q.write("typed\n");
  EXPECT_TRUE(q.wait_for("[typed]\n", 10));
  EXPECT_TRUE(q.wait_exit(10));
  EXPECT_EQ(q.exit_code(), 0);

  harness::Options missing;
  missing.program = dir.file("no-such-program");
  harness::Result m = harness::run(missing, "", 10);
  EXPECT_EQ(m.exit_code, 127);
  EXPECT_NE(m.err.find("no-such-program"), std::string::npos);

  harness::write_file(dir.file("a.txt"), std::string("x\0y\n", 4));
  EXPECT_EQ(harness::read_file(dir.file("a.txt")), std::string("x\0y\n", 4));
  EXPECT_EQ(harness::read_file(dir.file("none")), "");
}

TEST(KvodaSim, CommandLine) {
  harness::TempDir dir;
  harness::Options o;
  o.program = harness::kvoda_sim_path();
  for (auto args : std::vector<std::vector<std::string>>{
           {"--adapter", "251"},
           {"--port", dir.port(0), "--scale", "x"},
           {"--port", dir.port(0), "--scale", "3:abc"},
           {"--port", dir.port(0), "--fault", "3:3:nonsense"},
           {"--port", dir.port(0), "--fault", "3:3"},
           {"--port", dir.port(0), "--port", dir.path + "/other1"},
           {"--port", dir.path + "/ttyT"},
           {"--port", dir.port(0), "--port", dir.port(0)},
           {"--bogus"},
           {"--port"},
           {"--port", dir.port(0), "--"},
           {"--baud", "fast"},
           {"--baud", "0"},
           {"--latency", "-1"},
           {"--s"},  // --scale, --set or --status
           {"--port", dir.port(0), "stray"},
           {"--set", "3:load=1"},
           {"--port", dir.port(0), "--set", "3"},
           {"--port", dir.port(0), "--set", "3:weight=1"},
           {"--port", dir.port(0), "--adapter", "251", "--unplug"},
           {"--port", dir.port(0), "--unplug", "--", "/bin/true"}}) {
    o.args = args;
    harness::Result r = harness::run(o, "", 10);
    EXPECT_EQ(r.exit_code, 2) << args.back();
    EXPECT_NE(r.err.find("kvoda_sim: "), std::string::npos) << args.back();
  }
  struct stat st;
  EXPECT_NE(::lstat(dir.port(0).c_str(), &st), 0);
  o.args = {"--port", dir.path + "/missing/ttyT0", "--adapter", "251"};
  harness::Result nodir = harness::run(o, "", 10);
  EXPECT_EQ(nodir.exit_code, 1);
  EXPECT_NE(nodir.err.find("missing/ttyT0"), std::string::npos);

  o.args = {"--help"};
  const std::string help = harness::run(o, "", 10).out;
  for (const char* opt : {"--scale N[:KG[:DEGC]]", "--baud RATE", "--latency MS", "--line-timing", "--no-line-timing"})
    EXPECT_NE(help.find(opt), std::string::npos) << opt;
  o.args = {"--vers"};
  harness::Result version = harness::run(o, "", 10);
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.out, "kvoda_sim " KVODA_VERSION "\n");

  // With a command: the pattern names the links, the status comes back;
  // the command's own options reach it untouched, and the user is told how
  // to put a load on scale 3 from a second terminal.
  o.args = {"--port=" + dir.port(0), "--adapter", "251", "--port", dir.port(5), "--sc", "3", "--", "/bin/sh", "-c",
            "echo \"$KVODA_PORT_PATTERN\" \"$1\"; test -L " + dir.port(5) + " || exit 9; exit 4", "sh", "--help"};
  harness::Result r = harness::run(o, "", 20);
  EXPECT_EQ(r.exit_code, 4) << r.err;
  EXPECT_EQ(r.out, dir.pattern() + " --help\n");
  EXPECT_EQ(r.err, harness::kvoda_sim_path() + " --port " + dir.port(5) +
                       " --set 3:load=50   # in a second terminal: 50 kg on scale 3\n");
  EXPECT_NE(::lstat(dir.port(5).c_str(), &st), 0);

  // Serving: answers on the link until terminated.
  o.args = {"--port", dir.port(2), "--adapter", "40", "--scale", "3:12.5:20", "--fault", "*:5/0:silence"};
  harness::Process s(o);
  ASSERT_TRUE(s.wait_for("KVODA_PORT_PATTERN=" + dir.pattern() + "\n", 10)) << s.err();
  Client c(dir.port(2));
  EXPECT_EQ(c.exchange(40, 5, {2}).status, 0);
  c.power_on(40);
  Reply rd = c.exchange(3, 3, {});
  EXPECT_NEAR(static_cast<double>(evaluate(sim::default_eeprom(3), counts_of(rd)).first), 125, 0.01);
  c.exchange(40, 5, {0});
  EXPECT_TRUE(c.quiet(0.3)) << "fault from the command line not applied";
  // A second simulator on the same path is refused; the first goes on.
  o.args = {"--port", dir.port(2), "--adapter", "41"};
  harness::Result twice = harness::run(o, "", 10);
  EXPECT_EQ(twice.exit_code, 1);
  EXPECT_EQ(twice.err.find('\n'), twice.err.size() - 1) << twice.err;
  EXPECT_NE(twice.err.find(dir.port(2)), std::string::npos) << twice.err;
  EXPECT_EQ(c.exchange(40, 5, {2}).status, 0);
  s.signal(SIGTERM);
  EXPECT_TRUE(s.wait_exit(10));
  EXPECT_EQ(s.exit_code(), 0);
  EXPECT_NE(::lstat(dir.port(2).c_str(), &st), 0);

  // A killed simulator's link is stale: the next one takes the path over.
  o.args = {"--port", dir.port(3), "--adapter", "41"};
  {
    harness::Process killed(o);
    ASSERT_TRUE(killed.wait_for("KVODA_PORT_PATTERN=", 10)) << killed.err();
    killed.signal(SIGKILL);
    EXPECT_TRUE(killed.wait_exit(10));
  }
  EXPECT_EQ(::lstat(dir.port(3).c_str(), &st), 0);
  EXPECT_EQ(::lstat((dir.port(3) + ".ctl").c_str(), &st), 0);
  harness::Process next(o);
  ASSERT_TRUE(next.wait_for("KVODA_PORT_PATTERN=", 10)) << next.err();
  Client c3(dir.port(3));
  EXPECT_EQ(c3.exchange(41, 5, {2}).status, 0);
  // Its control socket too.
  o.args = {"--port", dir.port(3), "--stat"};
  harness::Result status = harness::run(o, "", 10);
  EXPECT_EQ(status.exit_code, 0) << status.err;
  EXPECT_NE(status.out.find("\nadapter 41\n"), std::string::npos) << status.out;
  next.signal(SIGTERM);
  EXPECT_TRUE(next.wait_exit(10));
}

// A second invocation changes a running simulator: loads, scales, faults,
// and the adapter pulled out and plugged back in.
TEST(KvodaSim, ControlCommandWhileServing) {
  harness::TempDir dir;
  const std::string port = dir.port(6);
  auto ctl_at = [](const std::string& at, const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    harness::Options c;
    c.program = harness::kvoda_sim_path();
    c.args = {"--port", at};
    c.args.insert(c.args.end(), args.begin(), args.end());
    c.env = env;
    return harness::run(c, "", 20);
  };
  auto ctl = [&](const std::vector<std::string>& args) { return ctl_at(port, args); };
  auto expect = [](const harness::Result& r, int code, const std::string& out, const std::string& err = "") {
    EXPECT_EQ(r.exit_code, code) << r.err;
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, err);
  };
  expect(ctl({"--status"}), 1, "", "kvoda_sim: no simulator serves " + port + "\n");

  // A link too long for a socket address has its socket in the runtime
  // directory; the client finds it there.
  std::string deep = dir.path;
  while (deep.size() < 110) {
    deep += "/long-directory-name";
    ASSERT_EQ(::mkdir(deep.c_str(), 0700), 0);
  }
  const std::vector<std::string> runtime = {"XDG_RUNTIME_DIR=" + dir.path};
  harness::Options o;
  o.program = harness::kvoda_sim_path();
  o.env = runtime;
  o.args = {"--port", deep + "/ttyT0", "--adapter", "251"};
  harness::Process far(o);
  o.env.clear();
  o.args = {"--port", port, "--adapter", "251", "--scale", "3:12.5:20"};
  harness::Process s(o);
  ASSERT_TRUE(s.wait_for("KVODA_PORT_PATTERN=", 10)) << s.err();
  ASSERT_TRUE(far.wait_for("KVODA_PORT_PATTERN=", 10)) << far.err();
  harness::Result r = ctl_at(deep + "/ttyT0", {"--status"}, runtime);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out.find("line " + deep + "/ttyT0: plugged in at /dev/pts/"), 0u) << r.out;
  auto runtime_sockets = [&] {
    int n = 0;
    if (DIR* d = ::opendir(dir.path.c_str())) {
      while (dirent* e = ::readdir(d)) n += std::strncmp(e->d_name, "kvoda_sim-", 10) == 0;
      ::closedir(d);
    }
    return n;
  };
  EXPECT_EQ(runtime_sockets(), 1);
  far.signal(SIGTERM);
  struct stat st;
  EXPECT_EQ(::lstat((port + ".ctl").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  Client c(port);
  c.power_on();
  EXPECT_EQ(c.exchange(3, 1, {1, 100, 0}).status, 0);  // posun = 100
  expect(ctl({"--set", "3:load=50,temp=25"}), 0, "scale 3: load 50.0 kg, temperature 25.0 degC\n");
  EXPECT_EQ(counts_of(c.exchange(3, 3, {})), sim::sensor_counts(sim::sensor_of(3), 50, 25));
  expect(ctl({"--set", "3:temp=-5.25"}), 0, "scale 3: temperature -5.25 degC\n");
  EXPECT_EQ(counts_of(c.exchange(3, 3, {})), sim::sensor_counts(sim::sensor_of(3), 50, -5.25));
  // Refused with the reason: status 2; a bad value is a usage error, 2 too.
  expect(ctl({"--set", "9:load=1"}), 2, "", "kvoda_sim: no scale 9 on the line\n");
  r = ctl({"--set", "3:load=2000"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err.find("kvoda_sim: load must be a number"), 0u) << r.err;

  // Faults at run time, carried out in order.
  expect(ctl({"--fault", "3:3:silence:1"}), 0, "fault 3:3:silence:1 added\n");
  c.exchange(3, 3, {});
  EXPECT_TRUE(c.quiet(0.3));
  expect(ctl({"--fault", "3:*:silence", "--clear-faults"}), 0, "fault 3:*:silence added\nfaults cleared\n");
  EXPECT_EQ(c.exchange(3, 3, {}).len, 12);

  // Taken off and hung back on: its EEPROM and load as they were.
  expect(ctl({"--remove-scale", "3"}), 0, "scale 3: taken off the line\n");
  c.exchange(3, 2, {0, 7});
  EXPECT_TRUE(c.quiet(0.3));
  expect(ctl({"--remove-scale", "3"}), 2, "", "kvoda_sim: no scale 3 on the line\n");
  expect(ctl({"--add-scale", "3"}), 0,
         "scale 3: back on the line with its EEPROM, load 50.0 kg, temperature -5.25 degC\n");
  EXPECT_EQ(c.exchange(3, 2, {0, 7}).data.at(2), 100);

  // Unplugged: the link vanishes and the open port hangs up.
  expect(ctl({"--unplug"}), 0, "adapter unplugged: " + port + " is gone\n");
  pollfd p{c.fd(), POLLIN | POLLOUT, 0};
  ASSERT_EQ(::poll(&p, 1, 1000), 1);
  EXPECT_TRUE(p.revents & POLLHUP);
  std::uint8_t b = 0;
  EXPECT_EQ(::read(c.fd(), &b, 1), 0);
  EXPECT_EQ(::write(c.fd(), &b, 1), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_NE(::lstat(port.c_str(), &st), 0);
  expect(ctl({"--unplug"}), 2, "", "kvoda_sim: the adapter is already unplugged\n");
  r = ctl({"--status"});
  EXPECT_EQ(r.out.find("line " + port + ": unplugged, 4800 Bd, latency 1.0 ms, supply off\nadapter 251\n"), 0u)
      << r.out;
  // Plugged back in: a fresh terminal at the link, the supply off, the
  // EEPROM kept; but never over somebody's file.
  harness::write_file(port, "keep");
  expect(ctl({"--plug"}), 2, "", "kvoda_sim: " + port + " exists and is not a link: File exists\n");
  EXPECT_EQ(harness::read_file(port), "keep");
  ASSERT_EQ(::unlink(port.c_str()), 0);
  r = ctl({"--plug"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out.find("adapter plugged in: " + port + " -> /dev/pts/"), 0u) << r.out;
  Client again(port);
  ASSERT_GE(again.fd(), 0);
  again.exchange(3, 2, {0, 7});
  EXPECT_TRUE(again.quiet(0.3)) << "supply on after a replug";
  again.power_on();
  EXPECT_EQ(again.exchange(3, 2, {0, 7}).data.at(2), 100);
  expect(ctl({"--plug"}), 2, "", "kvoda_sim: the adapter is already plugged in\n");

  s.signal(SIGTERM);
  EXPECT_TRUE(s.wait_exit(10));
  EXPECT_EQ(s.exit_code(), 0);
  EXPECT_NE(::lstat((port + ".ctl").c_str(), &st), 0);
  EXPECT_TRUE(far.wait_exit(10));
  EXPECT_EQ(runtime_sockets(), 0);
}

// ---------------------------------------------------------------------------
// The real program against the model, as a user meets it

harness::Result run_ser(const harness::TempDir& dir, const std::vector<std::string>& args, const std::string& input) {
  harness::Options o;
  o.args = args;
  o.port_pattern = dir.pattern();
  o.cwd = dir.path;
  return harness::run(o, input, 60);
}

// Weights shown on the console lines, in kg.
std::vector<double> shown_weights(const std::string& out) {
  std::vector<double> v;
  for (std::size_t p = out.find("fk:"); p != std::string::npos; p = out.find("fk:", p + 1))
    v.push_back(std::atof(out.c_str() + p + 3));
  return v;
}

TEST(KvodaSerOnModel, OffsetFromTheEditorShowsInTheNextReading) {
  harness::TempDir dir;
  sim::Line line(dir.port(0));
  line.add_adapter(251);
  line.add_scale(3);
  line.set_load(3, 42.5, 18.0);
  harness::Result r = run_ser(dir, {}, "0\n3\n7\n8\n0 100\na\na\n7\nn\n");
  EXPECT_EQ(r.exit_code, 0);
  auto w = shown_weights(r.out);
  ASSERT_EQ(w.size(), 2u) << r.out;
  EXPECT_NEAR(w[0], 42.5, 0.01) << r.out;
  EXPECT_NEAR(w[1], 52.5, 0.01) << r.out;
}

TEST(KvodaSerOnModel, AdapterFoundOnlyAtTheLineRate) {
  harness::TempDir dir;
  sim::Line line(dir.port(0));
  line.add_adapter(251);
  const std::string found = "Adapter 251 pripojen na port COM1...OK\n";
  harness::Result r = run_ser(dir, {"9600"}, "n\n");
  EXPECT_EQ(r.out.find(found), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(texty::Hlaseni("Pripoj_adapter", 7)), std::string::npos) << r.out;
  EXPECT_TRUE(line.requests().empty()) << "noise taken for a frame";
  for (int rate : {9600, 128000}) {
    line.set_baud(rate);
    r = run_ser(dir, {std::to_string(rate)}, "n\n");
    EXPECT_NE(r.out.find(found), std::string::npos) << rate << "\n" << r.out;
  }
}

TEST(KvodaSerOnModel, TwoScalesWithOneNumberSpoilEachOthersReplies) {
  harness::TempDir dir;
  sim::Line line(dir.port(0));
  line.add_adapter(251);
  line.add_scale(3);
  sim::Eeprom renumbered = sim::default_eeprom(5);
  renumbered[0] = 3;
  line.add_scale(5, renumbered);
  harness::Result r = run_ser(dir, {}, "0\n3\n7\nn\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find(texty::Hlaseni("Test_chyby_sumy", 2)), std::string::npos) << r.out;
  EXPECT_TRUE(shown_weights(r.out).empty()) << r.out;
  EXPECT_EQ(harness::read_file(dir.file("zaznam.txt")), "");
}

}  // namespace
