// The n-gram split body of the batch split-set builder: each document's
// n-gram keys in a posting table by split-local number, priced by an upper
// bound of the split file's size, sealed into an n-gram index file with a
// Bloom filter over its keys.
#include "splitset/split_body.h"

#include <algorithm>
#include <vector>

#include "base/sink.h"
#include "ngram/ngram_index.h"
#include "ngram/ngram_tokenizer.h"
#include "ngram/posting_table.h"
#include "splitset/bloom.h"
#include "splitset/manifest.h"
#include "splitset/summary.h"

namespace halcyra {
namespace {

// The size estimate's charges: per distinct key (dictionary entry and
// posting overhead), per posting, per started block of the block index, and
// the header.
constexpr uint64_t kKeyCharge = 64;
constexpr uint64_t kPostingCharge = 2;
constexpr uint64_t kBlockCharge = 8;
constexpr uint64_t kHeaderCharge = 20;

class NgramBody final : public SplitBody {
 public:
  explicit NgramBody(const SplitSetOptions& options)
      : gram_size_(std::max<uint16_t>(options.gram_size, 1)),
        stride_(options.stride != 0 ? options.stride : kDefaultStride),
        bloom_bits_per_key_(options.bloom_bits_per_key),
        fold_case_(!options.case_sensitive) {}

  Status Read(std::string_view text) override {
    tokenizer_.Tokenize(text, gram_size_, fold_case_, &keys_);
    return Status::Ok();
  }

  bool PassesCap(uint64_t cap) const override {
    const uint64_t d = keys_.size();
    // The bound with every key new is cheap; only near the cap are the
    // document's keys looked up.
    return Estimate(d, d) > cap && Estimate(NewKeys(), d) > cap;
  }

  Status Admit(DocId local) override {
    const uint64_t d = keys_.size();
    if (postings_.size() + d > UINT32_MAX && postings_.size() + NewKeys() > UINT32_MAX) {
      return Error::Limit("HYS key count exceeds the 32-bit limit");
    }
    for (NgramKey key : keys_) postings_.Add(key, local);  // cannot fail: the key count fits
    posting_bytes_ += kPostingCharge * d;
    return Status::Ok();
  }

  Status Seal(std::string* body, std::string* summary) override {
    Result<NgramPostings> entries = postings_.TakePostings();
    if (!entries.ok()) return entries.take_error();
    posting_bytes_ = 0;
    if (bloom_bits_per_key_ != 0) {
      std::vector<NgramKey> split_keys(entries->size());
      for (size_t i = 0; i < split_keys.size(); ++i) split_keys[i] = entries->key(i);
      HALCYRA_RETURN_IF_ERROR(AppendSummaryRecord(kBloomRecord, BuildBloom(split_keys, bloom_bits_per_key_), summary));
    }
    BufferSink sink;
    HALCYRA_RETURN_IF_ERROR(WriteNgramIndex(std::move(*entries), gram_size_, stride_, fold_case_, sink));
    *body = sink.Release();
    return Status::Ok();
  }

  uint8_t body_kind() const override { return kNgramSplits; }
  uint16_t gram_size() const override { return gram_size_; }
  uint16_t manifest_flags() const override { return bloom_bits_per_key_ != 0 ? kManifestBloom : 0; }

 private:
  // The open split's size bound with a document of doc_keys keys, new_keys
  // of them new to the split, added.
  uint64_t Estimate(uint64_t new_keys, uint64_t doc_keys) const {
    const uint64_t k = postings_.size();
    return kKeyCharge * (k + new_keys) + kPostingCharge * doc_keys + posting_bytes_ +
           kBlockCharge * ((k + stride_ - 1) / stride_) + kHeaderCharge;
  }

  size_t NewKeys() const {
    return static_cast<size_t>(
        std::count_if(keys_.begin(), keys_.end(), [this](NgramKey key) { return !postings_.Contains(key); }));
  }

  const uint16_t gram_size_;
  const uint32_t stride_;
  const uint32_t bloom_bits_per_key_;
  const bool fold_case_;
  PostingTable postings_;       // the open split's postings, by local number
  uint64_t posting_bytes_ = 0;  // 2 x the open split's postings
  NgramTokenizer tokenizer_;
  std::vector<NgramKey> keys_;  // the pending document's keys
};

}  // namespace

std::unique_ptr<SplitBody> MakeNgramBody(const SplitSetOptions& options) {
  return std::make_unique<NgramBody>(options);
}

}  // namespace halcyra
