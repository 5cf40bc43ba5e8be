#include "ngram/posting_table.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <optional>
#include <span>

#include "base/coding.h"
#include "base/parallel.h"
#include "ngram/ngram_index_format.h"
#include "roaring/containers.h"
#include "roaring/portable_roaring.h"
#include "roaring/posting_format.h"

namespace halcyra {
namespace {

constexpr size_t kMinIndexLog2 = 10;

// The growth of a posting whose newest id so far is `last` when id joins it.
uint64_t JoinCost(DocId last, DocId id) {
  return (last >> 16) == (id >> 16) ? kArrayIdBytes : kPerContainerBytes + kArrayIdBytes;
}

}  // namespace

PostingTable::PostingTable() { ResetIndex(kMinIndexLog2); }

PostingTable::~PostingTable() { Release(); }

void PostingTable::Release() {
  for (Slot& s : slots_) {
    if (s.count == kInBitmap) roaring_bitmap_free(s.bitmap);
  }
  slots_.clear();
  serialized_bytes_ = 0;
}

void PostingTable::ResetIndex(size_t log2_size) {
  index_.assign(size_t{1} << log2_size, 0);
  shift_ = 64 - static_cast<int>(log2_size);
}

bool PostingTable::Add(NgramKey key, DocId doc) {
  const size_t mask = index_.size() - 1;
  size_t i = Home(key);
  for (uint32_t s; (s = index_[i]) != 0; i = (i + 1) & mask) {
    if (slots_[s - 1].key == key) {
      AddTo(s - 1, doc);
      return true;
    }
  }
  if (slots_.size() == UINT32_MAX) return false;
  Slot& slot = slots_.emplace_back();
  slot.key = key;
  slot.count = 1;
  slot.first = doc;
  serialized_bytes_ += kBitmapHeaderBytes + kPerContainerBytes + kArrayIdBytes;
  index_[i] = static_cast<uint32_t>(slots_.size());
  if (slots_.size() * 2 > index_.size()) Grow();
  return true;
}

bool PostingTable::Contains(NgramKey key) const {
  const size_t mask = index_.size() - 1;
  for (size_t i = Home(key); index_[i] != 0; i = (i + 1) & mask) {
    if (slots_[index_[i] - 1].key == key) return true;
  }
  return false;
}

void PostingTable::AddTo(uint32_t position, DocId doc) {
  Slot& slot = slots_[position];
  switch (slot.count) {
    case 1:
      if (doc != slot.first) {
        serialized_bytes_ += JoinCost(slot.first, doc);
        slot.second = doc;
        slot.count = 2;
      }
      return;
    case 2: {
      if (doc == slot.first || doc == slot.second) return;
      roaring_bitmap_t* r = Checked(roaring_bitmap_create());  // first: may throw, changing nothing
      serialized_bytes_ += JoinCost(slot.second, doc);
      // At most 3 ids share doc's container, so it is an array.
      const uint32_t same = 1 + ((slot.first >> 16) == (doc >> 16)) + ((slot.second >> 16) == (doc >> 16));
      roaring_bitmap_add(r, slot.first);
      roaring_bitmap_add(r, slot.second);
      roaring_bitmap_add(r, doc);
      slot.bitmap = r;
      slot.first = (doc & 0xFFFF0000u) | same;
      slot.count = kInBitmap;
      return;
    }
    default:
      if ((slot.first >> 16) != (doc >> 16)) {
        serialized_bytes_ += kPerContainerBytes + kArrayIdBytes;
        slot.first = (doc & 0xFFFF0000u) | 1;
      } else if ((slot.first & 0xFFFF) < kMaxArrayIds) {
        serialized_bytes_ += kArrayIdBytes;
        ++slot.first;
      }
      if (queue_.Push(position, doc)) FlushQueue();
  }
}

void PostingTable::FlushQueue() {
  if (slots_.empty()) return;
  queue_.Flush(static_cast<uint32_t>(slots_.size() - 1), [this](uint32_t position, std::span<const DocId> ids) {
    roaring_bitmap_add_many(slots_[position].bitmap, ids.size(), ids.data());
  });
}

void PostingTable::Grow() {
  ResetIndex(static_cast<size_t>(64 - shift_) + 1);
  const size_t mask = index_.size() - 1;
  for (size_t p = 0; p < slots_.size(); ++p) {
    size_t i = Home(slots_[p].key);
    while (index_[i] != 0) i = (i + 1) & mask;
    index_[i] = static_cast<uint32_t>(p + 1);
  }
}

std::vector<uint32_t> PostingTable::KeyOrder() const {
  std::vector<uint32_t> order(slots_.size());
  for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [this](uint32_t a, uint32_t b) { return slots_[a].key < slots_[b].key; });
  return order;
}

uint64_t PostingTable::IndexSize(uint32_t stride, bool fold_case) const {
  return NgramIndexFrontSize(slots_.size(), stride, fold_case) + serialized_bytes_;
}

std::vector<NgramKey> PostingTable::SortedKeys() const {
  std::vector<NgramKey> keys(slots_.size());
  for (size_t i = 0; i < keys.size(); ++i) keys[i] = slots_[i].key;
  std::sort(keys.begin(), keys.end());
  return keys;
}

void PostingTable::PutIndex(uint16_t gram_size, uint32_t stride, bool fold_case, char* out) {
  FlushQueue();  // files queued ids; what the table holds stays the same
  const std::vector<uint32_t> order = KeyOrder();
  const uint64_t k = order.size();
  const uint64_t s = stride != 0 ? stride : kDefaultStride;
  const uint64_t front_size = NgramIndexFrontSize(k, stride, fold_case);
  std::string front;
  front.reserve(front_size);
  AppendNgramIndexHeader(static_cast<uint32_t>(k), gram_size, stride, fold_case, &front);
  for (uint64_t b = 0; b < (k + s - 1) / s; ++b) PutFixed64(&front, slots_[order[b * s]].key);
  // The postings follow the front; each size is known before it is written,
  // so the dictionary is complete before any posting is.
  char* posting = out + front_size;
  for (uint32_t position : order) {
    const Slot& slot = slots_[position];
    char* end;
    if (slot.count == kInBitmap) {
      end = posting + roaring_bitmap_portable_serialize(slot.bitmap, posting);
    } else {
      DocId ids[2] = {slot.first, slot.count == 2 ? slot.second : 0};
      if (slot.count == 2 && ids[1] < ids[0]) std::swap(ids[0], ids[1]);
      end = PutSortedPosting(std::span<const DocId>(ids, slot.count), posting);
    }
    AppendNgramDictEntry(slot.key, static_cast<uint64_t>(posting - out), static_cast<uint32_t>(end - posting), &front);
    posting = end;
  }
  assert(front.size() == front_size);
  assert(static_cast<uint64_t>(posting - out) == IndexSize(stride, fold_case));
  std::memcpy(out, front.data(), front.size());
}

SortedPostings PostingTable::TakeSorted() {
  FlushQueue();
  queue_.Release();
  ResetIndex(kMinIndexLog2);
  std::sort(slots_.begin(), slots_.end(), [](const Slot& a, const Slot& b) { return a.key < b.key; });
  SortedPostings out;
  out.keys.reserve(slots_.size());
  out.ends.reserve(slots_.size());
  out.bytes.resize(serialized_bytes_);  // exact: ids arrived ascending
  char* at = out.bytes.data();
  for (Slot& s : slots_) {
    if (s.count == kInBitmap) {
      at += roaring_bitmap_portable_serialize(s.bitmap, at);
      roaring_bitmap_free(s.bitmap);
    } else {
      DocId ids[2] = {s.first, s.count == 2 ? s.second : 0};
      if (s.count == 2 && ids[1] < ids[0]) std::swap(ids[0], ids[1]);
      at = PutSortedPosting(std::span<const DocId>(ids, s.count), at);
    }
    s.count = 0;
    out.keys.push_back(s.key);
    out.ends.push_back(static_cast<uint64_t>(at - out.bytes.data()));
  }
  assert(at == out.bytes.data() + out.bytes.size());
  slots_.clear();
  slots_.shrink_to_fit();
  serialized_bytes_ = 0;
  return out;
}

namespace {

// The union of postings whose ids ascend from one to the next, appended to
// *out: containers of one key met twice (at the seam of two ranges) are
// united, all others copied as they are, which is their canonical encoding.
void AppendUnion(std::span<const std::string_view> postings, ContainerWriter* writer, LowSet* set,
                 std::string* out) {
  writer->Clear();
  std::optional<ContainerView> pending;  // the last container read, not yet written
  bool united = false;                   // pending's key is held in *set
  const auto emit = [&] {
    if (!pending) return;
    if (united) {
      writer->Add(pending->key, *set);
    } else {
      writer->Add(pending->key, pending->kind, pending->cardinality, std::string_view(pending->data, pending->data_bytes()));
    }
  };
  for (std::string_view p : postings) {
    PortableRoaring::ParseChecked(p).ForEachContainer([&](const ContainerView& c) {
      if (pending && pending->key == c.key) {
        if (!united) {
          set->Clear();
          set->AddShifted(*pending, 0, false);
          united = true;
        }
        set->AddShifted(c, 0, false);
        return;
      }
      emit();
      pending = c;
      united = false;
    });
  }
  emit();
  writer->AppendTo(out);
}

// Merges the keys in [from, to) of every part (to = nullopt: the end).
SortedPostings MergeRange(const std::vector<SortedPostings>& parts, std::optional<NgramKey> from,
                          std::optional<NgramKey> to) {
  std::vector<size_t> at(parts.size()), end(parts.size());
  size_t keys = 0, bytes = 0;
  for (size_t p = 0; p < parts.size(); ++p) {
    const std::vector<NgramKey>& k = parts[p].keys;
    at[p] = from ? std::lower_bound(k.begin(), k.end(), *from) - k.begin() : 0;
    end[p] = to ? std::lower_bound(k.begin(), k.end(), *to) - k.begin() : k.size();
    keys += end[p] - at[p];
    bytes += (end[p] == 0 ? 0 : parts[p].ends[end[p] - 1]) - (at[p] == 0 ? 0 : parts[p].ends[at[p] - 1]);
  }
  SortedPostings out;
  out.keys.reserve(keys);
  out.ends.reserve(keys);
  out.bytes.reserve(bytes);
  ContainerWriter writer;
  LowSet set;
  std::vector<std::string_view> same;  // the postings of one key, in part order
  while (true) {
    std::optional<NgramKey> key;
    for (size_t p = 0; p < parts.size(); ++p) {
      if (at[p] < end[p] && (!key || parts[p].keys[at[p]] < *key)) key = parts[p].keys[at[p]];
    }
    if (!key) break;
    same.clear();
    for (size_t p = 0; p < parts.size(); ++p) {
      if (at[p] < end[p] && parts[p].keys[at[p]] == *key) same.push_back(parts[p].posting(at[p]++));
    }
    if (same.size() == 1) {
      out.bytes.append(same[0]);
    } else {
      AppendUnion(same, &writer, &set, &out.bytes);
    }
    out.keys.push_back(*key);
    out.ends.push_back(out.bytes.size());
  }
  return out;
}

}  // namespace

Result<NgramPostings> MergeSortedPostings(std::vector<SortedPostings> parts) {
  // Split the key space where the largest part's postings bytes are evenly
  // spaced: a few short keys can hold most of the bytes (the trigrams of a
  // language number in the thousands).
  size_t largest = 0;
  for (size_t p = 0; p < parts.size(); ++p) {
    if (parts[p].bytes.size() > parts[largest].bytes.size()) largest = p;
  }
  std::vector<SortedPostings> merged;
  if (parts.size() == 1) {
    merged.push_back(std::move(parts[0]));
  } else if (!parts.empty()) {
    constexpr size_t kMinBytesPerRange = size_t{1} << 20;
    const SortedPostings& sample = parts[largest];
    const Ranges ranges(sample.bytes.size(), kMinBytesPerRange);
    // Each bound is the first key whose posting starts at or past a range's
    // first byte; equal bounds are kept once.
    std::vector<std::optional<NgramKey>> bounds = {std::nullopt};
    for (size_t r = 1; r < ranges.count(); ++r) {
      const size_t i = static_cast<size_t>(
          std::lower_bound(sample.ends.begin(), sample.ends.end(), ranges.begin(r)) - sample.ends.begin() + 1);
      if (i < sample.keys.size() && (bounds.size() == 1 || *bounds.back() < sample.keys[i])) {
        bounds.push_back(sample.keys[i]);
      }
    }
    bounds.push_back(std::nullopt);
    merged.resize(bounds.size() - 1);
    if (!ParallelFor(merged.size(), [&](size_t r) { merged[r] = MergeRange(parts, bounds[r], bounds[r + 1]); })) {
      return Error::Interrupted();
    }
    parts.clear();
  }
  NgramPostings entries;
  for (SortedPostings& m : merged) {
    entries.AddEncodedRun(std::move(m.keys), std::move(m.ends), std::move(m.bytes));
    m = SortedPostings();  // released as soon as taken
  }
  return entries;
}

Result<NgramPostings> PostingTable::TakePostings() {
  FlushQueue();
  queue_.Release();
  ResetIndex(kMinIndexLog2);
  std::sort(slots_.begin(), slots_.end(), [](const Slot& a, const Slot& b) { return a.key < b.key; });
  // Room for every inline encoding, so that the buffer is never copied to
  // grow: an inline posting takes at most two single-id containers. Bitmaps
  // are encoded by the writer, one at a time.
  constexpr size_t kMaxInlineBytes = kBitmapHeaderBytes + 2 * (kPerContainerBytes + kArrayIdBytes);
  size_t inline_count = 0;
  for (const Slot& s : slots_) inline_count += s.count != kInBitmap;
  NgramPostings entries;
  entries.Reserve(inline_count, inline_count * kMaxInlineBytes);
  std::string scratch;  // one inline posting's encoding at a time
  for (Slot& s : slots_) {
    if (s.count != kInBitmap) {
      DocId ids[2] = {s.first, s.count == 2 ? s.second : 0};
      if (s.count == 2 && ids[1] < ids[0]) std::swap(ids[0], ids[1]);
      scratch.clear();
      AppendSortedPosting(std::span<const DocId>(ids, s.count), &scratch);
      entries.AddEncoded(s.key, scratch);
    } else {
      entries.AddBitmap(s.key, Bitmap(s.bitmap));
    }
    s.count = 0;
  }
  slots_.clear();
  slots_.shrink_to_fit();
  serialized_bytes_ = 0;
  return entries;
}

}  // namespace halcyra
