// The n-gram index file. All integers little-endian, no padding:
//
//   header      "HYSI"  version u16  gram size u16  key count K u32  stride S u32
//               version 3: keys made with case folding, 16 bytes
//               version 4: keys made without it, 18 bytes: + u16 marker 1
//   block index ceil(K / S) keys u64: the key of dictionary entry b * S
//   dictionary  K entries of 20 bytes, keys strictly ascending (unsigned):
//               key u64  posting offset u64 (absolute)  posting length u32
//   postings    the posting bytes in dictionary order, back to back (whole
//               encoding, roaring/postings.cc)
//
// Every offset is known before the dictionary is written, so the file is
// written in one pass without seeking.
//
// See FORMATS.md (N-gram index) for the reader's side and a worked example.
#include "ngram/ngram_index.h"

#include <algorithm>
#include <utility>

#include "base/coding.h"
#include "base/format_limits.h"
#include "ngram/ngram_index_format.h"
#include "roaring/postings.h"

namespace halcyra {
namespace {

// The dictionary is handed to the sink in pieces of about this size.
constexpr size_t kChunk = 1 << 16;

uint32_t Stride(uint32_t stride) { return stride != 0 ? stride : kDefaultStride; }
size_t HeaderSize(bool fold_case) { return fold_case ? kNgramIndexHeaderSize : kNgramIndexCaseSensitiveHeaderSize; }

// Positions of the entries in ascending key order; empty when the entries
// are in that order already.
std::vector<uint32_t> KeyOrder(const NgramPostings& entries) {
  std::vector<uint32_t> order;
  bool sorted = true;
  for (size_t i = 1; i < entries.size() && sorted; ++i) sorted = entries.key(i - 1) <= entries.key(i);
  if (sorted) return order;
  std::vector<std::pair<NgramKey, uint32_t>> keyed(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) keyed[i] = {entries.key(i), static_cast<uint32_t>(i)};
  std::sort(keyed.begin(), keyed.end());
  order.resize(keyed.size());
  for (size_t i = 0; i < keyed.size(); ++i) order[i] = keyed[i].second;
  return order;
}

Status WriteIndex(NgramPostings& entries, uint16_t gram_size, uint32_t stride, bool fold_case, Sink& sink) {
  if (entries.size() > UINT32_MAX) return Error::Limit("HYS key count exceeds the 32-bit limit");
  const std::vector<uint32_t> order = KeyOrder(entries);
  const auto at = [&](size_t i) -> size_t { return order.empty() ? i : order[i]; };
  const uint64_t k = entries.size();
  for (size_t i = 1; i < k; ++i) {
    if (entries.key(at(i - 1)) == entries.key(at(i))) {
      return Error::Limit("write_index requires distinct n-gram keys");
    }
  }

  const uint32_t s = Stride(stride);
  const uint64_t blocks = (k + s - 1) / s;

  std::string buf;
  buf.reserve(std::max<size_t>(HeaderSize(fold_case) + kNgramBlockKeySize * blocks, kChunk + kNgramDictEntrySize));
  AppendNgramIndexHeader(static_cast<uint32_t>(k), gram_size, stride, fold_case, &buf);
  for (uint64_t b = 0; b < blocks; ++b) PutFixed64(&buf, entries.key(at(b * s)));

  uint64_t offset = NgramIndexFrontSize(k, stride, fold_case);
  for (size_t i = 0; i < k; ++i) {
    const size_t e = at(i);
    const uint64_t length = entries.posting_size(e);
    if (Status fits = CheckSize32(length, "HYS posting"); !fits.ok()) {
      // The partial entry reaches the sink like everything before it.
      PutFixed64(&buf, entries.key(e));
      PutFixed64(&buf, offset);
      HALCYRA_RETURN_IF_ERROR(sink.Append(buf));
      return fits;
    }
    AppendNgramDictEntry(entries.key(e), offset, static_cast<uint32_t>(length), &buf);
    offset += length;
    if (buf.size() >= kChunk) {
      HALCYRA_RETURN_IF_ERROR(sink.Append(buf));
      buf.clear();
    }
  }
  HALCYRA_RETURN_IF_ERROR(sink.Append(buf));

  for (size_t i = 0; i < k; ++i) {
    buf.clear();
    HALCYRA_RETURN_IF_ERROR(entries.TakePosting(at(i), &buf));
    HALCYRA_RETURN_IF_ERROR(sink.Append(buf));
  }
  return Status::Ok();
}

}  // namespace

uint64_t NgramIndexFrontSize(uint64_t key_count, uint32_t stride, bool fold_case) {
  const uint64_t s = Stride(stride);
  return HeaderSize(fold_case) + (key_count + s - 1) / s * kNgramBlockKeySize + key_count * kNgramDictEntrySize;
}

void AppendNgramIndexHeader(uint32_t key_count, uint16_t gram_size, uint32_t stride, bool fold_case,
                            std::string* out) {
  out->append(kNgramIndexMagic);
  PutFixed16(out, fold_case ? kNgramIndexFoldedVersion : kNgramIndexCaseSensitiveVersion);
  PutFixed16(out, gram_size);
  PutFixed32(out, key_count);
  PutFixed32(out, Stride(stride));
  if (!fold_case) PutFixed16(out, kNgramIndexCaseMarker);
}

void AppendNgramDictEntry(NgramKey key, uint64_t offset, uint32_t length, std::string* out) {
  PutFixed64(out, key);
  PutFixed64(out, offset);
  PutFixed32(out, length);
}

std::string& NgramPostings::LastRun() {
  if (runs_.empty()) {
    runs_.emplace_back();
    run_ends_.push_back(0);
  }
  return runs_.back();
}

Status NgramPostings::Add(NgramKey key, const roaring_bitmap_t& posting) {
  std::string& run = LastRun();
  const size_t before = run.size();
  HALCYRA_RETURN_IF_ERROR(AppendPosting(posting, &run));
  run_ends_.back() += run.size() - before;
  keys_.push_back(key);
  ends_.push_back(run_ends_.back());
  return Status::Ok();
}

void NgramPostings::AddEncoded(NgramKey key, std::string_view posting) {
  LastRun().append(posting);
  run_ends_.back() += posting.size();
  keys_.push_back(key);
  ends_.push_back(run_ends_.back());
}

void NgramPostings::AddEncodedRun(std::vector<NgramKey> keys, std::vector<uint64_t> ends, std::string bytes) {
  const uint64_t base = run_ends_.empty() ? 0 : run_ends_.back();
  if (keys_.empty()) {
    keys_ = std::move(keys);
    ends_ = std::move(ends);
    for (uint64_t& end : ends_) end += base;
  } else {
    keys_.insert(keys_.end(), keys.begin(), keys.end());
    for (uint64_t end : ends) ends_.push_back(base + end);
  }
  run_ends_.push_back(base + bytes.size());
  runs_.push_back(std::move(bytes));
}

void NgramPostings::AddBitmap(NgramKey key, Bitmap posting) {
  bitmap_keys_.push_back(key);
  bitmaps_.push_back(std::move(posting));
}

NgramPostings::~NgramPostings() = default;

uint64_t NgramPostings::posting_size(size_t i) const {
  if (i >= keys_.size()) return roaring_bitmap_portable_size_in_bytes(&bitmaps_[i - keys_.size()].roaring());
  return ends_[i] - (i == 0 ? 0 : ends_[i - 1]);
}

Status NgramPostings::TakePosting(size_t i, std::string* out) {
  if (i >= keys_.size()) {
    Bitmap& b = bitmaps_[i - keys_.size()];
    HALCYRA_RETURN_IF_ERROR(AppendPosting(b.roaring(), out));
    b = Bitmap();  // release the posting as soon as it is written
    return Status::Ok();
  }
  const uint64_t start = i == 0 ? 0 : ends_[i - 1];
  // The run holding it: the first that ends past its start.
  const size_t r = static_cast<size_t>(std::upper_bound(run_ends_.begin(), run_ends_.end(), start) - run_ends_.begin());
  const uint64_t run_start = r == 0 ? 0 : run_ends_[r - 1];
  out->append(runs_[r], start - run_start, ends_[i] - start);
  return Status::Ok();
}

Status WriteNgramIndex(NgramPostings entries, uint16_t gram_size, uint32_t stride, bool fold_case, Sink& sink) {
  Status written = WriteIndex(entries, gram_size, stride, fold_case, sink);
  Status closed = sink.Close();
  return written.ok() ? closed : written;
}

}  // namespace halcyra
