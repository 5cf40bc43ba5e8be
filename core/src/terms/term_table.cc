#include "terms/term_table.h"

#include <algorithm>
#include <cstring>

namespace halcyra {
namespace {

constexpr size_t kMinIndexLog2 = 10;
// Ids queued for bitmaps before they are filed: 8 MiB with the sort buffer.
// The frequent terms of a text corpus number in the tens of thousands, and
// a flush costs a bitmap lookup per term queued, so a long queue pays.
constexpr size_t kQueueCapacity = size_t{1} << 19;

uint32_t Tag(uint64_t hash) { return static_cast<uint32_t>(hash); }

}  // namespace

TermTable::TermTable() : queue_(kQueueCapacity) { ResetIndex(kMinIndexLog2); }

TermTable::~TermTable() { TermPostings::Release(entries_); }

void TermTable::ResetIndex(size_t log2_size) {
  index_.assign(size_t{1} << log2_size, 0);
  shift_ = 64 - static_cast<int>(log2_size);
}

uint32_t TermTable::Find(std::string_view term, uint64_t hash, size_t* slot) const {
  const size_t mask = index_.size() - 1;
  const uint32_t tag = Tag(hash);
  size_t i = static_cast<size_t>(hash >> shift_);
  for (uint64_t v; (v = index_[i]) != 0; i = (i + 1) & mask) {
    if (static_cast<uint32_t>(v >> 32) != tag) continue;
    const Entry& e = entries_[static_cast<uint32_t>(v) - 1];
    if (e.size == term.size() && std::memcmp(e.term, term.data(), term.size()) == 0) {
      *slot = i;
      return static_cast<uint32_t>(v);
    }
  }
  *slot = i;
  return 0;
}

bool TermTable::Add(std::string_view term, DocId doc, uint32_t* position) {
  const uint64_t hash = HashTerm(term);
  size_t slot;
  if (const uint32_t found = Find(term, hash, &slot); found != 0) {
    *position = found - 1;
    AddTo(found - 1, doc);
    return true;
  }
  if (entries_.size() == UINT32_MAX) return false;
  *position = static_cast<uint32_t>(entries_.size());
  const std::string_view interned = arena_.Intern(term);
  Entry& e = entries_.emplace_back();
  e.term = interned.data();
  e.size = static_cast<uint32_t>(interned.size());
  e.count = 1;
  e.first = doc;
  e.second = 0;
  index_[slot] = uint64_t{Tag(hash)} << 32 | entries_.size();
  if (entries_.size() * 2 > index_.size()) Grow();
  return true;
}

bool TermTable::Contains(std::string_view term) const {
  size_t slot;
  return Find(term, HashTerm(term), &slot) != 0;
}

void TermTable::AddTo(uint32_t position, DocId doc) {
  Entry& e = entries_[position];
  switch (e.count) {
    case 1:
      if (doc != e.first) {
        e.second = doc;
        e.count = 2;
      }
      return;
    case 2: {
      if (doc == e.first || doc == e.second) return;
      roaring_bitmap_t* r = Checked(roaring_bitmap_create());
      roaring_bitmap_add(r, e.first);
      roaring_bitmap_add(r, e.second);
      roaring_bitmap_add(r, doc);
      e.bitmap = r;
      e.count = kInBitmap;
      e.first = doc;
      return;
    }
    default:
      // A term usually repeats within one document: its id was the last one
      // queued, and need not be queued again.
      if (doc == e.first) return;
      e.first = doc;
      if (queue_.Push(position, doc)) FlushQueue();
  }
}

void TermTable::FlushQueue() {
  if (entries_.empty()) return;
  queue_.Flush(static_cast<uint32_t>(entries_.size() - 1), [this](uint32_t position, std::span<const DocId> ids) {
    roaring_bitmap_add_many(entries_[position].bitmap, ids.size(), ids.data());
  });
}

void TermTable::Grow() {
  ResetIndex(static_cast<size_t>(64 - shift_) + 1);
  const size_t mask = index_.size() - 1;
  for (size_t p = 0; p < entries_.size(); ++p) {
    const uint64_t hash = HashTerm({entries_[p].term, entries_[p].size});
    size_t i = static_cast<size_t>(hash >> shift_);
    while (index_[i] != 0) i = (i + 1) & mask;
    index_[i] = uint64_t{Tag(hash)} << 32 | (p + 1);
  }
}

TermPostings TermTable::TakePostings() {
  FlushQueue();
  queue_.Release();
  ResetIndex(kMinIndexLog2);
  std::sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
    return std::string_view(a.term, a.size) < std::string_view(b.term, b.size);
  });
  TermPostings postings;
  postings.arena_ = std::exchange(arena_, TermArena());
  postings.entries_ = std::exchange(entries_, {});
  return postings;
}

}  // namespace halcyra
