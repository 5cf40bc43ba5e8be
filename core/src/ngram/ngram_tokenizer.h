// The n-gram tokenizer's working parts, for callers that tokenize a stream
// of texts and reuse its tables and output vector from one text to the next.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "halcyra/ngram.h"

namespace halcyra {

// A set of 64-bit keys with open addressing, for the duplicate check of one
// text at a time. Clearing costs the number of keys, not the table size, so
// one table serves a stream of small and large texts.
class KeySet {
 public:
  KeySet();
  // Returns true when key was not yet present.
  bool Insert(uint64_t key) {
    if (key == 0) return !std::exchange(has_zero_, true);
    size_t i = Home(key);
    for (uint64_t s; (s = slots_[i]) != 0; i = (i + 1) & mask_) {
      if (s == key) return false;
    }
    slots_[i] = key;
    used_.push_back(i);
    if (used_.size() * 2 > slots_.size()) Grow();
    return true;
  }
  void Clear();
  size_t size() const { return used_.size() + (has_zero_ ? 1 : 0); }

 private:
  size_t Home(uint64_t key) const { return static_cast<size_t>((key * 0x9E3779B97F4A7C15ULL) >> shift_); }
  void Grow();

  std::vector<uint64_t> slots_;  // 0 marks an empty slot
  std::vector<size_t> used_;     // indices of the occupied slots
  size_t mask_;
  int shift_;                    // 64 - log2(slots_.size())
  bool has_zero_ = false;        // key 0 lives outside the table
};

// Keeps its scratch buffers from one text to the next; otherwise stateless.
class NgramTokenizer {
 public:
  NgramTokenizer();
  // Replaces *out with the keys of text (UTF-8; invalid bytes count as U+FFFD).
  void Tokenize(std::string_view text, size_t gram_size, bool fold_case, std::vector<NgramKey>* out);

 private:
  // Class and lowercase of recently seen non-ASCII code points, so that a
  // text in one script asks the Unicode tables once per distinct letter.
  struct CacheEntry {
    char32_t code_point;  // 0 marks an empty entry (U+0000 is ASCII, never cached)
    char32_t lower;
    uint8_t cls;
  };
  const CacheEntry& Lookup(char32_t c);

  std::vector<CacheEntry> cache_;
  std::vector<char32_t> window_;  // tail of the current word's retained code points
  KeySet seen_;
};

}  // namespace halcyra
