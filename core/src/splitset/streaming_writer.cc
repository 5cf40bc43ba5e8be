// The streaming split-set writer (halcyra/split_set_writer.h). Besides the
// Bloom record, a split's summary may carry a tombstone record:
//
//   tag 4  payload: the whole posting encoding (roaring/postings.cc) of the
//          global ids deleted since the previous flush; a compacted split
//          carries the union of its inputs' records (a container that only
//          one record has is carried as it is, run containers included)
//
// and its manifest entry then has kSplitTombstones set.
//
// See FORMATS.md (Tombstones, Split entries) for what a reader does with
// tombstones, delta and compacted splits.
#include "halcyra/split_set_writer.h"

#include <algorithm>
#include <cassert>
#include <charconv>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "base/sink.h"
#include "halcyra/interrupt.h"
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

// The number after n, none past the largest.
std::optional<uint64_t> Next(uint64_t n) { return n == UINT64_MAX ? std::nullopt : std::optional<uint64_t>(n + 1); }

// The split written into a string sized by the writer's bound of it.
class StringBuffer final : public SplitBuffer {
 public:
  char* Allocate(size_t capacity) override {
    split.resize(capacity);
    return split.data();
  }
  void Shrink(size_t size) override { split.resize(size); }
  std::string split;
};

}  // namespace

// What the writer becomes when a change is committed.
struct SplitSetChange::Next {
  std::vector<SplitEntry> table;
  std::unique_ptr<PostingTable> memtable;  // flush: an empty one
  Bitmap pending;                          // flush: an empty one
  bool flush = false;
};

SplitSetChange::SplitSetChange() = default;
SplitSetChange::~SplitSetChange() = default;
SplitSetChange::SplitSetChange(SplitSetChange&&) noexcept = default;
SplitSetChange& SplitSetChange::operator=(SplitSetChange&&) noexcept = default;

struct SplitSetWriter::State {
  std::string name_prefix;
  std::vector<SplitEntry> table;  // base splits first
  Bitmap pending;                 // ids deleted since the last flush
  std::optional<Sortcol> sortcol;
  uint64_t byte_cap = 0;
  uint32_t base_count = 0;
  uint64_t epoch = 1;
  std::unique_ptr<PostingTable> memtable = std::make_unique<PostingTable>();  // key -> memtable-local numbers
  NgramTokenizer tokenizer;
  std::vector<NgramKey> keys;  // the current document's keys
  uint32_t stride = kDefaultStride;
  uint32_t bloom_bits_per_key = 0;
  DocId next_id = 0;
  // Numbers of the next delta and compacted splits; none once the largest
  // 64-bit number has been used, so that a name is never handed out twice.
  std::optional<uint64_t> next_delta = 0;
  std::optional<uint64_t> next_compaction = 0;
  DocId memtable_base = 0;
  uint32_t memtable_docs = 0;
  uint16_t gram_size = 1;
  uint16_t tier_count = 0;
  uint8_t policy = 0;
  bool fold_case = true;

  ManifestHeader Header(const std::vector<SplitEntry>& entries) const {
    ManifestHeader h;
    if (bloom_bits_per_key != 0) h.flags |= kManifestBloom;
    if (std::any_of(entries.begin(), entries.end(), [](const SplitEntry& e) { return e.flags & kSplitTombstones; })) {
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

  // The name of a new split numbered *number of kind 'd' or 'c', refused
  // when the numbers are used up or the name is in the table already.
  Result<std::string> NewName(const std::optional<uint64_t>& number, char kind, const char* operation) const {
    const std::string what = std::string("HYSS ") + operation + ": ";
    if (!number) {
      return Error::Limit(what + (kind == 'd' ? "delta" : "compacted") + " split numbers are used up");
    }
    std::string name = SplitFileName(name_prefix, kind, *number, ".hys");
    if (std::any_of(table.begin(), table.end(), [&name](const SplitEntry& e) { return e.name == name; })) {
      return Error::Limit(what + "split name " + name + " is already in the manifest");
    }
    return name;
  }

  // The summary of a new split: a Bloom record over keys when Bloom filters
  // are on and has_keys (a flush: the split has documents, which may have no
  // keys), then a tombstone record (the payload given) when ids were deleted.
  // Sets the tombstone flag in *flags.
  Result<std::string> Summary(std::span<const NgramKey> split_keys, bool has_keys, std::string_view tombstones,
                              uint16_t* flags) const {
    std::string summary;
    if (bloom_bits_per_key != 0 && has_keys) {
      HALCYRA_RETURN_IF_ERROR(AppendSummaryRecord(kBloomRecord, BuildBloom(split_keys, bloom_bits_per_key), &summary));
    }
    if (!tombstones.empty()) {
      HALCYRA_RETURN_IF_ERROR(AppendSummaryRecord(kTombstoneRecord, tombstones, &summary));
      *flags |= kSplitTombstones;
    }
    return summary;
  }

  Result<DocId> Add(std::string_view text) {
    if (next_id == kIdLimit) {
      return Error::InvalidArgument("doc id space exhausted: ids 0 to 4294967294 have all been assigned");
    }
    tokenizer.Tokenize(text, gram_size, fold_case, &keys);
    if (memtable->size() + keys.size() > UINT32_MAX) {
      const size_t new_keys = static_cast<size_t>(
          std::count_if(keys.begin(), keys.end(), [this](NgramKey key) { return !memtable->Contains(key); }));
      if (memtable->size() + new_keys > UINT32_MAX) return Error::Limit("HYS key count exceeds the 32-bit limit");
    }
    if (memtable_docs == 0) memtable_base = next_id;
    for (NgramKey key : keys) memtable->Add(key, memtable_docs);  // cannot fail: the key count fits
    ++memtable_docs;
    return next_id++;
  }

  // Works the change out in full without touching the writer: the new table
  // and its manifest, and for a flush the split and an empty memtable.
  Result<std::optional<SplitSetChange>> PrepareFlush(SplitBuffer& split) const {
    if (memtable_docs == 0 && pending.empty()) return std::optional<SplitSetChange>();
    SplitSetChange change;
    Result<std::string> name = NewName(next_delta, 'd', "flush");
    if (!name.ok()) return name.take_error();
    change.name = std::move(*name);

    SplitEntry entry;
    std::string tombstones;
    if (!pending.empty()) HALCYRA_RETURN_IF_ERROR(AppendPosting(pending.roaring(), &tombstones));
    Result<std::string> summary = Summary(memtable->SortedKeys(), memtable_docs != 0, tombstones, &entry.flags);
    if (!summary.ok()) return summary.take_error();
    if (InterruptRequested()) return Error::Interrupted();
    const uint64_t size = memtable->IndexSize(stride, fold_case);
    // Filing queued ids is all PutIndex changes, and the memtable holds the
    // same postings after it.
    memtable->PutIndex(gram_size, stride, fold_case, split.Allocate(size));
    split.Shrink(size);

    entry.name = change.name;
    entry.summary = std::move(*summary);
    entry.byte_size = size;
    entry.epoch = epoch;
    entry.doc_count = memtable_docs;
    entry.first_id = memtable_docs != 0 ? memtable_base : next_id;
    entry.last_id = memtable_docs != 0 ? memtable_base + (memtable_docs - 1) : next_id;
    change.next = std::make_unique<SplitSetChange::Next>();
    change.next->table.reserve(table.size() + 1);
    change.next->table = table;
    change.next->table.push_back(std::move(entry));
    Result<std::string> manifest = WriteManifest(Header(change.next->table), change.next->table);
    if (!manifest.ok()) return manifest.take_error();
    change.manifest = std::move(*manifest);
    change.next->memtable = std::make_unique<PostingTable>();
    change.next->flush = true;
    return std::optional<SplitSetChange>(std::move(change));
  }

  Result<SplitSetChange> PrepareCompact(std::span<const CompactionInput> inputs, SplitBuffer& split) const {
    std::unordered_map<std::string_view, size_t> position;
    for (size_t i = table.size(); i-- > 0;) position[table[i].name] = i;  // the first of equal names wins
    Tombstones dead;
    std::vector<DeltaInput> read;
    read.reserve(inputs.size());
    uint64_t input_epoch = 0;
    for (const CompactionInput& input : inputs) {
      if (InterruptRequested()) return Error::Interrupted();
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

    SplitSetChange change;
    Result<std::string> name = NewName(next_compaction, 'c', "compact");
    if (!name.ok()) return name.take_error();
    change.name = std::move(*name);
    std::unordered_set<std::string_view> removed;
    for (const CompactionInput& input : inputs) {
      removed.insert(input.name);
      change.removed.emplace_back(input.name);
    }

    Result<MergedSplit> merged = MergeDeltaInputs(read, dead, gram_size, stride, fold_case, split);
    if (!merged.ok()) return merged.take_error();
    read = {};  // release the inputs' dictionaries
    SplitEntry entry;
    entry.flags = kSplitAbsoluteIds;
    Result<std::string> summary =
        Summary(merged->keys, !merged->keys.empty(), dead.empty() ? std::string() : dead.Encode(), &entry.flags);
    if (!summary.ok()) return summary.take_error();
    entry.name = change.name;
    entry.summary = std::move(*summary);
    entry.byte_size = merged->size;
    entry.epoch = inputs.empty() ? epoch : input_epoch;
    entry.doc_count = merged->doc_count;
    entry.first_id = merged->first_id;
    entry.last_id = merged->last_id;

    change.next = std::make_unique<SplitSetChange::Next>();
    std::vector<SplitEntry>& next = change.next->table;
    next.reserve(table.size() + 1);
    for (const SplitEntry& e : table) {
      if (!removed.contains(e.name)) next.push_back(e);
    }
    next.push_back(std::move(entry));
    Result<std::string> manifest = WriteManifest(Header(next), next);
    if (!manifest.ok()) return manifest.take_error();
    change.manifest = std::move(*manifest);
    return change;
  }

  void Commit(SplitSetChange& change) noexcept {
    SplitSetChange::Next& next = *change.next;
    std::swap(table, next.table);
    if (next.flush) {
      next_delta = Next(*next_delta);
      epoch = SaturatingIncrement(epoch);
      std::swap(memtable, next.memtable);
      std::swap(pending, next.pending);
      memtable_docs = 0;
    } else {
      next_compaction = Next(*next_compaction);
    }
  }
};

Result<SplitSetWriter> SplitSetWriter::Create(SplitSetWriterOptions options) {
  Result<SplitPolicy> policy = ParseSplitPolicy(options.policy);
  if (!policy.ok()) return policy.take_error();
  HALCYRA_RETURN_IF_ERROR(CheckFileNamePart(options.name_prefix, "name_prefix"));
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
  HALCYRA_RETURN_IF_ERROR(CheckFileNamePart(options.name_prefix, "name_prefix"));
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
    if (InterruptRequested()) return Error::Interrupted();
    if (e.doc_count != 0) next_id = std::max<uint64_t>(next_id, uint64_t{e.last_id} + 1);
    // An id deleted by a carried tombstone was handed out too, even when no
    // split lists it any more; it must never be handed out again. Only the
    // record's largest id is needed, which its check finds.
    Result<std::optional<std::string_view>> record = FindSummaryRecord(e.summary, kTombstoneRecord);
    if (!record.ok()) return invalid(record.error());
    if (record->has_value()) {
      Result<PortableRoaring> dead = PortableRoaring::Parse(**record);
      if (!dead.ok()) return invalid(dead.error());
      if (!dead->empty()) next_id = std::max<uint64_t>(next_id, uint64_t{dead->maximum()} + 1);
    }
    max_epoch = std::max(max_epoch, e.epoch);
    if (auto n = SplitNumber(e.name, state->name_prefix, 'd'); n && state->next_delta) {
      state->next_delta = *n >= *state->next_delta ? Next(*n) : state->next_delta;
    }
    if (auto n = SplitNumber(e.name, state->name_prefix, 'c'); n && state->next_compaction) {
      state->next_compaction = *n >= *state->next_compaction ? Next(*n) : state->next_compaction;
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
  const uint64_t k = state_->memtable->size();
  return kHeaderCharge + (kKeyCharge + kPostingCharge) * k + kBlockCharge * Blocks(k, state_->stride) +
         state_->memtable->serialized_bytes();
}

uint32_t SplitSetWriter::memtable_doc_count() const { return state_->memtable_docs; }

uint32_t SplitSetWriter::doc_count() const { return state_->next_id; }

Result<std::optional<SplitSetChange>> SplitSetWriter::PrepareFlush(SplitBuffer& split) const {
  return state_->PrepareFlush(split);
}

Result<SplitSetChange> SplitSetWriter::PrepareCompact(std::span<const CompactionInput> inputs,
                                                      SplitBuffer& split) const {
  return state_->PrepareCompact(inputs, split);
}

void SplitSetWriter::Commit(SplitSetChange change) noexcept { state_->Commit(change); }

Result<std::optional<FlushedSplit>> SplitSetWriter::Flush() {
  StringBuffer buffer;
  Result<std::optional<SplitSetChange>> change = PrepareFlush(buffer);
  if (!change.ok()) return change.take_error();
  if (!change->has_value()) return std::optional<FlushedSplit>();
  FlushedSplit out{(*change)->name, std::move(buffer.split), (*change)->manifest};
  Commit(std::move(**change));
  return std::optional<FlushedSplit>(std::move(out));
}

Result<CompactedSplit> SplitSetWriter::Compact(std::span<const CompactionInput> inputs) {
  StringBuffer buffer;
  Result<SplitSetChange> change = PrepareCompact(inputs, buffer);
  if (!change.ok()) return change.take_error();
  CompactedSplit out{change->name, std::move(buffer.split), change->manifest, change->removed};
  Commit(std::move(*change));
  return out;
}

const std::vector<SplitEntry>& SplitSetWriter::splits() const { return state_->table; }

}  // namespace halcyra
