// The Bloom filter payload, integers little-endian:
//
//   k u32 (probes)  m u32 (bits, a multiple of 8)  bit array m/8 B
//   bit j is bit (j mod 8), least significant first, of byte j/8
//
// Probes by double hashing over the SplitMix64 output function:
//   h = mix(x), g = mix(x ^ 0x9e3779b97f4a7c15) | 1; probe i sets bit
//   (h + i*g) mod m, for i = 0 .. k-1, all arithmetic modulo 2^64.
//
// See FORMATS.md (Bloom filter) for a reader's probe and a worked example.
#include "splitset/bloom.h"

#include <algorithm>
#include <cassert>
#include <cmath>

#include "base/coding.h"

namespace halcyra {
namespace {

constexpr uint64_t kMinBits = 64;
constexpr uint64_t kMaxBits = 4294967288;  // the largest multiple of 8 below 2^32
constexpr uint32_t kMaxProbes = 16;
constexpr double kLn2 = 0.6931471805599453;
constexpr uint64_t kGolden = 0x9e3779b97f4a7c15ULL;
constexpr size_t kPayloadHeaderSize = 8;

// The SplitMix64 output function.
uint64_t Mix(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

}  // namespace

BloomShape ComputeBloomShape(size_t key_count, uint32_t bits_per_key) {
  assert(bits_per_key != 0);
  const uint64_t n = std::max<uint64_t>(key_count, 1);
  // Saturate rather than wrap: any product past the maximum is the maximum.
  const uint64_t bits = n > kMaxBits / bits_per_key ? kMaxBits : n * bits_per_key;
  const uint64_t m = std::clamp((bits + 7) / 8 * 8, kMinBits, kMaxBits);
  const long long rounded = std::llround(bits_per_key * kLn2);  // halves away from zero
  const uint32_t k = static_cast<uint32_t>(std::clamp<long long>(rounded, 1, kMaxProbes));
  return BloomShape{k, static_cast<uint32_t>(m)};
}

std::string BuildBloom(std::span<const NgramKey> keys, uint32_t bits_per_key) {
  const BloomShape shape = ComputeBloomShape(keys.size(), bits_per_key);
  std::string payload;
  payload.reserve(kPayloadHeaderSize + shape.m / 8);
  PutFixed32(&payload, shape.k);
  PutFixed32(&payload, shape.m);
  payload.resize(kPayloadHeaderSize + shape.m / 8, '\0');
  unsigned char* bits = reinterpret_cast<unsigned char*>(payload.data()) + kPayloadHeaderSize;
  for (NgramKey x : keys) {
    uint64_t h = Mix(x);
    const uint64_t g = Mix(x ^ kGolden) | 1;
    for (uint32_t i = 0; i < shape.k; ++i, h += g) {
      const uint64_t j = h % shape.m;
      bits[j >> 3] |= static_cast<unsigned char>(1u << (j & 7));
    }
  }
  return payload;
}

}  // namespace halcyra
