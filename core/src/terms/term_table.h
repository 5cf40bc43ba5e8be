// TermTable: the postings of a term index while documents are analyzed.
#pragma once

#include <bit>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "roaring/bitmap_queue.h"
#include "roaring/postings.h"
#include "terms/term_index.h"

namespace halcyra {

// The first min(n, 8) bytes at p, zero-padded, as a little-endian word;
// every load stays within the n bytes.
inline uint64_t LoadPrefix(const uint8_t* p, size_t n) {
  static_assert(std::endian::native == std::endian::little);
  uint64_t w;
  if (n >= 8) {
    std::memcpy(&w, p, 8);
    return w;
  }
  if (n >= 4) {
    uint32_t lo, hi;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + n - 4, 4);  // overlaps lo unless n is 8
    return lo | uint64_t{hi} << (8 * (n - 4));
  }
  if (n == 0) return 0;
  return p[0] | uint64_t{p[n / 2]} << (8 * (n / 2)) | uint64_t{p[n - 1]} << (8 * (n - 1));
}

// A fast 64-bit hash of a term's bytes, eight at a time; the last eight are
// read overlapping the ones before (the length is hashed in, so this is
// unambiguous).
inline uint64_t HashTerm(std::string_view term) {
  const auto* p = reinterpret_cast<const uint8_t*>(term.data());
  const size_t n = term.size();
  uint64_t h = 0x9E3779B97F4A7C15ULL ^ (n * 0xFF51AFD7ED558CCDULL);
  uint64_t w;
  if (n > 8) {
    for (size_t i = 0; i + 8 < n; i += 8) {
      std::memcpy(&w, p + i, 8);
      h = (h ^ w) * 0xBF58476D1CE4E5B9ULL;
      h ^= h >> 31;
    }
    std::memcpy(&w, p + n - 8, 8);
  } else {
    w = LoadPrefix(p, n);
  }
  h = (h ^ w) * 0xBF58476D1CE4E5B9ULL;
  h ^= h >> 29;
  h *= 0x94D049BB133111EBULL;
  h ^= h >> 32;
  return h;
}

// A hash map from term bytes to the documents containing the term. Each term
// is interned once in an arena; its entry (32 bytes) keeps up to two ids
// inline, and a third distinct id moves them into a Roaring bitmap, so the
// many rare terms of a corpus cost no bitmap. The open-addressing index holds
// 8 bytes per slot (a 32-bit hash tag and the entry's position) at a load of
// at most one half, so a probe rarely touches an entry that does not match.
// Entries stay in order of first occurrence; they are sorted by term bytes
// only when handed over. Ids bound for bitmaps are filed in batches through
// a BitmapQueue.
class TermTable {
 public:
  TermTable();
  ~TermTable();
  TermTable(const TermTable&) = delete;
  TermTable& operator=(const TermTable&) = delete;

  // Files doc under term (repeats are harmless, ids may come in any order).
  // Returns false, changing nothing, when term is new and the table already
  // holds the 2^32 - 1 terms it can number.
  bool Add(std::string_view term, DocId doc) {
    uint32_t position;
    return Add(term, doc, &position);
  }
  // The same, setting *position to the term's entry number, which stays
  // valid until TakePostings.
  bool Add(std::string_view term, DocId doc, uint32_t* position);

  // Files doc under the term of the entry numbered position.
  void AddAt(uint32_t position, DocId doc) {
    assert(position < entries_.size());
    AddTo(position, doc);
  }

  // Whether some document is filed under term.
  bool Contains(std::string_view term) const;

  // Distinct terms so far.
  size_t size() const { return entries_.size(); }
  // The term of the entry numbered position.
  std::string_view term(uint32_t position) const { return {entries_[position].term, entries_[position].size}; }

  // Hands every posting over in ascending byte order of the terms, leaving
  // the table empty.
  TermPostings TakePostings();

 private:
  using Entry = TermPostings::Entry;
  static constexpr uint32_t kInBitmap = TermPostings::kInBitmap;

  // 1 + the position of term's entry, or 0; *slot receives the index slot
  // where the term is or would go.
  uint32_t Find(std::string_view term, uint64_t hash, size_t* slot) const;
  void AddTo(uint32_t position, DocId doc);
  // Files every queued id into its bitmap.
  void FlushQueue();
  void ResetIndex(size_t log2_size);
  void Grow();

  TermArena arena_;
  std::vector<Entry> entries_;
  std::vector<uint64_t> index_;  // hash tag << 32 | (1 + position); 0 when empty
  int shift_;                    // 64 - log2(index_.size())
  BitmapQueue queue_;  // ids bound for bitmap entries, by entry position
};

}  // namespace halcyra
