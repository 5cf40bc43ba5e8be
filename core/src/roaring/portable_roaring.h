// A checked reader of the portable Roaring serialization (byte layout at the
// top of postings.cc), for bitmaps that come from outside the process (split
// postings and tombstone records given back to the writer). The Roaring
// library checks only that it stays inside the buffer; a bitmap whose
// containers break the format's invariants would later misbehave in its set
// operations. So every invariant is checked here first: at most 65536
// containers, keys strictly ascending, an array container's values strictly
// ascending, a bitmap container's popcount equal to its cardinality, and a
// run container's runs ordered, non-overlapping, inside the container and
// covering exactly its cardinality. The offsets are not needed for reading in
// order, so they are only skipped. Bytes after the last container are not
// part of the bitmap.
#pragma once

#include <bit>
#include <cstdint>
#include <string_view>
#include <vector>

#include "base/coding.h"
#include "halcyra/status.h"
#include "roaring/posting_format.h"
#include "roaring/postings.h"

namespace halcyra {

class PortableRoaring {
 public:
  // Checks the bitmap at the front of bytes. A violation fails with the
  // CoreError "roaring deserialize: <what is wrong>".
  static Result<PortableRoaring> Parse(std::string_view bytes);

  // The bitmap at the front of bytes, which Parse has accepted before: only
  // what AppendIds needs is read, and nothing is checked again.
  static PortableRoaring ParseChecked(std::string_view bytes);

  bool empty() const { return count_ == 0; }
  // The smallest and the largest id; the bitmap must not be empty. (Not
  // known after ParseChecked.)
  DocId minimum() const { return minimum_; }
  DocId maximum() const { return maximum_; }
  uint64_t cardinality() const { return cardinality_; }
  // The bytes the bitmap occupies.
  size_t size() const { return end_; }

  // Calls visit(id + offset) for every id, ascending, while it returns true;
  // returns whether every id was visited. The caller makes sure that
  // offset + maximum() fits in 32 bits.
  template <class Visit>
  bool ForEachId(DocId offset, Visit visit) const;

  // Appends every id plus offset, ascending, to *ids (as ForEachId).
  void AppendIds(DocId offset, std::vector<DocId>* ids) const;

  // The containers, in key order: their number, and the key (the ids' high
  // 16 bits) and number of ids of container i.
  uint32_t container_count() const { return count_; }
  uint16_t container_key(uint32_t i) const { return DecodeFixed16(bytes_.data() + descriptors_at_ + 4 * size_t{i}); }
  uint32_t container_cardinality(uint32_t i) const {
    return uint32_t{DecodeFixed16(bytes_.data() + descriptors_at_ + 4 * size_t{i} + 2)} + 1;
  }

  // The bitmap as a Roaring bitmap.
  Bitmap ToBitmap() const;

 private:
  PortableRoaring() = default;
  bool IsRun(uint32_t container) const {
    return run_flags_ != nullptr && (static_cast<uint8_t>(run_flags_[container / 8]) >> (container % 8) & 1) != 0;
  }
  // Reads the cookie, container count, run flags and descriptors' position.
  Status ReadHeader(std::string_view bytes);

  std::string_view bytes_;
  uint32_t count_ = 0;           // containers
  const char* run_flags_ = nullptr;  // null without run containers
  size_t descriptors_at_ = 0;
  size_t containers_at_ = 0;
  size_t end_ = 0;
  uint64_t cardinality_ = 0;
  DocId minimum_ = 0;
  DocId maximum_ = 0;
};

template <class Visit>
bool PortableRoaring::ForEachId(DocId offset, Visit visit) const {
  const char* p = bytes_.data();
  size_t pos = containers_at_;
  for (uint32_t i = 0; i < count_; ++i) {
    const char* d = p + descriptors_at_ + 4 * size_t{i};
    const DocId high = (DocId{DecodeFixed16(d)} << 16) + offset;
    const uint32_t card = uint32_t{DecodeFixed16(d + 2)} + 1;
    if (IsRun(i)) {
      const uint32_t runs = DecodeFixed16(p + pos);
      pos += 2;
      for (uint32_t j = 0; j < runs; ++j, pos += 4) {
        const uint32_t start = DecodeFixed16(p + pos);
        const uint32_t last = start + DecodeFixed16(p + pos + 2);
        for (uint32_t v = start; v <= last; ++v) {
          if (!visit(high + v)) return false;
        }
      }
    } else if (card > kMaxArrayIds) {
      for (size_t w = 0; w < kBitmapContainerBytes; w += 8) {
        for (uint64_t word = DecodeFixed64(p + pos + w); word != 0; word &= word - 1) {
          if (!visit(high + static_cast<DocId>(w * 8 + std::countr_zero(word)))) return false;
        }
      }
      pos += kBitmapContainerBytes;
    } else {
      for (uint32_t j = 0; j < card; ++j) {
        if (!visit(high + DecodeFixed16(p + pos + 2 * j))) return false;
      }
      pos += 2 * size_t{card};
    }
  }
  return true;
}

}  // namespace halcyra
