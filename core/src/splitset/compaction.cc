#include "splitset/compaction.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>
#include <queue>
#include <tuple>

#include "base/coding.h"
#include "base/format_limits.h"
#include "ngram/ngram_index.h"
#include "ngram/ngram_index_format.h"
#include "roaring/portable_roaring.h"
#include "roaring/posting_format.h"
#include "splitset/summary.h"

namespace halcyra {
namespace {

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
  Result<std::optional<std::string_view>> record = FindSummaryRecord(summary, kTombstoneRecord);
  if (!record.ok()) return record.take_error();
  if (!record->has_value()) return Status::Ok();
  Result<PortableRoaring> set = PortableRoaring::Parse(**record);
  if (!set.ok()) return set.take_error();
  std::vector<DocId> ids;
  set->AppendIds(0, &ids);
  roaring_bitmap_add_many(tombstones->mutable_roaring(), ids.size(), ids.data());
  return Status::Ok();
}

// One input posting of a merged key: the input, and the entry in its
// dictionary.
struct Source {
  size_t input;
  size_t position;
};

// A key of the merged split; its sources end at end, after the previous
// key's.
struct KeySources {
  NgramKey key;
  size_t end;
};

// Walks the inputs' dictionaries together in key order: a min-heap of (key,
// input, position) cursors, every dictionary walked once. For equal keys the
// earlier input comes first, so that ids of inputs given in id order arrive
// ascending.
class KeyCursors {
 public:
  explicit KeyCursors(std::span<const DeltaInput> inputs) : inputs_(inputs) {
    for (size_t j = 0; j < inputs.size(); ++j) {
      if (!inputs[j].postings().empty()) heap_.emplace(inputs[j].postings()[0].key, j, 0);
    }
  }

  // The next key, its postings appended to *sources; false after the last.
  bool Next(NgramKey* key, std::vector<Source>* sources) {
    if (heap_.empty()) return false;
    *key = std::get<0>(heap_.top());
    while (!heap_.empty() && std::get<0>(heap_.top()) == *key) {
      const auto [_, j, position] = heap_.top();
      heap_.pop();
      sources->push_back({j, position});
      const auto& postings = inputs_[j].postings();
      if (position + 1 < postings.size()) heap_.emplace(postings[position + 1].key, j, position + 1);
    }
    return true;
  }

 private:
  using Cursor = std::tuple<NgramKey, size_t, size_t>;
  std::span<const DeltaInput> inputs_;
  std::priority_queue<Cursor, std::vector<Cursor>, std::greater<Cursor>> heap_;
};

// The ids of one container of an input posting, moved to global ids, fall
// into one container of the merged posting, or spread over two when the
// move is not by a multiple of 65536: each such container is charged with
// all of them.
struct Piece {
  uint32_t container;  // of the merged posting
  uint32_t ids;
};

void AddPieces(const PortableRoaring& posting, DocId offset, std::vector<Piece>* pieces) {
  for (uint32_t i = 0; i < posting.container_count(); ++i) {
    // The container's ids are ids_at + its low 16 bits; Read made sure that
    // its largest id fits in 32 bits, hence ids_at does too.
    const uint64_t ids_at = (uint64_t{posting.container_key(i)} << 16) + offset;
    const uint32_t ids = posting.container_cardinality(i);
    pieces->push_back({static_cast<uint32_t>(ids_at >> 16), ids});
    const uint64_t last = std::min<uint64_t>((ids_at + 0xFFFF) >> 16, 0xFFFF);
    if (last != ids_at >> 16) pieces->push_back({static_cast<uint32_t>(last), ids});
  }
}

// An upper bound of the encoded size of the merged posting of *pieces (which
// are reordered): a container of n ids takes kPerContainerBytes plus
// kArrayIdBytes per id, at most kBitmapContainerBytes, and the bound charges
// every container with at least the ids it gets.
uint64_t MergedPostingBound(std::vector<Piece>* pieces) {
  std::sort(pieces->begin(), pieces->end(), [](const Piece& a, const Piece& b) { return a.container < b.container; });
  uint64_t bound = kBitmapHeaderBytes;
  for (size_t i = 0, j; i < pieces->size(); i = j) {
    uint64_t ids = 0;
    for (j = i; j < pieces->size() && (*pieces)[j].container == (*pieces)[i].container; ++j) ids += (*pieces)[j].ids;
    bound += kPerContainerBytes + std::min<uint64_t>(kArrayIdBytes * ids, kBitmapContainerBytes);
  }
  return bound;
}

}  // namespace

Result<DeltaInput> DeltaInput::Read(const SplitEntry& entry, std::string_view bytes, Bitmap* tombstones) {
  HALCYRA_RETURN_IF_ERROR(AddTombstones(entry.summary, tombstones));
  if (bytes.size() < kNgramIndexHeaderSize || bytes.substr(0, 4) != kNgramIndexMagic) {
    return Compact("input is not an HYS split");
  }
  const char* p = bytes.data();
  const uint64_t size = bytes.size();
  const uint64_t header = DecodeFixed16(p + 4) == kNgramIndexCaseSensitiveVersion
                              ? kNgramIndexCaseSensitiveHeaderSize
                              : kNgramIndexHeaderSize;
  const uint32_t key_count = DecodeFixed32(p + 8);
  const uint32_t stride = DecodeFixed32(p + 12);
  const uint64_t dict_at =
      header + (stride == 0 ? 0 : (uint64_t{key_count} + stride - 1) / stride * kNgramBlockKeySize);
  const bool relative = (entry.flags & kSplitAbsoluteIds) == 0;

  DeltaInput input;
  input.bytes_ = bytes;
  input.id_offset_ = relative ? entry.first_id : 0;
  input.postings_.reserve(std::min<uint64_t>(key_count, size / kNgramDictEntrySize));
  for (uint64_t i = 0; i < key_count; ++i) {
    const uint64_t at = dict_at + kNgramDictEntrySize * i;
    if (size < at + kNgramDictEntrySize) return Compact("truncated dictionary");
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
                                     uint16_t gram_size, uint32_t stride, bool fold_case, SplitBuffer& out) {
  // Ids outside every input's range need no tombstone test.
  DocId lo = UINT32_MAX, hi = 0;
  size_t entry_bound = 0;
  for (const DeltaInput& input : inputs) {
    lo = std::min(lo, input.min_id());
    hi = std::max(hi, input.max_id());
    entry_bound += input.postings().size();
  }
  IdSet dead(lo, hi);
  {
    std::vector<DocId> ids(tombstones.Cardinality());
    roaring_bitmap_to_uint32_array(&tombstones.roaring(), ids.data());
    std::erase_if(ids, [lo, hi](DocId id) { return id < lo || id > hi; });
    dead.Add(ids);
  }
  const bool any_dead = lo <= hi && !tombstones.empty();
  const auto posting_of = [&inputs](const Source& source) {
    const DeltaInput& input = inputs[source.input];
    const DeltaInput::Posting& posting = input.postings()[source.position];
    return PortableRoaring::ParseChecked(input.bytes().substr(posting.offset, posting.length));
  };

  // The keys that keep ids, with their postings; the file's size is known
  // up to the merged postings', which are bounded.
  std::vector<Source> sources;
  sources.reserve(entry_bound);
  std::vector<KeySources> keys;
  uint64_t postings_bound = 0;
  {
    KeyCursors cursors(inputs);
    std::vector<Piece> pieces;
    NgramKey key;
    while (cursors.Next(&key, &sources)) {
      const size_t first = keys.empty() ? 0 : keys.back().end;
      bool live = false;
      pieces.clear();
      for (size_t i = first; i < sources.size(); ++i) {
        const PortableRoaring posting = posting_of(sources[i]);
        const DocId offset = inputs[sources[i].input].id_offset();
        AddPieces(posting, offset, &pieces);
        // Without tombstones any id is live; else the first live id found
        // ends the search.
        live = live || (!posting.empty() &&
                        (!any_dead || !posting.ForEachId(offset, [&dead](DocId id) { return dead.Contains(id); })));
      }
      if (!live) {
        sources.resize(first);
        continue;
      }
      keys.push_back({key, sources.size()});
      postings_bound += MergedPostingBound(&pieces);
    }
  }
  if (keys.size() > UINT32_MAX) return Error::Limit("HYS key count exceeds the 32-bit limit");

  const uint64_t k = keys.size();
  const uint64_t s = stride != 0 ? stride : kDefaultStride;
  const uint64_t front_size = NgramIndexFrontSize(k, stride, fold_case);
  std::string front;  // header, block index and dictionary
  front.reserve(front_size);
  AppendNgramIndexHeader(static_cast<uint32_t>(k), gram_size, stride, fold_case, &front);
  for (uint64_t b = 0; b < (k + s - 1) / s; ++b) PutFixed64(&front, keys[b * s].key);
  const uint64_t capacity = front_size + postings_bound;
  char* const file = out.Allocate(capacity);

  MergedSplit merged;
  merged.keys.reserve(k);
  IdSet live(lo, hi);
  std::vector<DocId> ids;
  uint64_t offset = front_size;
  for (size_t i = 0; i < k; ++i) {
    ids.clear();
    bool ascending = true;
    for (size_t j = i == 0 ? 0 : keys[i - 1].end; j < keys[i].end; ++j) {
      const PortableRoaring posting = posting_of(sources[j]);
      const DocId id_offset = inputs[sources[j].input].id_offset();
      const size_t before = ids.size();
      if (any_dead) {
        ids.resize(before + posting.cardinality());
        size_t n = before;
        posting.ForEachId(id_offset, [to = ids.data(), &n, &dead](DocId id) {
          to[n] = id;
          n += !dead.Contains(id);
          return true;
        });
        ids.resize(n);
      } else {
        posting.AppendIds(id_offset, &ids);
      }
      if (before != 0 && before < ids.size() && ids[before] <= ids[before - 1]) ascending = false;
    }
    if (!ascending) {
      std::sort(ids.begin(), ids.end());
      ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    }
    assert(!ids.empty());
    live.Add(ids);
    const size_t size = SortedPostingSize(ids);
    HALCYRA_RETURN_IF_ERROR(CheckSize32(size, "HYS posting"));
    // The bound holds by construction; a posting past it would write past
    // the buffer, so it is checked all the same.
    if (size > capacity - offset) return Error::Internal("HYSS compact: merged posting passes its size bound");
    PutSortedPosting(ids, file + offset);
    AppendNgramDictEntry(keys[i].key, offset, static_cast<uint32_t>(size), &front);
    merged.keys.push_back(keys[i].key);
    offset += size;
  }
  uint64_t live_count = 0;
  live.Summarize(&live_count, &merged.first_id, &merged.last_id);
  if (live_count > UINT32_MAX) return Error::Limit("HYSS compact: document count exceeds the 32-bit limit");
  merged.doc_count = static_cast<uint32_t>(live_count);

  assert(front.size() == front_size);
  std::memcpy(file, front.data(), front.size());
  out.Shrink(offset);
  merged.size = offset;
  return merged;
}

}  // namespace halcyra
