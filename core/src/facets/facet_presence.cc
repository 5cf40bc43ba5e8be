// The facet-presence payload, integers little-endian:
//
//   key count n u32  n facet keys u64, strictly ascending (unsigned)
//
// See FORMATS.md (Facet presence) for how a reader skips splits with it.
#include "facets/facet_presence.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "base/coding.h"

namespace halcyra {

Result<std::string> BuildFacetPresence(const FacetMap& facets, bool fold_case) {
  std::vector<uint64_t> keys;
  for (const auto& [field, categories] : facets.fields()) {
    for (const auto& category : categories) keys.push_back(FacetKey(field, category.first, fold_case));
  }
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  if (keys.size() > UINT32_MAX) return Error::Limit("HYSS facet-presence key count exceeds the 32-bit limit");

  std::string payload;
  payload.reserve(4 + 8 * keys.size());
  PutFixed32(&payload, static_cast<uint32_t>(keys.size()));
  for (uint64_t key : keys) PutFixed64(&payload, key);
  return payload;
}

}  // namespace halcyra
