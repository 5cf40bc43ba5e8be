// The dictionary blocks of a term index. Entry of a term within its block,
// varints unsigned LEB128:
//
//   shared varint       bytes shared with the previous term of the block
//   suffix length varint
//   suffix              the term's bytes after the shared prefix
//   offset varint       first entry: the postings record's offset; later
//                       entries: the difference from the previous offset
//   head length varint  bytes of the record's head part
//
// A block's first entry shares nothing and carries the absolute offset, so a
// reader decodes any block on its own. A term whose entry would take its
// block past the cap starts the next block; an entry larger than the cap
// forms a block by itself.
//
// See FORMATS.md (Term index) for a decoded block.
#include "terms/dict_blocks.h"

#include <algorithm>
#include <cassert>

namespace halcyra {

void PutVarint64(std::string* dst, uint64_t v) {
  while (v >= 0x80) {
    dst->push_back(static_cast<char>(v | 0x80));
    v >>= 7;
  }
  dst->push_back(static_cast<char>(v));
}

size_t VarintLength(uint64_t v) {
  size_t n = 1;
  for (; v >= 0x80; v >>= 7) ++n;
  return n;
}

void DictBlockBuilder::Add(std::string_view term, uint64_t offset, uint64_t head_length) {
  size_t shared = 0;
  if (entries_ != 0) {
    assert(term > previous_term_ && offset >= previous_offset_);
    const size_t limit = std::min(term.size(), previous_term_.size());
    while (shared < limit && term[shared] == previous_term_[shared]) ++shared;
    const uint64_t suffix = term.size() - shared;
    const uint64_t entry_size = VarintLength(shared) + VarintLength(suffix) + suffix +
                                VarintLength(offset - previous_offset_) + VarintLength(head_length);
    if (region_.size() - block_start_ + entry_size > block_cap_) {
      CloseBlock();
      shared = 0;
    }
  }
  const uint64_t delta = entries_ == 0 ? offset : offset - previous_offset_;
  PutVarint64(&region_, shared);
  PutVarint64(&region_, term.size() - shared);
  region_.append(term.substr(shared));
  PutVarint64(&region_, delta);
  PutVarint64(&region_, head_length);
  previous_term_.assign(term);
  previous_offset_ = offset;
  ++entries_;
}

void DictBlockBuilder::CloseBlock() {
  if (entries_ == 0) return;
  blocks_.push_back(Block{previous_term_, block_start_, region_.size() - block_start_});
  block_start_ = region_.size();
  entries_ = 0;
  previous_term_.clear();
  previous_offset_ = 0;
}

}  // namespace halcyra
