// Bitmaps one container at a time. Compaction merges, shifts and reduces
// bitmaps read from outside container by container, so that no more than one
// container's ids are ever spelled out, whatever the bytes claim: a LowSet
// holds one container's worth of ids, as the low 16 bits of ids that share
// their high 16 bits, and a ContainerWriter assembles a portable bitmap from
// containers.
//
// A LowSet is held as the format holds a container without runs: values while
// there are at most 4096 of them, else 65536 bits. Values may be added in any
// order and repeated; they are sorted and deduplicated when read, and
// whenever their number doubles, so the values take at most about four bytes
// per distinct value.
#pragma once

#include <bit>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "roaring/portable_roaring.h"
#include "roaring/posting_format.h"

namespace halcyra {

// Whether c holds low: a binary search of an array or of runs, one bit of a
// bitmap.
bool ContainerContains(const ContainerView& c, uint32_t low);

class LowSet {
 public:
  static constexpr uint32_t kWords = 1024;

  // Empties the set, which keeps its memory.
  void Clear();

  void Add(uint32_t low);
  // Adds the values v of c that land in this container when moved up by
  // shift (less than 65536): with upper false those with v + shift < 65536,
  // as v + shift; with upper true those with v + shift >= 65536, as
  // v + shift - 65536.
  void AddShifted(const ContainerView& c, uint32_t shift, bool upper);
  void AddAll(LowSet& other);

  // Drops the values of other, or of c.
  void RemoveAll(LowSet& other);
  void Remove(const ContainerView& c);

  bool Contains(uint32_t low);
  uint32_t cardinality();
  bool empty() { return cardinality() == 0; }
  // The smallest and the largest value of a set that is not empty.
  uint32_t minimum();
  uint32_t maximum();
  // The bytes it takes in the portable format without runs.
  size_t data_bytes() { return cardinality() > kMaxArrayIds ? kBitmapContainerBytes : kArrayIdBytes * cardinality(); }
  // Appends its data in the portable format without runs: the values as u16
  // when there are at most 4096 of them, else the 1024 words.
  void AppendData(std::string* out);

  // Calls visit(low) for every value, ascending.
  template <class Visit>
  void ForEach(Visit visit);

 private:
  // Sorts and deduplicates the values; more than 4096 become bits.
  void Normalize();
  void Densify();
  void SetRange(uint32_t first, uint32_t last);
  void ClearRange(uint32_t first, uint32_t last);

  std::vector<uint16_t> values_;  // while not dense
  size_t sorted_ = 0;             // values_ holds sorted distinct values up to here
  bool dense_ = false;
  std::vector<uint64_t> words_;   // kWords once dense
  uint32_t count_ = 0;            // of the bits, while dense and not stale
  bool count_stale_ = false;
};

template <class Visit>
void LowSet::ForEach(Visit visit) {
  Normalize();
  if (!dense_) {
    for (uint16_t v : values_) visit(uint32_t{v});
    return;
  }
  for (uint32_t w = 0; w < kWords; ++w) {
    for (uint64_t word = words_[w]; word != 0; word &= word - 1) visit(64 * w + static_cast<uint32_t>(std::countr_zero(word)));
  }
}

// A portable bitmap assembled container by container, keys strictly
// ascending. Without run containers it is byte for byte what AppendPosting
// gives for the same ids; with them it takes the form with run flags.
class ContainerWriter {
 public:
  void Clear();
  // Adds a container, data being its bytes in the layout of kind.
  void Add(uint16_t key, ContainerView::Kind kind, uint32_t cardinality, std::string_view data);
  // Adds set as an array or a bitmap container; an empty set adds nothing.
  void Add(uint16_t key, LowSet& set);

  bool empty() const { return entries_.empty(); }
  // The bytes of the bitmap.
  size_t size() const;
  // Writes the size() bytes of the bitmap at out; returns their end.
  char* Put(char* out) const;
  void AppendTo(std::string* out) const;

 private:
  struct Entry {
    uint16_t key;
    bool run;
    uint32_t cardinality;
    size_t end;  // of its data in data_
  };
  size_t HeaderBytes() const;

  std::vector<Entry> entries_;
  std::string data_;
  bool runs_ = false;
};

}  // namespace halcyra
