// Rules every split-set writer shares: the policy names, the byte cap of
// each split, split file names and tier numbers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "halcyra/status.h"

namespace halcyra {

// The order documents are fed in, recorded in the manifest as its code.
enum class SplitPolicy : uint8_t {
  kTiered = 0,     // rank order; split i is tier i
  kStableKey = 1,  // ingest order; every split is tier 0
};

// ASCII letters are lowercased first. rank, tiered and rank_tiered select
// kTiered; stable, ingest, stablekey and stable_key select kStableKey. Any
// other name fails with Error::InvalidArgument
//   unknown policy "<lowercased name, escaped>"; use 'tiered' or 'stable_key'
Result<SplitPolicy> ParseSplitPolicy(std::string_view name);

// The byte cap of split index (the number of splits sealed before it). With
// byte_cap_max 0 every split gets byte_cap; otherwise the cap doubles per
// split, byte_cap << index, saturating at max(byte_cap, byte_cap_max).
uint64_t SplitByteCap(uint64_t byte_cap, uint64_t byte_cap_max, uint64_t index);

// Refuses an argument that becomes part of a file name in the output
// directory (what: "name_prefix", "manifest_name") when it holds a NUL
// ("embedded null byte") or a '/' ("<what> may not contain '/'"), as
// Error::InvalidArgument.
Status CheckFileNamePart(std::string_view value, const char* what);

// prefix + "-" + kind + number zero-padded to at least five digits +
// extension, for example corpus-s00000.hys or corpus-d123456.hys.
std::string SplitFileName(std::string_view prefix, char kind, uint64_t number, std::string_view extension);

// Tier of split index in a batch-built set: its index, capped at 65535,
// under kTiered; 0 under kStableKey. The manifest's tier count of a set of
// count splits follows the same rule.
inline uint16_t SplitTier(SplitPolicy policy, uint64_t index) {
  if (policy == SplitPolicy::kStableKey) return 0;
  return index > UINT16_MAX ? UINT16_MAX : static_cast<uint16_t>(index);
}

}  // namespace halcyra
