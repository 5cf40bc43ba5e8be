// TermFiler: the terms of document texts filed into a TermTable, with a
// cache from each distinct word (as the analyzer hands it out, case-folded)
// to what it became: a stop word, or the entry number of its term in the
// table. A word seen before costs one hash, one probe and one compare; only
// a new word takes the analyzer's stop-word lookup and stemming and the
// table's own lookup. A few thousand words make up most of any text.
//
// The cache is open addressing over 16-byte slots, at a load of at most one
// half, with the words' bytes back to back in one buffer:
//
//   slot   hash tag u32  outcome u32  word offset u32  word length u32
//
// outcome: the term's entry number, or kStopWord. Length 0 marks an empty
// slot (words are never empty). Words longer than kMaxCachedWord bytes, and
// every word after the first kMaxCachedWords, take the full path each time,
// which bounds the cache's memory on text that never repeats.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "halcyra/status.h"
#include "roaring/postings.h"
#include "terms/analyzer.h"
#include "terms/term_index.h"
#include "terms/term_table.h"

namespace halcyra {

class TermFiler {
 public:
  static constexpr size_t kMaxCachedWord = 64;
  static constexpr size_t kMaxCachedWords = size_t{1} << 20;

  explicit TermFiler(Analyzer analyzer);
  TermFiler(const TermFiler&) = delete;
  TermFiler& operator=(const TermFiler&) = delete;

  // Files doc under every term of text, exactly the terms Analyzer::Analyze
  // gives. Fails with Error::Limit "HYTI term count exceeds the 32-bit
  // limit" when a new term does not fit in the table (the terms before it
  // stay filed), or with the stemmer's kInternal error.
  Status File(std::string_view text, DocId doc);

  // Distinct terms so far.
  size_t term_count() const { return table_.size(); }
  const TermTable& table() const { return table_; }

  // Hands the postings over (see TermTable::TakePostings), leaving the table
  // and the cache empty.
  TermPostings TakePostings();

 private:
  static constexpr uint32_t kStopWord = UINT32_MAX;  // never an entry number

  struct Slot {
    uint32_t tag;  // the hash's low half
    uint32_t outcome;
    uint32_t offset;  // in words_
    uint32_t size;    // 0: empty
  };

  // The slot holding word, or the empty slot where it would go.
  Slot* Probe(std::string_view word, uint64_t hash) {
    const size_t mask = slots_.size() - 1;
    const auto tag = static_cast<uint32_t>(hash);
    for (size_t i = static_cast<size_t>(hash >> shift_);; i = (i + 1) & mask) {
      Slot& s = slots_[i];
      if (s.size == 0 || (s.tag == tag && s.size == word.size() && SameBytes(words_.data() + s.offset, word))) {
        return &s;
      }
    }
  }
  // Whether the word.size() bytes at p are word's. Inline: cached words
  // are short, where a library memcmp call costs more than the loop.
  static bool SameBytes(const char* p, std::string_view word) {
    for (size_t i = 0; i < word.size(); ++i) {
      if (p[i] != word[i]) return false;
    }
    return true;
  }
  // The full path for a word not in the cache; *slot is where it would go.
  Status FileNew(std::string_view word, Slot* slot, DocId doc);
  void ResetCache(size_t log2_size);
  void GrowCache();

  Analyzer analyzer_;
  TermTable table_;
  std::vector<Slot> slots_;
  int shift_;          // 64 - log2(slots_.size())
  size_t cached_ = 0;  // words in the cache
  std::string words_;  // the cached words' bytes
};

}  // namespace halcyra
