// The Bloom filter of one split over its distinct n-gram keys, kept as a
// summary record in the manifest so that a reader can skip splits that lack
// a query's key. Payload layout and probes at the top of bloom.cc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "halcyra/ngram.h"

namespace halcyra {

struct BloomShape {
  uint32_t k;  // probes per key, 1 to 16
  uint32_t m;  // bits, a multiple of 8 from 64 to 4294967288
};

// Sizing for key_count keys at bits_per_key (not 0): m = bits_per_key x
// max(key_count, 1) rounded up to a multiple of 8 and clamped to the bounds
// above; k = bits_per_key x ln 2 rounded half away from zero, then kept
// within 1 to 16.
BloomShape ComputeBloomShape(size_t key_count, uint32_t bits_per_key);

// The filter payload over keys (distinct; their order does not matter).
std::string BuildBloom(std::span<const NgramKey> keys, uint32_t bits_per_key);

}  // namespace halcyra
