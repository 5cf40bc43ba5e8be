// The batch split-set builder: cuts a stream of documents into byte-capped
// splits in one batch and writes them with a manifest. One machine serves
// both kinds of split body, chosen by the options it is created with:
//
//   SplitSetOptions      n-gram index splits (".hys") with Bloom filters
//   TermSplitSetOptions  term index splits (".hyt"), analyzed into terms
//
// Each document is tokenized or analyzed as it arrives and only its postings
// are kept. Before a document joins the open split, the body estimates the
// split's size with the document added; a split that holds documents and
// would pass its byte cap is sealed first, so a document is never divided
// between splits and an oversized one ends up alone in its split. Documents
// are numbered globally from 0 in call order (rank order under the tiered
// policy, ingest order under stable_key) and never reordered; inside a split
// they carry local numbers from 0 (global id = the split's first id + local
// number).
//
// Build writes, into out_dir:
//
//   <prefix>-s00000.hys (or .hyt), ...   split bodies, in sealing order
//   <prefix>-s00000.hyf, ...             sidecars of splits with facets
//   <manifest_name>.hyss                 the manifest, last
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "halcyra/status.h"
#include "halcyra/types.h"

namespace halcyra {

struct SplitSetBuildStats {
  uint64_t splits = 0;       // split files written
  uint64_t docs = 0;         // documents added
  uint64_t total_bytes = 0;  // bytes of every split file and sidecar
};

// N-gram splits. Before a document joins the open split, the bound
//
//   estimate = 64 (K + N) + 2 D + P + 8 ceil(K / stride) + 20
//
// is compared with the split's cap, with K the open split's distinct keys, N
// the document's keys new to it, D the document's keys and P two bytes per
// (key, document) posting so far.
struct SplitSetOptions {
  std::string policy = "tiered";  // "tiered" or "stable_key"
  uint64_t byte_cap = kDefaultByteCap;
  uint16_t gram_size = kDefaultGramSize;  // 0 means 1
  uint32_t head_boundary = 0;             // of the facet sidecars; 0 means 65536
  uint32_t stride = 0;                    // of the split files; 0 means 512
  std::string name_prefix = kDefaultNamePrefix;
  std::optional<Sortcol> sortcol;         // recorded in the manifest only
  uint32_t bloom_bits_per_key = kDefaultBloomBitsPerKey;  // 0: no Bloom filters
  uint64_t byte_cap_max = 0;              // 0: no cap growth
  bool case_sensitive = false;
};

// Term splits, without Bloom filters. A document costs
//
//   cost = 128 + sum over its distinct terms of
//          2 when the split already has the term, else term bytes + 26
//
// and the open split is sealed first when its running estimate + cost would
// pass its cap; adding the document raises the estimate by its cost less the
// 128 bytes of headroom.
struct TermSplitSetOptions {
  std::string policy = "tiered";
  uint64_t byte_cap = kDefaultByteCap;
  uint32_t head_boundary = 0;  // of the splits and sidecars; 0 means 65536
  std::string name_prefix = kDefaultNamePrefix;
  std::optional<Sortcol> sortcol;
  std::optional<std::string> language;  // Snowball name or ISO-639-1 code
  std::optional<bool> stem;             // nullopt: stem when a language is set
  bool stopwords = false;
  uint64_t byte_cap_max = 0;
  bool case_sensitive = false;
};

class BatchSplitSetBuilder {
 public:
  // Fails with Error::InvalidArgument on an unknown policy name (and, for
  // term splits, first on analyzer settings that are refused), then on a
  // name prefix holding '/' or NUL.
  static Result<BatchSplitSetBuilder> Create(SplitSetOptions options);
  static Result<BatchSplitSetBuilder> Create(TermSplitSetOptions options);

  BatchSplitSetBuilder(BatchSplitSetBuilder&&) noexcept;
  BatchSplitSetBuilder& operator=(BatchSplitSetBuilder&&) noexcept;
  ~BatchSplitSetBuilder();

  // Adds one document and returns its global id. A seal this triggers may
  // fail with a writer limit; the document is then not added, and since the
  // sealed split's postings are gone, every later Add and Build returns that
  // same error rather than producing a set without those documents.
  Result<DocId> Add(std::string_view text);
  // As Add, also filing the document under every listed category (a field
  // listed with no categories adds nothing).
  Result<DocId> AddFaceted(std::string_view text, const FacetMemberships& facets);

  // Documents added so far; 0 once built.
  uint32_t doc_count() const;
  bool built() const { return state_ == nullptr; }

  // Seals the open split and writes the set into out_dir (created with its
  // parents). A manifest name holding '/' or NUL is refused first
  // (Error::InvalidArgument), leaving the builder as it was; otherwise Build
  // consumes the builder whatever the outcome: afterwards Add and
  // Build fail with Error::Consumed "SplitSetBuilder already built" (or
  // "TermSplitSetBuilder already built"). A single-document split over its
  // cap fails with Error::Limit before anything is written:
  //   "HYSS split <name>: a single document's postings (N B) exceed the
  //    byte cap (C B)"   ("HYSS term split ..." for term splits)
  Result<SplitSetBuildStats> Build(std::string_view out_dir, std::string_view manifest_name = "index") &&;

 private:
  struct State;
  BatchSplitSetBuilder(std::unique_ptr<State> state, const char* name);
  Result<DocId> AddDocument(std::string_view text, const FacetMemberships* facets);

  std::unique_ptr<State> state_;  // null once built
  const char* name_;              // "SplitSetBuilder" or "TermSplitSetBuilder"
};

}  // namespace halcyra
