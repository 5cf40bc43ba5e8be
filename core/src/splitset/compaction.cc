#include "splitset/compaction.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <queue>
#include <tuple>

#include "base/coding.h"
#include "base/format_limits.h"
#include "base/parallel.h"
#include "halcyra/interrupt.h"
#include "ngram/ngram_index.h"
#include "ngram/ngram_index_format.h"
#include "roaring/containers.h"
#include "roaring/portable_roaring.h"
#include "roaring/posting_format.h"
#include "splitset/summary.h"

namespace halcyra {
namespace {

Error Compact(std::string message) { return Error::Core("HYSS compact: " + message); }

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
// move is not by a multiple of 65536: a piece is the part that falls into
// one of them.
struct Piece {
  uint32_t container;  // of the merged posting
  uint32_t shift;      // the input container's low bits move up by this
  bool upper;          // the part that passes into the next container
  ContainerView view;
};

// The pieces of posting moved up by offset, appended to *pieces.
void AddPieces(const PortableRoaring& posting, DocId offset, std::vector<Piece>* pieces) {
  posting.ForEachContainer([offset, pieces](const ContainerView& c) {
    // Read made sure that the container's largest id fits in 32 bits, hence
    // ids_at does too, and no part passes container 0xFFFF.
    const uint64_t ids_at = (uint64_t{c.key} << 16) + offset;
    const uint32_t container = static_cast<uint32_t>(ids_at >> 16), shift = ids_at & 0xFFFF;
    pieces->push_back({container, shift, false, c});
    if (shift != 0 && container < 0xFFFF) pieces->push_back({container + 1, shift, true, c});
  });
}

// The end of the pieces from i that fall into the same container.
size_t GroupEnd(const std::vector<Piece>& pieces, size_t i) {
  size_t j = i;
  while (j < pieces.size() && pieces[j].container == pieces[i].container) ++j;
  return j;
}

// The tombstoned ids, for the merge's work on one merged container at a
// time. The tombstone containers of each container key are united into one
// LowSet up front, while such sets stay within a budget of memory; past it,
// ids are looked up in the records' containers themselves. Read only once
// made, so the threads of the merge share it.
class DeadIds {
 public:
  DeadIds(const Tombstones& tombstones, uint64_t budget) : tombstones_(tombstones) {
    const auto& all = tombstones.containers();
    if (all.empty()) return;
    sets_.resize(0x10000);
    for (size_t i = 0, j; i < all.size(); i = j) {
      // What the set takes at most: 2 bytes a value, at most 8192.
      uint64_t bytes = 0;
      for (j = i; j < all.size() && all[j].key == all[i].key; ++j) bytes += kArrayIdBytes * all[j].container.cardinality;
      bytes = std::min<uint64_t>(bytes, kBitmapContainerBytes);
      if (bytes > budget) continue;
      budget -= bytes;
      auto set = std::make_unique<LowSet>();
      for (size_t k = i; k < j; ++k) set->AddShifted(all[k].container, 0, false);
      set->cardinality();  // sorted now: lookups only read it
      sets_[all[i].key] = std::move(set);
    }
  }

  // The tombstones of one merged container.
  class Container {
   public:
    bool none() const { return views_.empty(); }
    bool Contains(uint32_t low) const {
      if (set_ != nullptr) return set_->Contains(low);
      for (const Tombstones::Keyed& k : views_) {
        if (ContainerContains(k.container, low)) return true;
      }
      return false;
    }
    void RemoveFrom(LowSet* set) const {
      if (set_ != nullptr) {
        set->RemoveAll(*set_);
        return;
      }
      for (const Tombstones::Keyed& k : views_) set->Remove(k.container);
    }

   private:
    friend class DeadIds;
    std::span<const Tombstones::Keyed> views_;
    LowSet* set_ = nullptr;
  };

  Container For(uint32_t container) const {
    Container c;
    const auto& all = tombstones_.containers();
    const auto [first, last] = std::equal_range(
        all.begin(), all.end(), Tombstones::Keyed{static_cast<uint16_t>(container), {}},
        [](const Tombstones::Keyed& a, const Tombstones::Keyed& b) { return a.key < b.key; });
    c.views_ = std::span<const Tombstones::Keyed>(first, last);
    if (!c.views_.empty()) c.set_ = sets_[container].get();
    return c;
  }

 private:
  const Tombstones& tombstones_;
  std::vector<std::unique_ptr<LowSet>> sets_;  // by container key; null past the budget
};

// The live ids of the merged split, by container key.
class LiveIds {
 public:
  void Add(uint32_t container, LowSet& set) {
    if (sets_.empty()) sets_.resize(0x10000);
    std::unique_ptr<LowSet>& s = sets_[container];
    if (s == nullptr) s = std::make_unique<LowSet>();
    s->AddAll(set);
  }

  // Adds the ids of other.
  void Absorb(LiveIds& other) {
    for (uint32_t container = 0; container < other.sets_.size(); ++container) {
      if (other.sets_[container] != nullptr) Add(container, *other.sets_[container]);
    }
  }

  // Cardinality, smallest and largest id (both 0 when empty).
  void Summarize(uint64_t* count, DocId* min, DocId* max) {
    *count = 0;
    *min = *max = 0;
    for (uint32_t container = 0; container < sets_.size(); ++container) {
      LowSet* set = sets_[container].get();
      if (set == nullptr || set->empty()) continue;
      if (*count == 0) *min = container << 16 | set->minimum();
      *max = container << 16 | set->maximum();
      *count += set->cardinality();
    }
  }

 private:
  std::vector<std::unique_ptr<LowSet>> sets_;  // by container key
};

// The union of the containers of one key of several tombstone records, when
// one of them is a run container: as runs when that is smaller than without.
void AddUnitedRuns(uint16_t key, std::span<const Tombstones::Keyed> group, ContainerWriter* out) {
  std::vector<std::pair<uint32_t, uint32_t>> ranges;  // [first, last]
  for (const Tombstones::Keyed& k : group) {
    const ContainerView& c = k.container;
    if (c.kind == ContainerView::Kind::kRun) {
      for (uint32_t j = 0; j < c.run_count(); ++j) ranges.emplace_back(c.run_start(j), c.run_last(j));
    } else {
      c.ForEachLow([&ranges](uint32_t v) {
        if (!ranges.empty() && ranges.back().second + 1 == v) {
          ranges.back().second = v;
        } else {
          ranges.emplace_back(v, v);
        }
        return true;
      });
    }
  }
  std::sort(ranges.begin(), ranges.end());
  std::vector<std::pair<uint32_t, uint32_t>> runs;
  uint32_t cardinality = 0;
  for (const auto& [first, last] : ranges) {
    if (!runs.empty() && first <= runs.back().second + 1) {
      cardinality += last > runs.back().second ? last - runs.back().second : 0;
      runs.back().second = std::max(runs.back().second, last);
    } else {
      runs.emplace_back(first, last);
      cardinality += last - first + 1;
    }
  }
  const size_t run_bytes = 2 + 4 * runs.size();
  const size_t plain_bytes = cardinality > kMaxArrayIds ? kBitmapContainerBytes : kArrayIdBytes * cardinality;
  if (run_bytes < plain_bytes) {
    std::string data;
    PutFixed16(&data, static_cast<uint16_t>(runs.size()));
    for (const auto& [first, last] : runs) {
      PutFixed16(&data, static_cast<uint16_t>(first));
      PutFixed16(&data, static_cast<uint16_t>(last - first));
    }
    out->Add(key, ContainerView::Kind::kRun, cardinality, data);
    return;
  }
  LowSet set;
  for (const Tombstones::Keyed& k : group) set.AddShifted(k.container, 0, false);
  out->Add(key, set);
}

}  // namespace

Status Tombstones::Add(std::string_view summary) {
  Result<std::optional<std::string_view>> record = FindSummaryRecord(summary, kTombstoneRecord);
  if (!record.ok()) return record.take_error();
  if (!record->has_value()) return Status::Ok();
  Result<PortableRoaring> set = PortableRoaring::Parse(**record);
  if (!set.ok()) return set.take_error();
  const size_t before = containers_.size();
  set->ForEachContainer([this](const ContainerView& c) { containers_.push_back({c.key, c}); });
  std::inplace_merge(containers_.begin(), containers_.begin() + static_cast<ptrdiff_t>(before), containers_.end(),
                     [](const Keyed& a, const Keyed& b) { return a.key < b.key; });
  return Status::Ok();
}

std::string Tombstones::Encode() const {
  ContainerWriter out;
  for (size_t i = 0, j; i < containers_.size(); i = j) {
    const uint16_t key = containers_[i].key;
    bool runs = false;
    for (j = i; j < containers_.size() && containers_[j].key == key; ++j) {
      runs = runs || containers_[j].container.kind == ContainerView::Kind::kRun;
    }
    const std::span<const Keyed> group(containers_.data() + i, j - i);
    if (group.size() == 1) {
      const ContainerView& c = group[0].container;
      out.Add(key, c.kind, c.cardinality, std::string_view(c.data, c.data_bytes()));
    } else if (runs) {
      AddUnitedRuns(key, group, &out);
    } else {
      LowSet set;
      for (const Keyed& k : group) set.AddShifted(k.container, 0, false);
      out.Add(key, set);
    }
  }
  std::string payload;
  out.AppendTo(&payload);
  return payload;
}

Result<DeltaInput> DeltaInput::Read(const SplitEntry& entry, std::string_view bytes, Tombstones* tombstones) {
  HALCYRA_RETURN_IF_ERROR(tombstones->Add(entry.summary));
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
    input.postings_.push_back(posting);
    if (ids->empty()) continue;
    // Relative numbers become global ids by adding the first id; one that
    // would pass the last id is refused rather than folded onto it.
    if (ids->maximum() > UINT32_MAX - input.id_offset_) {
      return Error::Limit("HYSS compact: " + entry.name + " holds posting number " +
                          std::to_string(ids->maximum()) + ", which from first id " +
                          std::to_string(input.id_offset_) + " passes the last id 4294967295");
    }
    // Every id must be one the manifest entry accounts for: the writer's next
    // id follows the entries' last ids, and must never be one already in use.
    const DocId min = input.id_offset_ + ids->minimum(), max = input.id_offset_ + ids->maximum();
    if (entry.doc_count == 0) {
      return Compact(entry.name + " holds id " + std::to_string(min) + ", but its manifest entry has no documents");
    }
    if (min < entry.first_id || max > entry.last_id) {
      return Compact(entry.name + " holds id " + std::to_string(min < entry.first_id ? min : max) +
                     ", outside the ids " + std::to_string(entry.first_id) + " to " + std::to_string(entry.last_id) +
                     " of its manifest entry");
    }
  }
  // Each posting's bytes belong to it alone, as every writer lays them out:
  // keys sharing one posting would let a small input stand for a huge merge.
  std::vector<std::pair<uint64_t, uint64_t>> regions;  // [offset, end)
  regions.reserve(input.postings_.size());
  for (const Posting& posting : input.postings_) regions.emplace_back(posting.offset, posting.offset + posting.length);
  std::sort(regions.begin(), regions.end());
  for (size_t i = 1; i < regions.size(); ++i) {
    if (regions[i].first < regions[i - 1].second) return Compact(entry.name + " has postings that share bytes");
  }
  if (!std::is_sorted(input.postings_.begin(), input.postings_.end(),
                      [](const Posting& a, const Posting& b) { return a.key < b.key; })) {
    std::stable_sort(input.postings_.begin(), input.postings_.end(),
                     [](const Posting& a, const Posting& b) { return a.key < b.key; });
  }
  return input;
}

Result<MergedSplit> MergeDeltaInputs(std::span<const DeltaInput> inputs, const Tombstones& tombstones,
                                     uint16_t gram_size, uint32_t stride, bool fold_case, SplitBuffer& out) {
  // United tombstone containers may take as much memory as the inputs hold
  // (and a little more for small inputs) before ids are looked up in the
  // records themselves.
  constexpr uint64_t kMinDeadBudget = uint64_t{1} << 20;
  uint64_t budget = kMinDeadBudget;
  size_t entry_bound = 0;
  for (const DeltaInput& input : inputs) {
    budget += input.bytes().size();
    entry_bound += input.postings().size();
  }
  const DeadIds dead(tombstones, budget);

  // Every key of the inputs, in order, with its postings.
  std::vector<Source> sources;
  sources.reserve(entry_bound);
  std::vector<KeySources> keys;
  {
    KeyCursors cursors(inputs);
    NgramKey key;
    while (cursors.Next(&key, &sources)) {
      if (InterruptRequested()) return Error::Interrupted();
      keys.push_back({key, sources.size()});
    }
  }

  // The merged postings, by ranges of keys on the threads of the call: each
  // range keeps the keys left with ids, their postings back to back, and the
  // live ids it saw.
  struct Part {
    std::vector<NgramKey> keys;
    std::vector<uint64_t> sizes;
    std::string postings;
    LiveIds live;
  };
  // Ranges hold about equal posting bytes of the inputs: a few short keys
  // can hold most of them (the trigrams of a language number in the
  // thousands). Range r is keys [firsts[r], firsts[r + 1]).
  std::vector<uint64_t> ends(keys.size());  // input posting bytes of keys 0 to i
  uint64_t bytes = 0;
  for (size_t i = 0, j = 0; i < keys.size(); ++i) {
    for (; j < keys[i].end; ++j) bytes += inputs[sources[j].input].postings()[sources[j].position].length;
    ends[i] = bytes;
  }
  constexpr size_t kMinBytesPerRange = size_t{256} << 10;
  const Ranges byte_ranges(static_cast<size_t>(bytes), kMinBytesPerRange);
  std::vector<size_t> firsts = {0};
  for (size_t r = 1; r < byte_ranges.count(); ++r) {
    const size_t i =
        static_cast<size_t>(std::lower_bound(ends.begin(), ends.end(), byte_ranges.begin(r)) - ends.begin() + 1);
    if (i > firsts.back() && i < keys.size()) firsts.push_back(i);
  }
  firsts.push_back(keys.size());
  ends = {};
  std::vector<Part> parts(firsts.size() - 1);
  const bool merged_all = ParallelFor(parts.size(), [&](size_t r) {
    // Built apart and moved in at the end: neighbouring parts share cache
    // lines, which a store per key would make the threads pass back and forth.
    Part part;
    std::vector<Piece> pieces;
    LowSet work;
    ContainerWriter posting;
    for (size_t i = firsts[r]; i < firsts[r + 1]; ++i) {
      if (StopRequested()) return;
      pieces.clear();
      for (size_t j = i == 0 ? 0 : keys[i - 1].end; j < keys[i].end; ++j) {
        const DeltaInput& input = inputs[sources[j].input];
        const DeltaInput::Posting& p = input.postings()[sources[j].position];
        AddPieces(PortableRoaring::ParseChecked(input.bytes().substr(p.offset, p.length)), input.id_offset(), &pieces);
      }
      std::stable_sort(pieces.begin(), pieces.end(), [](const Piece& a, const Piece& b) { return a.container < b.container; });
      posting.Clear();
      for (size_t g = 0, h; g < pieces.size(); g = h) {
        h = GroupEnd(pieces, g);
        const uint32_t container = pieces[g].container;
        work.Clear();
        for (size_t p = g; p < h; ++p) work.AddShifted(pieces[p].view, pieces[p].shift, pieces[p].upper);
        dead.For(container).RemoveFrom(&work);
        if (work.empty()) continue;
        posting.Add(static_cast<uint16_t>(container), work);
        part.live.Add(container, work);
      }
      if (posting.empty()) continue;  // every id deleted: the key goes
      part.keys.push_back(keys[i].key);
      part.sizes.push_back(posting.size());
      posting.AppendTo(&part.postings);
    }
    parts[r] = std::move(part);
  });
  if (!merged_all) return Error::Interrupted();
  keys = {};
  sources = {};

  MergedSplit merged;
  uint64_t postings_size = 0;
  for (const Part& part : parts) {
    merged.keys.insert(merged.keys.end(), part.keys.begin(), part.keys.end());
    for (uint64_t size : part.sizes) HALCYRA_RETURN_IF_ERROR(CheckSize32(size, "HYS posting"));
    postings_size += part.postings.size();
  }
  const uint64_t k = merged.keys.size();
  if (k > UINT32_MAX) return Error::Limit("HYS key count exceeds the 32-bit limit");

  const uint64_t s = stride != 0 ? stride : kDefaultStride;
  const uint64_t front_size = NgramIndexFrontSize(k, stride, fold_case);
  std::string front;  // header, block index and dictionary
  front.reserve(front_size);
  AppendNgramIndexHeader(static_cast<uint32_t>(k), gram_size, stride, fold_case, &front);
  for (uint64_t b = 0; b < (k + s - 1) / s; ++b) PutFixed64(&front, merged.keys[b * s]);
  uint64_t offset = front_size;
  for (const Part& part : parts) {
    for (size_t i = 0; i < part.keys.size(); ++i) {
      AppendNgramDictEntry(part.keys[i], offset, static_cast<uint32_t>(part.sizes[i]), &front);
      offset += part.sizes[i];
    }
  }
  assert(front.size() == front_size);

  merged.size = front_size + postings_size;
  char* at = out.Allocate(merged.size);
  std::memcpy(at, front.data(), front.size());
  at += front.size();
  LiveIds live;
  for (Part& part : parts) {
    std::memcpy(at, part.postings.data(), part.postings.size());
    at += part.postings.size();
    part.postings = std::string();
    live.Absorb(part.live);
  }
  out.Shrink(merged.size);

  uint64_t live_count = 0;
  live.Summarize(&live_count, &merged.first_id, &merged.last_id);
  if (live_count > UINT32_MAX) return Error::Limit("HYSS compact: document count exceeds the 32-bit limit");
  merged.doc_count = static_cast<uint32_t>(live_count);
  return merged;
}

}  // namespace halcyra
