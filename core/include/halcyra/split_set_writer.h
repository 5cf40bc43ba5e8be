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
// Bloom record and, when ids were deleted, a tombstone record (entry flags
// bit 0; layout at the top of splitset/streaming_writer.cc).
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

// Memory for a compacted split, for callers that keep its bytes in a buffer
// of their own rather than in CompactedSplit::split (the Python binding
// writes them straight into the bytes object it returns).
class SplitBuffer {
 public:
  virtual ~SplitBuffer() = default;
  // Room for at most capacity bytes, into which the split is written; called
  // once, after every input was checked (not at all when one is refused).
  // Lack of memory is std::bad_alloc, as for any allocation.
  virtual char* Allocate(size_t capacity) = 0;
  // The split is complete: its first size bytes (size <= capacity). Called
  // once, after Allocate, when the merge succeeded; a later failure of
  // Compact still leaves the writer as it was.
  virtual void Shrink(size_t size) = 0;
};

struct CompactedSplit {
  std::string name;
  std::string split;  // empty when written into a SplitBuffer
  std::string manifest;
  std::vector<std::string> removed;  // the input names, in input order
};

class SplitSetWriter {
 public:
  // A new, empty split set. Fails only on an unknown policy name
  // (Error::InvalidArgument of ParseSplitPolicy).
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

  // Seals the memtable and the pending tombstones into one delta split; no
  // value when both are empty. A manifest limit (Error::Limit, for example a
  // 65536-byte split name) fails before anything changes.
  Result<std::optional<FlushedSplit>> Flush();

  // Merges the given delta splits into one split of absolute ids, dropping
  // the documents their tombstones delete. Every input is checked before
  // anything changes; the errors are Error::Core (or Error::Limit):
  //   "HYSS compact: <name> not in manifest"
  //   "HYSS compact: base splits need a full rebuild, not minor compaction"
  //   and those of reading an input (see DeltaInput::Read).
  Result<CompactedSplit> Compact(std::span<const CompactionInput> inputs);
  // The same with the split written into *split (CompactedSplit::split is
  // left empty).
  Result<CompactedSplit> Compact(std::span<const CompactionInput> inputs, SplitBuffer& split);

  // The split table, in manifest order.
  const std::vector<SplitEntry>& splits() const;

 private:
  struct State;
  explicit SplitSetWriter(std::unique_ptr<State> state);

  std::unique_ptr<State> state_;
};

}  // namespace halcyra
