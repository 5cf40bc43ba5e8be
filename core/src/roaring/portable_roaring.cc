#include "roaring/portable_roaring.h"

#include <bit>
#include <cassert>
#include <string>

#include "base/coding.h"
#include "base/core_error.h"
#include "roaring/posting_format.h"

namespace halcyra {
namespace {

constexpr uint32_t kMaxContainers = 65536;

Error Corrupt(std::string what) { return CoreError::RoaringDeserialize(std::move(what)).ToError(); }

}  // namespace

Status PortableRoaring::ReadHeader(std::string_view bytes) {
  bytes_ = bytes;
  const char* p = bytes.data();
  const size_t n = bytes.size();
  if (n < 4) return Corrupt("bitmap shorter than its cookie");
  const uint32_t cookie = DecodeFixed32(p);
  size_t pos = 4;
  if ((cookie & 0xFFFF) == kCookieRuns) {
    count_ = (cookie >> 16) + 1;
    const size_t flag_bytes = (count_ + 7) / 8;
    if (n - pos < flag_bytes) return Corrupt("bitmap truncated in its run flags");
    run_flags_ = p + pos;
    pos += flag_bytes;
  } else if (cookie == kCookieNoRuns) {
    if (n - pos < 4) return Corrupt("bitmap truncated in its container count");
    count_ = DecodeFixed32(p + pos);
    pos += 4;
    if (count_ > kMaxContainers) return Corrupt("bitmap claims more than 65536 containers");
  } else {
    return Corrupt("unknown bitmap cookie " + std::to_string(cookie));
  }
  const uint64_t c = count_;
  if (n - pos < 4 * c) return Corrupt("bitmap truncated in its container descriptors");
  descriptors_at_ = pos;
  pos += 4 * c;
  if (run_flags_ == nullptr || c >= kRunOffsetThreshold) {
    if (n - pos < 4 * c) return Corrupt("bitmap truncated in its container offsets");
    pos += 4 * c;
  }
  containers_at_ = pos;
  return Status::Ok();
}

PortableRoaring PortableRoaring::ParseChecked(std::string_view bytes) {
  PortableRoaring r;
  [[maybe_unused]] Status s = r.ReadHeader(bytes);
  assert(s.ok());
  for (uint32_t i = 0; i < r.count_; ++i) {
    r.cardinality_ += uint32_t{DecodeFixed16(bytes.data() + r.descriptors_at_ + 4 * size_t{i} + 2)} + 1;
  }
  return r;
}

Result<PortableRoaring> PortableRoaring::Parse(std::string_view bytes) {
  PortableRoaring r;
  HALCYRA_RETURN_IF_ERROR(r.ReadHeader(bytes));
  const char* p = bytes.data();
  const size_t n = bytes.size();
  size_t pos = r.containers_at_;
  for (uint32_t i = 0; i < r.count_; ++i) {
    const char* d = p + r.descriptors_at_ + 4 * size_t{i};
    const uint16_t key = DecodeFixed16(d);
    const uint32_t card = uint32_t{DecodeFixed16(d + 2)} + 1;
    if (i > 0 && key <= DecodeFixed16(d - 4)) return Corrupt("container keys not strictly ascending");
    uint32_t low_low = 0;   // the container's smallest low 16 bits
    uint32_t high_low = 0;  // and its largest
    if (r.IsRun(i)) {
      if (n - pos < 2) return Corrupt("run container truncated");
      const uint32_t runs = DecodeFixed16(p + pos);
      pos += 2;
      if (n - pos < 4 * size_t{runs}) return Corrupt("run container truncated");
      uint32_t covered = 0;
      for (uint32_t j = 0; j < runs; ++j) {
        const uint32_t start = DecodeFixed16(p + pos + 4 * j);
        const uint32_t last = start + DecodeFixed16(p + pos + 4 * j + 2);
        if (last > 0xFFFF) return Corrupt("run passes the end of its container");
        if (j > 0 && start <= high_low) return Corrupt("runs overlap or are out of order");
        if (j == 0) low_low = start;
        covered += last - start + 1;
        high_low = last;
      }
      if (runs == 0 || covered != card) return Corrupt("run container cardinality does not match its runs");
      pos += 4 * size_t{runs};
    } else if (card > kMaxArrayIds) {
      if (n - pos < kBitmapContainerBytes) return Corrupt("bitmap container truncated");
      uint32_t ones = 0;
      for (size_t w = 0; w < kBitmapContainerBytes; w += 8) {
        const uint64_t word = DecodeFixed64(p + pos + w);
        if (word == 0) continue;
        if (ones == 0) low_low = static_cast<uint32_t>(w * 8 + std::countr_zero(word));
        ones += static_cast<uint32_t>(std::popcount(word));
        high_low = static_cast<uint32_t>(w * 8 + 63 - std::countl_zero(word));
      }
      if (ones != card) return Corrupt("bitmap container cardinality does not match its set bits");
      pos += kBitmapContainerBytes;
    } else {
      if (n - pos < 2 * size_t{card}) return Corrupt("array container truncated");
      uint32_t previous = DecodeFixed16(p + pos);
      low_low = previous;
      for (uint32_t j = 1; j < card; ++j) {
        const uint32_t v = DecodeFixed16(p + pos + 2 * j);
        if (v <= previous) return Corrupt("array container not strictly ascending");
        previous = v;
      }
      high_low = previous;
      pos += 2 * size_t{card};
    }
    if (i == 0) r.minimum_ = uint32_t{key} << 16 | low_low;
    r.cardinality_ += card;
    r.maximum_ = uint32_t{key} << 16 | high_low;
  }
  r.end_ = pos;
  return r;
}

void PortableRoaring::AppendIds(DocId offset, std::vector<DocId>* ids) const {
  size_t at = ids->size();
  ids->resize(at + cardinality_);
  DocId* out = ids->data();
  ForEachId(offset, [out, &at](DocId id) {
    out[at++] = id;
    return true;
  });
  assert(at == ids->size());
}

}  // namespace halcyra
