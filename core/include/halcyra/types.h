// What the public headers share: the document id, the sort column a
// split-set manifest may record, a document's facet memberships, and the
// defaults the builders' options have in common.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace halcyra {

// A document number, shared by every artefact of a dataset.
using DocId = uint32_t;

// The caller's sort column, recorded in a split-set manifest for the reader
// and not interpreted.
struct Sortcol {
  std::string name;
  uint16_t number = 0;
  bool flag = false;

  bool operator==(const Sortcol&) const = default;
};

// One document's facet memberships: each field with its categories.
using FacetMemberships = std::vector<std::pair<std::string, std::vector<std::string>>>;

inline constexpr uint16_t kDefaultGramSize = 3;
// Postings split into a head of ids below it and a tail of the rest.
inline constexpr uint32_t kDefaultHeadBoundary = 65536;
inline constexpr uint64_t kDefaultByteCap = 33554432;  // of one split, 32 MiB
inline constexpr char kDefaultNamePrefix[] = "split";
inline constexpr uint32_t kDefaultBloomBitsPerKey = 10;

}  // namespace halcyra
