// DictBlockBuilder: the dictionary region of a term index, cut into front-
// coded blocks of at most the block cap. Byte layout at the top of
// dict_blocks.cc.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace halcyra {

class DictBlockBuilder {
 public:
  struct Block {
    std::string last_term;  // the router's key
    uint64_t offset;        // in the dictionary region
    uint64_t length;
  };

  explicit DictBlockBuilder(uint64_t block_cap) : block_cap_(block_cap) {}

  // Adds the next term; terms come in strictly ascending byte order, with
  // non-decreasing offsets.
  void Add(std::string_view term, uint64_t offset, uint64_t head_length);

  // Closes the open block, if it has entries. Call once, after the last Add.
  void Finish() { CloseBlock(); }

  // Every block's bytes, back to back.
  const std::string& region() const { return region_; }
  std::string TakeRegion() { return std::move(region_); }
  const std::vector<Block>& blocks() const { return blocks_; }

 private:
  void CloseBlock();

  const uint64_t block_cap_;
  std::string region_;
  std::vector<Block> blocks_;
  size_t block_start_ = 0;  // where the open block starts in region_
  uint64_t entries_ = 0;    // entries in the open block
  std::string previous_term_;
  uint64_t previous_offset_ = 0;
};

// Appends v as an unsigned LEB128 varint.
void PutVarint64(std::string* dst, uint64_t v);
// Bytes PutVarint64 appends for v.
size_t VarintLength(uint64_t v);

}  // namespace halcyra
