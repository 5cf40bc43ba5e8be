// splitset/: split sets: manifest and summaries, policy, batch and streaming writers, compaction.
//
// The split-set manifest: names every split of a set with its global id
// range, size, epoch and summary records, so that a reader can choose the
// splits to open before fetching any. Byte layout at the top of manifest.cc.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "halcyra/status.h"
#include "halcyra/types.h"

namespace halcyra {

// ManifestHeader::flags
inline constexpr uint16_t kManifestBloom = 0x1;           // Bloom filters were requested
inline constexpr uint16_t kManifestFacets = 0x2;          // splits may have facet sidecars
inline constexpr uint16_t kManifestTombstones = 0x8;      // some split has a tombstone record
inline constexpr uint16_t kManifestCaseSensitive = 0x10;  // keys made without case folding

// SplitEntry::flags
inline constexpr uint16_t kSplitTombstones = 0x1;   // the summary has a tombstone record
inline constexpr uint16_t kSplitAbsoluteIds = 0x2;  // postings hold global ids

// ManifestHeader::body_kind
inline constexpr uint8_t kNgramSplits = 0;  // ".hys" files
inline constexpr uint8_t kTermSplits = 1;   // ".hyt" files

struct ManifestHeader {
  uint16_t flags = 0;
  uint8_t policy = 0;      // SplitPolicy code
  uint8_t body_kind = 0;
  uint16_t tier_count = 0;
  uint32_t base_count = 0;  // leading entries that are base splits
  uint64_t byte_cap = 0;
  // Written with its name even when the name is empty, but a name length of
  // 0 reads back as no sort column.
  std::optional<Sortcol> sortcol;
  uint16_t gram_size = 0;  // 0 for term splits

  bool operator==(const ManifestHeader&) const = default;
};

struct SplitEntry {
  std::string name;     // relative to the manifest's location
  std::string summary;  // summary records; may be empty
  uint64_t byte_size = 0;
  uint64_t epoch = 0;
  uint32_t doc_count = 0;
  uint32_t first_id = 0;
  uint32_t last_id = 0;  // first_id + doc_count - 1, first_id when empty; compacted: the largest live id
  uint16_t tier = 0;
  uint16_t flags = 0;

  bool operator==(const SplitEntry&) const = default;
};

struct Manifest {
  ManifestHeader header;
  std::vector<SplitEntry> splits;

  // Whether the set's keys were made with case folding.
  bool fold_case() const { return (header.flags & kManifestCaseSensitive) == 0; }
};

// The manifest bytes. Fails without output with Error::Limit, checked in
// this order:
//   "HYSS split count exceeds the 32-bit limit"
//   "HYSS base_count B exceeds split count N"
//   "HYSS string blob exceeds the 32-bit limit"  (a name would start past it,
//                                                 or the blob ends past it)
//   "HYSS name exceeds the 16-bit length limit"
//   "HYSS split summary exceeds the 32-bit limit"
Result<std::string> WriteManifest(const ManifestHeader& header, std::span<const SplitEntry> splits);

// Parses manifest bytes (anything after the manifest's end is ignored),
// copying every summary out. Fails with the first violated check as a
// CoreError: bad magic, unsupported version, or "malformed index: " +
//   "short HYSS header", "HYSS base count exceeds split count",
//   "HYSS body size overflow", "short HYSS body", "HYSS unknown policy code",
//   "HYSS unknown body-kind code", "HYSS name out of string blob",
//   "HYSS non-UTF-8 name", "HYSS summary range overflow",
//   "HYSS summary out of summary blob", and once every range is checked,
//   "HYSS summary regions overlap" or "HYSS names overlap" (two entries
//   sharing summary or name bytes).
Result<Manifest> ParseManifest(std::string_view bytes);

}  // namespace halcyra
