// facets/: facet map and keys, facet sidecar writer, facet-presence summary.
//
// Facets: which documents belong to which (field, category) pair, and the
// sidecar file that stores them for ranged reads (byte layout at the top of
// facet_sidecar.cc).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "base/sink.h"
#include "halcyra/status.h"
#include "roaring/postings.h"

namespace halcyra {

// Category name -> documents, ordered by the names' bytes (unsigned).
using FacetCategories = std::map<std::string, Bitmap, std::less<>>;

// Field name -> its categories, ordered by the names' bytes (unsigned). A
// field may have no categories.
class FacetMap {
 public:
  using Fields = std::map<std::string, FacetCategories, std::less<>>;

  // Finds or creates the field.
  FacetCategories& Field(std::string_view name);
  // Files doc under category of field, creating the category as needed.
  static void Insert(FacetCategories& field, std::string_view category, DocId doc);
  void Insert(std::string_view field, std::string_view category, DocId doc) {
    Insert(Field(field), category, doc);
  }

  bool empty() const { return fields_.empty(); }
  size_t size() const { return fields_.size(); }
  const Fields& fields() const { return fields_; }
  Fields& fields() { return fields_; }

 private:
  Fields fields_;
};

// FNV-1a 64 over field bytes, 0x1F, category bytes. With fold_case, each
// name is first mapped by the full Unicode lowercase mapping of the whole
// string (final sigma included) and its UTF-8 is hashed instead.
uint64_t FacetKey(std::string_view field, std::string_view category, bool fold_case);

// Writes the sidecar of map (consumed) to sink and closes the sink, on
// failure too. Limits fail with Error::Limit; the first group before anything
// is written, the last two while the category table is written:
//   "facet name exceeds the 16-bit length limit"
//   "facet string blob size exceeds the 32-bit limit"
//   "HYSF field count exceeds the 32-bit limit"
//   "HYSF category count exceeds the 32-bit limit"
//   "HYSF category cardinality exceeds the 32-bit limit"
//   "HYSF head posting size exceeds the 32-bit limit"
//   "HYSF tail posting size exceeds the 32-bit limit"
Status WriteFacetSidecar(FacetMap map, bool fold_case, uint32_t head_boundary, Sink& sink);

}  // namespace halcyra
