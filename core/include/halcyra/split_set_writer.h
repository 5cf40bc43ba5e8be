// SplitSetWriter: the streaming base-plus-delta life of an n-gram split set
// kept in remote storage. Documents are added to an in-memory memtable and
// deleted by tombstones; Flush seals both into one immutable delta split
// plus a complete new manifest, Compact merges delta splits given back by the
// caller into one split of absolute ids, and Resume continues a set from its
// manifest bytes. Nothing is written to disk: every split and manifest is
// returned as bytes, and the caller stores the split before the manifest, so
// that replacing the manifest is the atomic switch to the new set.
//
// Split names: <prefix>-d<delta number>.hys for flushed splits and
// <prefix>-c<compaction number>.hys for compacted ones, numbers zero-padded
// to at least five digits. A delta split's postings hold memtable-local
// numbers (global id = the entry's first id + local number); a compacted
// split's hold global ids and its entry has flags bit 1. Summaries carry a
// Bloom record when Bloom filters are on and the split has documents (a
// compacted split: keys), and, when ids were deleted, a tombstone record
// (entry flags bit 0; layout at the top of splitset/streaming_writer.cc).
//
// Every failing call leaves the writer as it was: the memtable and pending
// tombstones survive a failed Flush, the split table a failed Compact.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "halcyra/status.h"
#include "halcyra/types.h"

namespace halcyra {

struct SplitEntry;  // a manifest entry (splitset/manifest.h)

struct SplitSetWriterOptions {
  uint16_t gram_size = kDefaultGramSize;  // 0 means 1
  uint64_t byte_cap = kDefaultByteCap;    // recorded in the manifest only
  std::string name_prefix = kDefaultNamePrefix;
  std::string policy = "stable_key";  // or "tiered"
  uint32_t head_boundary = 0;         // accepted and ignored
  uint32_t stride = 0;                // of the split files; 0 means 512
  uint16_t tier_count = 0;            // recorded in the manifest only
  std::optional<Sortcol> sortcol;     // recorded in the manifest only
  uint32_t bloom_bits_per_key = kDefaultBloomBitsPerKey;  // 0: no Bloom filters
  bool case_sensitive = false;
};

// What Resume takes besides the manifest; the rest comes from the manifest.
struct SplitSetResumeOptions {
  uint16_t gram_size = kDefaultGramSize;  // 0 means 1; must be the manifest's gram size
  uint32_t head_boundary = 0;             // accepted and ignored
  uint32_t stride = 0;
  std::string name_prefix = kDefaultNamePrefix;
  uint32_t bloom_bits_per_key = kDefaultBloomBitsPerKey;
};

struct FlushedSplit {
  std::string name;
  std::string split;     // the n-gram index file
  std::string manifest;  // describes the whole split table, this split last
};

struct CompactionInput {
  std::string_view name;   // as in the manifest
  std::string_view bytes;  // the split file
};

struct CompactedSplit {
  std::string name;
  std::string split;
  std::string manifest;
  std::vector<std::string> removed;  // the input names, in input order
};

// Memory for a new split, for callers that keep its bytes in a buffer of
// their own (the Python binding writes them straight into the bytes object
// it returns).
class SplitBuffer {
 public:
  virtual ~SplitBuffer() = default;
  // Room for at most capacity bytes, into which the split is written; called
  // at most once, after every input was checked. Lack of memory is
  // std::bad_alloc, as for any allocation.
  virtual char* Allocate(size_t capacity) = 0;
  // The split is complete: its first size bytes (size <= capacity).
  virtual void Shrink(size_t size) = 0;
};

// A flush or a compaction worked out in full but not applied: the writer is
// unchanged until Commit, so a caller that cannot take the result (out of
// memory while making its own objects, say) drops it and the writer is as if
// the call never happened.
struct SplitSetChange {
  std::string name;                  // of the new split
  std::string manifest;              // the whole table after the change
  std::vector<std::string> removed;  // compaction: the input names, in input order

  struct Next;                  // the writer's state after the change
  std::unique_ptr<Next> next;

  SplitSetChange();
  ~SplitSetChange();
  SplitSetChange(SplitSetChange&&) noexcept;
  SplitSetChange& operator=(SplitSetChange&&) noexcept;
};

class SplitSetWriter {
 public:
  // A new, empty split set. Fails with Error::InvalidArgument on an unknown
  // policy name, or a name prefix holding '/' or NUL.
  static Result<SplitSetWriter> Create(SplitSetWriterOptions options);

  // Continues the set of manifest. The next id follows every split's last
  // id and every id of a tombstone record; the epoch follows the largest
  // split epoch; delta and compaction numbers follow the largest in names
  // <prefix>-d<N>.hys and <prefix>-c<N>.hys. Every failure is an
  // Error::InvalidArgument: the manifest parser's CoreError text, a malformed
  // tombstone record's, or
  //   "manifest describes term splits (body kind 1), not n-gram splits (body kind 0)"
  //   "gram_size G does not match the manifest's gram size M"
  static Result<SplitSetWriter> Resume(std::string_view manifest, SplitSetResumeOptions options);

  SplitSetWriter(SplitSetWriter&&) noexcept;
  SplitSetWriter& operator=(SplitSetWriter&&) noexcept;
  ~SplitSetWriter();

  // Adds one document to the memtable and returns its global id. Ids are
  // never reused: once every id below 4294967295 is taken, Add fails with
  // Error::InvalidArgument.
  Result<DocId> Add(std::string_view text);

  // Deletes id at the next Flush. An id not yet handed out fails with
  // Error::InvalidArgument "doc id N has not been assigned (next id is M)".
  Status Delete(DocId id);

  // An upper bound of the delta split the memtable would make, kept up to
  // date on every Add: with K distinct keys and stride S,
  //   20 + 24 K + 8 ceil(K / S) + sum over keys of (serialized posting + 8).
  uint64_t memtable_bytes() const;
  uint32_t memtable_doc_count() const;
  // The next global id: documents ever added to the set.
  uint32_t doc_count() const;

  // Seals the memtable and the pending tombstones into one delta split,
  // written into split; no value when both are empty. Fails, with the writer
  // unchanged, on a manifest limit (Error::Limit, for example a 65536-byte
  // split name), when the delta numbers are used up
  //   "HYSS flush: delta split numbers are used up"
  // or when the new name is in the table already
  //   "HYSS flush: split name <name> is already in the manifest"
  Result<std::optional<SplitSetChange>> PrepareFlush(SplitBuffer& split) const;

  // Merges the given delta splits into one split of absolute ids, written
  // into split, dropping the documents their tombstones delete. Every input
  // is checked first; the errors are Error::Core (or Error::Limit):
  //   "HYSS compact: <name> not in manifest"
  //   "HYSS compact: base splits need a full rebuild, not minor compaction"
  //   those of reading an input (see DeltaInput::Read), and as for a flush,
  //   "HYSS compact: compacted split numbers are used up" and
  //   "HYSS compact: split name <name> is already in the manifest".
  Result<SplitSetChange> PrepareCompact(std::span<const CompactionInput> inputs, SplitBuffer& split) const;

  // Applies a change this writer prepared, with nothing changed since.
  void Commit(SplitSetChange change) noexcept;

  // PrepareFlush or PrepareCompact with the split in a string, and Commit.
  Result<std::optional<FlushedSplit>> Flush();
  Result<CompactedSplit> Compact(std::span<const CompactionInput> inputs);

  // The split table, in manifest order.
  const std::vector<SplitEntry>& splits() const;

 private:
  struct State;
  explicit SplitSetWriter(std::unique_ptr<State> state);

  std::unique_ptr<State> state_;
};

}  // namespace halcyra
