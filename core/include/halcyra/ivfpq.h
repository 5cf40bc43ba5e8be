// The IVF-PQ model of a vector index and its in-process trainer.
//
// A model is a coarse quantiser (k-means centroids, one inverted list per
// centroid) plus a product quantiser: the residual of each vector to its coarse
// centroid is cut into m sub-vectors of dsub = dim / m components, and each
// sub-vector is replaced by the one-byte number of its nearest codeword among
// ksub = 2^nbits codewords of that sub-space.
//
// Training is reproducible bit for bit: all arithmetic is single precision in
// fixed orders, and the only randomness is a xorshift64* generator seeded from
// the parameters and consumed in a fixed order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "halcyra/status.h"
#include "halcyra/types.h"

namespace halcyra {

enum class Metric : uint8_t {
  kInnerProduct = 0,  // vectors are scaled to unit length before training
  kL2 = 1,
};

// "ip", "dot", "cosine", "inner_product" or "l2", "euclidean", in any ASCII
// letter case; nullopt for any other name.
std::optional<Metric> MetricFromName(std::string_view name);

struct IvfPqParams {
  uint64_t dim = 0;
  uint64_t nlist = 0;         // requested coarse clusters; at most one per vector is trained
  uint64_t m = 0;             // sub-quantisers; must divide dim
  uint64_t kmeans_iters = 0;  // Lloyd iterations per k-means run; 0 counts as 1
  uint64_t seed = 0;          // 0 selects TrainRng::kZeroSeedState
  uint8_t nbits = 8;          // bits per code, 1..8
  Metric metric = Metric::kInnerProduct;
};

// One staged input vector.
struct StagedVector {
  DocId doc_id;
  std::vector<float> vector;
};

struct IvfPqIndex {
  std::vector<float> centroids;                 // nlist x dim, row-major
  std::vector<float> codebooks;                 // (j * ksub + c) * dsub + t
  std::vector<std::vector<DocId>> list_ids;     // nlist lists
  std::vector<std::vector<uint8_t>> list_codes; // m code bytes per id, same order
  std::optional<std::vector<float>> opq;        // dim x dim rotation; never set by training
  uint64_t dim = 0;
  uint64_t nlist = 0;
  uint64_t m = 0;
  uint64_t n = 0;  // ids over all lists
  Metric metric = Metric::kInnerProduct;
  uint8_t nbits = 0;
};

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
};

// Lloyd's algorithm over n x d row-major points: k centroids seeded from drawn
// points (with replacement), iters rounds of assignment and update (an empty
// cluster is reseeded from a drawn point), then a final assignment. Distances
// are squared Euclidean, summed over components in order; ties go to the lower
// cluster number and a NaN distance never wins. Requires n, d, k, iters >= 1
// and k < 2^32.
KmeansResult Kmeans(const float* points, size_t n, size_t d, size_t k, uint64_t iters, TrainRng* rng);

// Trains a model over items, in their order. Errors, first failing check first:
// "no input vectors", "bad params: dim/m: need dim>0, m>0, m|dim",
// "bad params: nbits must be in 1..=8", "bad params: nlist must be >= 1",
// "a vector's length != params.dim". The model's nlist is min(nlist, items).
Result<IvfPqIndex> TrainIvfPq(std::span<const StagedVector> items, const IvfPqParams& params);

// Builds a model from parts trained elsewhere: vector i is listed under
// assignments[i] with id ids[i] and code bytes i*m .. i*m+m-1. Fails with a
// "bad params: ..." error when the parts are inconsistent.
Result<IvfPqIndex> AssembleIvfPq(std::vector<float> centroids, std::vector<float> codebooks,
                                  std::vector<DocId> ids, std::vector<uint32_t> assignments,
                                  std::vector<uint8_t> codes, std::optional<std::vector<float>> opq,
                                  uint64_t dim, uint64_t nlist, uint64_t m, uint8_t nbits, Metric metric);

}  // namespace halcyra
