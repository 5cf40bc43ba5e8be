#include "terms/term_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "fst/fst.h"
#include "fst_reader.h"
#include "term_index_reader.h"
#include "terms/dict_blocks.h"
#include "terms/term_table.h"
#include "test_readers.h"
#include "test_util.h"

namespace halcyra {
namespace {

using testing::Bytes;
using testing::Ids;
using testing::kEmptyPosting;
using testing::RecordingSink;
using testing::TempDir;
using testing::TermIndexReader;

TermPostings Postings(const std::map<std::string, Ids>& terms) {
  TermPostings p;
  for (const auto& [term, ids] : terms) p.Add(term, ids);
  return p;
}

std::string Write(TermPostings postings, const TermIndexOptions& options = {}) {
  BufferSink sink;
  Status s = WriteTermIndex(std::move(postings), options, sink);
  EXPECT_TRUE(s.ok()) << (s.ok() ? "" : s.error().message());
  return sink.Release();
}

std::string WriteError(TermPostings postings, const TermIndexOptions& options = {}) {
  RecordingSink sink;
  Status s = WriteTermIndex(std::move(postings), options, sink);
  EXPECT_EQ(sink.closes(), 1);
  EXPECT_EQ(sink.bytes(), "") << "a refused index writes nothing";
  return s.ok() ? "ok" : s.error().message();
}

std::string Header(uint16_t flags, uint32_t terms, uint32_t head_boundary, uint64_t router, uint64_t dict,
                   uint32_t block_cap, uint8_t language) {
  std::string h = "HYTI";
  PutFixed16(&h, 2);
  PutFixed16(&h, flags);
  PutFixed32(&h, terms);
  PutFixed32(&h, head_boundary);
  PutFixed64(&h, router);
  PutFixed64(&h, dict);
  PutFixed32(&h, block_cap);
  PutFixed8(&h, language);
  h.append(3, '\0');
  return h;
}

std::string Fst(const std::vector<std::pair<std::string, uint64_t>>& keys) {
  FstBuilder b(10240);
  for (const auto& [key, value] : keys) EXPECT_TRUE(b.Insert(key, value).ok());
  return std::move(b).Finish();
}

// The FST file around hand-written node bytes.
std::string FstFile(std::string_view nodes, uint64_t len, uint64_t root) {
  std::string f;
  PutFixed64(&f, 3);
  PutFixed64(&f, 0);
  f.append(nodes);
  PutFixed64(&f, len);
  PutFixed64(&f, root);
  PutFixed32(&f, fst_test::MaskedCrc(f));
  return f;
}

TEST(TermIndex, WorkedExampleByteForByte) {
  const std::string file = Write(Postings({{"cat", {5, 9}}, {"the", {5}}}));

  // Router: the single key "the" -> (0 << 24) | 14. Nodes: e (one transition
  // to the empty final node, no output), h ("next" to it), and the root t
  // carrying the whole value 14, one byte back to h.
  const std::string router = FstFile(Bytes({0x00, 0x10, 0x82, 0xCE, 0x0E, 0x01, 0x11, 0x81}), 1, 23);
  EXPECT_EQ(router, Fst({{"the", 14}}));
  const std::string dict = Bytes({0x00, 0x03, 'c', 'a', 't', 0x00, 0x14,  //
                                  0x00, 0x03, 't', 'h', 'e', 0x20, 0x12});
  const std::string postings =
      Bytes({0x08, 0, 0, 0}) +
      Bytes({0x3A, 0x30, 0, 0, 0x01, 0, 0, 0, 0x00, 0x00, 0x01, 0x00, 0x10, 0, 0, 0, 0x05, 0x00, 0x09, 0x00}) +
      kEmptyPosting +  //
      Bytes({0x08, 0, 0, 0}) +
      Bytes({0x3A, 0x30, 0, 0, 0x01, 0, 0, 0, 0x00, 0x00, 0x00, 0x00, 0x10, 0, 0, 0, 0x05, 0x00}) + kEmptyPosting;
  ASSERT_EQ(postings.size(), 62u);
  EXPECT_EQ(file, Header(0, 2, 65536, router.size(), 14, 4096, 0) + router + dict + postings);

  TermIndexReader r(file);
  EXPECT_EQ(r.terms(), (std::vector<std::string>{"cat", "the"}));
  EXPECT_EQ(r.Postings("cat"), (Ids{5, 9}));
  EXPECT_EQ(r.Postings("the"), (Ids{5}));
  EXPECT_EQ(r.Postings("dog"), std::nullopt);
  EXPECT_EQ(r.Postings("zebra"), std::nullopt);  // past the last block
}

TEST(TermIndex, EmptyIndex) {
  const std::string file = Write(TermPostings());
  const std::string router = Fst({});
  EXPECT_EQ(router.size(), 39u);
  EXPECT_EQ(file, Header(0, 0, 65536, 39, 0, 4096, 0) + router);
  TermIndexReader r(file);
  EXPECT_TRUE(r.terms().empty());
  EXPECT_EQ(r.Postings("a"), std::nullopt);
}

TEST(TermIndex, FrontCodingWithinABlock) {
  const std::string file = Write(Postings({{"apple", {1}}, {"apply", {2}}, {"apt", {3}}}));
  TermIndexReader r(file);
  ASSERT_EQ(r.blocks.size(), 1u);
  EXPECT_EQ(r.blocks[0].last_term, "apt");
  // Records of one id: 4 + 18 + 8 bytes.
  const std::string dict = Bytes({0x00, 0x05, 'a', 'p', 'p', 'l', 'e', 0x00, 0x12,  //
                                  0x04, 0x01, 'y', 0x1E, 0x12,                      //
                                  0x02, 0x01, 't', 0x1E, 0x12});
  EXPECT_EQ(r.dict_length, dict.size());
  EXPECT_EQ(file.substr(40 + r.router_length, r.dict_length), dict);
  EXPECT_EQ(r.blocks[0].length, dict.size());
  EXPECT_EQ(file.substr(40, r.router_length), Fst({{"apt", dict.size()}}));
  EXPECT_EQ(r.Postings("apply"), (Ids{2}));
  EXPECT_EQ(r.Postings("app"), std::nullopt);
}

TEST(TermIndex, OversizedEntryFormsItsOwnBlock) {
  const std::string long_term(40, 'b');
  TermIndexOptions o;
  o.block_cap = 16;
  const std::string file = Write(Postings({{"a", {1}}, {long_term, {2}}, {"c", {3}}}), o);
  TermIndexReader r(file);
  EXPECT_EQ(r.block_cap, 16u);
  ASSERT_EQ(r.blocks.size(), 3u);
  EXPECT_EQ(r.blocks[0].last_term, "a");
  EXPECT_EQ(r.blocks[1].last_term, long_term);
  EXPECT_EQ(r.blocks[1].length, 1 + 1 + 40 + 1 + 1u);  // over the cap, alone
  EXPECT_EQ(r.blocks[2].last_term, "c");
  EXPECT_EQ(r.RouteTo(long_term)->offset, r.blocks[1].offset);
  EXPECT_EQ(r.Postings(long_term), (Ids{2}));
  EXPECT_EQ(r.Postings("c"), (Ids{3}));
}

TEST(TermIndex, BlocksFillUpToTheCap) {
  std::map<std::string, Ids> terms;
  for (int i = 0; i < 300; ++i) terms["term" + std::to_string(1000 + i * 7)] = {static_cast<DocId>(i), 70000u + i};
  TermIndexOptions o;
  o.block_cap = 64;
  const std::string file = Write(Postings(terms), o);
  TermIndexReader r(file);
  ASSERT_GT(r.blocks.size(), 10u);
  for (size_t b = 0; b + 1 < r.blocks.size(); ++b) {
    EXPECT_LE(r.blocks[b].length, 64u);
    // The next block's first term did not fit: encoded against this block's
    // last term, it would have passed the cap.
    const testing::TermEntry last = r.DecodeBlock(r.blocks[b]).back();
    const testing::TermEntry next = r.DecodeBlock(r.blocks[b + 1]).front();
    size_t shared = 0;
    while (shared < last.term.size() && last.term[shared] == next.term[shared]) ++shared;
    const size_t entry = VarintLength(shared) + VarintLength(next.term.size() - shared) + next.term.size() - shared +
                         VarintLength(next.offset - last.offset) + VarintLength(next.head_length);
    EXPECT_GT(r.blocks[b].length + entry, 64u) << "block " << b;
  }
  std::vector<std::string> expected;
  for (const auto& [term, ids] : terms) {
    expected.push_back(term);
    EXPECT_EQ(r.Postings(term), ids) << term;
  }
  EXPECT_EQ(r.terms(), expected);
  EXPECT_EQ(r.Postings("term1001"), std::nullopt);  // between two terms of a block
}

TEST(TermIndex, TermsOrderedByRawBytes) {
  const std::string file = Write(Postings({{"a", {1}}, {"\xC3\xA9", {2}}, {"Z", {3}}, {"z", {4}}}));
  TermIndexReader r(file);
  EXPECT_EQ(r.terms(), (std::vector<std::string>{"Z", "a", "z", "\xC3\xA9"}));
  EXPECT_EQ(r.Postings("\xC3\xA9"), (Ids{2}));
}

TEST(TermIndex, FlagsAndLanguageByte) {
  struct Case {
    uint8_t language;
    bool stem, stopwords, fold_case;
    uint16_t flags;
    uint8_t byte;
  };
  const Case cases[] = {
      {kNoLanguage, false, false, true, 0, 0},  {kNoLanguage, false, false, false, 0x4, 0},
      {0, false, false, true, 0, 0},            // a language alone is not recorded
      {0, true, false, true, 0x1, 1},           {0, false, true, true, 0x2, 1},
      {7, true, true, false, 0x7, 8},           {17, true, false, true, 0x1, 18},
  };
  for (const Case& c : cases) {
    TermIndexOptions o;
    o.analyzer.language = c.language;
    o.analyzer.stem = c.stem;
    o.analyzer.stopwords = c.stopwords;
    o.analyzer.fold_case = c.fold_case;
    TermIndexReader r(Write(Postings({{"x", {1}}}), o));
    EXPECT_EQ(r.flags, c.flags) << int(c.language);
    EXPECT_EQ(r.language, c.byte) << int(c.language);
  }
}

TEST(TermIndex, HeadBoundarySplitsEveryRecord) {
  const std::map<std::string, Ids> terms = {{"a", {1, 65535, 65536, 70000}}, {"b", {3}}, {"c", {100000}}};
  TermIndexOptions o;
  o.head_boundary = 0;
  TermIndexReader r0(Write(Postings(terms), o));
  EXPECT_EQ(r0.head_boundary, 0u);
  for (const auto& [term, ids] : terms) {
    EXPECT_EQ(r0.Find(term)->head_bytes, kEmptyPosting);
    EXPECT_EQ(r0.Find(term)->tail, ids);
  }
  TermIndexReader r(Write(Postings(terms)));
  EXPECT_EQ(r.head_boundary, 65536u);
  EXPECT_EQ(r.Find("a")->head, (Ids{1, 65535}));
  EXPECT_EQ(r.Find("a")->tail, (Ids{65536, 70000}));
  EXPECT_EQ(r.Find("b")->tail_bytes, kEmptyPosting);
  EXPECT_EQ(r.Find("c")->head_bytes, kEmptyPosting);
}

TEST(TermIndex, InlinePostingsEncodeLikeBitmaps) {
  std::mt19937 rng(7);
  const uint32_t boundaries[] = {0, 1, 5, 65536, 70000, 131072, UINT32_MAX};
  for (int round = 0; round < 2000; ++round) {
    std::vector<DocId> ids;
    const int n = 1 + round % 2;
    for (int i = 0; i < n; ++i) ids.push_back(rng() % 4 == 0 ? rng() : rng() % 200000);
    const uint32_t boundary = boundaries[round % 7];
    TermPostings p;
    p.Add("t", ids);
    std::string got;
    size_t head_size = 0;
    ASSERT_TRUE(p.TakeHeadTail(0, boundary, &got, &head_size).ok());
    Bitmap b;
    for (DocId id : ids) b.Add(id);
    Result<HeadTail> want = EncodeHeadTail(b.roaring(), boundary);
    ASSERT_TRUE(want.ok());
    EXPECT_EQ(got, want->head + want->tail) << ids[0] << " at " << boundary;
    EXPECT_EQ(head_size, want->head.size());
  }
}

TEST(TermIndex, FileAndBufferGiveTheSameBytes) {
  std::map<std::string, Ids> terms;
  for (int i = 0; i < 500; ++i) {
    Ids ids;
    for (int k = 0; k <= i % 9; ++k) ids.push_back(static_cast<DocId>(i * 131 + k * 40000));
    terms["w" + std::to_string(i * i)] = ids;
  }
  TermIndexOptions o;
  o.block_cap = 100;
  const std::string buffer = Write(Postings(terms), o);
  TempDir dir;
  Result<std::unique_ptr<FileSink>> file = FileSink::Create(dir / "x.hyt");
  ASSERT_TRUE(file.ok());
  ASSERT_TRUE(WriteTermIndex(Postings(terms), o, **file).ok());
  EXPECT_EQ(testing::ReadFile(dir / "x.hyt"), buffer);
  TermIndexReader r(buffer);
  for (const auto& [term, ids] : terms) EXPECT_EQ(r.Postings(term), ids);
}

TEST(TermIndex, RefusedBeforeAnythingIsWritten) {
  // Terms must come sorted and distinct.
  TermPostings unsorted;
  unsorted.Add("b", Ids{1});
  unsorted.Add("a", Ids{2});
  EXPECT_EQ(WriteError(std::move(unsorted)), "write_term_index requires distinct terms in ascending byte order");
  TermPostings repeated;
  repeated.Add("a", Ids{1});
  repeated.Add("a", Ids{2});
  EXPECT_EQ(WriteError(std::move(repeated)), "write_term_index requires distinct terms in ascending byte order");

  // Stemming or stop words recorded without a language.
  for (int which = 0; which < 2; ++which) {
    TermIndexOptions o;
    o.analyzer.stem = which == 0;
    o.analyzer.stopwords = which == 1;
    EXPECT_EQ(WriteError(Postings({{"x", {1}}}), o),
              "HYTI: stemming and stop-word removal require a language, but none is set");
  }
}

TEST(TermIndex, HeadPostingLimit) {
  // Bitmap containers of 32768 ids serialize to 8 B of header, 8 B of
  // descriptor and offset and 8192 B each: 2046 of them stay below 2^24
  // bytes, 2047 do not.
  auto big = [](uint32_t containers) {
    TermPostings p;
    p.Add("a", Ids{1});
    p.Add("big", Bitmap(roaring_bitmap_from_range(0, uint64_t{containers} << 16, 2)));
    return p;
  };
  TermIndexOptions o;
  o.head_boundary = 2047u << 16;
  EXPECT_EQ(WriteError(big(2047), o), "term big: head posting 16785408 B exceeds the 24-bit size limit");
  TermIndexReader r(Write(big(2046), o));
  EXPECT_EQ(r.Record("big")->head_bytes.size(), 16777208u);
  // With the boundary low the same posting is mostly tail, which has no limit.
  o.head_boundary = 65536;
  TermIndexReader tail(Write(big(2047), o));
  EXPECT_EQ(tail.Record("big")->head_bytes.size(), 8 + 8 + 8192u);
  EXPECT_EQ(tail.Record("big")->tail_bytes.size(), 8 + 2046u * 8200);
}

TEST(TermIndex, DictionaryBlockLimit) {
  // A term whose entry alone reaches 2^24 bytes: shared, a 4-byte suffix
  // length, the suffix, offset and head length.
  const std::string huge((size_t{1} << 24) - 7, 'q');
  TermPostings p;
  p.Add(huge, Ids{1});
  EXPECT_EQ(WriteError(std::move(p)), "dict block exceeds the 24-bit block-length limit");
}

TEST(TermIndex, SinkErrorsPassThrough) {
  for (int fail_at = 0; fail_at < 4; ++fail_at) {
    RecordingSink sink(nullptr, fail_at);
    Status s = WriteTermIndex(Postings({{"cat", {5, 9}}}), {}, sink);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().code(), ErrorCode::kOs);
    EXPECT_EQ(sink.closes(), 1);
  }
}

TEST(TermTable, CollectsUnorderedRepeatedIds) {
  TermTable table;
  std::map<std::string, std::set<DocId>> expected;
  std::mt19937 rng(3);
  for (int i = 0; i < 60000; ++i) {
    // Zipf-like: a few terms in many documents, most in one or two.
    const uint32_t r = rng();
    const std::string term = "t" + std::to_string(r % 7 == 0 ? r % 5 : r % 20000);
    const DocId doc = rng() % 3000;
    ASSERT_TRUE(table.Add(term, doc));
    expected[term].insert(doc);
  }
  EXPECT_EQ(table.size(), expected.size());
  EXPECT_TRUE(table.Contains("t3"));
  EXPECT_FALSE(table.Contains("t20001"));
  EXPECT_FALSE(table.Contains(""));
  TermIndexReader r(Write(table.TakePostings()));
  EXPECT_EQ(table.size(), 0u);
  EXPECT_FALSE(table.Contains("t3"));
  ASSERT_EQ(r.terms().size(), expected.size());
  for (const auto& [term, ids] : expected) EXPECT_EQ(r.Postings(term), Ids(ids.begin(), ids.end())) << term;
}

TEST(TermTable, LongTermsAndTheEmptyTerm) {
  TermTable table;
  // Longer than a quarter arena chunk: interned in a chunk of its own.
  const std::string long_term(100000, 'x');
  ASSERT_TRUE(table.Add(long_term, 4));
  ASSERT_TRUE(table.Add("", 2));
  for (int i = 0; i < 5000; ++i) ASSERT_TRUE(table.Add("w" + std::to_string(i), i));
  ASSERT_TRUE(table.Add(long_term, 1));
  EXPECT_TRUE(table.Contains(long_term));
  EXPECT_FALSE(table.Contains(long_term.substr(1)));
  TermPostings p = table.TakePostings();
  ASSERT_EQ(p.size(), 5002u);
  EXPECT_EQ(p.term(0), "");
  EXPECT_EQ(p.term(1), "w0");
  EXPECT_EQ(p.term(5001), long_term);
  std::string bytes;
  size_t head_size;
  ASSERT_TRUE(p.TakeHeadTail(5001, 65536, &bytes, &head_size).ok());
  EXPECT_EQ(testing::DecodePosting(bytes.substr(0, head_size)), (Ids{1, 4}));
}

}  // namespace
}  // namespace halcyra
