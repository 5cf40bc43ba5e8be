// terms/: analyzer, stop words, term table, term index writer and its dictionary blocks.
//
// The term index: whole terms (see analyzer.h) with the documents containing
// them, laid out for a reader that fetches byte ranges: the fixed header,
// then a small router FST fetched whole, then front-coded dictionary blocks
// of which one is fetched per lookup, then one postings record per term, of
// which only the wanted term's is fetched. Byte layout at the top of
// term_index.cc.
#pragma once

#include <roaring/roaring.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/sink.h"
#include "halcyra/status.h"
#include "roaring/postings.h"
#include "terms/analyzer.h"

namespace halcyra {

class UnionEncoder;

// The block cap used when none is given.
inline constexpr uint32_t kDefaultBlockCap = 4096;

// Header flags.
inline constexpr uint16_t kTermIndexStemmed = 0x1;
inline constexpr uint16_t kTermIndexStopwords = 0x2;
inline constexpr uint16_t kTermIndexCaseSensitive = 0x4;

struct TermIndexOptions {
  uint32_t head_boundary = kDefaultHeadBoundary;  // any value; 0 puts every id in the tail
  uint32_t block_cap = 0;          // 0: kDefaultBlockCap
  AnalyzerSettings analyzer;       // recorded in the header
};

// Term bytes with stable addresses, allocated in chunks and freed together.
class TermArena {
 public:
  TermArena() = default;
  TermArena(TermArena&&) noexcept = default;
  TermArena& operator=(TermArena&&) noexcept = default;

  // A copy of term that lives as long as the arena.
  std::string_view Intern(std::string_view term);
  // Takes other's terms over; they keep their addresses.
  void Adopt(TermArena other);

 private:
  std::vector<std::unique_ptr<char[]>> chunks_;
  char* next_ = nullptr;  // free space in the last chunk
  size_t left_ = 0;
};

// The input of WriteTermIndex: terms in strictly ascending byte order, each
// with its posting. Most terms of a corpus occur in one or two documents, so
// up to two ids are kept in the entry itself and only larger postings get a
// Roaring bitmap.
class TermPostings {
 public:
  TermPostings() = default;
  TermPostings(TermPostings&&) noexcept;
  TermPostings& operator=(TermPostings&&) noexcept;
  ~TermPostings();

  // Adds term with the documents in ids (any order, repeats allowed).
  void Add(std::string_view term, std::span<const DocId> ids);
  // Adds term with a posting that is encoded when the index is written and
  // released right after.
  void Add(std::string_view term, Bitmap posting);

  // The union of parts, each in ascending term order: every term once,
  // with the union of its postings. The terms are merged by ranges on the
  // threads of the call; a term's postings from later parts are united with
  // its first when it is encoded, by the thread that encodes it. Fails only
  // when interrupted.
  static Result<TermPostings> Merge(std::vector<TermPostings> parts);

  size_t size() const { return entries_.size(); }
  std::string_view term(size_t i) const { return {entries_[i].term, entries_[i].size}; }

  // About the bytes of the postings records of entries [begin, end), for
  // reserving a buffer.
  size_t records_size_hint(size_t begin, size_t end) const;

  // Appends entry i's head and then its tail at head_boundary to *out and
  // sets *head_size. Entry i is left partly united with its postings from
  // later parts, fit only to be released with the rest. encoder, when given,
  // lends its buffers.
  Status TakeHeadTail(size_t i, uint32_t head_boundary, std::string* out, size_t* head_size,
                      UnionEncoder* encoder = nullptr);

 private:
  friend class TermTable;

  // Entry::count of a posting held in a bitmap.
  static constexpr uint32_t kInBitmap = 3;

  struct Entry {
    const char* term;
    uint32_t size;   // term bytes
    uint32_t count;  // 1 or 2 inline ids, or kInBitmap
    DocId first;     // inline ids; for a bitmap, the last id added to it
    union {
      DocId second;
      roaring_bitmap_t* bitmap;  // owned
    };
  };
  static_assert(sizeof(Entry) == 24 || sizeof(Entry) == 32);

  static void Release(std::vector<Entry>& entries);
  // Adds the ids of from to into, a posting of the same term, and leaves
  // from owning nothing. Two ids at most stay inline.
  static void Unite(Entry& into, Entry& from);

  TermArena arena_;
  std::vector<Entry> entries_;
  // After Merge: the postings of entry i from later parts are
  // later_[later_end_[i] .. later_end_[i + 1]); otherwise both are empty.
  std::vector<Entry> later_;
  std::vector<size_t> later_end_;
};

// Writes the term index of postings (consumed) to sink and closes the sink,
// on failure too. Every limit is checked before the first byte reaches the
// sink; failures are Error::Limit:
//   "write_term_index requires distinct terms in ascending byte order"
//   "term <t>: head posting <n> B exceeds the 24-bit size limit"
//   "postings region exceeds the 40-bit offset limit"
//   "HYTI: stemming and stop-word removal require a language, but none is set"
//   "dict block exceeds the 24-bit block-length limit"
//   "dict region exceeds the 40-bit block-offset limit"
//   "router fst insert: <error>"
//   "HYTI term count exceeds the 32-bit limit"
// Sink errors are passed on.
Status WriteTermIndex(TermPostings postings, const TermIndexOptions& options, Sink& sink);

}  // namespace halcyra
