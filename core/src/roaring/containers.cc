#include "roaring/containers.h"

#include <cstring>

#include <algorithm>
#include <bit>
#include <cassert>

#include "base/coding.h"

namespace halcyra {
namespace {

// Fewer values than this are never worth sorting early.
constexpr size_t kMinSortBatch = 64;

// Word i of the bits of c moved by delta bits (target bit t holds source bit
// t + delta; bits from outside the container are 0).
uint64_t MovedWord(const ContainerView& c, uint32_t i, int64_t delta) {
  const int64_t first = 64 * int64_t{i} + delta;  // source bit of the word's bit 0
  const int64_t w = first >= 0 ? first / 64 : (first - 63) / 64;
  const int64_t b = first - 64 * w;
  const auto word = [&c](int64_t k) { return k >= 0 && k < LowSet::kWords ? c.bitmap_word(static_cast<uint32_t>(k)) : 0; };
  return b == 0 ? word(w) : word(w) >> b | word(w + 1) << (64 - b);
}

}  // namespace

bool ContainerContains(const ContainerView& c, uint32_t low) {
  switch (c.kind) {
    case ContainerView::Kind::kBitmap:
      return (c.bitmap_word(low / 64) >> (low % 64) & 1) != 0;
    case ContainerView::Kind::kArray: {
      uint32_t lo = 0, hi = c.cardinality;  // the first value >= low is in [lo, hi]
      while (lo < hi) {
        const uint32_t mid = lo + (hi - lo) / 2;
        if (c.array_value(mid) < low) lo = mid + 1; else hi = mid;
      }
      return lo < c.cardinality && c.array_value(lo) == low;
    }
    case ContainerView::Kind::kRun: {
      uint32_t lo = 0, hi = c.run_count();  // the first run ending at or after low
      while (lo < hi) {
        const uint32_t mid = lo + (hi - lo) / 2;
        if (c.run_last(mid) < low) lo = mid + 1; else hi = mid;
      }
      return lo < c.run_count() && c.run_start(lo) <= low;
    }
  }
  return false;
}

void LowSet::Clear() {
  values_.clear();
  sorted_ = 0;
  dense_ = false;
}

void LowSet::Densify() {
  if (dense_) return;
  words_.assign(kWords, 0);
  for (uint16_t v : values_) words_[v / 64] |= uint64_t{1} << (v % 64);
  values_.clear();
  sorted_ = 0;
  dense_ = true;
  count_stale_ = true;
}

void LowSet::Normalize() {
  if (dense_ || sorted_ == values_.size()) return;
  std::sort(values_.begin(), values_.end());
  values_.erase(std::unique(values_.begin(), values_.end()), values_.end());
  sorted_ = values_.size();
  if (values_.size() > kMaxArrayIds) Densify();
}

void LowSet::Add(uint32_t low) {
  if (dense_) {
    words_[low / 64] |= uint64_t{1} << (low % 64);
    count_stale_ = true;
    return;
  }
  values_.push_back(static_cast<uint16_t>(low));
  if (values_.size() - sorted_ > std::max(sorted_, kMinSortBatch)) Normalize();
}

void LowSet::SetRange(uint32_t first, uint32_t last) {
  for (uint32_t w = first / 64; w <= last / 64; ++w) {
    const uint32_t lo = std::max(first, 64 * w) % 64, hi = std::min(last, 64 * w + 63) % 64;
    words_[w] |= (~uint64_t{0} >> (63 - hi)) & (~uint64_t{0} << lo);
  }
}

void LowSet::ClearRange(uint32_t first, uint32_t last) {
  for (uint32_t w = first / 64; w <= last / 64; ++w) {
    const uint32_t lo = std::max(first, 64 * w) % 64, hi = std::min(last, 64 * w + 63) % 64;
    words_[w] &= ~((~uint64_t{0} >> (63 - hi)) & (~uint64_t{0} << lo));
  }
}

void LowSet::AddShifted(const ContainerView& c, uint32_t shift, bool upper) {
  // The values of c that land here are [from, to] in c, moved by move.
  const uint32_t from = upper ? 65536 - shift : 0;
  const uint32_t to = upper ? 65535 : 65535 - shift;
  if (upper && shift == 0) return;
  const int64_t move = upper ? int64_t{shift} - 65536 : int64_t{shift};
  if (c.kind == ContainerView::Kind::kArray) {
    for (uint32_t j = 0; j < c.cardinality; ++j) {
      const uint32_t v = c.array_value(j);
      if (v >= from && v <= to) Add(static_cast<uint32_t>(v + move));
    }
    return;
  }
  Densify();
  count_stale_ = true;
  switch (c.kind) {
    case ContainerView::Kind::kArray:
      return;
    case ContainerView::Kind::kRun:
      for (uint32_t j = 0, runs = c.run_count(); j < runs; ++j) {
        const uint32_t first = std::max(c.run_start(j), from), last = std::min(c.run_last(j), to);
        if (first <= last) SetRange(static_cast<uint32_t>(first + move), static_cast<uint32_t>(last + move));
      }
      return;
    case ContainerView::Kind::kBitmap:
      for (uint32_t i = 0; i < kWords; ++i) words_[i] |= MovedWord(c, i, -move);
      return;
  }
}

void LowSet::AddAll(LowSet& other) {
  other.Normalize();
  if (!other.dense_) {
    for (uint16_t v : other.values_) Add(v);
    return;
  }
  Densify();
  count_stale_ = true;
  for (uint32_t i = 0; i < kWords; ++i) words_[i] |= other.words_[i];
}

void LowSet::RemoveAll(LowSet& other) {
  other.Normalize();
  Normalize();
  if (dense_) {
    count_stale_ = true;
    if (other.dense_) {
      for (uint32_t i = 0; i < kWords; ++i) words_[i] &= ~other.words_[i];
    } else {
      for (uint16_t v : other.values_) words_[v / 64] &= ~(uint64_t{1} << (v % 64));
    }
    return;
  }
  std::erase_if(values_, [&other](uint16_t v) { return other.Contains(v); });
  sorted_ = values_.size();
}

void LowSet::Remove(const ContainerView& c) {
  Normalize();
  if (!dense_) {
    std::erase_if(values_, [&c](uint16_t v) { return ContainerContains(c, v); });
    sorted_ = values_.size();
    return;
  }
  count_stale_ = true;
  switch (c.kind) {
    case ContainerView::Kind::kArray:
      for (uint32_t j = 0; j < c.cardinality; ++j) {
        const uint32_t v = c.array_value(j);
        words_[v / 64] &= ~(uint64_t{1} << (v % 64));
      }
      return;
    case ContainerView::Kind::kRun:
      for (uint32_t j = 0, runs = c.run_count(); j < runs; ++j) ClearRange(c.run_start(j), c.run_last(j));
      return;
    case ContainerView::Kind::kBitmap:
      for (uint32_t i = 0; i < kWords; ++i) words_[i] &= ~c.bitmap_word(i);
      return;
  }
}

bool LowSet::Contains(uint32_t low) {
  Normalize();
  if (dense_) return (words_[low / 64] >> (low % 64) & 1) != 0;
  return std::binary_search(values_.begin(), values_.end(), static_cast<uint16_t>(low));
}

uint32_t LowSet::cardinality() {
  Normalize();
  if (!dense_) return static_cast<uint32_t>(values_.size());
  if (count_stale_) {
    count_ = 0;
    for (uint64_t w : words_) count_ += static_cast<uint32_t>(std::popcount(w));
    count_stale_ = false;
  }
  return count_;
}

uint32_t LowSet::minimum() {
  Normalize();
  if (!dense_) return values_.front();
  uint32_t w = 0;
  while (words_[w] == 0) ++w;
  return 64 * w + static_cast<uint32_t>(std::countr_zero(words_[w]));
}

uint32_t LowSet::maximum() {
  Normalize();
  if (!dense_) return values_.back();
  uint32_t w = kWords - 1;
  while (words_[w] == 0) --w;
  return 64 * w + 63 - static_cast<uint32_t>(std::countl_zero(words_[w]));
}

void LowSet::AppendData(std::string* out) {
  if (cardinality() > kMaxArrayIds) {
    for (uint64_t w : words_) PutFixed64(out, w);
    return;
  }
  ForEach([out](uint32_t v) { PutFixed16(out, static_cast<uint16_t>(v)); });
}

void ContainerWriter::Clear() {
  entries_.clear();
  data_.clear();
  runs_ = false;
}

void ContainerWriter::Add(uint16_t key, ContainerView::Kind kind, uint32_t cardinality, std::string_view data) {
  assert(entries_.empty() || entries_.back().key < key);
  data_.append(data);
  runs_ = runs_ || kind == ContainerView::Kind::kRun;
  entries_.push_back({key, kind == ContainerView::Kind::kRun, cardinality, data_.size()});
}

void ContainerWriter::Add(uint16_t key, LowSet& set) {
  const uint32_t cardinality = set.cardinality();
  if (cardinality == 0) return;
  assert(entries_.empty() || entries_.back().key < key);
  set.AppendData(&data_);
  entries_.push_back({key, false, cardinality, data_.size()});
}

size_t ContainerWriter::HeaderBytes() const {
  const size_t n = entries_.size();
  if (!runs_) return kBitmapHeaderBytes + kPerContainerBytes * n;
  // The cookie holding the count, the run flags, the descriptors, and the
  // offsets only from kRunOffsetThreshold containers on.
  return 4 + (n + 7) / 8 + 4 * n + (n >= kRunOffsetThreshold ? 4 * n : 0);
}

size_t ContainerWriter::size() const { return HeaderBytes() + data_.size(); }

char* ContainerWriter::Put(char* out) const {
  const size_t n = entries_.size();
  const size_t header = HeaderBytes();
  char* p = out;
  if (runs_) {
    EncodeFixed32(&p, kCookieRuns | static_cast<uint32_t>(n - 1) << 16);
    std::memset(p, 0, (n + 7) / 8);
    for (size_t i = 0; i < n; ++i) {
      if (entries_[i].run) p[i / 8] = static_cast<char>(p[i / 8] | 1 << (i % 8));
    }
    p += (n + 7) / 8;
  } else {
    EncodeFixed32(&p, kCookieNoRuns);
    EncodeFixed32(&p, static_cast<uint32_t>(n));
  }
  for (const Entry& e : entries_) {
    EncodeFixed16(&p, e.key);
    EncodeFixed16(&p, e.cardinality - 1);
  }
  if (!runs_ || n >= kRunOffsetThreshold) {
    size_t start = 0;
    for (const Entry& e : entries_) {
      EncodeFixed32(&p, static_cast<uint32_t>(header + start));
      start = e.end;
    }
  }
  std::memcpy(p, data_.data(), data_.size());
  return p + data_.size();
}

void ContainerWriter::AppendTo(std::string* out) const {
  const size_t at = out->size();
  out->resize(at + size());
  [[maybe_unused]] char* end = Put(out->data() + at);
  assert(end == out->data() + out->size());
}

}  // namespace halcyra
