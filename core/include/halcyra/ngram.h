// The n-gram tokenizer: every n-gram index halcyra writes, and every query a
// reader runs against one, is keyed by exactly these keys.
//
// A text is split into words at Unicode White_Space only. Inside a word, code
// points of general category L* or Nd are retained (lowercased to the first
// code point of their full lowercase mapping when folding case); all others
// are dropped without splitting. Each window of n consecutive retained code
// points c0..c(n-1) of one word is keyed as:
//   n = 1            c0
//   n = 2            c0 << 32 | c1
//   3 <= n <= 8,     the n bytes packed big-endian into the low 8n bits
//   all ASCII
//   otherwise        FNV-1a 64 over the window as UTF-32LE (4n bytes)
// Keys are returned once each, in first-seen order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace halcyra {

using NgramKey = uint64_t;

// A set of 64-bit keys with open addressing; only insertion is needed.
class KeySet {
 public:
  KeySet();
  // Returns true when key was not yet present.
  bool Insert(uint64_t key);
  // Empties the set, keeping a modest allocation for the next text.
  void Clear();
  size_t size() const { return size_; }

 private:
  void Grow();

  std::vector<uint64_t> slots_;  // 0 marks an empty slot
  bool has_zero_ = false;        // key 0 lives outside the table
  size_t size_ = 0;
  int shift_;                    // 64 - log2(slots_.size())
};

// Keeps its scratch buffers from one text to the next; otherwise stateless.
class NgramTokenizer {
 public:
  // Replaces *out with the keys of text (UTF-8; invalid bytes count as U+FFFD).
  void Tokenize(std::string_view text, size_t gram_size, bool fold_case, std::vector<NgramKey>* out);

 private:
  std::vector<char32_t> window_;  // tail of the current word's retained code points
  KeySet seen_;
};

std::vector<NgramKey> ngram_keys(std::string_view text, size_t gram_size, bool fold_case);

}  // namespace halcyra
