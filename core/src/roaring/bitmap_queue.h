// BitmapQueue: ids bound for many Roaring bitmaps, filed in batches.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "roaring/postings.h"

namespace halcyra {

// Reaching one of many bitmaps costs several dependent cache misses, which
// would dominate a build if paid per id. The ids are therefore queued as
// (owner, id) pairs, 8 bytes each, and filed in batches: a stable radix sort
// groups the queue by owner, and each owner's bitmap takes its run of ids in
// one bulk add.
class BitmapQueue {
 public:
  static constexpr size_t kDefaultCapacity = size_t{1} << 17;

  // A full queue of capacity ids takes 16 bytes per id with the sort buffer;
  // a larger one gives longer runs per owner, so fewer bitmap lookups.
  explicit BitmapQueue(size_t capacity = kDefaultCapacity) : capacity_(capacity) {}

  // Queues id for owner's bitmap. Returns true when the queue is full and
  // must be flushed before the next Push.
  bool Push(uint32_t owner, DocId id) {
    if (queue_.empty()) queue_.reserve(capacity_);
    queue_.push_back(uint64_t{owner} << 32 | id);
    return queue_.size() == capacity_;
  }

  // Calls file(owner, ids) once per owner with a queued id, every owner's ids
  // in arrival order (ascending when documents come in order), and empties
  // the queue. Owners are at most max_owner.
  template <class File>
  void Flush(uint32_t max_owner, File file) {
    if (queue_.empty()) return;
    SortByOwner(max_owner);
    for (size_t i = 0; i < queue_.size();) {
      const uint32_t owner = static_cast<uint32_t>(queue_[i] >> 32);
      run_.clear();
      for (; i < queue_.size() && static_cast<uint32_t>(queue_[i] >> 32) == owner; ++i) {
        run_.push_back(static_cast<DocId>(queue_[i]));
      }
      file(owner, std::span<const DocId>(run_));
    }
    queue_.clear();
  }

  // Frees the buffers; the queue must be empty.
  void Release();

 private:
  // LSD radix sort on the owner half; stable.
  void SortByOwner(uint32_t max_owner);

  size_t capacity_;
  std::vector<uint64_t> queue_;   // owner << 32 | id
  std::vector<uint64_t> sorted_;  // radix sort buffer, as large as queue_
  std::vector<DocId> run_;        // one owner's ids
};

}  // namespace halcyra
