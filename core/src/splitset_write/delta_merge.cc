#include "splitset_write/delta_merge.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <queue>
#include <tuple>

#include "halcyra/coding.h"
#include "halcyra/ngram_index.h"
#include "halcyra/sink.h"
#include "halcyra/summary.h"
#include "splitset_write/portable_roaring.h"

namespace halcyra {
namespace {

constexpr size_t kMinSplitBytes = 16;
constexpr size_t kHeaderSize = 16;
constexpr size_t kCaseSensitiveHeaderSize = 18;
constexpr uint16_t kCaseSensitiveVersion = 4;
constexpr uint64_t kBlockKeySize = 8;
constexpr uint64_t kDictEntrySize = 20;

Error Compact(std::string message) { return Error::Core("HYSS compact: " + message); }

// A set of ids for the merge's per-id work (is it deleted, is it live): a
// plain bit array over the ids' range when that is at most kDenseIds wide,
// which it is for any set made by a writer in this century, else a Roaring
// bitmap. Membership in the bit array is one load, where the bitmap costs a
// container search per id.
class IdSet {
 public:
  static constexpr uint64_t kDenseIds = uint64_t{1} << 28;  // 32 MiB of bits

  // For ids from lo to hi inclusive (an empty range when lo > hi).
  IdSet(DocId lo, DocId hi) : lo_(lo) {
    if (lo <= hi && uint64_t{hi} - lo < kDenseIds) bits_.assign((uint64_t{hi} - lo) / 64 + 1, 0);
    dense_ = lo > hi || !bits_.empty();
  }

  void Add(std::span<const DocId> ids) {
    if (!dense_) {
      roaring_bitmap_add_many(sparse_.mutable_roaring(), ids.size(), ids.data());
      return;
    }
    for (DocId id : ids) {
      const uint64_t i = id - lo_;
      assert(i < 64 * bits_.size());
      bits_[i / 64] |= uint64_t{1} << (i % 64);
    }
  }

  bool Contains(DocId id) const {
    if (!dense_) return roaring_bitmap_contains(&sparse_.roaring(), id);
    const uint64_t i = uint64_t{id} - lo_;  // ids below lo_ wrap far past the end
    return id >= lo_ && i / 64 < bits_.size() && (bits_[i / 64] >> (i % 64) & 1) != 0;
  }

  // Cardinality, smallest and largest id (both 0 when empty).
  void Summarize(uint64_t* count, DocId* min, DocId* max) const {
    *count = 0;
    *min = *max = 0;
    if (!dense_) {
      *count = sparse_.Cardinality();
      if (*count != 0) {
        *min = roaring_bitmap_minimum(&sparse_.roaring());
        *max = roaring_bitmap_maximum(&sparse_.roaring());
      }
      return;
    }
    for (size_t w = 0; w < bits_.size(); ++w) {
      if (bits_[w] == 0) continue;
      if (*count == 0) *min = lo_ + static_cast<DocId>(64 * w + std::countr_zero(bits_[w]));
      *max = lo_ + static_cast<DocId>(64 * w + 63 - std::countl_zero(bits_[w]));
      *count += std::popcount(bits_[w]);
    }
  }

 private:
  DocId lo_;
  bool dense_;
  std::vector<uint64_t> bits_;
  Bitmap sparse_;
};

// Adds the ids of the tombstone record in summary, if any, to *tombstones.
Status AddTombstones(std::string_view summary, Bitmap* tombstones) {
  Result<std::optional<std::string_view>> record = find_summary_record(summary, kTombstoneRecord);
  if (!record.ok()) return record.take_error();
  if (!record->has_value()) return Status::Ok();
  Result<PortableRoaring> set = PortableRoaring::Parse(**record);
  if (!set.ok()) return set.take_error();
  std::vector<DocId> ids;
  set->AppendIds(0, &ids);
  roaring_bitmap_add_many(tombstones->mutable_roaring(), ids.size(), ids.data());
  return Status::Ok();
}

}  // namespace

Result<DeltaInput> DeltaInput::Read(const SplitEntry& entry, std::string_view bytes, Bitmap* tombstones) {
  HALCYRA_RETURN_IF_ERROR(AddTombstones(entry.summary, tombstones));
  if (bytes.size() < kMinSplitBytes || bytes.substr(0, 4) != "HYSI") {
    return Compact("input is not an HYS split");
  }
  const char* p = bytes.data();
  const uint64_t size = bytes.size();
  const uint64_t header = DecodeFixed16(p + 4) == kCaseSensitiveVersion ? kCaseSensitiveHeaderSize : kHeaderSize;
  const uint32_t key_count = DecodeFixed32(p + 8);
  const uint32_t stride = DecodeFixed32(p + 12);
  const uint64_t dict_at = header + (stride == 0 ? 0 : (uint64_t{key_count} + stride - 1) / stride * kBlockKeySize);
  const bool relative = (entry.flags & kSplitAbsoluteIds) == 0;

  DeltaInput input;
  input.bytes_ = bytes;
  input.id_offset_ = relative ? entry.first_id : 0;
  input.postings_.reserve(std::min<uint64_t>(key_count, size / kDictEntrySize));
  for (uint64_t i = 0; i < key_count; ++i) {
    const uint64_t at = dict_at + kDictEntrySize * i;
    if (size < at + kDictEntrySize) return Compact("truncated dictionary");
    const Posting posting{DecodeFixed64(p + at), DecodeFixed64(p + at + 8), DecodeFixed32(p + at + 16)};
    if (posting.offset > size || posting.length > size - posting.offset) return Compact("posting out of range");
    Result<PortableRoaring> ids = PortableRoaring::Parse(bytes.substr(posting.offset, posting.length));
    if (!ids.ok()) return ids.take_error();
    // Relative numbers become global ids by adding the first id; one that
    // would pass the last id is refused rather than folded onto it.
    if (ids->empty()) {
      input.postings_.push_back(posting);
      continue;
    }
    if (ids->maximum() > UINT32_MAX - input.id_offset_) {
      return Error::Limit("HYSS compact: " + entry.name + " holds posting number " +
                          std::to_string(ids->maximum()) + ", which from first id " +
                          std::to_string(input.id_offset_) + " passes the last id 4294967295");
    }
    input.min_id_ = std::min(input.min_id_, input.id_offset_ + ids->minimum());
    input.max_id_ = std::max(input.max_id_, input.id_offset_ + ids->maximum());
    input.postings_.push_back(posting);
  }
  if (!std::is_sorted(input.postings_.begin(), input.postings_.end(),
                      [](const Posting& a, const Posting& b) { return a.key < b.key; })) {
    std::stable_sort(input.postings_.begin(), input.postings_.end(),
                     [](const Posting& a, const Posting& b) { return a.key < b.key; });
  }
  return input;
}

Result<MergedSplit> MergeDeltaInputs(std::span<const DeltaInput> inputs, const Bitmap& tombstones,
                                     uint16_t gram_size, uint32_t stride, bool fold_case) {
  // A min-heap of (key, input, position) cursors: every input's dictionary
  // is walked once in key order, and for equal keys the earlier input comes
  // first, so that ids of inputs given in id order arrive ascending.
  using Cursor = std::tuple<NgramKey, size_t, size_t>;
  std::priority_queue<Cursor, std::vector<Cursor>, std::greater<Cursor>> heap;
  size_t entry_bound = 0, byte_bound = 0;
  for (size_t j = 0; j < inputs.size(); ++j) {
    const auto& postings = inputs[j].postings();
    if (!postings.empty()) heap.emplace(postings[0].key, j, 0);
    entry_bound += postings.size();
    for (const DeltaInput::Posting& posting : postings) byte_bound += posting.length;
  }

  // Ids outside every input's range need no tombstone test.
  DocId lo = UINT32_MAX, hi = 0;
  for (const DeltaInput& input : inputs) {
    lo = std::min(lo, input.min_id());
    hi = std::max(hi, input.max_id());
  }
  IdSet dead(lo, hi);
  {
    std::vector<DocId> ids(tombstones.Cardinality());
    roaring_bitmap_to_uint32_array(&tombstones.roaring(), ids.data());
    std::erase_if(ids, [lo, hi](DocId id) { return id < lo || id > hi; });
    dead.Add(ids);
  }
  const bool any_dead = lo <= hi && !tombstones.empty();
  MergedSplit merged;
  NgramPostings entries;
  entries.Reserve(entry_bound, byte_bound);
  merged.keys.reserve(entry_bound);
  IdSet live(lo, hi);
  std::vector<DocId> ids;
  std::string encoded;
  while (!heap.empty()) {
    const NgramKey key = std::get<0>(heap.top());
    ids.clear();
    bool ascending = true;
    while (!heap.empty() && std::get<0>(heap.top()) == key) {
      const auto [_, j, position] = heap.top();
      heap.pop();
      const DeltaInput& input = inputs[j];
      const DeltaInput::Posting& posting = input.postings()[position];
      const size_t before = ids.size();
      PortableRoaring::ParseChecked(input.bytes().substr(posting.offset, posting.length))
          .AppendIds(input.id_offset(), &ids);
      if (before != 0 && before < ids.size() && ids[before] <= ids[before - 1]) ascending = false;
      if (position + 1 < input.postings().size()) heap.emplace(input.postings()[position + 1].key, j, position + 1);
    }
    if (!ascending) {
      std::sort(ids.begin(), ids.end());
      ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    }
    if (any_dead) {
      std::erase_if(ids, [&dead](DocId id) { return dead.Contains(id); });
    }
    if (ids.empty()) continue;
    live.Add(ids);
    encoded.clear();
    AppendSortedPosting(ids, &encoded);
    entries.AddEncoded(key, encoded);
    merged.keys.push_back(key);
  }

  uint64_t live_count = 0;
  live.Summarize(&live_count, &merged.first_id, &merged.last_id);
  if (live_count > UINT32_MAX) return Error::Limit("HYSS compact: document count exceeds the 32-bit limit");
  merged.doc_count = static_cast<uint32_t>(live_count);

  const uint64_t s = stride != 0 ? stride : kDefaultStride;
  const uint64_t k = entries.size();
  uint64_t file_size = (fold_case ? kHeaderSize : kCaseSensitiveHeaderSize) + (k + s - 1) / s * kBlockKeySize +
                       k * kDictEntrySize;
  for (size_t i = 0; i < k; ++i) file_size += entries.posting_size(i);
  BufferSink body;
  body.Reserve(file_size);
  HALCYRA_RETURN_IF_ERROR(write_ngram_index(std::move(entries), gram_size, stride, fold_case, body));
  merged.body = body.Release();
  return merged;
}

}  // namespace halcyra
