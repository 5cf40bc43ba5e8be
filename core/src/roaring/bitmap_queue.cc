#include "roaring/bitmap_queue.h"

#include <cassert>

namespace halcyra {
namespace {

constexpr int kRadixBits = 11;

}  // namespace

void BitmapQueue::SortByOwner(uint32_t max_owner) {
  sorted_.resize(queue_.size());
  for (int shift = 32; shift < 64 && (uint64_t{max_owner} >> (shift - 32)) != 0; shift += kRadixBits) {
    size_t counts[(1 << kRadixBits) + 1] = {};
    for (uint64_t e : queue_) ++counts[((e >> shift) & ((1 << kRadixBits) - 1)) + 1];
    for (int d = 0; d < (1 << kRadixBits); ++d) counts[d + 1] += counts[d];
    for (uint64_t e : queue_) sorted_[counts[(e >> shift) & ((1 << kRadixBits) - 1)]++] = e;
    queue_.swap(sorted_);
  }
}

void BitmapQueue::Release() {
  assert(queue_.empty());
  queue_ = {};
  sorted_ = {};
  run_ = {};
}

}  // namespace halcyra
