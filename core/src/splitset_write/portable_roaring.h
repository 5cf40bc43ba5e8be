// A checked reader of the portable Roaring serialization, for bitmaps that
// come from outside the process (split postings and tombstone records given
// back to the writer). The Roaring library checks only that it stays inside
// the buffer; a bitmap whose containers break the format's invariants would
// later misbehave in its set operations. So every invariant is checked here
// first:
//
//   cookie u32      12346: no run containers; container count n u32 follows
//                   12347 in the low 16 bits: n - 1 in the high 16 bits, then
//                   a run flag per container, ceil(n / 8) bytes
//   descriptors     n x (key u16, cardinality - 1 u16), keys strictly ascending
//   offsets         n x u32, present with cookie 12346 or when n >= 4; not
//                   needed for reading in order, so only skipped
//   containers      in key order, each one of:
//                   run     run count r u16, r x (start u16, length - 1 u16),
//                           ordered and non-overlapping, inside the container,
//                           covering exactly the cardinality
//                   bitmap  cardinality > 4096: 1024 x u64, popcount =
//                           cardinality
//                   array   cardinality x u16, strictly ascending
//
// Bytes after the last container are not part of the bitmap.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "halcyra/postings.h"
#include "halcyra/status.h"

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

  // Appends every id plus offset, ascending, to *ids. The caller makes sure
  // that offset + maximum() fits in 32 bits.
  void AppendIds(DocId offset, std::vector<DocId>* ids) const;

  // The bitmap as a Roaring bitmap.
  Bitmap ToBitmap() const;

 private:
  PortableRoaring() = default;
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

}  // namespace halcyra
