// The nearest-centroid search is vectorised across points, never within one
// distance. A tile of 2W points (W = lanes of the vector unit) is transposed
// so that component t of every point of the tile is contiguous:
//
//   tile[t * 2W + l] = component t of point first + l
//
// and scored against two centroids at a time: two vectors of points times two
// centroids are four independent accumulators, enough to keep the adders busy
// while each waits for its previous sum. Each accumulator sums
// (x[t] - c[t])^2 for t = 0, 1, ... d-1 from zero, and each lane keeps its own
// running best over c = 0, 1, ... k-1, so every distance and every comparison
// is the one the plain sequential scan makes.
#include "vector/nearest.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <limits>
#include <vector>

namespace halcyra {
namespace {

typedef float F4 __attribute__((vector_size(16)));
typedef uint32_t U4 __attribute__((vector_size(16)));
typedef float F8 __attribute__((vector_size(32)));
typedef uint32_t U8 __attribute__((vector_size(32)));
typedef float F16 __attribute__((vector_size(64)));
typedef uint32_t U16 __attribute__((vector_size(64)));

// Lanes past the last point repeat it; their results are dropped.
void LoadTile(const float* points, size_t first, size_t count, size_t d, size_t lanes, float* tile) {
  for (size_t l = 0; l < lanes; ++l) {
    const float* x = points + (first + std::min(l, count - 1)) * d;
    for (size_t t = 0; t < d; ++t) tile[t * lanes + l] = x[t];
  }
}

// Per lane: the candidate replaces the best if it is strictly smaller. A
// comparison with NaN is false.
template <typename F, typename U>
inline __attribute__((always_inline)) void Keep(const F& distance, uint32_t number, F* best, U* nearest) {
  const auto closer = distance < *best;
  *best = closer ? distance : *best;
  *nearest = closer ? U{} + number : *nearest;
}

// F holds W floats and U W centroid numbers. rows is even.
template <typename F, typename U>
inline __attribute__((always_inline)) void AssignTiles(const float* points, size_t n, size_t d, const float* centroids,
                                                       size_t rows, float* tile, uint32_t* assignments) {
  constexpr size_t W = sizeof(F) / sizeof(float);
  constexpr size_t kLanes = 2 * W;
  for (size_t first = 0; first < n; first += kLanes) {
    const size_t count = std::min(kLanes, n - first);
    LoadTile(points, first, count, d, kLanes, tile);
    F best0 = F{} + std::numeric_limits<float>::infinity(), best1 = best0;
    U nearest0 = {}, nearest1 = {};
    for (size_t c = 0; c < rows; c += 2) {
      const float* c0 = centroids + c * d;
      const float* c1 = c0 + d;
      F a00 = {}, a01 = {}, a10 = {}, a11 = {};  // a<centroid><tile half>
      for (size_t t = 0; t < d; ++t) {
        F x0, x1;
        std::memcpy(&x0, tile + t * kLanes, sizeof x0);
        std::memcpy(&x1, tile + t * kLanes + W, sizeof x1);
        F diff = x0 - c0[t];
        a00 += diff * diff;
        diff = x1 - c0[t];
        a01 += diff * diff;
        diff = x0 - c1[t];
        a10 += diff * diff;
        diff = x1 - c1[t];
        a11 += diff * diff;
      }
      // Centroid c before centroid c + 1.
      Keep(a00, static_cast<uint32_t>(c), &best0, &nearest0);
      Keep(a10, static_cast<uint32_t>(c + 1), &best0, &nearest0);
      Keep(a01, static_cast<uint32_t>(c), &best1, &nearest1);
      Keep(a11, static_cast<uint32_t>(c + 1), &best1, &nearest1);
    }
    uint32_t nearest[kLanes];
    std::memcpy(nearest, &nearest0, sizeof nearest0);
    std::memcpy(nearest + W, &nearest1, sizeof nearest1);
    std::copy_n(nearest, count, assignments + first);
  }
}

// One instance per instruction set: wider vectors, and the same
// single-precision subtractions, multiplications, additions and comparisons
// in the same order. Contraction into fused multiply-adds is disabled for the
// whole build, so no instance rounds differently.
void AssignBaseline(const float* points, size_t n, size_t d, const float* centroids, size_t rows, float* tile,
                    uint32_t* assignments) {
  AssignTiles<F4, U4>(points, n, d, centroids, rows, tile, assignments);
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) void AssignAvx2(const float* points, size_t n, size_t d, const float* centroids,
                                                size_t rows, float* tile, uint32_t* assignments) {
  AssignTiles<F8, U8>(points, n, d, centroids, rows, tile, assignments);
}

__attribute__((target("avx512f"))) void AssignAvx512(const float* points, size_t n, size_t d, const float* centroids,
                                                     size_t rows, float* tile, uint32_t* assignments) {
  AssignTiles<F16, U16>(points, n, d, centroids, rows, tile, assignments);
}
#endif

}  // namespace

bool IsaAvailable(Isa isa) {
  switch (isa) {
    case Isa::kBaseline:
      return true;
#if defined(__x86_64__)
    case Isa::kAvx2:
      return __builtin_cpu_supports("avx2");
    case Isa::kAvx512:
      return __builtin_cpu_supports("avx512f");
#else
    case Isa::kAvx2:
    case Isa::kAvx512:
      return false;
#endif
  }
  return false;
}

Isa BestIsa() {
  if (IsaAvailable(Isa::kAvx512)) return Isa::kAvx512;
  if (IsaAvailable(Isa::kAvx2)) return Isa::kAvx2;
  return Isa::kBaseline;
}

void AssignNearest(Isa isa, const float* points, size_t n, size_t d, const float* centroids, size_t k,
                   uint32_t* assignments) {
  assert(IsaAvailable(isa));
  // Centroids go in pairs. An odd count gets a padding row of +infinity,
  // whose distance from any point is +infinity or NaN and so never wins.
  std::vector<float> padded;
  if (k % 2 != 0) {
    padded.assign((k + 1) * d, std::numeric_limits<float>::infinity());
    std::copy_n(centroids, k * d, padded.data());
    centroids = padded.data();
  }
  const size_t rows = (k + 1) / 2 * 2;
  // The widest tile, 2 x 16 lanes, on a cache-line boundary: a vector load
  // that straddles two lines costs two, and the tile is read k times.
  constexpr size_t kLineFloats = 64 / sizeof(float);
  std::vector<float> storage(32 * d + kLineFloats);
  float* tile = storage.data();
  tile += (kLineFloats - reinterpret_cast<uintptr_t>(tile) / sizeof(float) % kLineFloats) % kLineFloats;
  switch (isa) {
#if defined(__x86_64__)
    case Isa::kAvx512:
      AssignAvx512(points, n, d, centroids, rows, tile, assignments);
      return;
    case Isa::kAvx2:
      AssignAvx2(points, n, d, centroids, rows, tile, assignments);
      return;
#endif
    default:
      AssignBaseline(points, n, d, centroids, rows, tile, assignments);
  }
}

}  // namespace halcyra
