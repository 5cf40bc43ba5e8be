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

// One container of checked portable bytes: the ids that share their high 16
// bits (the key), as their low 16 bits.
struct ContainerView {
  enum class Kind : uint8_t { kArray, kBitmap, kRun };

  uint16_t key;
  Kind kind;
  uint32_t cardinality;
  // kArray: cardinality x u16 values; kBitmap: 1024 x u64 words; kRun: a u16
  // run count r, then r x (start u16, length - 1 u16).
  const char* data;

  uint32_t run_count() const { return DecodeFixed16(data); }
  uint32_t run_start(uint32_t j) const { return DecodeFixed16(data + 2 + 4 * size_t{j}); }
  uint32_t run_last(uint32_t j) const { return run_start(j) + DecodeFixed16(data + 4 + 4 * size_t{j}); }
  uint32_t array_value(uint32_t j) const { return DecodeFixed16(data + 2 * size_t{j}); }
  uint64_t bitmap_word(uint32_t w) const { return DecodeFixed64(data + 8 * size_t{w}); }
  // The bytes of its data.
  size_t data_bytes() const {
    return kind == Kind::kRun ? 2 + 4 * size_t{run_count()}
           : kind == Kind::kBitmap ? kBitmapContainerBytes
                                   : kArrayIdBytes * cardinality;
  }

  // Calls visit(low) for every value, ascending, while it returns true;
  // returns whether every value was visited.
  template <class Visit>
  bool ForEachLow(Visit visit) const;
};

class PortableRoaring {
 public:
  // Checks the bitmap at the front of bytes. A violation fails with the
  // CoreError "roaring deserialize: <what is wrong>". Costs the bytes the
  // bitmap occupies, whatever it claims.
  static Result<PortableRoaring> Parse(std::string_view bytes);

  // The bitmap at the front of bytes, which Parse has accepted before: only
  // the header and the cardinalities are read, and nothing is checked again.
  static PortableRoaring ParseChecked(std::string_view bytes);

  bool empty() const { return count_ == 0; }
  // The smallest and the largest id; the bitmap must not be empty. (Not
  // known after ParseChecked.)
  DocId minimum() const { return minimum_; }
  DocId maximum() const { return maximum_; }
  uint64_t cardinality() const { return cardinality_; }
  // The bytes the bitmap occupies.
  size_t size() const { return end_; }
  uint32_t container_count() const { return count_; }

  // Calls visit(container) for every container, in key order.
  template <class Visit>
  void ForEachContainer(Visit visit) const;

  // Calls visit(id + offset) for every id, ascending, while it returns true;
  // returns whether every id was visited. The caller makes sure that
  // offset + maximum() fits in 32 bits.
  template <class Visit>
  bool ForEachId(DocId offset, Visit visit) const;

  // Appends every id plus offset, ascending, to *ids (as ForEachId).
  void AppendIds(DocId offset, std::vector<DocId>* ids) const;

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
bool ContainerView::ForEachLow(Visit visit) const {
  switch (kind) {
    case Kind::kRun:
      for (uint32_t j = 0, runs = run_count(); j < runs; ++j) {
        for (uint32_t v = run_start(j), last = run_last(j); v <= last; ++v) {
          if (!visit(v)) return false;
        }
      }
      return true;
    case Kind::kBitmap:
      for (uint32_t w = 0; w < 1024; ++w) {
        for (uint64_t word = bitmap_word(w); word != 0; word &= word - 1) {
          if (!visit(64 * w + static_cast<uint32_t>(std::countr_zero(word)))) return false;
        }
      }
      return true;
    case Kind::kArray:
      for (uint32_t j = 0; j < cardinality; ++j) {
        if (!visit(array_value(j))) return false;
      }
      return true;
  }
  return true;
}

template <class Visit>
void PortableRoaring::ForEachContainer(Visit visit) const {
  const char* p = bytes_.data();
  size_t pos = containers_at_;
  for (uint32_t i = 0; i < count_; ++i) {
    const char* d = p + descriptors_at_ + 4 * size_t{i};
    const uint32_t card = uint32_t{DecodeFixed16(d + 2)} + 1;
    const ContainerView::Kind kind = IsRun(i)                ? ContainerView::Kind::kRun
                                     : card > kMaxArrayIds ? ContainerView::Kind::kBitmap
                                                           : ContainerView::Kind::kArray;
    const ContainerView c{DecodeFixed16(d), kind, card, p + pos};
    pos += c.data_bytes();
    visit(c);
  }
}

template <class Visit>
bool PortableRoaring::ForEachId(DocId offset, Visit visit) const {
  bool all = true;
  ForEachContainer([&](const ContainerView& c) {
    const DocId high = (DocId{c.key} << 16) + offset;
    all = all && c.ForEachLow([&](uint32_t low) { return visit(high + low); });
  });
  return all;
}

}  // namespace halcyra
