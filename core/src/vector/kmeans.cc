// Lloyd's k-means with reproducible single-precision arithmetic: sums in
// fixed orders, and the nearest-centroid search of nearest.h, which gives the
// plain sequential scan's answer bit for bit.
#include "vector/training.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <limits>

#include "base/parallel.h"
#include "halcyra/vector_index.h"
#include "vector/nearest.h"

namespace halcyra {
namespace {

void CopyPoint(const float* points, size_t d, uint64_t index, float* dst) {
  std::copy_n(points + index * d, d, dst);
}

// The points of one assignment pass in ranges of between about a million and
// sixteen million multiply-adds (so that a stop is noticed soon), at least
// four per thread where there are points enough (so that uneven ones even
// out). Range i is [begin(i), begin(i + 1)).
class PointRanges {
 public:
  PointRanges(size_t n, uint64_t per_point, size_t threads) : n_(n) {
    constexpr uint64_t kMinWork = uint64_t{1} << 20, kMaxWork = uint64_t{1} << 24;
    const uint64_t most = std::max<uint64_t>(1, n / std::max<uint64_t>(1, kMinWork / per_point));
    const uint64_t wanted = std::max<uint64_t>(4 * threads, n / std::max<uint64_t>(1, kMaxWork / per_point));
    count_ = static_cast<size_t>(std::min(most, wanted));
  }
  size_t count() const { return count_; }
  size_t begin(size_t i) const { return n_ * i / count_; }

 private:
  size_t n_;
  size_t count_;
};

// Adds each point to the sum of its cluster, range after range in point
// order. A range is added once every range before it is; whichever thread
// finds the next range assigned adds it (and any after it that are ready)
// while the others go on assigning, so the update's sums overlap the
// assignment yet every sum is taken in point order.
class OrderedSums {
 public:
  OrderedSums(const float* points, size_t d, const uint32_t* assignments, const PointRanges* ranges, float* sums,
              uint64_t* counts)
      : points_(points), d_(d), assignments_(assignments), ranges_(ranges), sums_(sums), counts_(counts),
        assigned_(ranges->count()) {}

  // Range r is assigned: add it, or leave it to the thread adding ranges.
  void Assigned(size_t r) {
    assigned_[r].store(true);
    // A thread that finds the adder busy leaves its range to it: the adder
    // looks again once it has let go, and sees the range or lets this
    // thread's next attempt in.
    bool idle = false;
    while (busy_.compare_exchange_strong(idle, true)) {
      size_t next = next_;
      for (; next < assigned_.size() && assigned_[next].load(); ++next) Add(next);
      next_ = next;
      busy_.store(false);
      if (next == assigned_.size() || !assigned_[next].load()) return;
      idle = false;
    }
  }

 private:
  void Add(size_t r) {
    for (size_t i = ranges_->begin(r); i < ranges_->begin(r + 1); ++i) {
      const uint32_t c = assignments_[i];
      float* sum = sums_ + c * d_;
      const float* x = points_ + i * d_;
      for (size_t t = 0; t < d_; ++t) sum[t] += x[t];
      ++counts_[c];
    }
  }

  const float* points_;
  size_t d_;
  const uint32_t* assignments_;
  const PointRanges* ranges_;
  float* sums_;
  uint64_t* counts_;
  std::vector<std::atomic<bool>> assigned_;
  std::atomic<bool> busy_{false};
  size_t next_ = 0;  // the first range not yet added; read and written by the adder only
};

// AssignNearest over ranges of points, on the threads of a call or, when
// !use_threads, one after another on this thread, and unless sums is null
// each point added to its cluster's sums (k x d, zeroed) and counts (k,
// zeroed); false when interrupted.
bool AssignAll(Isa isa, const float* points, size_t n, size_t d, const float* centroids, size_t k,
               uint32_t* assignments, bool use_threads, float* sums, uint64_t* counts) {
  const PointRanges ranges(n, uint64_t{k} * d, use_threads ? ThreadCount() : 1);
  OrderedSums ordered(points, d, assignments, &ranges, sums, counts);
  auto task = [&](size_t r) {
    const size_t begin = ranges.begin(r), end = ranges.begin(r + 1);
    AssignNearest(isa, points + begin * d, end - begin, d, centroids, k, assignments + begin);
    if (sums != nullptr) ordered.Assigned(r);
  };
  if (use_threads) return ParallelFor(ranges.count(), task);
  for (size_t r = 0; r < ranges.count(); ++r) {
    if (StopRequested()) return false;
    task(r);
  }
  return true;
}

}  // namespace

KmeansResult Kmeans(const float* points, size_t n, size_t d, size_t k, uint64_t iters, TrainRng* rng,
                    bool use_threads) {
  assert(n >= 1 && d >= 1 && k >= 1 && iters >= 1);
  assert(k <= std::numeric_limits<uint32_t>::max());
  KmeansResult r;
  r.centroids.resize(k * d);
  r.assignments.resize(n);
  for (size_t c = 0; c < k; ++c) CopyPoint(points, d, rng->Draw(n), &r.centroids[c * d]);

  const Isa isa = BestIsa();
  std::vector<float> sums;
  std::vector<uint64_t> counts;
  for (uint64_t iter = 0; iter < iters; ++iter) {
    sums.assign(k * d, 0.0f);
    counts.assign(k, 0);
    if (!AssignAll(isa, points, n, d, r.centroids.data(), k, r.assignments.data(), use_threads, sums.data(),
                   counts.data())) {
      r.interrupted = true;
      return r;
    }
    for (size_t c = 0; c < k; ++c) {
      float* centroid = &r.centroids[c * d];
      if (counts[c] == 0) {
        CopyPoint(points, d, rng->Draw(n), centroid);
        continue;
      }
      const float inv = 1.0f / static_cast<float>(counts[c]);
      for (size_t t = 0; t < d; ++t) centroid[t] = sums[c * d + t] * inv;
    }
  }
  r.interrupted =
      !AssignAll(isa, points, n, d, r.centroids.data(), k, r.assignments.data(), use_threads, nullptr, nullptr);
  return r;
}

}  // namespace halcyra
