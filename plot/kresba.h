// The picture: one SVG, a panel per scale with weight and temperature over
// a common time axis.
#ifndef KVODA_PLOT_KRESBA_H
#define KVODA_PLOT_KRESBA_H

#include <cstdint>
#include <string>
#include <vector>

#include "prubeh.h"

namespace plot {

// Evenly spaced axis values lo, lo+step, ... hi (`intervals` steps).
struct Axis {
  double lo = 0, hi = 1, step = 1;
  int intervals = 1;
  int decimals = 0;
};

// Round 1-2-5 steps, about `target` of them, covering [min, max]; never a
// step below `min_step` (the resolution of the data).
Axis NiceAxis(double min, double max, int target, double min_step);
// The same number of intervals as another axis, so that both share the grid.
Axis MatchAxis(double min, double max, int intervals, double min_step);

enum class TickKind { seconds, minutes, days, years };
struct TimeTicks {
  std::vector<std::int64_t> at;
  TickKind kind = TickKind::days;
};
// Calendar-aligned ticks inside [t0, t1], at most `max_ticks` of them.
TimeTicks MakeTimeTicks(std::int64_t t0, std::int64_t t1, int max_ticks);

// What one pixel column (or, for few readings, one reading) holds.
struct Column {
  double time;  // seconds, naive local time
  Bucket data;
};
// The time one column covers when the series is reduced: a bucket width no
// finer than the buckets nor than 1/ncols of [t0, t1]; past two hours
// straight to whole days, since a column of a few hours would cut the daily
// cycle into alternating halves.
std::int64_t ColumnWidth(const Series& s, std::int64_t t0, std::int64_t t1, int ncols);
// The series reduced to columns of ColumnWidth over [t0, t1], in time
// order; in exact mode every reading is a column of its own.
std::vector<Column> MakeColumns(const Series& s, std::int64_t t0, std::int64_t t1, int ncols);
// Splits the columns where the time step is far longer than usual: returns
// the index of the first column of every run.
std::vector<std::size_t> SplitAtGaps(const std::vector<Column>& cols, double span);

// "DD.MM.YYYY", "HH:MM", ...
std::string FormatDate(std::int64_t t);
std::string FormatTime(std::int64_t t, bool seconds);

// Text for XML: markup characters escaped, bytes that aren't printable
// UTF-8 replaced by '?'.
std::string XmlText(const std::string& s);

struct Scale {
  int device;
  const Series* series;
};
struct Picture {
  std::string source;        // what was read, for the heading
  std::uint64_t skipped = 0;  // malformed lines
  std::vector<Scale> scales;  // in ascending device order
};

std::string RenderSvg(const Picture& pic);

}  // namespace plot

#endif
