// The facet-presence list of one split: the facet keys of every (field,
// category) pair with a document in the split, so that a reader filtering on
// a category skips the splits whose list lacks its key and fetches only the
// remaining splits' sidecars. Kept in the manifest as a summary record with
// tag kFacetPresenceRecord; payload layout at the top of facet_presence.cc.
#pragma once

#include <string>

#include "facets/facet_map.h"
#include "halcyra/status.h"

namespace halcyra {

// The payload over every category of facets, keyed with FacetKey(field,
// category, fold_case); keys that coincide (names equal once folded, or
// hash collisions) are stored once. Fails with Error::Limit "HYSS
// facet-presence key count exceeds the 32-bit limit" past 2^32 - 1 keys.
Result<std::string> BuildFacetPresence(const FacetMap& facets, bool fold_case);

}  // namespace halcyra
