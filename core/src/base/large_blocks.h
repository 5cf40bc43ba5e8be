// An allocator for the large tables of a build (hash indexes, posting
// slots): blocks of 2 MiB and more are mapped on their own with every page
// populated in one call. Written a page at a time, a table of hundreds of
// megabytes takes as many page faults as it has pages, and when several
// threads build at once those faults, and the heap's growth, contend for the
// address space's lock; a populated block costs a fraction of that. Smaller
// blocks come from the usual heap.
#pragma once

#include <cstddef>

namespace halcyra {

inline constexpr size_t kLargeBlockBytes = size_t{2} << 20;

// std::bad_alloc when memory runs out.
void* AllocateLarge(size_t bytes);
void FreeLarge(void* p, size_t bytes);

template <class T>
struct LargeBlockAllocator {
  using value_type = T;
  LargeBlockAllocator() = default;
  template <class U>
  LargeBlockAllocator(const LargeBlockAllocator<U>&) {}  // NOLINT: rebinding
  T* allocate(size_t n) { return static_cast<T*>(AllocateLarge(n * sizeof(T))); }
  void deallocate(T* p, size_t n) { FreeLarge(p, n * sizeof(T)); }
  template <class U>
  bool operator==(const LargeBlockAllocator<U>&) const { return true; }
};

}  // namespace halcyra
