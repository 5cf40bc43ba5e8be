// TermSplitSetBuilder: the term-index counterpart of SplitSetBuilder. It cuts
// a stream of documents into byte-capped splits in one batch, but each
// sealed split is a term index (".hyt") built with the term analyzer, so
// both kinds of split set can be built over one corpus and compared. The
// policy, the cap schedule, facets, the single-document check and the output
// files are those of SplitSetAssembler; term splits carry no Bloom filter.
//
// Before a document joins the open split, its cost is charged against the
// split's running estimate:
//
//   cost = 128 + sum over its distinct terms of
//          2 when the split already has the term, else term bytes + 26
//
// and a split holding documents is sealed first when estimate + cost would
// pass its cap. Adding the document raises the estimate by its cost less the
// 128 bytes of headroom.
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

struct TermSplitSetOptions {
  std::string policy = "tiered";  // parsed by ParseSplitPolicy
  uint64_t byte_cap = 33554432;
  uint32_t head_boundary = 0;     // of the splits and sidecars; 0 means 65536
  std::string name_prefix = "split";
  std::optional<Sortcol> sortcol;  // recorded in the manifest only
  std::optional<std::string> language;
  std::optional<bool> stem;        // nullopt: stem when a language is set
  bool stopwords = false;
  uint64_t byte_cap_max = 0;       // 0: no cap growth
  bool case_sensitive = false;
};

class TermSplitSetBuilder {
 public:
  // Checks the analyzer settings (AnalyzerSettings::FromArgs), then the
  // policy (ParseSplitPolicy); both fail with Error::InvalidArgument.
  static Result<TermSplitSetBuilder> Create(TermSplitSetOptions options);

  TermSplitSetBuilder(TermSplitSetBuilder&&) noexcept;
  TermSplitSetBuilder& operator=(TermSplitSetBuilder&&) noexcept;
  ~TermSplitSetBuilder();

  // Adds one document and returns its global id (0, 1, 2, ... in call
  // order). A seal this triggers may fail with a writer limit; the document
  // is then not added, and every later Add, AddFaceted and Build returns that
  // same error rather than producing a set without the sealed documents.
  Result<DocId> Add(std::string_view text);
  // As Add, also filing the document under every listed category.
  Result<DocId> AddFaceted(std::string_view text, const FacetMemberships& facets);

  // Documents added so far; 0 once built.
  uint32_t doc_count() const;
  bool built() const { return state_ == nullptr; }

  // Seals the open split and writes the set into out_dir (created with its
  // parents) with the manifest out_dir/<manifest_name>.hyss. Consumes the
  // builder whatever the outcome: afterwards Add, AddFaceted and Build fail
  // with Error::Consumed "TermSplitSetBuilder already built".
  Result<SplitSetBuildStats> Build(std::string_view out_dir, std::string_view manifest_name = "index") &&;

 private:
  struct State;
  explicit TermSplitSetBuilder(std::unique_ptr<State> state);
  Result<DocId> AddDocument(std::string_view text, const FacetMemberships* facets);

  std::unique_ptr<State> state_;  // null once built
};

}  // namespace halcyra
