#include "halcyra/split_set_builder.h"

#include <algorithm>
#include <vector>

#include "ngram/posting_table.h"
#include "splitset/bloom.h"
#include "halcyra/ngram.h"
#include "ngram/ngram_index.h"
#include "base/sink.h"
#include "splitset/summary.h"

namespace halcyra {
namespace {

constexpr uint32_t kDefaultHeadBoundary = 65536;

// The size estimate's charges: per distinct key (dictionary entry and
// posting overhead), per posting, per started block of the block index, and
// the header.
constexpr uint64_t kKeyCharge = 64;
constexpr uint64_t kPostingCharge = 2;
constexpr uint64_t kBlockCharge = 8;
constexpr uint64_t kHeaderCharge = 20;

}  // namespace

struct SplitSetBuilder::State {
  explicit State(SplitSetAssembler::Options assembler) : splits(std::move(assembler)) {}

  // The open split's size bound with a document of doc_keys keys, new_keys
  // of them new to the split, added.
  uint64_t Estimate(uint64_t new_keys, uint64_t doc_keys) const {
    const uint64_t k = postings.size();
    return kKeyCharge * (k + new_keys) + kPostingCharge * doc_keys + posting_bytes +
           kBlockCharge * ((k + stride - 1) / stride) + kHeaderCharge;
  }

  size_t NewKeys() const {
    return static_cast<size_t>(std::count_if(keys.begin(), keys.end(),
                                             [this](NgramKey key) { return !postings.Contains(key); }));
  }

  // Seals the open split if it holds documents; a failure is remembered.
  Status Seal() {
    if (splits.open_doc_count() == 0) return Status::Ok();
    Status s = SealOpenSplit();
    if (!s.ok()) splits.MarkFailed(s.error());
    return s;
  }

  Status SealOpenSplit() {
    Result<NgramPostings> entries = postings.TakePostings();
    if (!entries.ok()) return entries.take_error();
    posting_bytes = 0;
    std::string summary;
    if (bloom_bits_per_key != 0) {
      std::vector<NgramKey> split_keys(entries->size());
      for (size_t i = 0; i < split_keys.size(); ++i) split_keys[i] = entries->key(i);
      HALCYRA_RETURN_IF_ERROR(AppendSummaryRecord(kBloomRecord, BuildBloom(split_keys, bloom_bits_per_key), &summary));
    }
    BufferSink body;
    HALCYRA_RETURN_IF_ERROR(WriteNgramIndex(std::move(*entries), gram_size, stride, splits.fold_case(), body));
    return splits.Seal(body.Release(), std::move(summary));
  }

  Result<DocId> Add(std::string_view text, const FacetMemberships* facets) {
    HALCYRA_RETURN_IF_ERROR(splits.CheckAdd());
    tokenizer.Tokenize(text, gram_size, splits.fold_case(), &keys);
    const uint64_t d = keys.size();
    if (splits.open_doc_count() != 0) {
      const uint64_t cap = splits.open_cap();
      // The bound with every key new is cheap; only near the cap are the
      // document's keys looked up.
      if (Estimate(d, d) > cap && Estimate(NewKeys(), d) > cap) HALCYRA_RETURN_IF_ERROR(Seal());
    }
    if (postings.size() + d > UINT32_MAX && postings.size() + NewKeys() > UINT32_MAX) {
      return Error::Limit("HYS key count exceeds the 32-bit limit");
    }
    const DocId local = splits.open_doc_count();
    for (NgramKey key : keys) postings.Add(key, local);  // cannot fail: the key count fits
    posting_bytes += kPostingCharge * d;
    return splits.Commit(facets);
  }

  SplitSetAssembler splits;
  PostingTable postings;       // the open split's postings, by local number
  uint64_t posting_bytes = 0;  // 2 x the open split's postings
  NgramTokenizer tokenizer;
  std::vector<NgramKey> keys;  // the current document's keys
  uint16_t gram_size = 1;
  uint32_t stride = kDefaultStride;
  uint32_t bloom_bits_per_key = 0;
};

Result<SplitSetBuilder> SplitSetBuilder::Create(SplitSetOptions options) {
  Result<SplitPolicy> policy = ParseSplitPolicy(options.policy);
  if (!policy.ok()) return policy.take_error();
  SplitSetAssembler::Options assembler;
  assembler.name_prefix = std::move(options.name_prefix);
  assembler.policy = *policy;
  assembler.byte_cap = options.byte_cap;
  assembler.byte_cap_max = options.byte_cap_max;
  assembler.head_boundary = options.head_boundary != 0 ? options.head_boundary : kDefaultHeadBoundary;
  assembler.fold_case = !options.case_sensitive;
  assembler.sortcol = std::move(options.sortcol);
  assembler.body_kind = kNgramSplits;
  auto state = std::make_unique<State>(std::move(assembler));
  state->gram_size = std::max<uint16_t>(options.gram_size, 1);
  state->stride = options.stride != 0 ? options.stride : kDefaultStride;
  state->bloom_bits_per_key = options.bloom_bits_per_key;
  return SplitSetBuilder(std::move(state));
}

SplitSetBuilder::SplitSetBuilder(std::unique_ptr<State> state) : state_(std::move(state)) {}
SplitSetBuilder::SplitSetBuilder(SplitSetBuilder&&) noexcept = default;
SplitSetBuilder& SplitSetBuilder::operator=(SplitSetBuilder&&) noexcept = default;
SplitSetBuilder::~SplitSetBuilder() = default;

Result<DocId> SplitSetBuilder::AddDocument(std::string_view text, const FacetMemberships* facets) {
  if (state_ == nullptr) return Error::Consumed("SplitSetBuilder already built");
  return state_->Add(text, facets);
}

Result<DocId> SplitSetBuilder::Add(std::string_view text) { return AddDocument(text, nullptr); }

Result<DocId> SplitSetBuilder::AddFaceted(std::string_view text, const FacetMemberships& facets) {
  return AddDocument(text, &facets);
}

uint32_t SplitSetBuilder::doc_count() const { return state_ != nullptr ? state_->splits.doc_count() : 0; }

Result<SplitSetBuildStats> SplitSetBuilder::Build(std::string_view out_dir, std::string_view manifest_name) && {
  if (state_ == nullptr) return Error::Consumed("SplitSetBuilder already built");
  const std::unique_ptr<State> state = std::move(state_);
  HALCYRA_RETURN_IF_ERROR(state->splits.health());
  HALCYRA_RETURN_IF_ERROR(state->Seal());
  return state->splits.Write(out_dir, manifest_name, state->gram_size,
                             state->bloom_bits_per_key != 0 ? kManifestBloom : 0);
}

}  // namespace halcyra
