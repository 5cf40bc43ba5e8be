// A term-index reader for the tests, written from the layout alone. It
// resolves a term the way a range-reading client does: the router FST gives
// the one block that can hold it, the block gives the record's offset and
// head length, the record gives head and tail. It also checks the whole
// file's structure: contiguous blocks within the cap, records back to back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fst_reader.h"
#include "test_readers.h"

namespace halcyra::testing {

struct TermEntry {
  std::string term;
  uint64_t offset;  // of its record in the postings region
  uint64_t head_length;
};

struct TermRecord {
  Ids head, tail;
  std::string head_bytes, tail_bytes;
};

class TermIndexReader {
 public:
  struct Block {
    std::string last_term;  // router key
    uint64_t offset, length;
  };

  explicit TermIndexReader(std::string file) : file_(std::move(file)) {
    Cursor c(file_);
    EXPECT_EQ(c.Str(4), "HYTI");
    version = c.U16();
    flags = c.U16();
    term_count = c.U32();
    head_boundary = c.U32();
    router_length = c.U64();
    dict_length = c.U64();
    block_cap = c.U32();
    language = static_cast<uint8_t>(c.Str(1)[0]);
    EXPECT_EQ(c.Str(3), std::string(3, '\0'));
    EXPECT_EQ(version, 2);
    EXPECT_LE(40 + router_length + dict_length, file_.size());
    router_.emplace(file_.substr(40, router_length));
    for (const auto& [key, value] : router_->List()) blocks.push_back({key, value >> 24, value & 0xFFFFFF});
    postings_start_ = 40 + router_length + dict_length;

    // Blocks tile the dictionary region in term order; records tile the
    // postings region.
    uint64_t block_offset = 0, record_offset = 0;
    std::string previous;
    for (const Block& b : blocks) {
      EXPECT_EQ(b.offset, block_offset);
      block_offset += b.length;
      const std::vector<TermEntry> entries = DecodeBlock(b);
      EXPECT_FALSE(entries.empty());
      if (entries.size() > 1) {
        EXPECT_LE(b.length, block_cap) << "block ending " << b.last_term;
      }
      EXPECT_EQ(entries.back().term, b.last_term);
      for (const TermEntry& e : entries) {
        EXPECT_TRUE(terms_.empty() || previous < e.term) << e.term;
        previous = e.term;
        EXPECT_EQ(e.offset, record_offset) << e.term;
        const uint32_t tail_length = DecodeFixed32(&file_[postings_start_ + e.offset]);
        record_offset += 4 + e.head_length + tail_length;
        terms_.push_back(e.term);
      }
    }
    EXPECT_EQ(block_offset, dict_length);
    EXPECT_EQ(postings_start_ + record_offset, file_.size());
    EXPECT_EQ(terms_.size(), term_count);
  }

  // Every term, in block order.
  const std::vector<std::string>& terms() const { return terms_; }

  // The router's choice for term: the first block whose last term is >= it.
  std::optional<Block> RouteTo(std::string_view term) const {
    for (const Block& b : blocks) {
      if (b.last_term >= term) return b;
    }
    return std::nullopt;
  }

  // Router, block, record: the three reads of a lookup. The record's bytes
  // only.
  std::optional<TermRecord> Record(std::string_view term) const {
    const std::optional<Block> block = RouteTo(term);
    if (!block) return std::nullopt;
    for (const TermEntry& e : DecodeBlock(*block)) {
      if (e.term != term) continue;
      const uint64_t at = postings_start_ + e.offset;
      const uint32_t tail_length = DecodeFixed32(&file_[at]);
      TermRecord r;
      r.head_bytes = file_.substr(at + 4, e.head_length);
      r.tail_bytes = file_.substr(at + 4 + e.head_length, tail_length);
      return r;
    }
    return std::nullopt;
  }

  // The record with head and tail decoded.
  std::optional<TermRecord> Find(std::string_view term) const {
    std::optional<TermRecord> r = Record(term);
    if (r) {
      r->head = DecodePosting(r->head_bytes);
      r->tail = DecodePosting(r->tail_bytes);
    }
    return r;
  }

  // head then tail ids, or nullopt when the term is absent.
  std::optional<Ids> Postings(std::string_view term) const {
    std::optional<TermRecord> r = Find(term);
    if (!r) return std::nullopt;
    Ids ids = r->head;
    ids.insert(ids.end(), r->tail.begin(), r->tail.end());
    return ids;
  }

  std::vector<TermEntry> DecodeBlock(const Block& b) const {
    std::vector<TermEntry> entries;
    std::string_view bytes = std::string_view(file_).substr(40 + router_length + b.offset, b.length);
    size_t pos = 0;
    std::string term;
    uint64_t offset = 0;
    while (pos < bytes.size()) {
      const uint64_t shared = Varint(bytes, &pos), suffix = Varint(bytes, &pos);
      if (entries.empty()) {
        EXPECT_EQ(shared, 0u);
      }
      EXPECT_LE(shared, term.size());
      EXPECT_LE(pos + suffix, bytes.size());
      term = term.substr(0, shared) + std::string(bytes.substr(pos, suffix));
      pos += suffix;
      const uint64_t delta = Varint(bytes, &pos);
      offset = entries.empty() ? delta : offset + delta;
      entries.push_back({term, offset, Varint(bytes, &pos)});
    }
    EXPECT_EQ(pos, bytes.size());
    return entries;
  }

  static uint64_t Varint(std::string_view bytes, size_t* pos) {
    uint64_t v = 0;
    for (int shift = 0; *pos < bytes.size(); shift += 7) {
      const uint8_t b = static_cast<uint8_t>(bytes[(*pos)++]);
      v |= uint64_t{b & 0x7Fu} << shift;
      if ((b & 0x80) == 0) return v;
    }
    ADD_FAILURE() << "truncated varint";
    return v;
  }

  uint16_t version = 0, flags = 0;
  uint32_t term_count = 0, head_boundary = 0, block_cap = 0;
  uint64_t router_length = 0, dict_length = 0;
  uint8_t language = 0;
  std::vector<Block> blocks;  // in router order

 private:
  std::string file_;
  std::optional<fst_test::FstReader> router_;
  uint64_t postings_start_ = 0;
  std::vector<std::string> terms_;
};

}  // namespace halcyra::testing
