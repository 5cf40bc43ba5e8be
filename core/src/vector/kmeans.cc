// Lloyd's k-means with reproducible single-precision arithmetic: sums in
// fixed orders, and the nearest-centroid search of nearest.h, which gives the
// plain sequential scan's answer bit for bit.
#include "vector/training.h"

#include <algorithm>
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

// AssignNearest over ranges of points, on the threads of a call or, when
// !use_threads, one after another on this thread; false when interrupted. A
// range is given between about a million and sixteen million multiply-adds,
// so that a stop is noticed soon.
bool AssignAll(Isa isa, const float* points, size_t n, size_t d, const float* centroids, size_t k,
               uint32_t* assignments, bool use_threads) {
  constexpr uint64_t kMinWork = uint64_t{1} << 20, kMaxWork = uint64_t{1} << 24;
  const uint64_t per_point = uint64_t{k} * d;
  if (!use_threads) {
    const size_t step = static_cast<size_t>(std::max<uint64_t>(1, kMaxWork / per_point));
    for (size_t begin = 0; begin < n; begin += step) {
      if (StopRequested()) return false;
      AssignNearest(isa, points + begin * d, std::min(step, n - begin), d, centroids, k, assignments + begin);
    }
    return true;
  }
  const uint64_t work = uint64_t{n} * per_point;
  const size_t per_thread = static_cast<size_t>(std::max<uint64_t>(4, work / kMaxWork / ThreadCount()));
  const Ranges ranges(n, static_cast<size_t>(std::max<uint64_t>(1, kMinWork / per_point)), per_thread);
  return ParallelFor(ranges.count(), [&](size_t r) {
    const size_t begin = ranges.begin(r), end = ranges.begin(r + 1);
    AssignNearest(isa, points + begin * d, end - begin, d, centroids, k, assignments + begin);
  });
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
    if (!AssignAll(isa, points, n, d, r.centroids.data(), k, r.assignments.data(), use_threads)) {
      r.interrupted = true;
      return r;
    }

    sums.assign(k * d, 0.0f);
    counts.assign(k, 0);
    // One pass in point order, on one thread: it reads the points as one
    // stream, which is bound by memory, and two threads splitting it by
    // clusters or components were slower than one.
    for (size_t i = 0; i < n; ++i) {
      const uint32_t c = r.assignments[i];
      float* sum = &sums[c * d];
      const float* x = points + i * d;
      for (size_t t = 0; t < d; ++t) sum[t] += x[t];
      ++counts[c];
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
  r.interrupted = !AssignAll(isa, points, n, d, r.centroids.data(), k, r.assignments.data(), use_threads);
  return r;
}

}  // namespace halcyra
