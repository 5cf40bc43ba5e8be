// TermTable: the postings of a term index while documents are analyzed.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "build/bitmap_queue.h"
#include "halcyra/postings.h"
#include "halcyra/term_index.h"

namespace halcyra {

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
  bool Add(std::string_view term, DocId doc);

  // Whether some document is filed under term.
  bool Contains(std::string_view term) const;

  // Distinct terms so far.
  size_t size() const { return entries_.size(); }

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
