// Small readers of the index files, written from the layouts alone: they
// check every offset they meet and decode every posting.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "test_util.h"

namespace halcyra::testing {

using Ids = std::vector<uint32_t>;

// What a reader sees in an n-gram index file.
struct ParsedIndex {
  uint16_t version = 0, gram_size = 0;
  uint32_t stride = 0;
  std::vector<uint64_t> block_keys;
  std::vector<uint64_t> keys;
  std::vector<uint64_t> offsets;
  std::map<uint64_t, Ids> postings;
};

inline ParsedIndex ParseIndex(const std::string& file) {
  ParsedIndex p;
  Cursor c(file);
  EXPECT_EQ(c.Str(4), "HYSI");
  p.version = c.U16();
  p.gram_size = c.U16();
  const uint32_t k = c.U32();
  p.stride = c.U32();
  if (p.version == 4) {
    EXPECT_EQ(c.U16(), 1);
  }
  const uint64_t blocks = (uint64_t{k} + p.stride - 1) / p.stride;
  for (uint64_t b = 0; b < blocks; ++b) p.block_keys.push_back(c.U64());
  std::vector<uint32_t> lengths;
  for (uint32_t i = 0; i < k; ++i) {
    p.keys.push_back(c.U64());
    p.offsets.push_back(c.U64());
    lengths.push_back(c.U32());
  }
  // Postings follow the dictionary back to back and end the file.
  uint64_t expected_offset = c.pos();
  for (uint32_t i = 0; i < k; ++i) {
    EXPECT_EQ(p.offsets[i], expected_offset) << "entry " << i;
    if (i > 0) {
      EXPECT_LT(p.keys[i - 1], p.keys[i]);
    }
    p.postings[p.keys[i]] = DecodePosting(std::string_view(file).substr(p.offsets[i], lengths[i]));
    expected_offset += lengths[i];
  }
  EXPECT_EQ(expected_offset, file.size());
  return p;
}

struct SidecarCategory {
  uint64_t key;
  std::string name;
  uint32_t cardinality;
  Ids head, tail;
  uint32_t head_length, tail_length;
};

struct SidecarField {
  std::string name;
  std::vector<SidecarCategory> categories;
};

struct ParsedSidecar {
  uint16_t case_sensitive;
  std::vector<SidecarField> fields;
};

inline ParsedSidecar ParseSidecar(const std::string& file) {
  ParsedSidecar p;
  Cursor c(file);
  EXPECT_EQ(c.Str(4), "HYSF");
  EXPECT_EQ(c.U16(), 1);
  p.case_sensitive = c.U16();
  const uint32_t f = c.U32(), n = c.U32(), b = c.U32();
  EXPECT_EQ(c.U32(), 0u);
  const size_t blob = 24 + 16 * size_t{f} + 36 * size_t{n};
  uint64_t offset = blob + b;  // where the next category's postings must start
  uint32_t next_first = 0;
  for (uint32_t i = 0; i < f; ++i) {
    Cursor fe(file, 24 + 16 * i);
    const uint32_t name_offset = fe.U32();
    const uint16_t name_length = fe.U16();
    EXPECT_EQ(fe.U16(), 0);
    const uint32_t first = fe.U32(), count = fe.U32();
    EXPECT_EQ(first, next_first);
    next_first += count;
    SidecarField field{file.substr(blob + name_offset, name_length), {}};
    for (uint32_t j = first; j < first + count; ++j) {
      Cursor ce(file, 24 + 16 * f + 36 * j);
      SidecarCategory cat;
      cat.key = ce.U64();
      EXPECT_EQ(ce.U64(), offset);
      cat.head_length = ce.U32();
      cat.tail_length = ce.U32();
      cat.cardinality = ce.U32();
      const uint32_t name_off = ce.U32();
      const uint16_t name_len = ce.U16();
      EXPECT_EQ(ce.U16(), 0);
      cat.name = file.substr(blob + name_off, name_len);
      cat.head = DecodePosting(std::string_view(file).substr(offset, cat.head_length));
      cat.tail = DecodePosting(std::string_view(file).substr(offset + cat.head_length, cat.tail_length));
      EXPECT_EQ(cat.cardinality, cat.head.size() + cat.tail.size());
      offset += cat.head_length + cat.tail_length;
      field.categories.push_back(cat);
    }
    p.fields.push_back(field);
  }
  EXPECT_EQ(next_first, n);
  EXPECT_EQ(offset, file.size());
  return p;
}

// The SplitMix64 output function, the mix of the Bloom filter's probes.
inline uint64_t SplitMix(uint64_t z) {
  z ^= z >> 30;
  z *= 0xbf58476d1ce4e5b9ULL;
  z ^= z >> 27;
  z *= 0x94d049bb133111ebULL;
  z ^= z >> 31;
  return z;
}

// The bit positions probed for key in a filter of k probes over m bits.
inline std::vector<uint64_t> BloomProbes(uint64_t key, uint32_t k, uint32_t m) {
  std::vector<uint64_t> out;
  uint64_t h = SplitMix(key);
  const uint64_t g = SplitMix(key ^ 0x9e3779b97f4a7c15ULL) | 1;
  for (uint32_t i = 0; i < k; ++i, h += g) out.push_back(h % m);
  return out;
}

// A Bloom filter payload as a reader sees it.
struct BloomFilter {
  uint32_t k = 0, m = 0;
  std::string bits;

  explicit BloomFilter(std::string_view payload) {
    Cursor c(payload);
    k = c.U32();
    m = c.U32();
    EXPECT_EQ(m % 8, 0u);
    bits = std::string(c.Str(m / 8));
    EXPECT_EQ(c.pos(), payload.size());
  }
  bool Bit(uint64_t j) const { return (static_cast<uint8_t>(bits[j / 8]) >> (j % 8) & 1) != 0; }
  bool MayContain(uint64_t key) const {
    if (m == 0) return false;
    for (uint64_t j : BloomProbes(key, k, m)) {
      if (!Bit(j)) return false;
    }
    return true;
  }
  size_t SetBits() const {
    size_t n = 0;
    for (unsigned char b : bits) n += static_cast<size_t>(__builtin_popcount(b));
    return n;
  }
};

}  // namespace halcyra::testing
