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

// The keys of text (UTF-8; invalid bytes count as U+FFFD), each once, in
// first-seen order.
std::vector<NgramKey> NgramKeys(std::string_view text, size_t gram_size, bool fold_case);

}  // namespace halcyra
