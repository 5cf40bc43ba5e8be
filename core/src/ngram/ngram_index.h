// ngram/: n-gram tokenizer and keys, posting table, n-gram index writer.
//
// The n-gram index file: every NgramKey of a document collection with the
// whole-encoded posting of the documents containing it. Byte layout at the
// top of ngram_index.cc; its constants in ngram_index_format.h.
#pragma once

#include <roaring/roaring.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/sink.h"
#include "halcyra/ngram.h"
#include "halcyra/status.h"
#include "ngram/ngram_index_format.h"
#include "roaring/postings.h"

namespace halcyra {

// The entries of an n-gram index: keys, in any order, each with its whole-
// encoded posting. Postings encoded by the caller are kept back to back in one
// buffer (16 bytes per entry besides the bytes); bitmaps handed over with
// AddBitmap are encoded one at a time while the file is written and released
// right after, so their encodings never all sit in memory next to them.
class NgramPostings {
 public:
  NgramPostings() = default;
  NgramPostings(NgramPostings&&) noexcept = default;
  NgramPostings& operator=(NgramPostings&&) noexcept = default;
  ~NgramPostings();

  void Reserve(size_t entries, size_t posting_bytes) {
    keys_.reserve(entries);
    ends_.reserve(entries);
    LastRun().reserve(posting_bytes);
  }
  // Adds key with the whole encoding of posting (fails only as
  // AppendPosting does).
  Status Add(NgramKey key, const roaring_bitmap_t& posting);
  // Adds key with posting bytes encoded elsewhere.
  void AddEncoded(NgramKey key, std::string_view posting);
  // Adds keys with their postings encoded back to back in bytes, posting i
  // ending at ends[i]; bytes is taken over, not copied, and so are keys and
  // ends when nothing was added before.
  void AddEncodedRun(std::vector<NgramKey> keys, std::vector<uint64_t> ends, std::string bytes);
  // Adds key with a posting to encode when the index is written.
  void AddBitmap(NgramKey key, Bitmap posting);

  // Entries are numbered: first those added encoded, then the bitmaps.
  size_t size() const { return keys_.size() + bitmap_keys_.size(); }
  bool empty() const { return size() == 0; }
  NgramKey key(size_t i) const { return i < keys_.size() ? keys_[i] : bitmap_keys_[i - keys_.size()]; }
  // The length of entry i's encoding.
  uint64_t posting_size(size_t i) const;
  // Appends entry i's encoding to *out; a bitmap entry is released after.
  Status TakePosting(size_t i, std::string* out);

 private:
  // The run postings are appended to, opened when there is none.
  std::string& LastRun();

  std::vector<NgramKey> keys_;
  std::vector<uint64_t> ends_;  // end of entry i's posting in the runs' bytes, end to end
  std::vector<std::string> runs_;
  std::vector<uint64_t> run_ends_;  // of each run, counted as in ends_
  std::vector<NgramKey> bitmap_keys_;
  std::vector<Bitmap> bitmaps_;
};

// For writers that encode each posting straight into the file: the size of
// everything before the first posting (header, block index, dictionary) of
// an index of key_count keys, the header, and one dictionary entry.
uint64_t NgramIndexFrontSize(uint64_t key_count, uint32_t stride, bool fold_case);
void AppendNgramIndexHeader(uint32_t key_count, uint16_t gram_size, uint32_t stride, bool fold_case,
                            std::string* out);
void AppendNgramDictEntry(NgramKey key, uint64_t offset, uint32_t length, std::string* out);

// Writes the index of entries (consumed) to sink and closes the sink, on
// failure too. Limits and preconditions fail with Error::Limit:
//   "write_index requires distinct n-gram keys"  (nothing written)
//   "HYS key count exceeds the 32-bit limit"     (nothing written)
//   "HYS posting size exceeds the 32-bit limit"  (after that entry's key and
//                                                 offset were written)
Status WriteNgramIndex(NgramPostings entries, uint16_t gram_size, uint32_t stride, bool fold_case, Sink& sink);

}  // namespace halcyra
