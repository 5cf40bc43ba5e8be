// The term split body of the batch split-set builder: each document's
// distinct terms in a term table by split-local number, priced by a running
// estimate of the split's size, sealed into a term index file.
#include "splitset/split_body.h"

#include <algorithm>
#include <vector>

#include "base/sink.h"
#include "splitset/manifest.h"
#include "terms/term_index.h"
#include "terms/term_table.h"

namespace halcyra {
namespace {

// The estimate's charges: headroom checked for every document but never
// added, a term new to the split (its dictionary entry and record, besides
// its bytes), and a document added to a term already there.
constexpr uint64_t kDocumentHeadroom = 128;
constexpr uint64_t kNewTermCharge = 26;
constexpr uint64_t kPostingCharge = 2;

class TermBody final : public SplitBody {
 public:
  TermBody(Analyzer analyzer, const TermIndexOptions& options) : analyzer_(std::move(analyzer)), options_(options) {}

  Status Read(std::string_view text) override {
    terms_.clear();
    HALCYRA_RETURN_IF_ERROR(analyzer_.Analyze(text, &terms_));
    std::sort(terms_.begin(), terms_.end());
    terms_.erase(std::unique(terms_.begin(), terms_.end()), terms_.end());
    return Status::Ok();
  }

  bool PassesCap(uint64_t cap) const override {
    // The bound with every term new is cheap; only near the cap are the
    // terms looked up.
    return estimate_ + Cost(true) > cap && estimate_ + Cost(false) > cap;
  }

  Status Admit(DocId local) override {
    if (table_.size() + terms_.size() > UINT32_MAX) {
      size_t new_terms = 0;
      for (const std::string& term : terms_) new_terms += !table_.Contains(term);
      if (table_.size() + new_terms > UINT32_MAX) return Error::Limit("HYTI term count exceeds the 32-bit limit");
    }
    for (const std::string& term : terms_) {
      const size_t before = table_.size();
      table_.Add(term, local);  // cannot fail: the term count fits
      estimate_ += table_.size() != before ? term.size() + kNewTermCharge : kPostingCharge;
    }
    return Status::Ok();
  }

  Status Seal(std::string* body, std::string*) override {
    estimate_ = 0;
    BufferSink sink;
    HALCYRA_RETURN_IF_ERROR(WriteTermIndex(table_.TakePostings(), options_, sink));
    *body = sink.Release();
    return Status::Ok();
  }

  uint8_t body_kind() const override { return kTermSplits; }
  uint16_t gram_size() const override { return 0; }
  uint16_t manifest_flags() const override { return 0; }

 private:
  // What adding the pending document's terms to the open split costs, with
  // the headroom; every term counted as new when all_new.
  uint64_t Cost(bool all_new) const {
    uint64_t cost = kDocumentHeadroom;
    for (const std::string& term : terms_) {
      cost += !all_new && table_.Contains(term) ? kPostingCharge : term.size() + kNewTermCharge;
    }
    return cost;
  }

  Analyzer analyzer_;
  const TermIndexOptions options_;  // of every split
  TermTable table_;                 // the open split's postings, by local number
  uint64_t estimate_ = 0;           // of the open split
  std::vector<std::string> terms_;  // the pending document's distinct terms
};

}  // namespace

Result<std::unique_ptr<SplitBody>> MakeTermBody(const AnalyzerSettings& settings, uint32_t head_boundary) {
  Result<Analyzer> analyzer = Analyzer::Create(settings);
  if (!analyzer.ok()) return analyzer.take_error();
  TermIndexOptions options;
  options.head_boundary = head_boundary;
  options.block_cap = kDefaultBlockCap;
  options.analyzer = settings;
  return std::unique_ptr<SplitBody>(std::make_unique<TermBody>(std::move(analyzer).value(), options));
}

}  // namespace halcyra
