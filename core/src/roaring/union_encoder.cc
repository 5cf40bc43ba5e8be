#include "roaring/union_encoder.h"

#include <roaring/containers/array.h>
#include <roaring/containers/bitset.h>
#include <roaring/containers/containers.h>

#include <algorithm>
#include <bit>
#include <cassert>
#include <string_view>

#include "roaring/posting_format.h"

namespace halcyra {

// Container data is written as it lies in memory: u16 values and u64 words,
// little-endian as the format wants them.
static_assert(std::endian::native == std::endian::little);

namespace {

// The first of [p, end) not below v, given *p < v: steps of doubling
// length, then a binary search in the last.
const uint16_t* Gallop(const uint16_t* p, const uint16_t* end, uint16_t v) {
  size_t step = 1;
  while (step < static_cast<size_t>(end - p) && p[step] < v) {
    p += step;
    step *= 2;
  }
  return std::lower_bound(p, p + std::min(step, static_cast<size_t>(end - p)), v);
}

// The union of sorted distinct a and b into out, sorted and distinct. The
// postings of two threads interleave in long runs (each filed a slice of
// consecutive documents), so each run is found by galloping and copied
// whole.
void Unite(std::span<const uint16_t> a, std::span<const uint16_t> b, std::vector<uint16_t>* out) {
  out->resize(a.size() + b.size());
  const uint16_t *p = a.data(), *pe = p + a.size(), *q = b.data(), *qe = q + b.size();
  uint16_t* o = out->data();
  while (p < pe && q < qe) {
    if (*p < *q) {
      const uint16_t* stop = Gallop(p, pe, *q);
      o = std::copy(p, stop, o);
      p = stop;
    } else if (*q < *p) {
      const uint16_t* stop = Gallop(q, qe, *p);
      o = std::copy(q, stop, o);
      q = stop;
    } else {
      *o++ = *p++;
      ++q;
    }
  }
  o = std::copy(p, pe, o);
  o = std::copy(q, qe, o);
  out->resize(static_cast<size_t>(o - out->data()));
}

}  // namespace

bool UnionEncoder::AppendHeadTail(std::span<const roaring_bitmap_t* const> postings, uint32_t head_boundary,
                                  std::string* out, size_t* head_size) {
  for (const roaring_bitmap_t* p : postings) {
    const roaring_array_t& ra = p->high_low_container;
    for (int32_t i = 0; i < ra.size; ++i) {
      if (ra.typecodes[i] != ARRAY_CONTAINER_TYPE_CODE && ra.typecodes[i] != BITSET_CONTAINER_TYPE_CODE) return false;
    }
  }
  head_.Clear();
  tail_.Clear();
  // Ids below the boundary are those of the containers below split_key, and
  // the values below split_low of container split_key.
  const uint32_t split_key = head_boundary >> 16, split_low = head_boundary & 0xFFFF;
  at_.assign(postings.size(), 0);
  while (true) {
    uint32_t least = UINT32_MAX;
    for (size_t p = 0; p < postings.size(); ++p) {
      const roaring_array_t& ra = postings[p]->high_low_container;
      if (at_[p] < ra.size) least = std::min<uint32_t>(least, ra.keys[at_[p]]);
    }
    if (least == UINT32_MAX) break;
    gathered_.clear();
    for (size_t p = 0; p < postings.size(); ++p) {
      const roaring_array_t& ra = postings[p]->high_low_container;
      if (at_[p] < ra.size && ra.keys[at_[p]] == least) {
        gathered_.emplace_back(ra.typecodes[at_[p]], ra.containers[at_[p]]);
        ++at_[p];
      }
    }
    AddUnion(static_cast<uint16_t>(least), split_key, split_low);
  }
  const size_t start = out->size();
  head_.AppendTo(out);
  *head_size = out->size() - start;
  tail_.AppendTo(out);
  return true;
}

void UnionEncoder::AddUnion(uint16_t key, uint32_t split_key, uint32_t split_low) {
  // The union as sorted values, or as words once a bitmap is among them or
  // the values pass what an array holds.
  std::span<const uint16_t> values;
  bool dense = false;
  for (const auto& [type, c] : gathered_) dense = dense || type == BITSET_CONTAINER_TYPE_CODE;
  if (dense) {
    words_.assign(LowSet::kWords, 0);
    for (const auto& [type, c] : gathered_) {
      if (type == BITSET_CONTAINER_TYPE_CODE) {
        const uint64_t* w = static_cast<const bitset_container_t*>(c)->array;
        for (uint32_t i = 0; i < LowSet::kWords; ++i) words_[i] |= w[i];
      } else {
        const auto* a = static_cast<const array_container_t*>(c);
        for (int32_t i = 0; i < a->cardinality; ++i) words_[a->array[i] >> 6] |= uint64_t{1} << (a->array[i] & 63);
      }
    }
  } else {
    const auto* first = static_cast<const array_container_t*>(gathered_[0].second);
    values = {first->array, static_cast<size_t>(first->cardinality)};
    for (size_t g = 1; g < gathered_.size(); ++g) {
      const auto* a = static_cast<const array_container_t*>(gathered_[g].second);
      Unite(values, {a->array, static_cast<size_t>(a->cardinality)}, &merged_);
      std::swap(merged_, values_);
      values = values_;
    }
    if (values.size() > kMaxArrayIds) {
      words_.assign(LowSet::kWords, 0);
      for (uint16_t v : values) words_[v >> 6] |= uint64_t{1} << (v & 63);
      dense = true;
    }
  }

  ContainerWriter* whole = key < split_key ? &head_ : key > split_key || split_low == 0 ? &tail_ : nullptr;
  if (!dense) {
    if (whole != nullptr) {
      AddValues(*whole, key, values);
      return;
    }
    const size_t below = static_cast<size_t>(std::lower_bound(values.begin(), values.end(), split_low) - values.begin());
    AddValues(head_, key, values.first(below));
    AddValues(tail_, key, values.subspan(below));
    return;
  }
  if (whole != nullptr) {
    uint32_t cardinality = 0;
    for (uint64_t w : words_) cardinality += static_cast<uint32_t>(std::popcount(w));
    AddWords(*whole, key, words_.data(), cardinality);
    return;
  }
  // The straddling container: each half in the kind its own count gives.
  for (ContainerWriter* to : {&head_, &tail_}) {
    part_.assign(LowSet::kWords, 0);
    uint32_t cardinality = 0;
    for (uint32_t i = 0; i < LowSet::kWords; ++i) {
      const uint32_t first = 64 * i;
      uint64_t below = first + 64 <= split_low ? ~uint64_t{0} : first >= split_low ? 0 : (uint64_t{1} << (split_low - first)) - 1;
      part_[i] = words_[i] & (to == &head_ ? below : ~below);
      cardinality += static_cast<uint32_t>(std::popcount(part_[i]));
    }
    AddWords(*to, key, part_.data(), cardinality);
  }
}

void UnionEncoder::AddValues(ContainerWriter& to, uint16_t key, std::span<const uint16_t> values) {
  if (values.empty()) return;
  to.Add(key, ContainerView::Kind::kArray, static_cast<uint32_t>(values.size()),
         std::string_view(reinterpret_cast<const char*>(values.data()), values.size() * kArrayIdBytes));
}

void UnionEncoder::AddWords(ContainerWriter& to, uint16_t key, const uint64_t* words, uint32_t cardinality) {
  if (cardinality == 0) return;
  if (cardinality > kMaxArrayIds) {
    to.Add(key, ContainerView::Kind::kBitmap, cardinality,
           std::string_view(reinterpret_cast<const char*>(words), kBitmapContainerBytes));
    return;
  }
  merged_.clear();
  for (uint32_t i = 0; i < LowSet::kWords; ++i) {
    for (uint64_t w = words[i]; w != 0; w &= w - 1) merged_.push_back(static_cast<uint16_t>(64 * i + std::countr_zero(w)));
  }
  AddValues(to, key, merged_);
}

}  // namespace halcyra
