#include "halcyra/term_split_set_builder.h"

#include <algorithm>
#include <vector>

#include "terms/analyzer.h"
#include "base/sink.h"
#include "terms/term_index.h"
#include "terms/term_table.h"

namespace halcyra {
namespace {

constexpr uint32_t kDefaultHeadBoundary = 65536;

// The estimate's charges: headroom checked for every document but never
// added, a term new to the split (its dictionary entry and record, besides
// its bytes), and a document added to a term already there.
constexpr uint64_t kDocumentHeadroom = 128;
constexpr uint64_t kNewTermCharge = 26;
constexpr uint64_t kPostingCharge = 2;

}  // namespace

struct TermSplitSetBuilder::State {
  State(SplitSetAssembler::Options assembler, Analyzer a, const TermIndexOptions& o)
      : splits(std::move(assembler)), analyzer(std::move(a)), options(o) {}

  // What adding the current document's terms to the open split costs, with
  // the headroom; every term counted as new when all_new.
  uint64_t Cost(bool all_new) const {
    uint64_t cost = kDocumentHeadroom;
    for (const std::string& term : terms) {
      cost += !all_new && table.Contains(term) ? kPostingCharge : term.size() + kNewTermCharge;
    }
    return cost;
  }

  // Seals the open split if it holds documents; a failure is remembered.
  Status Seal() {
    if (splits.open_doc_count() == 0) return Status::Ok();
    estimate = 0;
    BufferSink body;
    Status s = WriteTermIndex(table.TakePostings(), options, body);
    if (s.ok()) s = splits.Seal(body.Release(), std::string());
    if (!s.ok()) splits.MarkFailed(s.error());
    return s;
  }

  Result<DocId> Add(std::string_view text, const FacetMemberships* facets) {
    HALCYRA_RETURN_IF_ERROR(splits.CheckAdd());
    terms.clear();
    HALCYRA_RETURN_IF_ERROR(analyzer.Analyze(text, &terms));
    std::sort(terms.begin(), terms.end());
    terms.erase(std::unique(terms.begin(), terms.end()), terms.end());
    if (splits.open_doc_count() != 0) {
      const uint64_t cap = splits.open_cap();
      // The bound with every term new is cheap; only near the cap are the
      // terms looked up.
      if (estimate + Cost(true) > cap && estimate + Cost(false) > cap) HALCYRA_RETURN_IF_ERROR(Seal());
    }
    if (table.size() + terms.size() > UINT32_MAX) {
      size_t new_terms = 0;
      for (const std::string& term : terms) new_terms += !table.Contains(term);
      if (table.size() + new_terms > UINT32_MAX) return Error::Limit("HYTI term count exceeds the 32-bit limit");
    }
    const DocId local = splits.open_doc_count();
    for (const std::string& term : terms) {
      const size_t before = table.size();
      table.Add(term, local);  // cannot fail: the term count fits
      estimate += table.size() != before ? term.size() + kNewTermCharge : kPostingCharge;
    }
    return splits.Commit(facets);
  }

  SplitSetAssembler splits;
  Analyzer analyzer;
  TermIndexOptions options;  // of every split
  TermTable table;           // the open split's postings, by local number
  uint64_t estimate = 0;     // of the open split
  std::vector<std::string> terms;  // the current document's distinct terms
};

Result<TermSplitSetBuilder> TermSplitSetBuilder::Create(TermSplitSetOptions options) {
  Result<AnalyzerSettings> settings =
      AnalyzerSettings::FromArgs(options.language ? std::optional<std::string_view>(*options.language) : std::nullopt,
                                 options.stem, options.stopwords, options.case_sensitive);
  if (!settings.ok()) return settings.take_error();
  Result<SplitPolicy> policy = ParseSplitPolicy(options.policy);
  if (!policy.ok()) return policy.take_error();
  Result<Analyzer> analyzer = Analyzer::Create(*settings);
  if (!analyzer.ok()) return analyzer.take_error();

  const uint32_t head_boundary = options.head_boundary != 0 ? options.head_boundary : kDefaultHeadBoundary;
  SplitSetAssembler::Options assembler;
  assembler.name_prefix = std::move(options.name_prefix);
  assembler.policy = *policy;
  assembler.byte_cap = options.byte_cap;
  assembler.byte_cap_max = options.byte_cap_max;
  assembler.head_boundary = head_boundary;
  assembler.fold_case = settings->fold_case;
  assembler.sortcol = std::move(options.sortcol);
  assembler.body_kind = kTermSplits;
  TermIndexOptions index;
  index.head_boundary = head_boundary;
  index.block_cap = kDefaultBlockCap;
  index.analyzer = *settings;
  return TermSplitSetBuilder(std::make_unique<State>(std::move(assembler), std::move(analyzer).value(), index));
}

TermSplitSetBuilder::TermSplitSetBuilder(std::unique_ptr<State> state) : state_(std::move(state)) {}
TermSplitSetBuilder::TermSplitSetBuilder(TermSplitSetBuilder&&) noexcept = default;
TermSplitSetBuilder& TermSplitSetBuilder::operator=(TermSplitSetBuilder&&) noexcept = default;
TermSplitSetBuilder::~TermSplitSetBuilder() = default;

Result<DocId> TermSplitSetBuilder::AddDocument(std::string_view text, const FacetMemberships* facets) {
  if (state_ == nullptr) return Error::Consumed("TermSplitSetBuilder already built");
  return state_->Add(text, facets);
}

Result<DocId> TermSplitSetBuilder::Add(std::string_view text) { return AddDocument(text, nullptr); }

Result<DocId> TermSplitSetBuilder::AddFaceted(std::string_view text, const FacetMemberships& facets) {
  return AddDocument(text, &facets);
}

uint32_t TermSplitSetBuilder::doc_count() const { return state_ != nullptr ? state_->splits.doc_count() : 0; }

Result<SplitSetBuildStats> TermSplitSetBuilder::Build(std::string_view out_dir, std::string_view manifest_name) && {
  if (state_ == nullptr) return Error::Consumed("TermSplitSetBuilder already built");
  const std::unique_ptr<State> state = std::move(state_);
  HALCYRA_RETURN_IF_ERROR(state->splits.health());
  HALCYRA_RETURN_IF_ERROR(state->Seal());
  return state->splits.Write(out_dir, manifest_name, /*gram_size=*/0, /*extra_flags=*/0);
}

}  // namespace halcyra
