#include "splitset_write/delta_merge.h"

#include <algorithm>
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
    if (!ids->empty() && ids->maximum() > UINT32_MAX - input.id_offset_) {
      return Error::Limit("HYSS compact: " + entry.name + " holds posting number " +
                          std::to_string(ids->maximum()) + ", which from first id " +
                          std::to_string(input.id_offset_) + " passes the last id 4294967295");
    }
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

  const roaring_bitmap_t& dead = tombstones.roaring();
  const bool any_dead = !roaring_bitmap_is_empty(&dead);
  MergedSplit merged;
  NgramPostings entries;
  entries.Reserve(entry_bound, byte_bound);
  merged.keys.reserve(entry_bound);
  Bitmap live;
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
      // Checked by DeltaInput::Read, so parsing cannot fail here.
      Result<PortableRoaring> bitmap = PortableRoaring::Parse(input.bytes().substr(posting.offset, posting.length));
      if (!bitmap.ok()) return Error::Internal("compaction input changed after it was checked");
      const size_t before = ids.size();
      bitmap->AppendIds(input.id_offset(), &ids);
      if (before != 0 && before < ids.size() && ids[before] <= ids[before - 1]) ascending = false;
      if (position + 1 < input.postings().size()) heap.emplace(input.postings()[position + 1].key, j, position + 1);
    }
    if (!ascending) {
      std::sort(ids.begin(), ids.end());
      ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    }
    if (any_dead) {
      std::erase_if(ids, [&dead](DocId id) { return roaring_bitmap_contains(&dead, id); });
    }
    if (ids.empty()) continue;
    roaring_bitmap_add_many(live.mutable_roaring(), ids.size(), ids.data());
    encoded.clear();
    if (ids.size() <= kMaxArrayPosting) {
      AppendSortedPosting(ids, &encoded);
    } else {
      Bitmap posting;
      roaring_bitmap_add_many(posting.mutable_roaring(), ids.size(), ids.data());
      HALCYRA_RETURN_IF_ERROR(AppendPosting(posting.roaring(), &encoded));
    }
    entries.AddEncoded(key, encoded);
    merged.keys.push_back(key);
  }

  const uint64_t live_count = live.Cardinality();
  if (live_count > UINT32_MAX) return Error::Limit("HYSS compact: document count exceeds the 32-bit limit");
  merged.doc_count = static_cast<uint32_t>(live_count);
  if (live_count != 0) {
    merged.first_id = roaring_bitmap_minimum(&live.roaring());
    merged.last_id = roaring_bitmap_maximum(&live.roaring());
  }
  live = Bitmap();

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
