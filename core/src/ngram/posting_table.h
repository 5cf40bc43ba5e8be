// PostingTable: the n-gram postings of a corpus while it is being tokenized.
#pragma once

#include <roaring/roaring.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/large_blocks.h"
#include "halcyra/ngram.h"
#include "halcyra/status.h"
#include "ngram/ngram_index.h"
#include "roaring/bitmap_queue.h"
#include "roaring/postings.h"

namespace halcyra {

// Postings encoded whole and in ascending key order, for merging the tables
// of documents numbered in ranges one after another.
struct SortedPostings {
  std::vector<NgramKey> keys;  // ascending
  std::vector<uint64_t> ends;  // of each posting in bytes
  std::string bytes;

  std::string_view posting(size_t i) const {
    const uint64_t begin = i == 0 ? 0 : ends[i - 1];
    return std::string_view(bytes).substr(begin, ends[i] - begin);
  }
};

// A hash map from NgramKey to the set of documents containing it. In a large
// corpus most keys occur in one or two documents, so up to two ids live
// inside the key's slot; a third distinct id moves them into a Roaring
// bitmap. A slot is 24 bytes and the open-addressing index 4 to 8 bytes per
// key.
//
// Ids bound for bitmaps are filed in batches through a BitmapQueue.
//
// The table also keeps the total size of its postings in the portable Roaring
// serialization (sizes in roaring/posting_format.h), exact as long as each
// key's ids arrive ascending and distinct (documents numbered in order, keys
// deduplicated per document). A bitmap slot's unused `first` field tracks its
// newest container for this.
class PostingTable {
 public:
  PostingTable();
  ~PostingTable();
  PostingTable(const PostingTable&) = delete;
  PostingTable& operator=(const PostingTable&) = delete;

  // Files doc under key (adding an id twice is harmless). Returns false,
  // changing nothing, when key is new and the table already holds the
  // 2^32 - 1 keys it can number.
  bool Add(NgramKey key, DocId doc);

  // Whether some document is filed under key.
  bool Contains(NgramKey key) const;

  // Distinct keys so far.
  size_t size() const { return slots_.size(); }

  // The sum of the postings' portable serialized sizes (see above).
  uint64_t serialized_bytes() const { return serialized_bytes_; }

  // The n-gram index file of the table (gram_size, stride and fold_case as
  // for WriteNgramIndex), written without changing what the table holds: its
  // exact size, the keys in ascending order, and the file written at out,
  // which has room for IndexSize bytes.
  uint64_t IndexSize(uint32_t stride, bool fold_case) const;
  std::vector<NgramKey> SortedKeys() const;
  void PutIndex(uint16_t gram_size, uint32_t stride, bool fold_case, char* out);

  // Every posting encoded whole, in ascending key order, leaving the table
  // empty (bitmaps are released as they are encoded). Ids must have come in
  // ascending order, once per key (the distinct keys of one document after
  // another), which makes the encoded size known in advance.
  SortedPostings TakeSorted();

  // Hands every posting over for the index writer, leaving the table empty:
  // one- and two-id postings encoded, the others as bitmaps that the writer
  // encodes one at a time.
  Result<NgramPostings> TakePostings();

 private:
  static constexpr uint32_t kInBitmap = 3;  // Slot::count of a bitmap posting

  struct Slot {
    NgramKey key;
    uint32_t count;  // inline ids (1 or 2), kInBitmap, or 0 once released
    DocId first;     // for a bitmap: newest container key << 16 | its ids, at most 4096
    union {
      DocId second;
      roaring_bitmap_t* bitmap;
    };
  };

  static_assert(sizeof(Slot) == 24);

  void AddTo(uint32_t position, DocId doc);
  // Files every queued id into its bitmap.
  void FlushQueue();
  // Positions of the slots in ascending key order.
  std::vector<uint32_t> KeyOrder() const;
  size_t Home(NgramKey key) const { return static_cast<size_t>((key * 0x9E3779B97F4A7C15ULL) >> shift_); }
  void ResetIndex(size_t log2_size);
  void Grow();
  void Release();

  std::vector<Slot, LargeBlockAllocator<Slot>> slots_;          // in order of first occurrence
  std::vector<uint32_t, LargeBlockAllocator<uint32_t>> index_;  // 1 + position in slots_, 0 when empty
  int shift_;                    // 64 - log2(index_.size())
  BitmapQueue queue_;  // ids bound for bitmap slots, by slot position
  uint64_t serialized_bytes_ = 0;
};

// The postings of tables whose documents were numbered in ranges one after
// another (every id of parts[i] below every id of parts[i + 1]), united key by
// key: byte for byte the entries one table of all the documents gives.
// Merged on the threads of the call, by ranges of keys; Error::Interrupted
// when InterruptRequested.
Result<NgramPostings> MergeSortedPostings(std::vector<SortedPostings> parts);

}  // namespace halcyra
