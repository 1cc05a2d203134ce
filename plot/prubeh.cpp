#include "prubeh.h"

#include <algorithm>

namespace plot {

void Stat::Add(double v) {
  if (count == 0) {
    min = max = v;
  } else {
    min = std::min(min, v);
    max = std::max(max, v);
  }
  sum += v;
  ++count;
}

void Stat::Merge(const Stat& o) {
  if (o.count == 0) return;
  if (count == 0) {
    *this = o;
    return;
  }
  min = std::min(min, o.min);
  max = std::max(max, o.max);
  sum += o.sum;
  count += o.count;
}

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

std::int64_t NextWidth(std::int64_t width) {
  static const std::int64_t kLadder[] = {1, 5, 15, 30, 60, 300, 900, 1800, 3600, 7200, 21600, 43200, 86400};
  for (std::int64_t w : kLadder)
    if (w > width) return w;
  return width * 2;
}

std::int64_t MergeBuckets(std::vector<Bucket>& buckets, std::int64_t base, std::int64_t factor) {
  std::int64_t nbase = FloorDiv(base, factor);
  std::vector<Bucket> merged(buckets.size());
  for (std::size_t i = 0; i < buckets.size(); ++i) {
    if (buckets[i].Empty()) continue;
    std::int64_t j = FloorDiv(base + static_cast<std::int64_t>(i), factor) - nbase;
    merged[static_cast<std::size_t>(j)].weight.Merge(buckets[i].weight);
    merged[static_cast<std::size_t>(j)].temp.Merge(buckets[i].temp);
  }
  buckets.swap(merged);
  return nbase;
}

Series::Series(std::size_t capacity) : capacity_(std::max<std::size_t>(capacity, 2)) {}

void Series::Add(std::int64_t time, double weight, double temp) {
  if (count_ == 0) {
    first_ = last_ = time;
  } else {
    first_ = std::min(first_, time);
    last_ = std::max(last_, time);
  }
  ++count_;
  weight_.Add(weight);
  temp_.Add(temp);
  if (Exact()) {
    if (points_.size() < capacity_) {
      points_.push_back(Point{time, weight, temp});
      return;
    }
    ToBuckets();
  }
  Put(time, weight, temp);
}

// The first window: the narrowest width whose aligned grid of `capacity_`
// buckets holds every reading so far.
void Series::ToBuckets() {
  width_ = 1;
  while (FloorDiv(last_, width_) - FloorDiv(first_, width_) >= static_cast<std::int64_t>(capacity_))
    width_ = NextWidth(width_);
  base_ = hi_ = FloorDiv(first_, width_);
  buckets_.assign(capacity_, Bucket{});
  for (const Point& p : points_) Put(p.time, p.weight, p.temp);
  std::vector<Point>().swap(points_);
}

// The window starts at the earliest occupied bucket. A reading before it
// shifts the buckets when the whole span still fits, otherwise (and for a
// reading past the window) the buckets grow coarser until it does.
void Series::Put(std::int64_t time, double weight, double temp) {
  const std::int64_t n = static_cast<std::int64_t>(capacity_);
  std::int64_t idx = FloorDiv(time, width_);
  while (idx < base_ || idx >= base_ + n) {
    if (idx < base_ && hi_ - idx < n) {
      std::size_t k = static_cast<std::size_t>(base_ - idx);
      std::move_backward(buckets_.begin(), buckets_.end() - static_cast<std::ptrdiff_t>(k), buckets_.end());
      std::fill(buckets_.begin(), buckets_.begin() + static_cast<std::ptrdiff_t>(k), Bucket{});
      base_ = idx;
      break;
    }
    const std::int64_t next = NextWidth(width_);
    base_ = MergeBuckets(buckets_, base_, next / width_);
    hi_ = FloorDiv(hi_, next / width_);
    width_ = next;
    idx = FloorDiv(time, width_);
  }
  hi_ = std::max(hi_, idx);
  Bucket& b = buckets_[static_cast<std::size_t>(idx - base_)];
  b.weight.Add(weight);
  b.temp.Add(temp);
}

}  // namespace plot
