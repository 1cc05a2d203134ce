#include "kresba.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "zaznam.h"

namespace plot {

namespace {

// Page geometry in px.
constexpr int kWidth = 1200;
constexpr int kLeft = 90;
constexpr int kRight = 90;
constexpr int kPlotW = kWidth - kLeft - kRight;
constexpr int kHead = 60;
constexpr int kPanelTop = 40;
constexpr int kPlotH = 200;
constexpr int kPanelBottom = 52;
constexpr int kPanelH = kPanelTop + kPlotH + kPanelBottom;
constexpr int kMaxTimeTicks = 9;
constexpr std::size_t kMarkedPoints = 120;  // fewer readings get a dot each

const char* const kStyle =
    "<style>\n"
    "text{font-family:'DejaVu Sans',Arial,Helvetica,sans-serif;font-size:12px;fill:#333}\n"
    ".head{font-size:18px;font-weight:bold;fill:#111}\n"
    ".info{font-size:13px;fill:#555}\n"
    ".title{font-size:16px;font-weight:bold;fill:#111}\n"
    ".sub{font-size:12px;font-weight:normal;fill:#666}\n"
    ".grid{stroke:#e4e4e4;stroke-width:1}\n"
    ".tick{stroke:#888;stroke-width:1}\n"
    ".frame{fill:none;stroke:#888;stroke-width:1}\n"
    ".wline{fill:none;stroke:#1f5fbf;stroke-width:1.6;stroke-linejoin:round}\n"
    ".tline{fill:none;stroke:#d4491c;stroke-width:1.2;stroke-linejoin:round}\n"
    ".wband{fill:#1f5fbf;fill-opacity:0.18;stroke:none}\n"
    ".tband{fill:#d4491c;fill-opacity:0.16;stroke:none}\n"
    ".wdot,.wmark{fill:#1f5fbf}\n"
    ".tdot,.tmark{fill:#d4491c}\n"
    ".wtick,.wname{fill:#1f5fbf}\n"
    ".ttick,.tname{fill:#d4491c}\n"
    ".wname,.tname{font-size:13px}\n"
    "</style>\n";

std::string Fmt(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Fmt(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n < 0) return std::string();
  return std::string(buf, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buf - 1));
}

// The smallest 1-2-5 step not below `raw`, and the step after `s`.
double StepAtLeast(double raw) {
  double mag = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0, 10.0})
    if (m * mag >= raw * (1 - 1e-9)) return m * mag;
  return 10 * mag;
}
double NextStep(double s) {
  double mag = std::pow(10.0, std::floor(std::log10(s) + 1e-9));
  double m = s / mag;
  if (m < 1.5) return 2 * mag;
  if (m < 3.5) return 5 * mag;
  return 10 * mag;
}

int DecimalsOf(double step) { return std::max(0, static_cast<int>(std::ceil(-std::log10(step) - 1e-9))); }

// Multiples of `step` just enclosing [min, max]; the tolerance keeps a
// rounding error of the division from adding an empty interval.
void Enclose(double min, double max, double step, double& lo, double& hi) {
  const double tol = step * 1e-6;
  lo = std::floor(min / step) * step;
  if (lo > min + tol) lo -= step;
  if (lo + step <= min + tol) lo += step;
  hi = std::ceil(max / step) * step;
  if (hi < max - tol) hi += step;
  if (hi - step >= max - tol) hi -= step;
  if (hi <= lo) hi = lo + step;
}

void Widen(double& min, double& max, double min_span) {
  if (max - min < min_span) {
    double mid = (min + max) / 2;
    min = mid - min_span / 2;
    max = mid + min_span / 2;
  }
}

std::string AxisLabel(const Axis& a, int i) {
  double v = a.lo + i * a.step;
  if (std::fabs(v) < a.step * 1e-6) v = 0;  // no "-0"
  return Fmt("%.*f", a.decimals, v);
}

struct Frame {
  double x0, y0;  // top left of the plot area
  std::int64_t t0, t1;
  double X(double t) const { return x0 + (t - static_cast<double>(t0)) / static_cast<double>(t1 - t0) * kPlotW; }
};
double Y(const Axis& a, double top, double v) { return top + (a.hi - v) / (a.hi - a.lo) * kPlotH; }

void Line(std::string& o, const char* cls, double x1, double y1, double x2, double y2) {
  o += Fmt("<line class=\"%s\" x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n", cls, x1, y1, x2, y2);
}

// One quantity of a panel: the mean as lines, the min-max band when the
// columns hold more than one reading, a dot for a lone reading.
void DrawQuantity(std::string& o, const std::vector<Column>& cols, const std::vector<std::size_t>& runs,
                  bool weight, bool band, bool marks, const Frame& f, const Axis& a) {
  const char* p = weight ? "w" : "t";
  auto stat = [weight](const Column& c) -> const Stat& { return weight ? c.data.weight : c.data.temp; };
  for (std::size_t r = 0; r < runs.size(); ++r) {
    std::size_t b = runs[r], e = r + 1 < runs.size() ? runs[r + 1] : cols.size();
    if (e - b == 1) {
      o += Fmt("<circle class=\"%sdot\" cx=\"%.1f\" cy=\"%.1f\" r=\"2.5\"/>\n", p, f.X(cols[b].time),
               Y(a, f.y0, stat(cols[b]).Mean()));
      continue;
    }
    if (band) {
      o += Fmt("<polygon class=\"%sband\" points=\"", p);
      for (std::size_t i = b; i < e; ++i) o += Fmt("%.1f,%.1f ", f.X(cols[i].time), Y(a, f.y0, stat(cols[i]).max));
      for (std::size_t i = e; i-- > b;) o += Fmt("%.1f,%.1f ", f.X(cols[i].time), Y(a, f.y0, stat(cols[i]).min));
      o.back() = '"';
      o += "/>\n";
    }
    o += Fmt("<polyline class=\"%sline\" points=\"", p);
    for (std::size_t i = b; i < e; ++i) o += Fmt("%.1f,%.1f ", f.X(cols[i].time), Y(a, f.y0, stat(cols[i]).Mean()));
    o.back() = '"';
    o += "/>\n";
  }
  if (marks) {
    for (const Column& c : cols)
      o += Fmt("<circle class=\"%smark\" cx=\"%.1f\" cy=\"%.1f\" r=\"1.8\"/>\n", p, f.X(c.time),
               Y(a, f.y0, stat(c).Mean()));
  }
}

// "day", "2 days", "15 minutes", ...
std::string Duration(std::int64_t s) {
  struct Unit {
    std::int64_t sec;
    const char* name;
  };
  static const Unit kUnits[] = {{86400, "day"}, {3600, "hour"}, {60, "minute"}, {1, "second"}};
  for (const Unit& u : kUnits) {
    if (s % u.sec != 0) continue;
    std::int64_t n = s / u.sec;
    return n == 1 ? std::string(u.name) : Fmt("%lld %ss", static_cast<long long>(n), u.name);
  }
  return "?";
}

// "07.12.2026 08:15 – 09:45", "01.01.2026 00:00 – 31.12.2026 23:55".
std::string Range(std::int64_t t0, std::int64_t t1) {
  std::string from = FormatDate(t0) + " " + FormatTime(t0, false);
  if (FormatTime(t0, false) == FormatTime(t1, false) && t1 - t0 < 60) return from;
  return from + " \xE2\x80\x93 " + (FormatDate(t0) == FormatDate(t1) ? "" : FormatDate(t1) + " ") + FormatTime(t1, false);
}

const char* Plural(std::uint64_t n, const char* one, const char* more) { return n == 1 ? one : more; }

void DrawPanel(std::string& o, const Scale& sc, double top, std::int64_t t0, std::int64_t t1, const TimeTicks& ticks) {
  const Series& s = *sc.series;
  Frame f{kLeft, top + kPanelTop, t0, t1};
  const double bottom = f.y0 + kPlotH, right = f.x0 + kPlotW;

  Axis wa = NiceAxis(s.Weight().min, s.Weight().max, 6, 0.1);
  Axis ta = MatchAxis(s.Temp().min, s.Temp().max, wa.intervals, 0.1);
  std::vector<Column> cols = MakeColumns(s, t0, t1, kPlotW);
  std::vector<std::size_t> runs = SplitAtGaps(cols, static_cast<double>(t1 - t0));

  o += Fmt("<g class=\"panel\" id=\"scale-%d\">\n", sc.device);
  std::string how;
  if (!s.Exact()) how = "; line: mean, band: min\xE2\x80\x93max per " + Duration(ColumnWidth(s, t0, t1, kPlotW));
  o += Fmt("<text class=\"title\" x=\"%d\" y=\"%.1f\">Scale %d<tspan class=\"sub\" dx=\"12\">%llu %s, %s%s</tspan></text>\n",
           kLeft, top + 26, sc.device, static_cast<unsigned long long>(s.Count()), Plural(s.Count(), "reading", "readings"),
           Range(s.First(), s.Last()).c_str(),
           how.c_str());

  // Legend, right-aligned above the plot.
  double lx = right - 290, ly = top + 22;
  Line(o, "wline", lx, ly, lx + 24, ly);
  o += Fmt("<text class=\"wname\" x=\"%.1f\" y=\"%.1f\">weight [kg]</text>\n", lx + 30, ly + 4);
  Line(o, "tline", lx + 130, ly, lx + 154, ly);
  o += Fmt("<text class=\"tname\" x=\"%.1f\" y=\"%.1f\">temperature [\xC2\xB0" "C]</text>\n", lx + 160, ly + 4);

  for (int i = 0; i <= wa.intervals; ++i) {
    double y = f.y0 + static_cast<double>(wa.intervals - i) / wa.intervals * kPlotH;
    Line(o, "grid", f.x0, y, right, y);
    o += Fmt("<text class=\"wtick\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">%s</text>\n", f.x0 - 6, y + 4,
             AxisLabel(wa, i).c_str());
    o += Fmt("<text class=\"ttick\" x=\"%.1f\" y=\"%.1f\">%s</text>\n", right + 6, y + 4, AxisLabel(ta, i).c_str());
  }
  int prev_day = -1;
  for (std::int64_t t : ticks.at) {
    double x = f.X(static_cast<double>(t));
    Line(o, "grid", x, f.y0, x, bottom);
    Line(o, "tick", x, bottom, x, bottom + 5);
    zaznam::Civil c = zaznam::CivilFromSeconds(t);
    if (ticks.kind == TickKind::years) {
      o += Fmt("<text class=\"xtick\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%04d</text>\n", x, bottom + 18, c.year);
    } else if (ticks.kind == TickKind::days) {
      o += Fmt("<text class=\"xtick\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%s</text>\n", x, bottom + 18,
               FormatDate(t).c_str());
    } else {
      o += Fmt("<text class=\"xtick\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%s</text>\n", x, bottom + 18,
               FormatTime(t, ticks.kind == TickKind::seconds).c_str());
      int day = c.year * 400 + c.month * 32 + c.day;
      if (day != prev_day)
        o += Fmt("<text class=\"xtick\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%s</text>\n", x, bottom + 33,
                 FormatDate(t).c_str());
      prev_day = day;
    }
  }

  bool band = !s.Exact();
  bool marks = s.Exact() && cols.size() <= kMarkedPoints;
  DrawQuantity(o, cols, runs, false, band, marks, f, ta);
  DrawQuantity(o, cols, runs, true, band, marks, f, wa);

  o += Fmt("<rect class=\"frame\" x=\"%.1f\" y=\"%.1f\" width=\"%d\" height=\"%d\"/>\n", f.x0, f.y0, kPlotW, kPlotH);
  double mid = f.y0 + kPlotH / 2.0;
  o += Fmt("<text class=\"wname\" transform=\"translate(%d,%.1f) rotate(-90)\" text-anchor=\"middle\">weight [kg]</text>\n",
           kLeft - 68, mid);
  o += Fmt("<text class=\"tname\" transform=\"translate(%d,%.1f) rotate(90)\" text-anchor=\"middle\">"
           "temperature [\xC2\xB0" "C]</text>\n",
           kLeft + kPlotW + 68, mid);
  o += "</g>\n";
}

}  // namespace

Axis NiceAxis(double min, double max, int target, double min_step) {
  Widen(min, max, 10 * min_step);
  Axis a;
  a.step = std::max(StepAtLeast((max - min) / std::max(target, 1)), min_step);
  Enclose(min, max, a.step, a.lo, a.hi);
  a.intervals = std::max(1, static_cast<int>(std::lround((a.hi - a.lo) / a.step)));
  a.hi = a.lo + a.intervals * a.step;
  a.decimals = DecimalsOf(a.step);
  return a;
}

Axis MatchAxis(double min, double max, int intervals, double min_step) {
  Widen(min, max, 10 * min_step);
  intervals = std::max(intervals, 1);
  Axis a;
  a.step = StepAtLeast(std::max((max - min) / intervals, min_step));
  int used = 0;
  for (int guard = 0; guard < 64; ++guard) {
    Enclose(min, max, a.step, a.lo, a.hi);
    used = static_cast<int>(std::lround((a.hi - a.lo) / a.step));
    if (used <= intervals) break;
    a.step = NextStep(a.step);
  }
  a.lo -= (intervals - used) / 2 * a.step;
  a.intervals = intervals;
  a.hi = a.lo + intervals * a.step;
  a.decimals = DecimalsOf(a.step);
  return a;
}

TimeTicks MakeTimeTicks(std::int64_t t0, std::int64_t t1, int max_ticks) {
  struct Step {
    std::int64_t sec;  // fixed steps; for months and years the mean length
    int months;        // 0, or the step in months (12k: years)
    TickKind kind;
  };
  static const Step kSteps[] = {
      {1, 0, TickKind::seconds},      {2, 0, TickKind::seconds},      {5, 0, TickKind::seconds},
      {10, 0, TickKind::seconds},     {15, 0, TickKind::seconds},     {30, 0, TickKind::seconds},
      {60, 0, TickKind::minutes},     {120, 0, TickKind::minutes},    {300, 0, TickKind::minutes},
      {600, 0, TickKind::minutes},    {900, 0, TickKind::minutes},    {1800, 0, TickKind::minutes},
      {3600, 0, TickKind::minutes},   {7200, 0, TickKind::minutes},   {10800, 0, TickKind::minutes},
      {21600, 0, TickKind::minutes},  {43200, 0, TickKind::minutes},  {86400, 0, TickKind::days},
      {172800, 0, TickKind::days},    {604800, 0, TickKind::days},    {2629746, 1, TickKind::days},
      {5259492, 2, TickKind::days},   {7889238, 3, TickKind::days},   {15778476, 6, TickKind::days},
      {31556952, 12, TickKind::years}, {63113904, 24, TickKind::years}, {157784760, 60, TickKind::years},
      {315569520, 120, TickKind::years}, {631139040, 240, TickKind::years}, {1577847600, 600, TickKind::years},
      {3155695200, 1200, TickKind::years}, {6311390400, 2400, TickKind::years}, {15778476000, 6000, TickKind::years},
      {31556952000, 12000, TickKind::years},
  };
  TimeTicks out;
  if (t1 < t0) return out;
  max_ticks = std::max(max_ticks, 2);
  const std::int64_t span = t1 - t0;
  const Step* st = &kSteps[sizeof kSteps / sizeof kSteps[0] - 1];
  for (const Step& s : kSteps) {
    if (span / s.sec < max_ticks) {
      st = &s;
      break;
    }
  }
  out.kind = st->kind;
  const int kGuard = 4 * max_ticks + 4;
  if (st->months == 0) {
    std::int64_t t = FloorDiv(t0, st->sec) * st->sec;
    if (st->sec == 604800) {  // weeks start on Monday; 05.01.1970 was one
      std::int64_t d = FloorDiv(t0, 86400);
      std::int64_t r = ((d - 4) % 7 + 7) % 7;
      t = (d + (r ? 7 - r : 0)) * 86400;
    }
    for (int g = 0; t <= t1 && g < kGuard; t += st->sec, ++g)
      if (t >= t0) out.at.push_back(t);
    return out;
  }
  zaznam::Civil c = zaznam::CivilFromSeconds(t0);
  if (st->months >= 12) {  // on the first of January of every k-th year
    const int k = st->months / 12;
    for (int y = (c.year + k - 1) / k * k, g = 0; y <= 9999 && g < kGuard; y += k, ++g) {
      std::int64_t t = zaznam::SecondsFromCivil(y, 1, 1, 0, 0, 0);
      if (t > t1) break;
      if (t >= t0) out.at.push_back(t);
    }
    return out;
  }
  int y = c.year, m = c.month;  // the first of this month, then onwards
  for (int g = 0; g < 12 * kGuard; ++g) {
    std::int64_t t = zaznam::SecondsFromCivil(y, m, 1, 0, 0, 0);
    if (t > t1) break;
    if ((m - 1) % st->months == 0 && t >= t0) out.at.push_back(t);
    if (++m > 12) {
      m = 1;
      ++y;
    }
  }
  return out;
}

std::vector<Column> MakeColumns(const Series& s, std::int64_t t0, std::int64_t t1, int ncols) {
  std::vector<Column> out;
  if (s.Exact()) {
    out.reserve(s.Points().size());
    for (const Point& p : s.Points()) {
      Column c{static_cast<double>(p.time), Bucket{}};
      c.data.weight.Add(p.weight);
      c.data.temp.Add(p.temp);
      out.push_back(c);
    }
    std::stable_sort(out.begin(), out.end(), [](const Column& a, const Column& b) { return a.time < b.time; });
    return out;
  }
  const std::int64_t cw = ColumnWidth(s, t0, t1, ncols);
  const std::int64_t per = cw / s.Width();
  const std::vector<Bucket>& bs = s.Buckets();
  const std::int64_t c0 = FloorDiv(s.Base(), per);
  std::vector<Bucket> cols(bs.size() / static_cast<std::size_t>(per) + 2);
  for (std::size_t i = 0; i < bs.size(); ++i) {
    if (bs[i].Empty()) continue;
    Bucket& col = cols[static_cast<std::size_t>(FloorDiv(s.Base() + static_cast<std::int64_t>(i), per) - c0)];
    col.weight.Merge(bs[i].weight);
    col.temp.Merge(bs[i].temp);
  }
  for (std::size_t j = 0; j < cols.size(); ++j) {
    if (cols[j].Empty()) continue;
    double mid = (static_cast<double>(c0 + static_cast<std::int64_t>(j)) + 0.5) * static_cast<double>(cw);
    mid = std::min(std::max(mid, static_cast<double>(t0)), static_cast<double>(t1));
    out.push_back(Column{mid, cols[j]});
  }
  return out;
}

std::int64_t ColumnWidth(const Series& s, std::int64_t t0, std::int64_t t1, int ncols) {
  if (s.Exact()) return 0;
  const std::int64_t pixel = (t1 - t0) / std::max(ncols, 1);
  std::int64_t w = s.Width();
  while (w < pixel || (w > 7200 && w < 86400)) w = NextWidth(w);
  return w;
}

std::vector<std::size_t> SplitAtGaps(const std::vector<Column>& cols, double span) {
  std::vector<std::size_t> runs;
  if (cols.empty()) return runs;
  std::vector<double> dt;
  dt.reserve(cols.size());
  for (std::size_t i = 1; i < cols.size(); ++i)
    if (cols[i].time > cols[i - 1].time) dt.push_back(cols[i].time - cols[i - 1].time);
  double limit = span / 200;
  if (!dt.empty()) {
    std::nth_element(dt.begin(), dt.begin() + static_cast<std::ptrdiff_t>(dt.size() / 2), dt.end());
    limit = std::max(limit, 4 * dt[dt.size() / 2]);
  }
  runs.push_back(0);
  for (std::size_t i = 1; i < cols.size(); ++i)
    if (cols[i].time - cols[i - 1].time > limit) runs.push_back(i);
  return runs;
}

std::string FormatDate(std::int64_t t) {
  zaznam::Civil c = zaznam::CivilFromSeconds(t);
  return Fmt("%02d.%02d.%04d", c.day, c.month, c.year);
}

std::string FormatTime(std::int64_t t, bool seconds) {
  zaznam::Civil c = zaznam::CivilFromSeconds(t);
  return seconds ? Fmt("%02d:%02d:%02d", c.hour, c.min, c.sec) : Fmt("%02d:%02d", c.hour, c.min);
}

std::string XmlText(const std::string& s) {
  std::string o;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  for (std::size_t i = 0; i < n;) {
    unsigned char c = p[i];
    if (c < 0x80) {
      switch (c) {
        case '&': o += "&amp;"; break;
        case '<': o += "&lt;"; break;
        case '>': o += "&gt;"; break;
        case '"': o += "&quot;"; break;
        default: o += (c < 0x20 || c == 0x7F) ? '?' : static_cast<char>(c);
      }
      ++i;
      continue;
    }
    // A well-formed UTF-8 sequence, no overlong forms, surrogates or
    // values past U+10FFFF.
    std::size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    std::uint32_t cp = len == 4 ? (c & 0x07u) : len == 3 ? (c & 0x0Fu) : (c & 0x1Fu);
    bool ok = len != 0 && i + len <= n && c <= 0xF4;
    for (std::size_t k = 1; ok && k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (p[i + k] & 0x3Fu);
    }
    if (ok) ok = !(len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) && !(len == 4 && (cp < 0x10000 || cp > 0x10FFFF));
    if (ok) {
      o.append(s, i, len);
      i += len;
    } else {
      o += '?';
      ++i;
    }
  }
  return o;
}

std::string RenderSvg(const Picture& pic) {
  std::int64_t t0 = 0, t1 = 0;
  std::uint64_t total = 0;
  bool any = false;
  for (const Scale& sc : pic.scales) {
    if (sc.series->Count() == 0) continue;
    t0 = any ? std::min(t0, sc.series->First()) : sc.series->First();
    t1 = any ? std::max(t1, sc.series->Last()) : sc.series->Last();
    total += sc.series->Count();
    any = true;
  }
  std::vector<Scale> shown;
  for (const Scale& sc : pic.scales)
    if (sc.series->Count() > 0) shown.push_back(sc);
  const std::int64_t d0 = t0, d1 = t1;
  if (t1 == t0) {  // one moment: an hour around it
    t0 -= 1800;
    t1 += 1800;
  }
  // A margin keeps the first and last readings off the frame.
  const std::int64_t pad = std::max<std::int64_t>((t1 - t0) / 100, 1);
  t0 -= pad;
  t1 += pad;

  const int height = kHead + static_cast<int>(shown.size()) * kPanelH + (shown.empty() ? 40 : 10);
  std::string o;
  o += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  o += Fmt("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\">\n", kWidth,
           height, kWidth, height);
  o += kStyle;
  o += Fmt("<rect x=\"0\" y=\"0\" width=\"%d\" height=\"%d\" fill=\"#ffffff\"/>\n", kWidth, height);

  std::string src = pic.source;
  if (src.size() > 150) src = src.substr(0, 150) + "...";
  o += Fmt("<text class=\"head\" x=\"%d\" y=\"26\">Weight and temperature: ", kLeft);
  o += XmlText(src);
  o += "</text>\n";
  std::string info;
  if (any)
    info = Range(d0, d1) + Fmt(", %llu %s from %zu %s", static_cast<unsigned long long>(total),
                               Plural(total, "reading", "readings"), shown.size(), Plural(shown.size(), "scale", "scales"));
  else
    info = "no readings";
  if (pic.skipped)
    info += Fmt(", %llu malformed %s skipped", static_cast<unsigned long long>(pic.skipped),
                Plural(pic.skipped, "line", "lines"));
  o += Fmt("<text class=\"info\" x=\"%d\" y=\"46\">%s</text>\n", kLeft, info.c_str());

  TimeTicks ticks = MakeTimeTicks(t0, t1, kMaxTimeTicks);
  for (std::size_t i = 0; i < shown.size(); ++i)
    DrawPanel(o, shown[i], kHead + static_cast<double>(i) * kPanelH, t0, t1, ticks);
  o += "</svg>\n";
  return o;
}

}  // namespace plot
