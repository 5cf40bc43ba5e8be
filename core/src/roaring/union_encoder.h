// The head/tail encoding of a union of in-memory postings, written container
// by container from the postings themselves: no united bitmap, no copies of
// the halves.
#pragma once

#include <roaring/roaring.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "roaring/containers.h"

namespace halcyra {

// Keeps its buffers from one call to the next; one per thread.
class UnionEncoder {
 public:
  // Appends the head/tail encoding (roaring/postings.cc) of the union of
  // postings at head_boundary to *out, byte for byte what EncodeHeadTail
  // gives for the united bitmap, and sets *head_size. Postings built by
  // insertion hold array and bitmap containers only; given one holding any
  // other kind, appends nothing and returns false.
  bool AppendHeadTail(std::span<const roaring_bitmap_t* const> postings, uint32_t head_boundary, std::string* out,
                      size_t* head_size);

 private:
  // Adds the union of the containers gathered under key to head_ and tail_.
  void AddUnion(uint16_t key, uint32_t split_key, uint32_t split_low);
  // Adds values (sorted, distinct) or words_ with cardinality bits set.
  static void AddValues(ContainerWriter& to, uint16_t key, std::span<const uint16_t> values);
  void AddWords(ContainerWriter& to, uint16_t key, const uint64_t* words, uint32_t cardinality);

  ContainerWriter head_, tail_;
  std::vector<int32_t> at_;                 // per posting: its next container
  std::vector<std::pair<uint8_t, const void*>> gathered_;  // (type code, container)
  std::vector<uint16_t> values_, merged_;
  std::vector<uint64_t> words_, part_;
};

}  // namespace halcyra
