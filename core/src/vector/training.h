// vector/: IVF-PQ trainer (k-means, nearest-centroid search) and vector-index writer.
//
// The vector trainer's working parts: metric names, its error values, its
// random generator and k-means.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "halcyra/status.h"
#include "halcyra/vector_index.h"

namespace halcyra {

// "ip", "dot", "cosine", "inner_product" or "l2", "euclidean", in any ASCII
// letter case; nullopt for any other name.
std::optional<Metric> MetricFromName(std::string_view name);

// The error of training and assembly. Every variant reaches the caller as
// Error::Vector(message()), through ToError().
class VectorBuildError {
 public:
  enum class Kind { kNoInputVectors, kDimMismatch, kBadParams };

  static VectorBuildError NoInputVectors() { return {Kind::kNoInputVectors, "no input vectors"}; }
  static VectorBuildError DimMismatch() { return {Kind::kDimMismatch, "a vector's length != params.dim"}; }
  // "bad params: " + message.
  static VectorBuildError BadParams(const char* message) {
    return {Kind::kBadParams, std::string("bad params: ") + message};
  }

  Kind kind() const { return kind_; }
  const std::string& message() const { return message_; }
  Error ToError() const { return Error::Vector(message_); }

 private:
  VectorBuildError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  Kind kind_;
  std::string message_;
};

// xorshift64*: one 64-bit state word, shared by every k-means run of a training.
class TrainRng {
 public:
  // Replaces a zero seed, which would never leave state zero.
  static constexpr uint64_t kZeroSeedState = 0x9E3779B97F4A7C15ULL;

  explicit TrainRng(uint64_t seed) : state_(seed != 0 ? seed : kZeroSeedState) {}

  // Advances the state and returns an index below n (n >= 1).
  uint64_t Draw(uint64_t n) {
    uint64_t x = state_;
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    state_ = x;
    return (x * 0x2545F4914F6CDD1DULL) % n;
  }

  uint64_t state() const { return state_; }

 private:
  uint64_t state_;
};

struct KmeansResult {
  std::vector<float> centroids;       // k x d, row-major
  std::vector<uint32_t> assignments;  // nearest centroid of each point
  bool interrupted = false;           // stopped early: the rest is unfinished
};

// Lloyd's algorithm over n x d row-major points: k centroids seeded from drawn
// points (with replacement), iters rounds of assignment and update (an empty
// cluster is reseeded from a drawn point), then a final assignment. Distances
// are squared Euclidean, summed over components in order; ties go to the lower
// cluster number and a NaN distance never wins. Requires n, d, k, iters >= 1
// and k < 2^32. With use_threads the assignments are computed for ranges of
// points on the threads of a call, each point exactly as alone, so the result
// never depends on their number; without, everything runs on the calling
// thread (a task of a ParallelFor). Stops early, marking the result
// interrupted, when StopRequested. Draws k points, then one per cluster that
// empties.
KmeansResult Kmeans(const float* points, size_t n, size_t d, size_t k, uint64_t iters, TrainRng* rng,
                    bool use_threads = true);

}  // namespace halcyra
