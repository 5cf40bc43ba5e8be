// SplitSetBuilder: cuts a stream of documents into byte-capped n-gram index
// splits in one batch. Each document is tokenized as it arrives and only its
// postings are kept; before a document joins the open split, an upper bound
// of the split file's size with the document added is compared with the
// split's cap, and a split that would pass it is sealed first:
//
//   estimate = 64 (K + N) + 2 D + P + 8 ceil(K / stride) + 20
//
// with K the open split's distinct keys, N the document's keys new to it, D
// the document's keys and P two bytes per (key, document) posting so far.
// The first document of a split never seals it, so a document is never
// divided between splits and an oversized one ends up alone in its split.
//
// A sealed split is an n-gram index file held in memory, a summary (Bloom
// filter over its keys, facet-presence list) and, when its documents have
// facets, a sidecar. Build writes them with the manifest (see
// SplitSetAssembler for the files). The caller feeds documents in rank order
// under the tiered policy and in ingest order under stable_key; documents
// are never reordered.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "splitset/manifest.h"
#include "roaring/postings.h"
#include "splitset/split_set_assembler.h"
#include "halcyra/status.h"

namespace halcyra {

struct SplitSetOptions {
  std::string policy = "tiered";  // parsed by ParseSplitPolicy
  uint64_t byte_cap = 33554432;
  uint16_t gram_size = 3;          // 0 means 1
  uint32_t head_boundary = 0;      // of the facet sidecars; 0 means 65536
  uint32_t stride = 0;             // of the split files; 0 means 512
  std::string name_prefix = "split";
  std::optional<Sortcol> sortcol;  // recorded in the manifest only
  uint32_t bloom_bits_per_key = 10;  // 0: no Bloom filters
  uint64_t byte_cap_max = 0;       // 0: no cap growth
  bool case_sensitive = false;
};

class SplitSetBuilder {
 public:
  // Fails only on an unknown policy name, with ParseSplitPolicy's
  // Error::InvalidArgument.
  static Result<SplitSetBuilder> Create(SplitSetOptions options);

  SplitSetBuilder(SplitSetBuilder&&) noexcept;
  SplitSetBuilder& operator=(SplitSetBuilder&&) noexcept;
  ~SplitSetBuilder();

  // Adds one document and returns its global id (0, 1, 2, ... in call
  // order). A seal this triggers may fail with a writer limit; the document
  // is then not added, and since the sealed split's postings are gone, every
  // later Add, AddFaceted and Build returns that same error rather than
  // producing a set without those documents.
  Result<DocId> Add(std::string_view text);
  // As Add, also filing the document under every listed category.
  Result<DocId> AddFaceted(std::string_view text, const FacetMemberships& facets);

  // Documents added so far; 0 once built.
  uint32_t doc_count() const;
  bool built() const { return state_ == nullptr; }

  // Seals the open split and writes the set into out_dir (created with its
  // parents) with the manifest out_dir/<manifest_name>.hyss. Consumes the
  // builder whatever the outcome: afterwards Add, AddFaceted and Build fail
  // with Error::Consumed "SplitSetBuilder already built".
  Result<SplitSetBuildStats> Build(std::string_view out_dir, std::string_view manifest_name = "index") &&;

 private:
  struct State;
  explicit SplitSetBuilder(std::unique_ptr<State> state);
  Result<DocId> AddDocument(std::string_view text, const FacetMemberships* facets);

  std::unique_ptr<State> state_;  // null once built
};

}  // namespace halcyra
