// Split summaries: the records a manifest keeps with each split so that a
// reader can rule the split out before fetching it. Byte layout at the top
// of summary.cc.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "halcyra/status.h"

namespace halcyra {

enum SummaryTag : uint8_t {
  kBloomRecord = 1,          // Bloom filter over the split's n-gram keys
  kFacetPresenceRecord = 2,  // facet keys present in the split
  kTombstoneRecord = 4,      // deleted global DocIds
};

inline constexpr size_t kSummaryRecordHeaderSize = 5;

// Appends one framed record to *summary. Fails, appending nothing, with
// Error::Limit "HYSS summary record size exceeds the 32-bit limit" when the
// payload is 2^32 bytes or longer.
Status AppendSummaryRecord(uint8_t tag, std::string_view payload, std::string* summary);

// The payload of the first record with tag; std::nullopt when no record has
// it (fewer than 5 trailing bytes are ignored). Fails with the CoreError
// "malformed index: HYSS summary TLV out of range" when a record that comes
// before the match runs past the end of the summary.
Result<std::optional<std::string_view>> FindSummaryRecord(std::string_view summary, uint8_t tag);

}  // namespace halcyra
