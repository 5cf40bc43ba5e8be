// Checks and decoding of the vector-index parameters callers hand over: the
// shared argument checks of VectorBuilder and write_hyvi_from_faiss, and the
// little-endian array buffers of an externally trained model. Every failure
// is Error::InvalidArgument with the message the caller shows.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "halcyra/ivfpq.h"
#include "halcyra/status.h"

namespace halcyra {

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

}  // namespace halcyra
