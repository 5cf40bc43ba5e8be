// Lloyd's k-means with reproducible single-precision arithmetic.
//
// The assignment step dominates the cost. It is vectorised across centroids,
// never within one distance: centroids are regrouped into blocks of kBlock so
// that component t of every centroid of a block is contiguous, and one point
// is scored against a whole block at once with one accumulator per centroid.
// Each accumulator still sums (x[t] - c[t])^2 for t = 0, 1, ... d-1 from zero,
// so every distance is bit-identical to the plain sequential loop.
#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>
#include <limits>

#include "halcyra/ivfpq.h"

namespace halcyra {
namespace {

// Centroids scored together: 32 accumulators fill 8 SSE registers.
constexpr size_t kBlock = 32;
// Points scored against one block before moving to the next, so that a block
// is fetched from memory once per tile rather than once per point.
constexpr size_t kPointTile = 64;

// Block layout: packed[(b * d + t) * kBlock + l] = component t of centroid
// b * kBlock + l. Lanes past k hold +infinity, whose distance from any point
// is +infinity or NaN and so never wins.
void PackCentroids(const float* centroids, size_t k, size_t d, std::vector<float>* packed) {
  const size_t blocks = (k + kBlock - 1) / kBlock;
  packed->assign(blocks * d * kBlock, std::numeric_limits<float>::infinity());
  for (size_t c = 0; c < k; ++c) {
    float* lane = packed->data() + (c / kBlock) * d * kBlock + c % kBlock;
    for (size_t t = 0; t < d; ++t) lane[t * kBlock] = centroids[c * d + t];
  }
}

// For one point, the nearest centroid seen so far in each lane: lane l covers
// centroids l, kBlock + l, 2 kBlock + l, ...
struct LaneBest {
  float distance[kBlock];
  uint32_t block[kBlock];
};

// Scores x against the kBlock centroids of block b and keeps, per lane, the
// closer of the new and the best earlier centroid. Blocks arrive in order and
// only a strictly smaller distance replaces, so each lane holds its first
// minimum and never a NaN.
inline void ScoreBlock(const float* __restrict x, const float* __restrict block, size_t d, uint32_t b,
                       LaneBest* __restrict best) {
  float acc[kBlock] = {};
  for (size_t t = 0; t < d; ++t) {
    const float xt = x[t];
    const float* row = block + t * kBlock;
    // Unrolling lets the compiler keep all kBlock accumulators in registers.
#pragma GCC unroll 8
    for (size_t l = 0; l < kBlock; ++l) {
      const float diff = xt - row[l];
      acc[l] += diff * diff;
    }
  }
  // isless is the quiet comparison: unlike <, it lets the compiler turn this
  // loop into vector selects. It orders numbers the same way and is false for NaN.
  for (size_t l = 0; l < kBlock; ++l) {
    const bool closer = std::isless(acc[l], best->distance[l]);
    best->distance[l] = closer ? acc[l] : best->distance[l];
    best->block[l] = closer ? b : best->block[l];
  }
}

// The sequential scan's answer from the lane minima: the smallest distance,
// ties to the lowest centroid number, and centroid 0 when no distance is
// below +infinity (all infinite or NaN).
uint32_t Nearest(const LaneBest& best) {
  float distance = std::numeric_limits<float>::infinity();
  uint32_t nearest = 0;
  for (size_t l = 0; l < kBlock; ++l) {
    const uint32_t c = best.block[l] * static_cast<uint32_t>(kBlock) + static_cast<uint32_t>(l);
    if (best.distance[l] < distance || (best.distance[l] == distance && c < nearest)) {
      distance = best.distance[l];
      nearest = c;
    }
  }
  return nearest;
}

// Nearest centroid of every point, as the sequential scan over c = 0 .. k-1
// would find it. Also compiled for AVX2, picked at load time where the CPU has
// it: twice the vector width, and the same single-precision subtractions,
// multiplications, additions and comparisons in the same order (AVX2 does not
// bring fused multiply-add, which contraction is disabled for anyway), so the
// result is bit-identical on every CPU.
__attribute__((target_clones("avx2", "default")))
void Assign(const float* points, size_t n, size_t d, const std::vector<float>& packed, size_t k,
            uint32_t* assignments) {
  const size_t blocks = (k + kBlock - 1) / kBlock;
  LaneBest best[kPointTile];
  for (size_t i0 = 0; i0 < n; i0 += kPointTile) {
    const size_t tile = std::min(kPointTile, n - i0);
    for (size_t p = 0; p < tile; ++p) {
      std::fill_n(best[p].distance, kBlock, std::numeric_limits<float>::infinity());
      std::fill_n(best[p].block, kBlock, 0u);
    }
    for (size_t b = 0; b < blocks; ++b) {
      const float* block = packed.data() + b * d * kBlock;
      for (size_t p = 0; p < tile; ++p) {
        ScoreBlock(points + (i0 + p) * d, block, d, static_cast<uint32_t>(b), &best[p]);
      }
    }
    for (size_t p = 0; p < tile; ++p) assignments[i0 + p] = Nearest(best[p]);
  }
}

void CopyPoint(const float* points, size_t d, uint64_t index, float* dst) {
  std::copy_n(points + index * d, d, dst);
}

}  // namespace

KmeansResult kmeans(const float* points, size_t n, size_t d, size_t k, uint64_t iters, TrainRng* rng) {
  assert(n >= 1 && d >= 1 && k >= 1 && iters >= 1);
  assert(k <= std::numeric_limits<uint32_t>::max());
  KmeansResult r;
  r.centroids.resize(k * d);
  r.assignments.resize(n);
  for (size_t c = 0; c < k; ++c) CopyPoint(points, d, rng->Draw(n), &r.centroids[c * d]);

  std::vector<float> packed;
  std::vector<float> sums;
  std::vector<uint64_t> counts;
  for (uint64_t iter = 0; iter < iters; ++iter) {
    PackCentroids(r.centroids.data(), k, d, &packed);
    Assign(points, n, d, packed, k, r.assignments.data());

    sums.assign(k * d, 0.0f);
    counts.assign(k, 0);
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
  PackCentroids(r.centroids.data(), k, d, &packed);
  Assign(points, n, d, packed, k, r.assignments.data());
  return r;
}

}  // namespace halcyra
