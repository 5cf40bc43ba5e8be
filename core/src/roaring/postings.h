// roaring/: Roaring postings: encodings, a checked portable reader, a batched bitmap filler.
//
// Postings: the set of documents filed under one key, held as a Roaring
// bitmap. Its two encodings, whole and head/tail, are laid out at the top of
// postings.cc; each file format uses exactly one.
#pragma once

#include <roaring/roaring.h>

#include <cstdint>
#include <new>
#include <span>
#include <string>
#include <utility>

#include "halcyra/status.h"
#include "halcyra/types.h"

namespace halcyra {
// A bitmap the Roaring library returns, which is null when it could not
// allocate one: lack of memory is std::bad_alloc here, as for any allocation.
inline roaring_bitmap_t* Checked(roaring_bitmap_t* r) {
  if (r == nullptr) throw std::bad_alloc();
  return r;
}

// An owned Roaring bitmap of DocIds. Move-only; a moved-from Bitmap may only
// be destroyed or assigned to.
class Bitmap {
 public:
  Bitmap();
  explicit Bitmap(roaring_bitmap_t* owned) : r_(owned) {}  // takes ownership
  ~Bitmap();
  Bitmap(Bitmap&& other) noexcept : r_(std::exchange(other.r_, nullptr)) {}
  Bitmap& operator=(Bitmap&& other) noexcept;
  Bitmap(const Bitmap&) = delete;
  Bitmap& operator=(const Bitmap&) = delete;

  void Add(DocId id) { roaring_bitmap_add(r_, id); }
  uint64_t Cardinality() const { return roaring_bitmap_get_cardinality(r_); }
  bool empty() const { return roaring_bitmap_is_empty(r_); }

  const roaring_bitmap_t& roaring() const { return *r_; }
  roaring_bitmap_t* mutable_roaring() { return r_; }
  // Hands the bitmap over to the caller, who frees it; *this is then moved-from.
  roaring_bitmap_t* release() { return std::exchange(r_, nullptr); }

 private:
  roaring_bitmap_t* r_;
};

// The whole encoding. Fails only on an impossible serialization error
// (Error::Internal "serialize posting bitmap").
Result<std::string> EncodePosting(const roaring_bitmap_t& posting);

// The whole encoding appended to *out, which grows by exactly its size; for
// writers that keep many postings back to back in one buffer.
Status AppendPosting(const roaring_bitmap_t& posting, std::string* out);

// The whole encoding of the sorted, distinct ids appended to *out: byte for
// byte what AppendPosting gives for a bitmap built by inserting those ids,
// without building one, which matters when millions of keys have a document
// or two each.
void AppendSortedPosting(std::span<const DocId> ids, std::string* out);

// The same encoding in two steps, for writers that place it themselves: its
// size, and the encoding written at out, which has room for that many bytes
// (returns the end of what was written).
size_t SortedPostingSize(std::span<const DocId> ids);
char* PutSortedPosting(std::span<const DocId> ids, char* out);

struct HeadTail {
  std::string head;  // ids below the boundary
  std::string tail;  // ids at or above it
};

// The head/tail encoding at head_boundary (any value, 0 included: then the
// head is empty and the tail equals the whole encoding). The posting is left
// unchanged.
Result<HeadTail> EncodeHeadTail(const roaring_bitmap_t& posting, uint32_t head_boundary);

}  // namespace halcyra
