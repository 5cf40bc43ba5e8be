// The vector index: an IVF-PQ model, its in-process trainer and its file.
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
//
// The vector-index (".hyvi") file lays the model out so that a reader fetches
// the header, the model arrays and the directory, and then only the byte
// ranges of the lists it probes (byte layout in vector/hyvi_writer.cc).
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

struct IvfPqParams {
  uint64_t dim = 0;
  uint64_t nlist = 0;         // requested coarse clusters; at most one per vector is trained
  uint64_t m = 0;             // sub-quantisers; must divide dim
  uint64_t kmeans_iters = 0;  // Lloyd iterations per k-means run; 0 counts as 1
  uint64_t seed = 0;          // 0 selects a fixed non-zero state
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

// Checks and decoding of the parameters callers hand over: the shared
// argument checks of VectorBuilder and write_hyvi_from_faiss, and the
// little-endian array buffers of an externally trained model. Every failure
// is Error::InvalidArgument with the message the caller shows.

// The seed used when the caller gives none: the ASCII bytes "HQVIHYVI" read
// as a big-endian number.
inline constexpr uint64_t kDefaultVectorSeed = 0x4851564948595649ULL;

// In order: dim/m, nbits, nlist, the metric name (ASCII-lowercased), and the
// 32-bit fields of the file format. Returns the metric.
Result<Metric> CheckVectorParams(uint64_t dim, uint64_t nlist, uint64_t m, uint8_t nbits,
                                 std::string_view metric_name);

// A little-endian f32 array of exactly `count` elements:
// "<name>: expected <4*count> bytes (<count> f32), got <size>".
Result<std::vector<float>> DecodeF32Array(std::string_view name, std::string_view bytes, uint64_t count);

// A little-endian u32 array of any length:
// "<name>: byte length <size> is not a multiple of 4".
Result<std::vector<uint32_t>> DecodeU32Array(std::string_view name, std::string_view bytes);

// Creates the missing parent directories of path (mode 0777 before the umask),
// creates or truncates path (mode 0666 before the umask) and WriteHyvi()s the
// model into it. File-system failures are Error::Os.
Status WriteHyviFile(const IvfPqIndex& model, const std::string& path);

}  // namespace halcyra
