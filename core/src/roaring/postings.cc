// Posting encodings. A posting is stored in the portable Roaring
// serialization, never run-optimised first, so postings built by insertion
// start with cookie 12346. Each file format uses exactly one encoding:
//
//   whole      one serialized bitmap
//   head/tail  the ids below a head boundary H, then the ids at or above it,
//              serialized separately; an empty half is the 8-byte empty bitmap
//              3A 30 00 00 00 00 00 00, never zero bytes
//
// The portable serialization, all integers little-endian (constants in
// posting_format.h):
//
//   cookie       u32 12346, then container count n u32 (no run containers);
//                or u32 with 12347 in its low 16 bits and n - 1 in its high
//                16, then a run flag per container, ceil(n / 8) bytes (no
//                posting has it; PortableRoaring reads it, and compaction
//                carries a tombstone record's run containers over)
//   descriptors  n x (key u16, cardinality - 1 u16), keys strictly ascending;
//                a container holds the ids whose high 16 bits are its key
//   offsets      n x u32, where each container starts, counted from the
//                bitmap's first byte; present with cookie 12346 or when n >= 4
//   containers   in key order, each one of:
//                array   cardinality <= 4096: the ids' low 16 bits, u16 each,
//                        strictly ascending
//                bitmap  cardinality > 4096: 1024 u64 words, low bits v being
//                        bit v % 64 of word v / 64
//                run     (flagged containers only) run count r u16, then r x
//                        (start u16, length - 1 u16), ascending
//
// See FORMATS.md (Postings) for the reader's side and worked examples.
#include "roaring/postings.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <memory>

#include "base/coding.h"
#include "roaring/posting_format.h"

namespace halcyra {
namespace {

struct RoaringDeleter {
  void operator()(roaring_bitmap_t* r) const { roaring_bitmap_free(r); }
};
using RoaringPtr = std::unique_ptr<roaring_bitmap_t, RoaringDeleter>;

// A zero-initialised roaring_bitmap_t is a valid empty bitmap that owns no
// memory.
const roaring_bitmap_t kEmptyBitmap{};

// Appends the serialization of r, growing *out by exactly its size.
Status SerializeInto(const roaring_bitmap_t& r, const char* what, std::string* out) {
  const size_t start = out->size();
  const size_t size = roaring_bitmap_portable_size_in_bytes(&r);
  out->resize(start + size);
  if (roaring_bitmap_portable_serialize(&r, out->data() + start) != size) {
    out->resize(start);
    return Error::Internal(std::string("serialize ") + what + " bitmap");
  }
  return Status::Ok();
}

// Serializes into a string allocated once with the exact final size.
Result<std::string> Serialize(const roaring_bitmap_t& r, const char* what) {
  std::string out;
  out.reserve(roaring_bitmap_portable_size_in_bytes(&r));
  HALCYRA_RETURN_IF_ERROR(SerializeInto(r, what, &out));
  return out;
}

Result<HeadTail> SerializeBoth(const roaring_bitmap_t& head, const roaring_bitmap_t& tail) {
  Result<std::string> h = Serialize(head, "head");
  if (!h.ok()) return h.take_error();
  Result<std::string> t = Serialize(tail, "tail");
  if (!t.ok()) return t.take_error();
  return HeadTail{std::move(*h), std::move(*t)};
}

}  // namespace

Bitmap::Bitmap() : r_(Checked(roaring_bitmap_create())) {}

Bitmap::~Bitmap() {
  if (r_ != nullptr) roaring_bitmap_free(r_);
}

Bitmap& Bitmap::operator=(Bitmap&& other) noexcept {
  if (this != &other) {
    if (r_ != nullptr) roaring_bitmap_free(r_);
    r_ = std::exchange(other.r_, nullptr);
  }
  return *this;
}

Result<std::string> EncodePosting(const roaring_bitmap_t& posting) { return Serialize(posting, "posting"); }

Status AppendPosting(const roaring_bitmap_t& posting, std::string* out) {
  return SerializeInto(posting, "posting", out);
}

// The portable layout without run containers, written directly.
namespace {

// The end of the container that starts at ids[i]: a binary search, since a
// container may hold up to 65536 ids.
size_t ContainerEnd(std::span<const DocId> ids, size_t i) {
  const DocId high = ids[i] >> 16;
  return std::partition_point(ids.begin() + i + 1, ids.end(), [high](DocId id) { return id >> 16 == high; }) -
         ids.begin();
}

size_t ContainerDataBytes(size_t n) { return n > kMaxArrayIds ? kBitmapContainerBytes : kArrayIdBytes * n; }

}  // namespace

size_t SortedPostingSize(std::span<const DocId> ids) {
  assert(std::is_sorted(ids.begin(), ids.end()));
  size_t size = kBitmapHeaderBytes;
  for (size_t i = 0, j; i < ids.size(); i = j) {
    j = ContainerEnd(ids, i);
    size += kPerContainerBytes + ContainerDataBytes(j - i);
  }
  return size;
}

char* PutSortedPosting(std::span<const DocId> ids, char* out) {
  assert(std::is_sorted(ids.begin(), ids.end()));
  size_t containers = 0;
  for (size_t i = 0; i < ids.size(); i = ContainerEnd(ids, i)) ++containers;
  char* descriptor = out;
  EncodeFixed32(&descriptor, kCookieNoRuns);
  EncodeFixed32(&descriptor, static_cast<uint32_t>(containers));
  // Descriptors, offsets and data are written side by side, one container
  // at a time.
  char* offset = descriptor + 4 * containers;
  char* data = offset + 4 * containers;
  for (size_t i = 0, j; i < ids.size(); i = j) {
    j = ContainerEnd(ids, i);
    EncodeFixed16(&descriptor, ids[i] >> 16);
    EncodeFixed16(&descriptor, static_cast<uint32_t>(j - i - 1));
    EncodeFixed32(&offset, static_cast<uint32_t>(data - out));
    if (j - i > kMaxArrayIds) {
      std::memset(data, 0, kBitmapContainerBytes);
      for (size_t k = i; k < j; ++k) {
        const uint32_t v = ids[k] & 0xFFFF;
        data[v / 8] = static_cast<char>(data[v / 8] | 1 << (v % 8));  // the words' bytes, least significant first
      }
      data += kBitmapContainerBytes;
    } else {
      for (size_t k = i; k < j; ++k) EncodeFixed16(&data, ids[k] & 0xFFFF);
    }
  }
  return data;
}

void AppendSortedPosting(std::span<const DocId> ids, std::string* out) {
  const size_t start = out->size();
  const size_t size = SortedPostingSize(ids);
  out->resize(start + size);
  [[maybe_unused]] char* end = PutSortedPosting(ids, out->data() + start);
  assert(end == out->data() + out->size());
}

Result<HeadTail> EncodeHeadTail(const roaring_bitmap_t& posting, uint32_t head_boundary) {
  const uint32_t h = head_boundary;
  // A posting entirely on one side of the boundary is serialized as it is.
  if (roaring_bitmap_is_empty(&posting) || h == 0 || roaring_bitmap_minimum(&posting) >= h) {
    return SerializeBoth(kEmptyBitmap, posting);
  }
  if (roaring_bitmap_maximum(&posting) < h) return SerializeBoth(posting, kEmptyBitmap);

  // Container c holds H - 1. The mask covers [0, H) within the posting's own
  // containers: every container below c in full, container c up to H - 1.
  // Intersecting it with the posting yields the head; both steps cost one
  // operation per container, not per id.
  const uint16_t c = static_cast<uint16_t>((h - 1) >> 16);
  RoaringPtr head(Checked(roaring_bitmap_create()));
  const roaring_array_t& containers = posting.high_low_container;
  for (int32_t i = 0; i < containers.size && containers.keys[i] <= c; ++i) {
    const uint32_t lo = static_cast<uint32_t>(containers.keys[i]) << 16;
    roaring_bitmap_add_range_closed(head.get(), lo, containers.keys[i] == c ? h - 1 : lo | 0xFFFF);
  }
  roaring_bitmap_and_inplace(head.get(), &posting);

  // The tail drops whole container ranges from a copy; emptied containers go.
  RoaringPtr tail(Checked(roaring_bitmap_copy(&posting)));
  roaring_bitmap_remove_range_closed(tail.get(), 0, h - 1);

  return SerializeBoth(*head, *tail);
}

}  // namespace halcyra
