// kvoda_plot: record parsing, the bucket reduction, the drawing and the
// command line, down to a picture rendered by a real SVG renderer.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "harness.h"
#include "kresba.h"
#include "program.h"
#include "prubeh.h"
#include "zaznam.h"

using zaznam::Fault;

namespace {

// A record line as the sampler writes it.
std::string Rec(int dev, int d, int mo, int y, int h, int mi, int s, double kg, double c, long a = 123456,
                long b = 98765, long n = 4321, long t = 31000) {
  char buf[200];
  std::snprintf(buf, sizeof buf, "%2ld\t%02d.%02d.%04d %02d:%02d:%02d\t%#7.2f\t%#5.1f\t%6ld\t%6ld\t%6ld\t%5ld\n",
                long{dev}, d, mo, y, h, mi, s, kg, c, a, b, n, t);
  return buf;
}
std::string RecAt(int dev, std::int64_t t, double kg, double c) {
  zaznam::Civil x = zaznam::CivilFromSeconds(t);
  return Rec(dev, x.day, x.month, x.year, x.hour, x.min, x.sec, kg, c);
}

Fault Parse(const std::string& line, zaznam::Record* out = nullptr) {
  zaznam::Record r;
  Fault f = zaznam::ParseRecord(line.data(), line.size(), r);
  if (out) *out = r;
  return f;
}

struct Ran {
  int status;
  std::string out, err;
};

std::string Slurp(std::FILE* f) {
  std::string s;
  std::rewind(f);
  char buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  return s;
}

// The program in-process, with `input` as standard input.
Ran RunPlot(std::vector<std::string> args, const std::string& input = "") {
  args.insert(args.begin(), "kvoda_plot");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  std::FILE* in = std::tmpfile();
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  std::fwrite(input.data(), 1, input.size(), in);
  std::rewind(in);
  Ran r;
  r.status = plot::Run(static_cast<int>(args.size()), argv.data(), in, out, err);
  r.out = Slurp(out);
  r.err = Slurp(err);
  std::fclose(in);
  std::fclose(out);
  std::fclose(err);
  return r;
}

// Every piece of `s` between an `open` and the next `close`.
std::vector<std::string> Between(const std::string& s, const std::string& open, const std::string& close) {
  std::vector<std::string> v;
  for (std::size_t a = s.find(open); a != std::string::npos; a = s.find(open, a)) {
    a += open.size();
    std::size_t b = s.find(close, a);
    if (b == std::string::npos) break;
    v.push_back(s.substr(a, b - a));
    a = b;
  }
  return v;
}

std::size_t Count(const std::string& s, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t a = s.find(what); a != std::string::npos; a = s.find(what, a + 1)) ++n;
  return n;
}

struct Panel {
  int scale;
  std::string body;
};
std::vector<Panel> Panels(const std::string& svg) {
  std::vector<Panel> v;
  for (const std::string& p : Between(svg, "<g class=\"panel\" id=\"scale-", "</g>"))
    v.push_back(Panel{std::atoi(p.c_str()), p});
  return v;
}

// Vertices of all lines of one quantity ("w" or "t"), lone dots included.
std::size_t LinePoints(const std::string& panel, const std::string& q) {
  std::size_t n = Count(panel, "<circle class=\"" + q + "dot\"");
  for (const std::string& pts : Between(panel, "<polyline class=\"" + q + "line\" points=\"", "\""))
    n += Count(pts, ",");
  return n;
}

std::vector<std::string> Labels(const std::string& panel, const std::string& cls) {
  std::vector<std::string> v;
  for (const std::string& t : Between(panel, "<text class=\"" + cls + "\"", "</text>")) v.push_back(t.substr(t.find('>') + 1));
  return v;
}

std::vector<double> Numbers(const std::vector<std::string>& labels) {
  std::vector<double> v;
  for (const std::string& l : labels) v.push_back(std::atof(l.c_str()));
  return v;
}

bool IsDate(const std::string& s) {
  int d, m, y;
  char tail;
  return s.size() == 10 && std::sscanf(s.c_str(), "%2d.%2d.%4d%c", &d, &m, &y, &tail) == 3 && d >= 1 && d <= 31 &&
         m >= 1 && m <= 12;
}

}  // namespace

TEST(PlotRecord, ExampleLineAndLeadingBlanks) {
  zaznam::Record r;
  const std::string ex = " 3\t07.12.2026 08:15:30\t 123.45\t 21.5\t123456\t 98765\t  4321\t31000";
  for (const char* end : {"", "\r"}) {
    ASSERT_EQ(Parse(ex + end, &r), Fault::none) << end;
    EXPECT_EQ(r.device, 3);
    EXPECT_EQ(r.time, zaznam::SecondsFromCivil(2026, 12, 7, 8, 15, 30));
    EXPECT_DOUBLE_EQ(r.weight, 123.45);
    EXPECT_DOUBLE_EQ(r.temp, 21.5);
    EXPECT_EQ(r.a, 123456);
    EXPECT_EQ(r.b, 98765);
    EXPECT_EQ(r.n, 4321);
    EXPECT_EQ(r.t, 31000);
  }
  // Widened and negative fields, more blanks than the widths give, the
  // extremes of every range.
  ASSERT_EQ(Parse("249\t29.02.2024 23:59:60\t10000.00\t-99.9\t0\t16777215\t     7\t1", &r), Fault::none);
  EXPECT_EQ(r.device, 249);
  EXPECT_EQ(r.time, zaznam::SecondsFromCivil(2024, 3, 1, 0, 0, 0));
  EXPECT_DOUBLE_EQ(r.weight, 10000.0);
  EXPECT_DOUBLE_EQ(r.temp, -99.9);
  EXPECT_EQ(r.b, 16777215);
  ASSERT_EQ(Parse("    0\t01.01.1970 00:00:00\t -12.50\t -0.0\t  1\t  2\t  3\t    4", &r), Fault::none);
  EXPECT_EQ(r.time, 0);
  EXPECT_DOUBLE_EQ(r.weight, -12.5);
  EXPECT_EQ(Parse("255\t01.01.0001 00:00:00\t-999999.99\t200.0\t0\t0\t0\t0"), Fault::none);
  // The sampler's own formatting round-trips.
  ASSERT_EQ(Parse(Rec(17, 31, 12, 2026, 23, 59, 59, 0.004, 50.0).substr(0, 63), &r), Fault::none);
  EXPECT_EQ(r.device, 17);
  EXPECT_DOUBLE_EQ(r.weight, 0.0);
  EXPECT_DOUBLE_EQ(r.temp, 50.0);
}

TEST(PlotRecord, MalformedLinesOfEveryKind) {
  const std::string date = "07.12.2026 08:15:30";
  auto line = [&](const std::string& dev, const std::string& d, const std::string& kg, const std::string& c,
                  const std::string& raw = "123456\t 98765\t  4321\t31000") {
    return dev + "\t" + d + "\t" + kg + "\t" + c + "\t" + raw;
  };
  struct Case {
    std::string text;
    Fault fault;
  };
  const Case cases[] = {
      {"", Fault::fields},
      {" 3 07.12.2026 08:15:30  123.45  21.5 123456  98765   4321 31000", Fault::fields},
      {line(" 3", date, " 123.45", " 21.5", "123456\t 98765\t  4321"), Fault::fields},
      {line(" 3", date, " 123.45", " 21.5", "123456\t 98765\t  4321\t31000\t"), Fault::fields},
      {line(" 3", date, " 123.45", " 21.5") + "\t1", Fault::fields},
      {line(" 3", "32.12.2026 08:15:30", " 123.45", " 21.5"), Fault::date},
      {line(" 3", "29.02.2025 08:15:30", " 123.45", " 21.5"), Fault::date},
      {line(" 3", "31.04.2026 08:15:30", " 123.45", " 21.5"), Fault::date},
      {line(" 3", "00.12.2026 08:15:30", " 123.45", " 21.5"), Fault::date},
      {line(" 3", "07.13.2026 08:15:30", " 123.45", " 21.5"), Fault::date},
      {line(" 3", "07.12.0000 08:15:30", " 123.45", " 21.5"), Fault::date},
      {line(" 3", "07.12.2026 24:00:00", " 123.45", " 21.5"), Fault::date},
      {line(" 3", "07.12.2026 08:60:30", " 123.45", " 21.5"), Fault::date},
      {line(" 3", "07.12.2026 08:15:61", " 123.45", " 21.5"), Fault::date},
      {line(" 3", "7.12.2026 08:15:30", " 123.45", " 21.5"), Fault::date},
      {line(" 3", "07/12/2026 08:15:30", " 123.45", " 21.5"), Fault::date},
      {line(" 3", "07.12.2026T08:15:30", " 123.45", " 21.5"), Fault::date},
      {line(" 3", " 07.12.2026 08:15:30", " 123.45", " 21.5"), Fault::date},
      {line(" 3", "07.12.2026 08:15:3x", " 123.45", " 21.5"), Fault::date},
      {line(" 3", "07.12.2026 08:15", " 123.45", " 21.5"), Fault::date},
      {line("", date, " 123.45", " 21.5"), Fault::number},
      {line("  ", date, " 123.45", " 21.5"), Fault::number},
      {line("-3", date, " 123.45", " 21.5"), Fault::number},
      {line(" 3 ", date, " 123.45", " 21.5"), Fault::number},
      {line("0x3", date, " 123.45", " 21.5"), Fault::number},
      {line(" 3", date, " 123.4", " 21.5"), Fault::number},
      {line(" 3", date, " 123.456", " 21.5"), Fault::number},
      {line(" 3", date, " 123", " 21.5"), Fault::number},
      {line(" 3", date, "+123.45", " 21.5"), Fault::number},
      {line(" 3", date, " .45", " 21.5"), Fault::number},
      {line(" 3", date, " 123.45 ", " 21.5"), Fault::number},
      {line(" 3", date, "    nan", " 21.5"), Fault::number},
      {line(" 3", date, "   -inf", " 21.5"), Fault::number},
      {line(" 3", date, " 1.2e+02", " 21.5"), Fault::number},
      {line(" 3", date, " 123,45", " 21.5"), Fault::number},
      {line(" 3", date, " - 1.00", " 21.5"), Fault::number},
      {line(" 3", date, " 123.45", " 21.50"), Fault::number},
      {line(" 3", date, " 123.45", " 21"), Fault::number},
      {line(" 3", date, " 123.45", ""), Fault::number},
      {line(" 3", date, " 123.45", " 21.5", "-123456\t 98765\t  4321\t31000"), Fault::number},
      {line(" 3", date, " 123.45", " 21.5", "123456\t 98 65\t  4321\t31000"), Fault::number},
      {line(" 3", date, " 123.45", " 21.5", "123456\t 98765\t  4321\t31000\r\r"), Fault::number},
      {line(" 3", date, " 123.45", " 21.5", "123456\t 98765\t  4321\t31000 "), Fault::number},
      {line("256", date, " 123.45", " 21.5"), Fault::range},
      {line("1000", date, " 123.45", " 21.5"), Fault::range},
      {line(" 3", date, "1000000.00", " 21.5"), Fault::range},
      {line(" 3", date, "340282346638528859811704183484516925440.00", " 21.5"), Fault::range},
      {line(" 3", date, " 123.45", "200.1"), Fault::range},
      {line(" 3", date, " 123.45", "-100.1"), Fault::range},
      {line(" 3", date, " 123.45", " 21.5", "16777216\t 98765\t  4321\t31000"), Fault::range},
      {line(" 3", date, " 123.45", " 21.5", "123456\t 98765\t  4321\t999999999999"), Fault::range},
      {line(" 3", date, " 123.45", " 21.5") + std::string(zaznam::kMaxLine, ' '), Fault::length},
      {std::string(" 3\t07.12.2026 08:15:30\t 123.45\t 21.5\t123456\t 98765\t  4321\t3\0" "1000", 63), Fault::nul},
      {std::string("\0", 1), Fault::nul},
  };
  for (const Case& c : cases) {
    zaznam::Record r;
    r.device = 99;
    EXPECT_EQ(zaznam::ParseRecord(c.text.data(), c.text.size(), r), c.fault) << '"' << c.text << '"';
    EXPECT_EQ(r.device, 99) << "a rejected line must leave the record alone";
  }

  // Through the program: every bad line is skipped and counted, one report.
  std::string input = Rec(3, 7, 12, 2026, 8, 15, 30, 123.45, 21.5);
  for (const Case& c : cases) input += c.text + "\n";
  input += Rec(3, 7, 12, 2026, 8, 20, 30, 124.45, 21.0);
  Ran r = RunPlot({}, input);
  EXPECT_EQ(r.status, 0);
  const std::size_t bad = sizeof cases / sizeof cases[0];
  EXPECT_EQ(r.err, "kvoda_plot: skipped " + std::to_string(bad) + " malformed lines (first: standard input line 2: " +
                       plot::FaultText(Fault::fields) + ")\n");
  EXPECT_NE(r.out.find("2 readings from 1 scale, " + std::to_string(bad) + " malformed lines skipped"),
            std::string::npos);
  EXPECT_EQ(LinePoints(Panels(r.out).at(0).body, "w"), 2u);
}

TEST(PlotRecord, CalendarConversions) {
  EXPECT_EQ(zaznam::DaysFromCivil(1970, 1, 1), 0);
  EXPECT_EQ(zaznam::DaysFromCivil(2000, 3, 1), 11017);
  EXPECT_EQ(zaznam::DaysFromCivil(1969, 12, 31), -1);
  EXPECT_EQ(zaznam::SecondsFromCivil(2026, 12, 7, 8, 15, 30), 1796631330);
  // Every day of years 1 to 9999, both ways.
  std::int64_t expect = zaznam::DaysFromCivil(1, 1, 1);
  for (int y = 1; y <= 9999; ++y)
    for (int m = 1; m <= 12; ++m)
      for (int d = 1; d <= zaznam::DaysInMonth(y, m); ++d, ++expect) {
        ASSERT_EQ(zaznam::DaysFromCivil(y, m, d), expect) << d << "." << m << "." << y;
        int yy, mm, dd;
        zaznam::CivilFromDays(expect, yy, mm, dd);
        ASSERT_TRUE(yy == y && mm == m && dd == d) << d << "." << m << "." << y;
      }
  EXPECT_EQ(zaznam::DaysInMonth(1900, 2), 28);
  EXPECT_EQ(zaznam::DaysInMonth(2000, 2), 29);
  zaznam::Civil c = zaznam::CivilFromSeconds(-1);
  EXPECT_TRUE(c.year == 1969 && c.month == 12 && c.day == 31 && c.hour == 23 && c.min == 59 && c.sec == 59);
  EXPECT_EQ(plot::FormatDate(1796631330), "07.12.2026");
  EXPECT_EQ(plot::FormatTime(1796631330, true), "08:15:30");
}

TEST(PlotBuckets, LadderAndMerging) {
  // Every width divides the next; days are whole from 86400 on.
  std::int64_t w = 1;
  bool day = false;
  for (int i = 0; i < 40; ++i) {
    std::int64_t n = plot::NextWidth(w);
    ASSERT_GT(n, w);
    ASSERT_EQ(n % w, 0) << w;
    if (w >= 86400) {
      EXPECT_EQ(w % 86400, 0);
    }
    day = day || w == 86400;
    w = n;
  }
  EXPECT_TRUE(day);

  // Absolute index k goes to FloorDiv(k, f), for odd and negative bases.
  for (std::int64_t base : {-7, -6, -1, 0, 3, 10}) {
    for (std::int64_t f : {2, 3, 5}) {
      std::vector<plot::Bucket> b(10);
      for (int i = 0; i < 10; ++i) b[static_cast<std::size_t>(i)].weight.Add(static_cast<double>(base + i));
      std::int64_t nb = plot::MergeBuckets(b, base, f);
      ASSERT_EQ(nb, plot::FloorDiv(base, f));
      ASSERT_EQ(b.size(), 10u);
      std::uint64_t total = 0;
      for (std::size_t j = 0; j < b.size(); ++j) {
        total += b[j].weight.count;
        if (b[j].Empty()) continue;
        EXPECT_EQ(plot::FloorDiv(static_cast<std::int64_t>(b[j].weight.min), f), nb + static_cast<std::int64_t>(j));
        EXPECT_EQ(plot::FloorDiv(static_cast<std::int64_t>(b[j].weight.max), f), nb + static_cast<std::int64_t>(j));
      }
      EXPECT_EQ(total, 10u);
    }
  }
  EXPECT_EQ(plot::FloorDiv(-1, 2), -1);
  EXPECT_EQ(plot::FloorDiv(-2, 2), -1);
  EXPECT_EQ(plot::FloorDiv(5, 2), 2);
}

TEST(PlotBuckets, ExactWhileFewThenBoundedAndFaithful) {
  plot::Series s(64);
  for (int i = 0; i < 64; ++i) s.Add(1000 + 60 * i, 40 + i, 10 - i);
  ASSERT_TRUE(s.Exact());
  EXPECT_EQ(s.Points().size(), 64u);
  EXPECT_EQ(s.Points()[5].time, 1300);
  EXPECT_DOUBLE_EQ(s.Points()[5].weight, 45);

  // Readings in a shuffled order, some before the first one and before
  // 1970, spread over years: weight = time, so every bucket must hold only
  // its own span of time, and nothing may be lost.
  std::mt19937_64 rng(7);
  std::vector<std::int64_t> times;
  for (int i = 0; i < 20000; ++i) times.push_back(static_cast<std::int64_t>(rng() % 200000000) - 50000000);
  times.push_back(-3000000000LL);
  times.push_back(4000000000LL);
  for (int cap : {64, 4096}) {
    plot::Series b(static_cast<std::size_t>(cap));
    double sum = 0;
    for (std::int64_t t : times) {
      b.Add(t, static_cast<double>(t), 0.5);
      sum += static_cast<double>(t);
    }
    ASSERT_FALSE(b.Exact());
    EXPECT_TRUE(b.Points().empty());
    ASSERT_EQ(b.Buckets().size(), static_cast<std::size_t>(cap));
    EXPECT_EQ(b.Count(), times.size());
    EXPECT_EQ(b.First(), -3000000000LL);
    EXPECT_EQ(b.Last(), 4000000000LL);
    EXPECT_DOUBLE_EQ(b.Weight().min, -3e9);
    EXPECT_FALSE(b.Buckets().front().Empty());
    std::uint64_t n = 0;
    double got = 0;
    std::size_t used = 0;
    for (std::size_t i = 0; i < b.Buckets().size(); ++i) {
      const plot::Bucket& k = b.Buckets()[i];
      if (k.Empty()) continue;
      ++used;
      const double start = static_cast<double>((b.Base() + static_cast<std::int64_t>(i)) * b.Width());
      EXPECT_GE(k.weight.min, start);
      EXPECT_LT(k.weight.max, start + static_cast<double>(b.Width()));
      EXPECT_EQ(k.temp.count, k.weight.count);
      n += k.weight.count;
      got += k.weight.sum;
    }
    EXPECT_EQ(n, times.size());
    EXPECT_NEAR(got, sum, std::fabs(sum) * 1e-12 + 1);
    // Not coarser than needed: the next finer width would not hold the span.
    EXPECT_GT(static_cast<double>(b.Last() - b.First()), static_cast<double>(cap) / 6 * static_cast<double>(b.Width()));
  }
}

TEST(PlotDrawing, AxesAndTicks) {
  for (auto mm : std::vector<std::pair<double, double>>{{40.3, 47.9}, {-12.5, 10000}, {0, 0}, {21.5, 21.5}, {-3.1, -3.0}}) {
    plot::Axis a = plot::NiceAxis(mm.first, mm.second, 6, 0.1);
    EXPECT_LE(a.lo, mm.first + 1e-9);
    EXPECT_GE(a.hi, mm.second - 1e-9);
    EXPECT_LE(a.intervals, 13);
    EXPECT_GE(a.step, 0.1 - 1e-12);
    double m = a.step / std::pow(10.0, std::floor(std::log10(a.step) + 1e-9));
    EXPECT_TRUE(std::fabs(m - 1) < 1e-9 || std::fabs(m - 2) < 1e-9 || std::fabs(m - 5) < 1e-9) << a.step;
    plot::Axis t = plot::MatchAxis(-7.2, 31.4, a.intervals, 0.1);
    EXPECT_EQ(t.intervals, a.intervals);
    EXPECT_LE(t.lo, -7.2);
    EXPECT_GE(t.hi, 31.4);
  }

  const std::int64_t jan = zaznam::SecondsFromCivil(2026, 1, 1, 0, 0, 0);
  struct Span {
    std::int64_t t0, t1;
    plot::TickKind kind;
  };
  for (const Span& sp : {Span{jan + 17, jan + 50, plot::TickKind::seconds},
                         Span{jan + 3600, jan + 5 * 3600 + 7, plot::TickKind::minutes},
                         Span{jan, jan + 40 * 86400, plot::TickKind::days},
                         Span{jan, jan + 365 * 86400, plot::TickKind::days},
                         Span{jan, jan + 30LL * 365 * 86400, plot::TickKind::years},
                         Span{zaznam::SecondsFromCivil(1, 1, 1, 0, 0, 0), zaznam::SecondsFromCivil(9999, 12, 31, 0, 0, 0),
                              plot::TickKind::years}}) {
    plot::TimeTicks tt = plot::MakeTimeTicks(sp.t0, sp.t1, 9);
    EXPECT_EQ(tt.kind, sp.kind);
    ASSERT_GE(tt.at.size(), 2u);
    EXPECT_LE(tt.at.size(), 10u);
    EXPECT_TRUE(std::is_sorted(tt.at.begin(), tt.at.end()));
    EXPECT_GE(tt.at.front(), sp.t0);
    EXPECT_LE(tt.at.back(), sp.t1);
  }
  // A year: on the first of months; six weeks: on Mondays.
  for (std::int64_t t : plot::MakeTimeTicks(jan, jan + 365 * 86400, 9).at) EXPECT_EQ(zaznam::CivilFromSeconds(t).day, 1);
  for (std::int64_t t : plot::MakeTimeTicks(jan + 5, jan + 42 * 86400, 9).at)
    EXPECT_EQ((t / 86400 + 3) % 7, 0) << plot::FormatDate(t);  // 01.01.1970 was a Thursday
}

TEST(PlotDrawing, ColumnsAndGaps) {
  // Two years of 5-minute readings: whole-day columns of 288 readings.
  plot::Series s;
  const std::int64_t t0 = zaznam::SecondsFromCivil(2026, 1, 1, 0, 0, 0);
  const std::int64_t days = 730;
  for (std::int64_t t = t0; t < t0 + days * 86400; t += 300) {
    if (t >= t0 + 100 * 86400 && t < t0 + 130 * 86400) continue;  // a month offline
    s.Add(t, 40, 20);
  }
  ASSERT_FALSE(s.Exact());
  const std::int64_t t1 = s.Last();
  std::int64_t cw = plot::ColumnWidth(s, t0, t1, 1020);
  EXPECT_EQ(cw % 86400, 0);
  std::vector<plot::Column> cols = plot::MakeColumns(s, t0, t1, 1020);
  EXPECT_LE(cols.size(), 1020u);
  std::uint64_t n = 0;
  for (const plot::Column& c : cols) {
    EXPECT_EQ(c.data.weight.count, static_cast<std::uint64_t>(288 * cw / 86400));
    n += c.data.weight.count;
  }
  EXPECT_EQ(n, s.Count());
  std::vector<std::size_t> runs = plot::SplitAtGaps(cols, static_cast<double>(t1 - t0));
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_NEAR(cols[runs[1]].time - cols[runs[1] - 1].time, 30 * 86400, 2.0 * static_cast<double>(cw));

  // A few hours of one scale among a year of others: fine columns.
  plot::Series few;
  for (int i = 0; i < 5000; ++i) few.Add(t0 + i * 2, 1, 1);
  EXPECT_LE(plot::ColumnWidth(few, t0, t0 + 10000, 1020), 15);
  // Few readings: every one drawn, in time order.
  plot::Series exact;
  exact.Add(t0 + 50, 2, 2);
  exact.Add(t0 + 10, 1, 1);
  cols = plot::MakeColumns(exact, t0, t0 + 100, 1020);
  ASSERT_EQ(cols.size(), 2u);
  EXPECT_EQ(cols[0].time, t0 + 10);
  EXPECT_EQ(plot::SplitAtGaps(cols, 100).size(), 1u);
}

TEST(PlotDrawing, PanelsPerScaleWithTheirPointsAndExtremes) {
  // Scales 17, 3 and 7 interleaved, out of order, over three weeks.
  const std::int64_t t0 = zaznam::SecondsFromCivil(2026, 5, 1, 6, 0, 0);
  std::string in;
  int n17 = 0, n3 = 0, n7 = 0;
  for (int i = 0; i < 500; ++i) {
    const std::int64_t t = t0 + i * 3600;
    in += RecAt(17, t, 60 + (i % 50) * 0.1, 15 + (i % 24) * 0.5), ++n17;
    if (i % 2 == 0) in += RecAt(3, t + 2, 35.5 + (i == 250 ? 7.77 : 0), i == 100 ? -4.5 : 12.0), ++n3;
    if (i < 3) in += RecAt(7, t + 4, 41.0 - i, 19.5), ++n7;
  }
  Ran r = RunPlot({"-"}, in);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out.compare(0, 5, "<?xml"), 0);
  EXPECT_EQ(r.out.find("<script"), std::string::npos);
  EXPECT_EQ(r.out.find("href"), std::string::npos);
  EXPECT_EQ(r.out.find("url("), std::string::npos);
  EXPECT_EQ(Count(r.out, "<svg"), 1u);

  std::vector<Panel> ps = Panels(r.out);
  ASSERT_EQ(ps.size(), 3u);
  const int want[3] = {3, 7, 17};
  const int count[3] = {n3, n7, n17};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(ps[static_cast<std::size_t>(i)].scale, want[i]);
    const std::string& b = ps[static_cast<std::size_t>(i)].body;
    EXPECT_NE(b.find(">Scale " + std::to_string(want[i]) + "<"), std::string::npos);
    EXPECT_NE(b.find(std::to_string(count[i]) + " readings"), std::string::npos);
    EXPECT_EQ(LinePoints(b, "w"), static_cast<std::size_t>(count[i])) << want[i];
    EXPECT_EQ(LinePoints(b, "t"), static_cast<std::size_t>(count[i])) << want[i];
    EXPECT_NE(b.find("weight [kg]"), std::string::npos);
    EXPECT_NE(b.find("temperature [\xC2\xB0" "C]"), std::string::npos);
    // The time axis: dates inside the range, in order.
    std::vector<std::string> x = Labels(b, "xtick");
    ASSERT_GE(x.size(), 3u);
    std::int64_t prev = 0;
    for (const std::string& l : x) {
      ASSERT_TRUE(IsDate(l)) << l;
      std::int64_t t = zaznam::SecondsFromCivil(std::atoi(l.c_str() + 6), std::atoi(l.c_str() + 3), std::atoi(l.c_str()), 0, 0, 0);
      EXPECT_GE(t, t0);
      EXPECT_LE(t, t0 + 500 * 3600);
      EXPECT_GT(t, prev);
      prev = t;
    }
  }
  // The extremes lie on the axes' range, and the range is not much wider.
  // Ticks come bottom-up in the file; front() is the lowest.
  auto rev = [&](const std::string& b, const char* cls, double lo, double hi) {
    std::vector<double> v = Numbers(Labels(b, cls));
    ASSERT_FALSE(v.empty());
    EXPECT_LE(v.front(), lo + 1e-9) << cls;
    EXPECT_GE(v.back(), hi - 1e-9) << cls;
    EXPECT_LT(v.back() - v.front(), 3 * (hi - lo) + 2) << cls;
  };
  rev(ps[0].body, "wtick", 35.5, 43.27);
  rev(ps[0].body, "ttick", -4.5, 12.0);
  rev(ps[2].body, "wtick", 60.0, 64.9);
  rev(ps[2].body, "ttick", 15.0, 26.5);
  EXPECT_EQ(Labels(ps[0].body, "wtick").size(), Labels(ps[0].body, "ttick").size());
  // Three readings: a dot on each.
  EXPECT_EQ(Count(ps[1].body, "class=\"wmark\""), 3u);
}

TEST(PlotDrawing, LargeInputIsReducedToColumns) {
  // Two scales, a year at 2-minute intervals: far more readings than buckets.
  const std::int64_t t0 = zaznam::SecondsFromCivil(2026, 1, 1, 0, 0, 0);
  std::string in;
  for (std::int64_t t = t0; t < t0 + 365 * 86400; t += 120) {
    const double day = static_cast<double>(t - t0) / 86400;
    in += RecAt(4, t, 30 + day * 0.05, 10 + 10 * std::sin(day / 58));
    in += RecAt(9, t + 1, 50 - day * 0.01, -5);
  }
  Ran r = RunPlot({}, in);
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<Panel> ps = Panels(r.out);
  ASSERT_EQ(ps.size(), 2u);
  EXPECT_EQ(ps[0].scale, 4);
  EXPECT_EQ(ps[1].scale, 9);
  for (const Panel& p : ps) {
    EXPECT_NE(p.body.find("262800 readings"), std::string::npos);
    EXPECT_NE(p.body.find("per day"), std::string::npos);
    std::size_t pts = LinePoints(p.body, "w");
    EXPECT_GE(pts, 360u);
    EXPECT_LE(pts, 366u);
    EXPECT_EQ(Count(p.body, "<polygon class=\"wband\""), 1u);
  }
  std::vector<double> w = Numbers(Labels(ps[0].body, "wtick"));
  EXPECT_LE(w.front(), 30.0);
  EXPECT_GE(w.back(), 30 + 364.99 * 0.05);
  EXPECT_LT(r.out.size(), 200000u);
}

TEST(PlotDrawing, TextIsValidXml) {
  EXPECT_EQ(plot::XmlText("a<b>&\"c\""), "a&lt;b&gt;&amp;&quot;c&quot;");
  EXPECT_EQ(plot::XmlText("z\xC3\xA1znam \xE2\x80\x93 ok"), "z\xC3\xA1znam \xE2\x80\x93 ok");
  EXPECT_EQ(plot::XmlText("x\x01y\x7F\xFF\xC3\xE2\x80\xED\xA0\x80\xC0\xAF"), "x?y??????????");
  EXPECT_EQ(plot::XmlText("\xF0\x9F\x90\x9D"), "\xF0\x9F\x90\x9D");
  Ran r = RunPlot({}, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("no readings"), std::string::npos);
  EXPECT_NE(r.out.find("</svg>"), std::string::npos);
}

TEST(PlotInput, LinesSplitAnywhereAcrossReads) {
  std::string in = Rec(3, 1, 6, 2026, 10, 0, 0, 40, 20) + "\r\n";
  in.erase(in.size() - 3, 1);  // CRLF line end
  in += "garbage\n" + std::string(3 * zaznam::kMaxLine, 'x') + "\n" + Rec(3, 1, 6, 2026, 10, 5, 0, 41, 21);
  in += Rec(5, 1, 6, 2026, 10, 5, 0, 1, 2);
  in.pop_back();  // the last line without its '\n'
  for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{64}, zaznam::kMaxLine, in.size()}) {
    plot::Collector c;
    c.Begin("x");
    for (std::size_t i = 0; i < in.size(); i += chunk) c.Feed(in.data() + i, std::min(chunk, in.size() - i));
    c.End();
    EXPECT_EQ(c.Records(), 3u) << chunk;
    EXPECT_EQ(c.Skipped(), 2u) << chunk;
    EXPECT_EQ(c.FirstSkipped(), "x line 2: not 8 TAB-separated fields");
    ASSERT_TRUE(c.Scale(3) && c.Scale(5));
    EXPECT_EQ(c.Scale(3)->Count(), 2u);
    EXPECT_FALSE(c.Scale(4));
  }
  // A line exactly at the limit is still read; one byte more is too long.
  std::string full = Rec(3, 1, 6, 2026, 10, 0, 0, 40, 20);
  full.insert(0, zaznam::kMaxLine - (full.size() - 1), ' ');
  plot::Collector c;
  c.Begin("y");
  c.Feed(full.data(), full.size());
  full.insert(0, " ");
  c.Feed(full.data(), full.size());
  c.End();
  EXPECT_EQ(c.Records(), 1u);
  EXPECT_EQ(c.FirstSkipped(), "y line 2: line too long");
}

TEST(PlotCommandLine, OptionsFilesAndStatus) {
  harness::TempDir dir;
  const std::string data = dir.file("zaznam.txt"), other = dir.file("kopie.txt"), svg = dir.file("out.svg");
  const std::string content = Rec(3, 7, 12, 2026, 8, 15, 30, 123.45, 21.5) + Rec(3, 7, 12, 2026, 8, 20, 30, 124, 21);
  harness::write_file(data, content);
  harness::write_file(other, Rec(8, 8, 12, 2026, 8, 15, 30, 50, 5));

  Ran r = RunPlot({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("usage: kvoda_plot [-o OUT.svg] [FILE...]\n", 0), 0u);
  EXPECT_EQ(RunPlot({"-h"}).status, 0);
  r = RunPlot({data, "--version", "-x"});  // options anywhere, the first decides
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "kvoda_plot " KVODA_VERSION "\n");

  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
           {"-x"}, {"--out", data}, {"-o"}, {data, "-o"}, {"-o", ""}, {"-o", svg, "-o", svg}, {"--help=1"}}) {
    r = RunPlot(bad);
    EXPECT_EQ(r.status, 2) << bad[0];
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("kvoda_plot: ", 0), 0u);
    EXPECT_NE(r.err.find("--help"), std::string::npos);
  }
  EXPECT_NE(RunPlot({"-q"}).err.find("unknown option '-q'"), std::string::npos);
  EXPECT_NE(RunPlot({"-oq.svg", "-qx"}).err.find("unknown option '-q'"), std::string::npos);
  EXPECT_NE(RunPlot({"--out=x", data}).err.find("unknown option '--out'"), std::string::npos);
  EXPECT_NE(RunPlot({"--vers=2"}).err.find("option '--vers' takes no value"), std::string::npos);

  // The picture must never overwrite the data it is drawn from.
  r = RunPlot({"-o", data, other, data});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(harness::read_file(data), content);
  ASSERT_EQ(symlink(data.c_str(), dir.file("link.txt").c_str()), 0);
  EXPECT_EQ(RunPlot({"-o", dir.file("link.txt"), data}).status, 2);
  EXPECT_EQ(harness::read_file(data), content);
  {
    // kvoda_plot zaznam.txt >> zaznam.txt
    std::FILE* out = std::fopen(data.c_str(), "ab");
    std::FILE* err = std::tmpfile();
    ASSERT_TRUE(out && err);
    const char* argv[] = {"kvoda_plot", data.c_str(), nullptr};
    EXPECT_EQ(plot::Run(2, argv, stdin, out, err), 2);
    std::fclose(out);
    EXPECT_NE(Slurp(err).find("is the input"), std::string::npos);
    std::fclose(err);
    EXPECT_EQ(harness::read_file(data), content);
  }

  // Unreadable input: a message per file, status 1, no picture.
  r = RunPlot({"-o", svg, data, dir.file("missing.txt"), dir.path});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("missing.txt: No such file or directory"), std::string::npos);
  EXPECT_NE(r.err.find(dir.path + ": Is a directory"), std::string::npos);
  struct stat st;
  EXPECT_NE(stat(svg.c_str(), &st), 0);
  EXPECT_EQ(RunPlot({"-o", dir.file("no/such/dir.svg"), data}).status, 1);
  r = RunPlot({dir.file("bad\nname")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("bad?name: No such file"), std::string::npos) << "one line per message";

  // Files, stdin among them, "--" before a name that looks like an option.
  harness::write_file(dir.file("-o"), Rec(12, 9, 12, 2026, 1, 0, 0, 1, 1));
  r = RunPlot({"-o" + svg, data, "-", "--", dir.file("-o")}, Rec(6, 9, 12, 2026, 1, 0, 0, 1, 1));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  std::string pic = harness::read_file(svg);
  std::vector<Panel> ps = Panels(pic);
  ASSERT_EQ(ps.size(), 3u);
  EXPECT_EQ(ps[0].scale, 3);
  EXPECT_EQ(ps[1].scale, 6);
  EXPECT_EQ(ps[2].scale, 12);
  EXPECT_NE(pic.find("zaznam.txt, standard input, "), std::string::npos);
  r = RunPlot({"-o", "-"}, content);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(Panels(r.out).size(), 1u);

  // The real program, standard input to standard output.
  harness::Options o;
  o.program = KVODA_PLOT_PATH;
  harness::Result hr = harness::run(o, content + "bad\n", 30);
  EXPECT_EQ(hr.exit_code, 0);
  EXPECT_EQ(hr.err, "kvoda_plot: skipped 1 malformed line (first: standard input line 3: not 8 TAB-separated fields)\n");
  EXPECT_EQ(Panels(hr.out).size(), 1u);
  o.args = {"--bogus"};
  hr = harness::run(o, "", 30);
  EXPECT_EQ(hr.exit_code, 2);
  EXPECT_EQ(hr.out, "");
  o.args = {dir.file("missing.txt")};
  EXPECT_EQ(harness::run(o, "", 30).exit_code, 1);
}

TEST(PlotRender, RealRendererDrawsAPicture) {
  // A missing renderer fails the test, so that "all tests pass" includes the
  // rendering, unless the build was configured to do without it.
  if (std::system("command -v rsvg-convert >/dev/null 2>&1") != 0) {
#ifdef KVODA_SKIP_RENDER_TEST
    GTEST_SKIP() << "rsvg-convert is not installed (Debian package librsvg2-bin)";
#else
    FAIL() << "rsvg-convert is not installed: install the Debian package librsvg2-bin, "
              "or configure with -DKVODA_SKIP_RENDER_TEST=ON to skip this test";
#endif
  }
  harness::TempDir dir;
  const std::int64_t t0 = zaznam::SecondsFromCivil(2026, 4, 1, 0, 0, 0);
  std::string in;
  for (int i = 0; i < 3000; ++i) {
    const double h = i * 0.25;
    in += RecAt(3, t0 + i * 900, 40 + h * 0.02 - std::sin(h / 24 * 6.283), 15 + 8 * std::sin(h / 24 * 6.283));
    in += RecAt(7, t0 + i * 900 + 3, 52 - h * 0.01, 20);
  }
  harness::write_file(dir.file("zaznam.txt"), in);
  const std::string svg = dir.file("zaznam.svg");
  ASSERT_EQ(RunPlot({"-o", svg, dir.file("zaznam.txt")}).status, 0);
  const std::string pic = harness::read_file(svg);
  int w = 0, h = 0;
  ASSERT_EQ(std::sscanf(pic.c_str() + pic.find("<svg"), "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\"", &w, &h), 2);

  // The same canvas, white and empty, rendered the same way.
  harness::write_file(dir.file("blank.svg"), "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(w) +
                                                 "\" height=\"" + std::to_string(h) + "\"><rect width=\"" +
                                                 std::to_string(w) + "\" height=\"" + std::to_string(h) +
                                                 "\" fill=\"#ffffff\"/></svg>\n");
  for (const char* name : {"zaznam", "blank"}) {
    std::string cmd = "rsvg-convert -f png -o '" + dir.file(std::string(name) + ".png") + "' '" +
                      dir.file(std::string(name) + ".svg") + "' 2>'" + dir.file(std::string(name) + ".err") + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << harness::read_file(dir.file(std::string(name) + ".err"));
  }
  EXPECT_EQ(harness::read_file(dir.file("zaznam.err")), "") << "the renderer complained";
  const std::string png = harness::read_file(dir.file("zaznam.png"));
  const std::string blank = harness::read_file(dir.file("blank.png"));
  ASSERT_GT(png.size(), 24u);
  ASSERT_EQ(png.compare(0, 8, "\x89PNG\r\n\x1a\n"), 0);
  auto be32 = [&](std::size_t at) {
    return (static_cast<unsigned char>(png[at]) << 24) | (static_cast<unsigned char>(png[at + 1]) << 16) |
           (static_cast<unsigned char>(png[at + 2]) << 8) | static_cast<unsigned char>(png[at + 3]);
  };
  EXPECT_EQ(be32(16), w);
  EXPECT_EQ(be32(20), h);
  EXPECT_GT(png.size(), 10 * blank.size()) << png.size() << " vs blank " << blank.size();
}
