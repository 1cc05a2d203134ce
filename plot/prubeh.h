// The course of one scale over time, in bounded memory: the points as they
// are while there are few of them, then time buckets that grow coarser
// (neighbouring buckets merge) whenever the readings outgrow the window.
#ifndef KVODA_PLOT_PRUBEH_H
#define KVODA_PLOT_PRUBEH_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace plot {

constexpr std::size_t kBuckets = 4096;

struct Stat {
  double min = 0, max = 0, sum = 0;
  std::uint64_t count = 0;

  void Add(double v);
  void Merge(const Stat& o);
  double Mean() const { return count ? sum / static_cast<double>(count) : 0.0; }
};

struct Point {
  std::int64_t time;
  double weight, temp;
};

// Weight and temperature gathered over one span of time.
struct Bucket {
  Stat weight, temp;
  bool Empty() const { return weight.count == 0; }
};

// Floor division, also for negative times (before 1970).
std::int64_t FloorDiv(std::int64_t a, std::int64_t b);

// The widths buckets may have, in seconds: 1, 5, 15, 30, 60, 300, 900,
// 1800, 3600, 7200, 21600, 43200, 86400, then doubling. Each divides the
// next and from a day on they are whole days, so that a bucket never holds
// the end of one day and the start of the next.
std::int64_t NextWidth(std::int64_t width);

// Merges each `factor` neighbouring buckets into one: `buckets` cover the
// absolute indices base..base+size-1 of a grid; afterwards they cover the
// grid `factor` times coarser from FloorDiv(base, factor), same size, empty
// buckets at the end. Returns the new base.
std::int64_t MergeBuckets(std::vector<Bucket>& buckets, std::int64_t base, std::int64_t factor);

class Series {
 public:
  explicit Series(std::size_t capacity = kBuckets);

  void Add(std::int64_t time, double weight, double temp);

  std::uint64_t Count() const { return count_; }
  std::int64_t First() const { return first_; }
  std::int64_t Last() const { return last_; }
  const Stat& Weight() const { return weight_; }
  const Stat& Temp() const { return temp_; }

  // Exact while the readings fit into the capacity: Points() holds them in
  // order of arrival. Afterwards Buckets() over the grid of Width() seconds
  // from absolute index Base() (bucket i starts at (Base()+i)*Width()); the
  // first bucket is never empty.
  bool Exact() const { return width_ == 0; }
  const std::vector<Point>& Points() const { return points_; }
  const std::vector<Bucket>& Buckets() const { return buckets_; }
  std::int64_t Width() const { return width_; }
  std::int64_t Base() const { return base_; }

 private:
  void ToBuckets();
  void Put(std::int64_t time, double weight, double temp);

  std::size_t capacity_;
  std::uint64_t count_ = 0;
  std::int64_t first_ = 0, last_ = 0;
  Stat weight_, temp_;
  std::vector<Point> points_;
  std::vector<Bucket> buckets_;
  std::int64_t width_ = 0, base_ = 0, hi_ = 0;  // hi_: last occupied index
};

}  // namespace plot

#endif
