// The streaming split-set writer (halcyra/split_set_writer.h). Besides the
// Bloom record, a split's summary may carry a tombstone record:
//
//   tag 4  payload: the whole posting encoding (roaring/postings.cc) of the
//          global ids deleted since the previous flush; a compacted split
//          carries the union of its inputs' records
//
// and its manifest entry then has kSplitTombstones set.
#include "halcyra/split_set_writer.h"

#include <algorithm>
#include <cassert>
#include <charconv>
#include <unordered_map>
#include <unordered_set>

#include "base/sink.h"
#include "ngram/ngram_index.h"
#include "ngram/ngram_tokenizer.h"
#include "ngram/posting_table.h"
#include "roaring/portable_roaring.h"
#include "splitset/bloom.h"
#include "splitset/compaction.h"
#include "splitset/split_policy.h"
#include "splitset/summary.h"

namespace halcyra {
namespace {

// memtable_bytes(): the header, per key a dictionary entry and posting
// overhead (24 + 8 bytes), per started stride block a block-index key.
constexpr uint64_t kHeaderCharge = 20;
constexpr uint64_t kKeyCharge = 24;
constexpr uint64_t kPostingCharge = 8;
constexpr uint64_t kBlockCharge = 8;

// No id is handed out at or above this: the next id is a 32-bit count, so
// 4294967295 would be indistinguishable from "all ids taken".
constexpr DocId kIdLimit = UINT32_MAX;

uint64_t Blocks(uint64_t keys, uint32_t stride) { return (keys + stride - 1) / stride; }

// The number N of a split named prefix + "-" + kind + N + ".hys", where N is
// a non-empty run of decimal digits, optionally after a '+', that fits in
// 64 bits; no value for any other name.
std::optional<uint64_t> SplitNumber(std::string_view name, std::string_view prefix, char kind) {
  constexpr std::string_view kExtension = ".hys";
  if (name.size() < prefix.size() + 2 + kExtension.size() || !name.starts_with(prefix) ||
      !name.ends_with(kExtension) || name[prefix.size()] != '-' || name[prefix.size() + 1] != kind) {
    return std::nullopt;
  }
  std::string_view digits = name.substr(prefix.size() + 2, name.size() - prefix.size() - 2 - kExtension.size());
  if (digits.starts_with('+')) digits.remove_prefix(1);
  if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  uint64_t n = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return n;
}

uint64_t SaturatingIncrement(uint64_t n) { return n == UINT64_MAX ? n : n + 1; }

// The tombstone record of a summary, checked, as a bitmap; an empty bitmap
// when there is none.
Result<Bitmap> ReadTombstones(std::string_view summary) {
  Result<std::optional<std::string_view>> record = FindSummaryRecord(summary, kTombstoneRecord);
  if (!record.ok()) return record.take_error();
  if (!record->has_value()) return Bitmap();
  Result<PortableRoaring> set = PortableRoaring::Parse(**record);
  if (!set.ok()) return set.take_error();
  return set->ToBitmap();
}

}  // namespace

struct SplitSetWriter::State {
  std::string name_prefix;
  std::vector<SplitEntry> table;  // base splits first
  Bitmap pending;                 // ids deleted since the last flush
  std::optional<Sortcol> sortcol;
  uint64_t byte_cap = 0;
  uint32_t base_count = 0;
  uint64_t epoch = 1;
  PostingTable memtable;  // key -> memtable-local numbers
  NgramTokenizer tokenizer;
  std::vector<NgramKey> keys;  // the current document's keys
  uint32_t stride = kDefaultStride;
  uint32_t bloom_bits_per_key = 0;
  DocId next_id = 0;
  // Kept in 64 bits so that they never wrap onto a name in use.
  uint64_t next_delta = 0;
  uint64_t next_compaction = 0;
  DocId memtable_base = 0;
  uint32_t memtable_docs = 0;
  uint16_t gram_size = 1;
  uint16_t tier_count = 0;
  uint8_t policy = 0;
  bool fold_case = true;

  ManifestHeader Header() const {
    ManifestHeader h;
    if (bloom_bits_per_key != 0) h.flags |= kManifestBloom;
    if (std::any_of(table.begin(), table.end(), [](const SplitEntry& e) { return e.flags & kSplitTombstones; })) {
      h.flags |= kManifestTombstones;
    }
    if (!fold_case) h.flags |= kManifestCaseSensitive;
    h.policy = policy;
    h.body_kind = kNgramSplits;
    h.tier_count = tier_count;
    h.base_count = base_count;
    h.byte_cap = byte_cap;
    h.sortcol = sortcol;
    h.gram_size = gram_size;
    return h;
  }

  // Fails as the manifest writer would for a table of the entries of table
  // that keep(entry) accepts, followed by a new split named added. Its limits
  // concern only the entry count and the names, so a table of bare names is
  // written, which is cheap: checking first lets the caller change its state
  // only once nothing can fail.
  template <class Keep>
  Status CheckManifest(Keep keep, const std::string& added) const {
    std::vector<SplitEntry> names;
    names.reserve(table.size() + 1);
    for (const SplitEntry& e : table) {
      if (keep(e)) names.emplace_back().name = e.name;
    }
    names.emplace_back().name = added;
    Result<std::string> manifest = WriteManifest(Header(), names);
    return manifest.ok() ? Status::Ok() : manifest.take_error();
  }

  // The summary of a new split: a Bloom record over keys when Bloom filters
  // are on and there are keys to filter, then a tombstone record when ids
  // were deleted. Sets the tombstone flag in *flags.
  Result<std::string> Summary(std::span<const NgramKey> split_keys, bool has_keys, const Bitmap& dead,
                              uint16_t* flags) const {
    std::string summary;
    if (bloom_bits_per_key != 0 && has_keys) {
      HALCYRA_RETURN_IF_ERROR(AppendSummaryRecord(kBloomRecord, BuildBloom(split_keys, bloom_bits_per_key), &summary));
    }
    if (!dead.empty()) {
      std::string payload;
      HALCYRA_RETURN_IF_ERROR(AppendPosting(dead.roaring(), &payload));
      HALCYRA_RETURN_IF_ERROR(AppendSummaryRecord(kTombstoneRecord, payload, &summary));
      *flags |= kSplitTombstones;
    }
    return summary;
  }

  // The manifest of the current table. Every caller has checked the limits
  // with CheckManifest, so a failure here is a broken invariant.
  Result<std::string> Manifest() const {
    Result<std::string> manifest = WriteManifest(Header(), table);
    if (!manifest.ok()) return Error::Internal("manifest failed after its limits were checked");
    return manifest;
  }

  Result<DocId> Add(std::string_view text) {
    if (next_id == kIdLimit) {
      return Error::InvalidArgument("doc id space exhausted: ids 0 to 4294967294 have all been assigned");
    }
    tokenizer.Tokenize(text, gram_size, fold_case, &keys);
    if (memtable.size() + keys.size() > UINT32_MAX) {
      const size_t new_keys = static_cast<size_t>(
          std::count_if(keys.begin(), keys.end(), [this](NgramKey key) { return !memtable.Contains(key); }));
      if (memtable.size() + new_keys > UINT32_MAX) return Error::Limit("HYS key count exceeds the 32-bit limit");
    }
    if (memtable_docs == 0) memtable_base = next_id;
    for (NgramKey key : keys) memtable.Add(key, memtable_docs);  // cannot fail: the key count fits
    ++memtable_docs;
    return next_id++;
  }

  Result<std::optional<FlushedSplit>> Flush() {
    if (memtable_docs == 0 && pending.empty()) return std::optional<FlushedSplit>();
    FlushedSplit out;
    out.name = SplitFileName(name_prefix, 'd', next_delta, ".hys");
    HALCYRA_RETURN_IF_ERROR(CheckManifest([](const SplitEntry&) { return true; }, out.name));

    // From here on nothing can fail for want of a limit, so the memtable
    // may be taken.
    const uint64_t k = memtable.size();
    const uint64_t body_size = NgramIndexFrontSize(k, stride, fold_case) + memtable.serialized_bytes();
    Result<NgramPostings> entries = memtable.TakePostings();
    if (!entries.ok()) return entries.take_error();
    std::vector<NgramKey> split_keys(entries->size());
    for (size_t i = 0; i < split_keys.size(); ++i) split_keys[i] = entries->key(i);

    SplitEntry entry;
    Result<std::string> summary = Summary(split_keys, memtable_docs != 0, pending, &entry.flags);
    if (!summary.ok()) return summary.take_error();
    split_keys = {};
    BufferSink body;
    body.Reserve(body_size);
    HALCYRA_RETURN_IF_ERROR(WriteNgramIndex(std::move(*entries), gram_size, stride, fold_case, body));
    out.split = body.Release();
    assert(out.split.size() == body_size);

    entry.name = out.name;
    entry.summary = std::move(*summary);
    entry.byte_size = out.split.size();
    entry.epoch = epoch;
    entry.doc_count = memtable_docs;
    entry.first_id = memtable_docs != 0 ? memtable_base : next_id;
    entry.last_id = memtable_docs != 0 ? memtable_base + (memtable_docs - 1) : next_id;
    table.push_back(std::move(entry));
    ++next_delta;
    epoch = SaturatingIncrement(epoch);
    memtable_docs = 0;
    pending = Bitmap();
    Result<std::string> manifest = Manifest();
    if (!manifest.ok()) return manifest.take_error();
    out.manifest = std::move(*manifest);
    return std::optional<FlushedSplit>(std::move(out));
  }

  Result<CompactedSplit> Compact(std::span<const CompactionInput> inputs, SplitBuffer& split) {
    std::unordered_map<std::string_view, size_t> position;
    for (size_t i = table.size(); i-- > 0;) position[table[i].name] = i;  // the first of equal names wins
    Bitmap dead;
    std::vector<DeltaInput> read;
    read.reserve(inputs.size());
    uint64_t input_epoch = 0;
    for (const CompactionInput& input : inputs) {
      const auto found = position.find(input.name);
      if (found == position.end()) return Error::Core("HYSS compact: " + std::string(input.name) + " not in manifest");
      if (found->second < base_count) {
        return Error::Core("HYSS compact: base splits need a full rebuild, not minor compaction");
      }
      const SplitEntry& entry = table[found->second];
      Result<DeltaInput> checked = DeltaInput::Read(entry, input.bytes, &dead);
      if (!checked.ok()) return checked.take_error();
      read.push_back(std::move(*checked));
      input_epoch = std::max(input_epoch, entry.epoch);
    }

    CompactedSplit out;
    out.name = SplitFileName(name_prefix, 'c', next_compaction, ".hys");
    std::unordered_set<std::string_view> removed;
    for (const CompactionInput& input : inputs) {
      removed.insert(input.name);
      out.removed.emplace_back(input.name);
    }
    const auto keep = [&removed](const SplitEntry& e) { return !removed.contains(e.name); };
    HALCYRA_RETURN_IF_ERROR(CheckManifest(keep, out.name));

    Result<MergedSplit> merged = MergeDeltaInputs(read, dead, gram_size, stride, fold_case, split);
    if (!merged.ok()) return merged.take_error();
    read = {};  // release the inputs' dictionaries
    SplitEntry entry;
    entry.flags = kSplitAbsoluteIds;
    Result<std::string> summary = Summary(merged->keys, !merged->keys.empty(), dead, &entry.flags);
    if (!summary.ok()) return summary.take_error();
    entry.name = out.name;
    entry.summary = std::move(*summary);
    entry.byte_size = merged->size;
    entry.epoch = inputs.empty() ? epoch : input_epoch;
    entry.doc_count = merged->doc_count;
    entry.first_id = merged->first_id;
    entry.last_id = merged->last_id;

    std::erase_if(table, [&keep](const SplitEntry& e) { return !keep(e); });
    table.push_back(std::move(entry));
    ++next_compaction;
    Result<std::string> manifest = Manifest();
    if (!manifest.ok()) return manifest.take_error();
    out.manifest = std::move(*manifest);
    return out;
  }
};

Result<SplitSetWriter> SplitSetWriter::Create(SplitSetWriterOptions options) {
  Result<SplitPolicy> policy = ParseSplitPolicy(options.policy);
  if (!policy.ok()) return policy.take_error();
  auto state = std::make_unique<State>();
  state->name_prefix = std::move(options.name_prefix);
  state->sortcol = std::move(options.sortcol);
  state->byte_cap = options.byte_cap;
  state->stride = options.stride != 0 ? options.stride : kDefaultStride;
  state->bloom_bits_per_key = options.bloom_bits_per_key;
  state->gram_size = std::max<uint16_t>(options.gram_size, 1);
  state->tier_count = options.tier_count;
  state->policy = static_cast<uint8_t>(*policy);
  state->fold_case = !options.case_sensitive;
  return SplitSetWriter(std::move(state));
}

Result<SplitSetWriter> SplitSetWriter::Resume(std::string_view manifest_bytes, SplitSetResumeOptions options) {
  // Every failure concerns the manifest the caller passed in.
  const auto invalid = [](const Error& e) { return Error::InvalidArgument(e.message()); };
  Result<Manifest> manifest = ParseManifest(manifest_bytes);
  if (!manifest.ok()) return invalid(manifest.error());
  const ManifestHeader& header = manifest->header;
  if (header.body_kind != kNgramSplits) {
    return Error::InvalidArgument("manifest describes term splits (body kind " + std::to_string(header.body_kind) +
                                  "), not n-gram splits (body kind 0)");
  }
  const uint16_t gram_size = std::max<uint16_t>(options.gram_size, 1);
  if (header.gram_size != gram_size) {
    return Error::InvalidArgument("gram_size " + std::to_string(gram_size) + " does not match the manifest's gram size " +
                                  std::to_string(header.gram_size));
  }

  auto state = std::make_unique<State>();
  state->name_prefix = std::move(options.name_prefix);
  uint64_t next_id = 0, max_epoch = 0;
  for (const SplitEntry& e : manifest->splits) {
    if (e.doc_count != 0) next_id = std::max<uint64_t>(next_id, uint64_t{e.last_id} + 1);
    // An id deleted by a carried tombstone was handed out too, even when no
    // split lists it any more; it must never be handed out again.
    Result<Bitmap> dead = ReadTombstones(e.summary);
    if (!dead.ok()) return invalid(dead.error());
    if (!dead->empty()) next_id = std::max<uint64_t>(next_id, uint64_t{roaring_bitmap_maximum(&dead->roaring())} + 1);
    max_epoch = std::max(max_epoch, e.epoch);
    if (auto n = SplitNumber(e.name, state->name_prefix, 'd')) {
      state->next_delta = std::max(state->next_delta, SaturatingIncrement(*n));
    }
    if (auto n = SplitNumber(e.name, state->name_prefix, 'c')) {
      state->next_compaction = std::max(state->next_compaction, SaturatingIncrement(*n));
    }
  }
  state->next_id = static_cast<DocId>(std::min<uint64_t>(next_id, kIdLimit));
  state->memtable_base = state->next_id;
  state->epoch = manifest->splits.empty() ? 1 : SaturatingIncrement(max_epoch);
  state->policy = header.policy;
  state->tier_count = header.tier_count;
  state->base_count = header.base_count;
  state->byte_cap = header.byte_cap;
  state->sortcol = header.sortcol;
  state->fold_case = manifest->fold_case();
  state->gram_size = gram_size;
  state->stride = options.stride != 0 ? options.stride : kDefaultStride;
  state->bloom_bits_per_key = options.bloom_bits_per_key;
  state->table = std::move(manifest->splits);
  return SplitSetWriter(std::move(state));
}

SplitSetWriter::SplitSetWriter(std::unique_ptr<State> state) : state_(std::move(state)) {}
SplitSetWriter::SplitSetWriter(SplitSetWriter&&) noexcept = default;
SplitSetWriter& SplitSetWriter::operator=(SplitSetWriter&&) noexcept = default;
SplitSetWriter::~SplitSetWriter() = default;

Result<DocId> SplitSetWriter::Add(std::string_view text) { return state_->Add(text); }

Status SplitSetWriter::Delete(DocId id) {
  if (id >= state_->next_id) {
    return Error::InvalidArgument("doc id " + std::to_string(id) + " has not been assigned (next id is " +
                                  std::to_string(state_->next_id) + ")");
  }
  state_->pending.Add(id);
  return Status::Ok();
}

uint64_t SplitSetWriter::memtable_bytes() const {
  const uint64_t k = state_->memtable.size();
  return kHeaderCharge + (kKeyCharge + kPostingCharge) * k + kBlockCharge * Blocks(k, state_->stride) +
         state_->memtable.serialized_bytes();
}

uint32_t SplitSetWriter::memtable_doc_count() const { return state_->memtable_docs; }

uint32_t SplitSetWriter::doc_count() const { return state_->next_id; }

Result<std::optional<FlushedSplit>> SplitSetWriter::Flush() { return state_->Flush(); }

Result<CompactedSplit> SplitSetWriter::Compact(std::span<const CompactionInput> inputs) {
  // The split is written into a string sized by the merge's bound of it.
  class StringBuffer final : public SplitBuffer {
   public:
    char* Allocate(size_t capacity) override {
      split.resize(capacity);
      return split.data();
    }
    void Shrink(size_t size) override { split.resize(size); }
    std::string split;
  };
  StringBuffer buffer;
  Result<CompactedSplit> compacted = state_->Compact(inputs, buffer);
  if (compacted.ok()) compacted->split = std::move(buffer.split);
  return compacted;
}

Result<CompactedSplit> SplitSetWriter::Compact(std::span<const CompactionInput> inputs, SplitBuffer& split) {
  return state_->Compact(inputs, split);
}

const std::vector<SplitEntry>& SplitSetWriter::splits() const { return state_->table; }

}  // namespace halcyra
