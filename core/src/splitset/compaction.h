// Compaction's reading and merging of delta splits: each input split is
// checked whole before anything is merged, then the inputs' postings are
// merged key by key into absolute ids, minus the tombstoned ids, and written
// as one n-gram index file (byte layout at the top of ngram/ngram_index.cc).
//
// Only what merging needs is read: the gram size and the case marker are
// not checked, the keys need not be sorted or distinct, and a stride of 0
// means no block index.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "halcyra/ngram.h"
#include "halcyra/split_set_writer.h"
#include "halcyra/status.h"
#include "roaring/portable_roaring.h"
#include "roaring/postings.h"
#include "splitset/manifest.h"

namespace halcyra {

// The tombstone records of the compacted inputs, checked and kept as views of
// the records' bytes (the summaries must outlive the Tombstones).
class Tombstones {
 public:
  // Reads and checks the tombstone record of summary, if it has one.
  Status Add(std::string_view summary);
  bool empty() const { return containers_.empty(); }

  // The union of the records as one tombstone record payload. A container
  // that only one record has is carried as it is; containers of one key from
  // several records are united, without runs unless one of them was a run
  // container, so the payload is never larger than the records together.
  std::string Encode() const;

  // The containers of every record, by key (records in order for one key).
  struct Keyed {
    uint16_t key;
    ContainerView container;
  };
  const std::vector<Keyed>& containers() const { return containers_; }

 private:
  std::vector<Keyed> containers_;  // sorted by key
};

// One checked input: its dictionary in ascending key order and the offset
// that turns its posting numbers into global ids.
class DeltaInput {
 public:
  // Checks the input whose split-table entry is entry: first its tombstone
  // record, which joins *tombstones; then the split bytes, entry by entry,
  // with the errors (all Error::Core or Error::Limit):
  //   "HYSS compact: input is not an HYS split"  (under 16 bytes or no HYSI)
  //   "HYSS compact: truncated dictionary"
  //   "HYSS compact: posting out of range"
  //   "roaring deserialize: ..."                 (PortableRoaring)
  //   "HYSS compact: <name> holds posting number N, which from first id F
  //    passes the last id 4294967295"            (relative numbers only)
  //   "HYSS compact: <name> holds id N, outside the ids F to L of its
  //    manifest entry"  ("..., but its manifest entry has no documents")
  //   "HYSS compact: <name> has postings that share bytes"
  // bytes and entry must outlive the DeltaInput.
  static Result<DeltaInput> Read(const SplitEntry& entry, std::string_view bytes, Tombstones* tombstones);

  struct Posting {
    NgramKey key;
    uint64_t offset;
    uint32_t length;
  };

  const std::vector<Posting>& postings() const { return postings_; }  // keys ascending
  std::string_view bytes() const { return bytes_; }
  DocId id_offset() const { return id_offset_; }

 private:
  std::string_view bytes_;
  std::vector<Posting> postings_;
  DocId id_offset_ = 0;
};

struct MergedSplit {
  uint64_t size = 0;            // of the n-gram index file
  std::vector<NgramKey> keys;   // its keys, ascending
  uint32_t doc_count = 0;       // live documents, those in some posting
  DocId first_id = 0;           // smallest live id; 0 without documents
  DocId last_id = 0;            // largest live id; 0 without documents
};

// Unions the inputs' postings key by key into global ids, drops the ids in
// tombstones and the keys left without ids, and writes the result as an
// n-gram index file into out, allocated at its exact size. Ranges of keys
// are merged on the threads of the call, each posting one container at a
// time; the file is the same whatever their number. Besides the file and
// the merged postings waiting for it, the memory used is bounded by the
// inputs' bytes. Error::Interrupted when InterruptRequested.
Result<MergedSplit> MergeDeltaInputs(std::span<const DeltaInput> inputs, const Tombstones& tombstones,
                                     uint16_t gram_size, uint32_t stride, bool fold_case, SplitBuffer& out);

}  // namespace halcyra
