// SplitSetAssembler: what the batch split-set builders share besides their
// split bodies. It numbers documents, keeps the open split's facet
// memberships, gives each split its byte cap, and turns each sealed body into
// a named manifest entry with its facet sidecar and facet-presence record;
// at the end it checks single-document splits against their caps and writes
// the set:
//
//   out_dir/<prefix>-s00000<ext>, ...     split bodies, in sealing order
//   out_dir/<prefix>-s00000.hyf, ...      sidecars of splits with facets
//   out_dir/<manifest_name>.hyss          the manifest
//
// Documents are numbered globally from 0; inside a split they carry local
// numbers from 0 (global id = the split's first id + local number).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "facets/facet_map.h"
#include "splitset/manifest.h"
#include "roaring/postings.h"
#include "splitset/split_policy.h"
#include "halcyra/status.h"

namespace halcyra {

struct SplitSetBuildStats {
  uint64_t splits = 0;       // split files written
  uint64_t docs = 0;         // documents added
  uint64_t total_bytes = 0;  // bytes of every split file and sidecar
};

// One document's facet memberships: each field with its categories. A field
// listed with no categories adds nothing.
using FacetMemberships = std::vector<std::pair<std::string, std::vector<std::string>>>;

class SplitSetAssembler {
 public:
  struct Options {
    std::string name_prefix;
    SplitPolicy policy = SplitPolicy::kTiered;
    uint64_t byte_cap = 0;
    uint64_t byte_cap_max = 0;      // 0: every split gets byte_cap
    uint32_t head_boundary = 65536;  // of the facet sidecars
    bool fold_case = true;
    std::optional<Sortcol> sortcol;
    uint8_t body_kind = kNgramSplits;
  };

  explicit SplitSetAssembler(Options options);

  // Fails when no further document can be added: with the error of an
  // earlier failed seal (the set would lack that split's documents), or with
  // Error::Limit "HYSS document count exceeds the 32-bit limit".
  Status CheckAdd() const;
  // Ok, or the error of a failed seal.
  Status health() const;
  // Remembers the failure of a seal; every later CheckAdd, Seal and Write
  // returns it.
  void MarkFailed(Error error);

  uint32_t doc_count() const { return doc_count_; }
  uint32_t open_doc_count() const { return open_doc_count_; }
  DocId open_first_id() const { return open_first_id_; }
  // The cap of the open split.
  uint64_t open_cap() const { return SplitByteCap(options_.byte_cap, options_.byte_cap_max, entries_.size()); }
  bool fold_case() const { return options_.fold_case; }

  // Counts the open split's next document (its local number is
  // open_doc_count()) and files its facet memberships, if any; returns its
  // global id. CheckAdd must have passed.
  DocId Commit(const FacetMemberships* facets);

  // Seals the open split, which must hold documents, from its body and the
  // summary records made so far: appends the facet-presence record and
  // produces the sidecar when the split has facet memberships, then names
  // the split and starts the next one. A failure is remembered as by
  // MarkFailed.
  Status Seal(std::string body, std::string summary);

  // Checks every single-document split against its cap, then creates
  // out_dir with its parents and writes the split files, the sidecars and
  // the manifest (gram_size and extra_flags go to its header). A split over
  // its cap fails with Error::Limit, writing nothing:
  //   "HYSS split <name>: a single document's postings (N B) exceed the
  //    byte cap (C B)"   ("HYSS term split ..." for term splits)
  Result<SplitSetBuildStats> Write(std::string_view out_dir, std::string_view manifest_name, uint16_t gram_size,
                                   uint16_t extra_flags) const;

 private:
  Status SealFacets(std::string* summary, std::string* sidecar);

  Options options_;
  std::optional<Error> failure_;
  std::vector<SplitEntry> entries_;  // sealed splits, in sealing order
  std::vector<std::string> bodies_;  // their bodies
  std::vector<std::pair<std::string, std::string>> sidecars_;  // (name, bytes)
  FacetMap open_facets_;
  bool has_facets_ = false;  // some document had a (field, category) pair
  uint32_t doc_count_ = 0;   // documents added; the next global id
  uint32_t open_doc_count_ = 0;
  DocId open_first_id_ = 0;
};

}  // namespace halcyra
