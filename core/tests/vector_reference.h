// Straightforward re-statements of the trainer for the tests to compare the
// optimised code against: one centroid, one component, one point at a time.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "halcyra/vector_index.h"
#include "vector/training.h"

namespace halcyra {
namespace reference {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Bitwise equality, so that NaNs compare equal to themselves and -0 differs from 0.
inline bool SameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// The algorithm exactly as stated, one centroid and one component at a time,
// with its own copy of the generator.
struct ReferenceRng {
  uint64_t x;
  uint64_t Draw(uint64_t n) {
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    return (x * 0x2545F4914F6CDD1DULL) % n;
  }
};

inline std::vector<uint32_t> ReferenceAssign(const std::vector<float>& pts, size_t n, size_t d,
                                      const std::vector<float>& cents, size_t k) {
  std::vector<uint32_t> a(n);
  for (size_t i = 0; i < n; ++i) {
    float best = kInf;
    uint32_t best_c = 0;
    for (size_t c = 0; c < k; ++c) {
      float dist = 0.0f;
      for (size_t t = 0; t < d; ++t) {
        const float diff = pts[i * d + t] - cents[c * d + t];
        dist += diff * diff;
      }
      if (dist < best) {
        best = dist;
        best_c = static_cast<uint32_t>(c);
      }
    }
    a[i] = best_c;
  }
  return a;
}

inline KmeansResult ReferenceKmeans(const std::vector<float>& pts, size_t n, size_t d, size_t k, size_t iters,
                             ReferenceRng* rng) {
  KmeansResult r;
  r.centroids.resize(k * d);
  for (size_t c = 0; c < k; ++c) {
    const uint64_t p = rng->Draw(n);
    for (size_t t = 0; t < d; ++t) r.centroids[c * d + t] = pts[p * d + t];
  }
  for (size_t it = 0; it < iters; ++it) {
    r.assignments = ReferenceAssign(pts, n, d, r.centroids, k);
    std::vector<float> sum(k * d, 0.0f);
    std::vector<uint32_t> count(k, 0);
    for (size_t i = 0; i < n; ++i) {
      for (size_t t = 0; t < d; ++t) sum[r.assignments[i] * d + t] += pts[i * d + t];
      ++count[r.assignments[i]];
    }
    for (size_t c = 0; c < k; ++c) {
      if (count[c] != 0) {
        const float inv = 1.0f / static_cast<float>(count[c]);
        for (size_t t = 0; t < d; ++t) r.centroids[c * d + t] = sum[c * d + t] * inv;
      } else {
        const uint64_t p = rng->Draw(n);
        for (size_t t = 0; t < d; ++t) r.centroids[c * d + t] = pts[p * d + t];
      }
    }
  }
  r.assignments = ReferenceAssign(pts, n, d, r.centroids, k);
  return r;
}

// The trainer, from validated input: unit scaling for inner product, coarse
// k-means, residuals, one k-means per sub-space, lists in input order.
inline IvfPqIndex ReferenceTrain(const std::vector<StagedVector>& items, const IvfPqParams& p) {
  const size_t n = items.size(), dim = p.dim, m = p.m, dsub = dim / m;
  const size_t ksub = size_t{1} << p.nbits;
  const size_t iters = p.kmeans_iters == 0 ? 1 : p.kmeans_iters;
  const size_t nlist = std::min<size_t>(p.nlist, n);
  std::vector<float> x;
  for (const StagedVector& item : items) {
    float s = 0.0f;
    for (float v : item.vector) s += v * v;
    for (float v : item.vector) {
      x.push_back(p.metric == Metric::kInnerProduct && s != 0.0f ? v / std::sqrt(s) : v);
    }
  }
  ReferenceRng rng{p.seed == 0 ? 0x9E3779B97F4A7C15ULL : p.seed};
  KmeansResult coarse = ReferenceKmeans(x, n, dim, nlist, iters, &rng);
  std::vector<float> residual(n * dim);
  for (size_t i = 0; i < n; ++i) {
    for (size_t t = 0; t < dim; ++t) residual[i * dim + t] = x[i * dim + t] - coarse.centroids[coarse.assignments[i] * dim + t];
  }
  IvfPqIndex model;
  std::vector<uint8_t> codes(n * m);
  for (size_t j = 0; j < m; ++j) {
    std::vector<float> sub;
    for (size_t i = 0; i < n; ++i) {
      for (size_t t = 0; t < dsub; ++t) sub.push_back(residual[i * dim + j * dsub + t]);
    }
    KmeansResult pq = ReferenceKmeans(sub, n, dsub, ksub, iters, &rng);
    model.codebooks.insert(model.codebooks.end(), pq.centroids.begin(), pq.centroids.end());
    for (size_t i = 0; i < n; ++i) codes[i * m + j] = static_cast<uint8_t>(pq.assignments[i]);
  }
  model.list_ids.resize(nlist);
  model.list_codes.resize(nlist);
  for (size_t i = 0; i < n; ++i) {
    model.list_ids[coarse.assignments[i]].push_back(items[i].doc_id);
    for (size_t j = 0; j < m; ++j) model.list_codes[coarse.assignments[i]].push_back(codes[i * m + j]);
  }
  model.centroids = coarse.centroids;
  model.dim = dim;
  model.nlist = nlist;
  model.m = m;
  model.n = n;
  model.metric = p.metric;
  model.nbits = p.nbits;
  return model;
}

}  // namespace reference
}  // namespace halcyra
