#include "ngram/ngram_index.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "base/format_limits.h"
#include "roaring/postings.h"
#include "test_readers.h"
#include "test_util.h"

namespace halcyra {
namespace {

using testing::Bytes;
using testing::ReadFile;
using testing::RecordingSink;
using testing::TempDir;
using testing::ParsedIndex;
using testing::ParseIndex;
using testing::Ids;

std::string Encode(const Ids& ids) {
  Bitmap b;
  for (uint32_t id : ids) b.Add(id);
  Result<std::string> r = EncodePosting(b.roaring());
  EXPECT_TRUE(r.ok());
  return r.ok() ? *r : std::string();
}

std::string Write(NgramPostings entries, uint16_t gram_size, uint32_t stride, bool fold_case) {
  BufferSink sink;
  Status s = WriteNgramIndex(std::move(entries), gram_size, stride, fold_case, sink);
  EXPECT_TRUE(s.ok()) << (s.ok() ? "" : s.error().message());
  return sink.Release();
}

TEST(NgramIndex, EmptyIndexIsJustTheHeader) {
  EXPECT_EQ(Write(NgramPostings(), 3, 0, true), Bytes({'H', 'Y', 'S', 'I', 3, 0, 3, 0, 0, 0, 0, 0, 0, 2, 0, 0}));
  EXPECT_EQ(Write(NgramPostings(), 3, 0, false), Bytes({'H', 'Y', 'S', 'I', 4, 0, 3, 0, 0, 0, 0, 0, 0, 2, 0, 0, 1, 0}));
}

TEST(NgramIndex, SingleKeyLayout) {
  NgramPostings entries;
  entries.AddEncoded(0x616263, Encode({0}));
  const std::string file = Write(std::move(entries), 3, 0, true);
  EXPECT_EQ(file, Bytes({// header
                         'H', 'Y', 'S', 'I', 3, 0, 3, 0, 1, 0, 0, 0, 0, 2, 0, 0,
                         // block index
                         0x63, 0x62, 0x61, 0, 0, 0, 0, 0,
                         // dictionary: key, offset 44, length 18
                         0x63, 0x62, 0x61, 0, 0, 0, 0, 0, 44, 0, 0, 0, 0, 0, 0, 0, 18, 0, 0, 0,
                         // posting {0}
                         0x3A, 0x30, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 0}));
}

TEST(NgramIndex, BlockIndexHoldsEveryStrideThKey) {
  NgramPostings entries;
  for (uint64_t k = 0; k < 513; ++k) entries.AddEncoded(1000 + 2 * k, Encode({static_cast<uint32_t>(k)}));
  ParsedIndex p = ParseIndex(Write(std::move(entries), 3, 0, true));
  EXPECT_EQ(p.stride, 512u);
  EXPECT_EQ(p.block_keys, (std::vector<uint64_t>{1000, 1000 + 2 * 512}));
  ASSERT_EQ(p.keys.size(), 513u);
  EXPECT_EQ(p.postings[1000 + 2 * 300], Ids({300}));

  // A chosen stride; a partly filled last block still gets its key.
  NgramPostings five;
  for (uint64_t k = 1; k <= 5; ++k) five.AddEncoded(k, Encode({}));
  p = ParseIndex(Write(std::move(five), 2, 2, true));
  EXPECT_EQ(p.stride, 2u);
  EXPECT_EQ(p.gram_size, 2u);
  EXPECT_EQ(p.block_keys, (std::vector<uint64_t>{1, 3, 5}));
  EXPECT_EQ(p.postings[4], Ids());
}

TEST(NgramIndex, CaseSensitiveVersionShiftsOffsetsByTwo) {
  const auto entries = [] {
    NgramPostings e;
    e.AddEncoded(7, Encode({1, 2}));
    e.AddEncoded(9, Encode({3}));
    return e;
  };
  ParsedIndex v3 = ParseIndex(Write(entries(), 3, 0, true));
  ParsedIndex v4 = ParseIndex(Write(entries(), 3, 0, false));
  EXPECT_EQ(v3.version, 3u);
  EXPECT_EQ(v4.version, 4u);
  EXPECT_EQ(v3.offsets[0], 16u + 8 + 40);
  EXPECT_EQ(v4.offsets[0], 18u + 8 + 40);
  EXPECT_EQ(v4.offsets[1], v3.offsets[1] + 2);
  EXPECT_EQ(v4.postings, v3.postings);
}

TEST(NgramIndex, KeysAreSortedAsUnsigned) {
  NgramPostings entries;
  entries.AddEncoded(0x8000000000000001ULL, Encode({1}));  // a hashed key
  entries.AddEncoded(0x7A7A7A, Encode({2}));
  entries.AddEncoded(0x616263, Encode({3}));
  entries.AddEncoded(0, Encode({4}));
  ParsedIndex p = ParseIndex(Write(std::move(entries), 3, 0, true));
  EXPECT_EQ(p.keys, (std::vector<uint64_t>{0, 0x616263, 0x7A7A7A, 0x8000000000000001ULL}));
  EXPECT_EQ(p.postings[0x8000000000000001ULL], Ids({1}));
  EXPECT_EQ(p.postings[0], Ids({4}));
}

TEST(NgramIndex, DuplicateKeysWriteNothing) {
  NgramPostings entries;
  entries.AddEncoded(5, Encode({1}));
  entries.AddEncoded(6, Encode({1}));
  entries.AddEncoded(5, Encode({2}));
  RecordingSink sink;
  Status s = WriteNgramIndex(std::move(entries), 3, 0, true, sink);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().code(), ErrorCode::kLimit);
  EXPECT_EQ(s.error().message(), "write_index requires distinct n-gram keys");
  EXPECT_EQ(sink.bytes(), "");
  EXPECT_EQ(sink.closes(), 1);

  TempDir dir;
  Result<std::unique_ptr<FileSink>> file = FileSink::Create(dir / "index.hys");
  ASSERT_TRUE(file.ok());
  NgramPostings twice;
  twice.AddEncoded(5, Encode({1}));
  twice.AddEncoded(5, Encode({1}));
  EXPECT_FALSE(WriteNgramIndex(std::move(twice), 3, 0, true, **file).ok());
  EXPECT_EQ(ReadFile(dir / "index.hys"), "");
}

TEST(NgramIndex, SinkIsClosedAndItsErrorReturned) {
  RecordingSink ok_sink;
  NgramPostings one;
  one.AddEncoded(1, Encode({1}));
  ASSERT_TRUE(WriteNgramIndex(std::move(one), 3, 0, true, ok_sink).ok());
  EXPECT_EQ(ok_sink.closes(), 1);

  for (int fail_at : {0, 1}) {  // the header and dictionary, then the first posting
    RecordingSink failing(nullptr, fail_at);
    NgramPostings entries;
    entries.AddEncoded(1, Encode({1}));
    entries.AddEncoded(2, Encode({2}));
    Status s = WriteNgramIndex(std::move(entries), 3, 0, true, failing);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().message(), "No space left on device (os error 28)");
    EXPECT_EQ(failing.closes(), 1);
  }
}

TEST(NgramIndex, PostingSizeLimitMessage) {
  EXPECT_TRUE(CheckSize32(UINT32_MAX, "HYS posting").ok());
  Status s = CheckSize32(uint64_t{1} << 32, "HYS posting");
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().code(), ErrorCode::kLimit);
  EXPECT_EQ(s.error().message(), "HYS posting size exceeds the 32-bit limit");
}

TEST(NgramIndex, ManyKeysRoundTrip) {
  NgramPostings entries;
  std::map<uint64_t, Ids> expected;
  uint64_t key = 0x9E3779B97F4A7C15ULL;
  for (uint32_t i = 0; i < 5000; ++i) {
    key = key * 6364136223846793005ULL + 1442695040888963407ULL;
    Ids ids;
    for (uint32_t d = i % 7; d < 3000; d += 1 + i % 500) ids.push_back(d * 37);
    expected[key] = ids;
    Bitmap b;
    for (uint32_t id : ids) b.Add(id);
    ASSERT_TRUE(entries.Add(key, b.roaring()).ok());
  }
  ParsedIndex p = ParseIndex(Write(std::move(entries), 5, 100, false));
  EXPECT_EQ(p.postings, expected);
  ASSERT_EQ(p.block_keys.size(), 50u);
  for (size_t b = 0; b < p.block_keys.size(); ++b) EXPECT_EQ(p.block_keys[b], p.keys[b * 100]);
}

}  // namespace
}  // namespace halcyra
