#include "halcyra/postings.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <memory>

#include "halcyra/coding.h"

namespace halcyra {
namespace {

constexpr uint32_t kBitmapContainerBytes = 8192;

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
  assert(std::is_sorted(ids.begin(), ids.end()));
  // Portable layout without run containers: cookie 12346, container count,
  // (key u16, cardinality - 1 u16) per container, then the byte offset of
  // each container's data, then the data: an array container holds its low
  // 16-bit values ascending, a bitmap container (more than 4096 values) 1024
  // little-endian u64 words, value v being bit v % 64 of word v / 64. The
  // size is found first, so that the encoding is written in place.
  const auto container_end = [&ids](size_t i) {
    size_t j = i + 1;
    while (j < ids.size() && (ids[j] >> 16) == (ids[i] >> 16)) ++j;
    return j;
  };
  const auto data_bytes = [](size_t n) { return n > kMaxArrayPosting ? kBitmapContainerBytes : 2 * n; };
  size_t containers = 0, size = 8;
  for (size_t i = 0, j; i < ids.size(); i = j) {
    j = container_end(i);
    ++containers;
    size += 8 + data_bytes(j - i);
  }
  const size_t start = out->size();
  out->resize(start + size);
  char* p = out->data() + start;
  const auto put16 = [&p](uint32_t v) {
    p[0] = static_cast<char>(v);
    p[1] = static_cast<char>(v >> 8);
    p += 2;
  };
  const auto put32 = [&put16](uint32_t v) {
    put16(v & 0xFFFF);
    put16(v >> 16);
  };
  put32(12346);
  put32(static_cast<uint32_t>(containers));
  for (size_t i = 0, j; i < ids.size(); i = j) {
    j = container_end(i);
    put16(ids[i] >> 16);
    put16(static_cast<uint32_t>(j - i - 1));
  }
  uint32_t offset = static_cast<uint32_t>(8 + 8 * containers);
  for (size_t i = 0, j; i < ids.size(); i = j) {
    j = container_end(i);
    put32(offset);
    offset += static_cast<uint32_t>(data_bytes(j - i));
  }
  for (size_t i = 0, j; i < ids.size(); i = j) {
    j = container_end(i);
    if (j - i > kMaxArrayPosting) {
      std::memset(p, 0, kBitmapContainerBytes);
      for (size_t k = i; k < j; ++k) {
        const uint32_t v = ids[k] & 0xFFFF;
        p[v / 8] = static_cast<char>(p[v / 8] | 1 << (v % 8));  // the words' bytes, least significant first
      }
      p += kBitmapContainerBytes;
    } else {
      for (size_t k = i; k < j; ++k) put16(ids[k] & 0xFFFF);
    }
  }
  assert(p == out->data() + out->size());
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
