#include "base/large_blocks.h"

#include <sys/mman.h>

#include <cstdlib>
#include <new>

namespace halcyra {

void* AllocateLarge(size_t bytes) {
  if (bytes < kLargeBlockBytes) {
    void* p = std::malloc(bytes == 0 ? 1 : bytes);
    if (p == nullptr) throw std::bad_alloc();
    return p;
  }
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  return p;
}

void FreeLarge(void* p, size_t bytes) {
  if (bytes < kLargeBlockBytes) {
    std::free(p);
  } else {
    munmap(p, bytes);
  }
}

}  // namespace halcyra
