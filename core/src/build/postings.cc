#include "halcyra/postings.h"

#include <algorithm>
#include <cassert>
#include <memory>

#include "halcyra/coding.h"

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

Bitmap::Bitmap() : r_(roaring_bitmap_create()) {}

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

Result<std::string> encode_posting(const roaring_bitmap_t& posting) { return Serialize(posting, "posting"); }

Status AppendPosting(const roaring_bitmap_t& posting, std::string* out) {
  return SerializeInto(posting, "posting", out);
}

void AppendSortedPosting(std::span<const DocId> ids, std::string* out) {
  assert(ids.size() <= kMaxArrayPosting);
  assert(std::is_sorted(ids.begin(), ids.end()));
  // Portable layout without run containers: cookie 12346, container count,
  // (key u16, cardinality - 1 u16) per container, then the byte offset of
  // each container's data, then the data: an array container holds its low
  // 16-bit values ascending.
  uint32_t containers = 0;
  for (size_t i = 0; i < ids.size(); ++i) containers += i == 0 || (ids[i] >> 16) != (ids[i - 1] >> 16);
  PutFixed32(out, 12346);
  PutFixed32(out, containers);
  for (size_t i = 0; i < ids.size();) {
    size_t j = i;
    while (j < ids.size() && (ids[j] >> 16) == (ids[i] >> 16)) ++j;
    PutFixed16(out, static_cast<uint16_t>(ids[i] >> 16));
    PutFixed16(out, static_cast<uint16_t>(j - i - 1));
    i = j;
  }
  uint32_t offset = 8 + 8 * containers;
  for (size_t i = 0; i < ids.size();) {
    size_t j = i;
    while (j < ids.size() && (ids[j] >> 16) == (ids[i] >> 16)) ++j;
    PutFixed32(out, offset);
    offset += static_cast<uint32_t>(2 * (j - i));
    i = j;
  }
  for (DocId id : ids) PutFixed16(out, static_cast<uint16_t>(id));
}

Result<HeadTail> encode_head_tail(const roaring_bitmap_t& posting, uint32_t head_boundary) {
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
  RoaringPtr head(roaring_bitmap_create());
  const roaring_array_t& containers = posting.high_low_container;
  for (int32_t i = 0; i < containers.size && containers.keys[i] <= c; ++i) {
    const uint32_t lo = static_cast<uint32_t>(containers.keys[i]) << 16;
    roaring_bitmap_add_range_closed(head.get(), lo, containers.keys[i] == c ? h - 1 : lo | 0xFFFF);
  }
  roaring_bitmap_and_inplace(head.get(), &posting);

  // The tail drops whole container ranges from a copy; emptied containers go.
  RoaringPtr tail(roaring_bitmap_copy(&posting));
  roaring_bitmap_remove_range_closed(tail.get(), 0, h - 1);

  return SerializeBoth(*head, *tail);
}

}  // namespace halcyra
