#include "splitset/bloom.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

#include "splitset/summary.h"
#include "test_readers.h"
#include "test_util.h"

namespace halcyra {
namespace {

using testing::Bytes;
using testing::Cursor;

using Filter = testing::BloomFilter;
using testing::BloomProbes;
using testing::SplitMix;

TEST(Bloom, ReaderMixIsSplitMix64) {
  // The first outputs of the SplitMix64 generator seeded with 0.
  EXPECT_EQ(SplitMix(0x9e3779b97f4a7c15ULL), 0xe220a8397b1dcdafULL);
  EXPECT_EQ(SplitMix(2 * 0x9e3779b97f4a7c15ULL), 0x6e789e6aa1b965f4ULL);
}

TEST(Bloom, ProbeCountFollowsBitsPerKey) {
  const std::pair<uint32_t, uint32_t> cases[] = {{1, 1},  {2, 1},  {3, 2},   {4, 3},   {10, 7},
                                                 {23, 16}, {24, 16}, {100, 16}, {UINT32_MAX, 16}};
  for (auto [b, k] : cases) EXPECT_EQ(ComputeBloomShape(100, b).k, k) << "b = " << b;
}

TEST(Bloom, SizeIsBitsPerKeyRoundedToBytesAtLeast64) {
  EXPECT_EQ(ComputeBloomShape(1000, 10).m, 10000u);
  EXPECT_EQ(ComputeBloomShape(1, 10).m, 64u);
  EXPECT_EQ(ComputeBloomShape(7, 10).m, 72u);
  EXPECT_EQ(ComputeBloomShape(0, 10).m, 64u);
  EXPECT_EQ(ComputeBloomShape(0, 100).m, 104u);  // n = 0 is sized as n = 1
  EXPECT_EQ(ComputeBloomShape(9, 1).m, 64u);
  EXPECT_EQ(ComputeBloomShape(65, 1).m, 72u);
  // The largest multiple of 8 that fits 32 bits bounds m, also when the
  // product itself would overflow.
  EXPECT_EQ(ComputeBloomShape(429496729, 10).m, 4294967288u);
  EXPECT_EQ(ComputeBloomShape(429496728, 10).m, 4294967280u);
  EXPECT_EQ(ComputeBloomShape(size_t{1} << 40, UINT32_MAX).m, 4294967288u);
}

TEST(Bloom, ThousandKeysFrameAs1263Bytes) {
  std::vector<NgramKey> keys(1000);
  for (size_t i = 0; i < keys.size(); ++i) keys[i] = i * 7919;
  const std::string payload = BuildBloom(keys, 10);
  EXPECT_EQ(payload.size(), 8u + 1250u);
  EXPECT_EQ(payload.substr(0, 8), Bytes({7, 0, 0, 0, 0x10, 0x27, 0, 0}));  // k = 7, m = 10000
  std::string summary;
  ASSERT_TRUE(AppendSummaryRecord(kBloomRecord, payload, &summary).ok());
  EXPECT_EQ(summary.size(), 1263u);
  EXPECT_EQ(summary.substr(0, 5), Bytes({1, 0xEA, 0x04, 0, 0}));  // tag 1, length 1258
  EXPECT_EQ(summary.substr(5), payload);
}

TEST(Bloom, EveryKeySetsExactlyItsProbes) {
  std::mt19937_64 rng(11);
  for (size_t n : {0, 1, 7, 300}) {
    for (uint32_t b : {1, 3, 10, 24}) {
      std::vector<NgramKey> keys;
      std::set<uint64_t> expected_bits;
      const BloomShape shape = ComputeBloomShape(n, b);
      for (size_t i = 0; i < n; ++i) {
        keys.push_back(i == 0 ? 0 : rng());
        for (uint64_t j : BloomProbes(keys.back(), shape.k, shape.m)) expected_bits.insert(j);
      }
      const Filter f(BuildBloom(keys, b));
      EXPECT_EQ(f.k, shape.k);
      EXPECT_EQ(f.m, shape.m);
      for (NgramKey key : keys) EXPECT_TRUE(f.MayContain(key));
      // No bit beyond the keys' probes: with n = 0 the array is all zero.
      EXPECT_EQ(f.SetBits(), expected_bits.size()) << "n = " << n << ", b = " << b;
      // Key order does not matter.
      std::vector<NgramKey> reversed(keys.rbegin(), keys.rend());
      EXPECT_EQ(BuildBloom(reversed, b), BuildBloom(keys, b));
    }
  }
}

TEST(Bloom, OneKeyWorkedOut) {
  // Key 0x616263 ("abc") at b = 10: k = 7 probes into m = 64 bits.
  const Filter f(BuildBloom(std::vector<NgramKey>{0x616263}, 10));
  std::set<uint64_t> bits;
  for (uint64_t j : BloomProbes(0x616263, 7, 64)) bits.insert(j);
  for (uint64_t j = 0; j < 64; ++j) EXPECT_EQ(f.Bit(j), bits.count(j) == 1) << j;
  EXPECT_TRUE(f.MayContain(0x616263));
}

TEST(Bloom, MostAbsentKeysTestNegative) {
  std::mt19937_64 rng(5);
  std::vector<NgramKey> keys(2000);
  for (NgramKey& k : keys) k = rng();
  const Filter f(BuildBloom(keys, 10));
  int positives = 0;
  for (int i = 0; i < 10000; ++i) positives += f.MayContain(rng());
  // About 0.8% false positives at 10 bits per key.
  EXPECT_LT(positives, 300);
}

TEST(SummaryRecords, FindReturnsTheFirstRecordOfTheTag) {
  std::string summary;
  ASSERT_TRUE(AppendSummaryRecord(kBloomRecord, "bloom", &summary).ok());
  ASSERT_TRUE(AppendSummaryRecord(kTombstoneRecord, "dead", &summary).ok());
  ASSERT_TRUE(AppendSummaryRecord(kTombstoneRecord, "later", &summary).ok());
  EXPECT_EQ(summary.substr(0, 10), Bytes({1, 5, 0, 0, 0, 'b', 'l', 'o', 'o', 'm'}));
  EXPECT_EQ(summary.size(), 3 * 5u + 5 + 4 + 5);

  Result<std::optional<std::string_view>> bloom = FindSummaryRecord(summary, kBloomRecord);
  ASSERT_TRUE(bloom.ok());
  EXPECT_EQ(*bloom, "bloom");
  Result<std::optional<std::string_view>> dead = FindSummaryRecord(summary, kTombstoneRecord);
  ASSERT_TRUE(dead.ok());
  EXPECT_EQ(*dead, "dead");
  Result<std::optional<std::string_view>> none = FindSummaryRecord(summary, kFacetPresenceRecord);
  ASSERT_TRUE(none.ok());
  EXPECT_FALSE(none->has_value());
}

TEST(SummaryRecords, EmptyPayloadsAndStrayBytes) {
  std::string summary;
  ASSERT_TRUE(AppendSummaryRecord(kFacetPresenceRecord, "", &summary).ok());
  EXPECT_EQ(summary, Bytes({2, 0, 0, 0, 0}));
  Result<std::optional<std::string_view>> empty = FindSummaryRecord(summary, kFacetPresenceRecord);
  ASSERT_TRUE(empty.ok());
  ASSERT_TRUE(empty->has_value());
  EXPECT_EQ(**empty, "");

  for (const std::string& stray : {std::string(), Bytes({1, 200, 0}), Bytes({2, 0, 0, 0, 0, 1, 9, 9, 9})}) {
    Result<std::optional<std::string_view>> r = FindSummaryRecord(stray, kBloomRecord);
    ASSERT_TRUE(r.ok());
    EXPECT_FALSE(r->has_value());
  }
}

TEST(SummaryRecords, RecordPastTheEndIsMalformed) {
  const std::string summary = Bytes({4, 1, 0, 0, 0, 'x', 1, 6, 0, 0, 0, 'a', 'b'});
  for (uint8_t tag : {kBloomRecord, kFacetPresenceRecord}) {
    Result<std::optional<std::string_view>> r = FindSummaryRecord(summary, tag);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().code(), ErrorCode::kCore);
    EXPECT_EQ(r.error().message(), "malformed index: HYSS summary TLV out of range");
  }
  // A match before the broken record is still found.
  Result<std::optional<std::string_view>> found = FindSummaryRecord(summary, kTombstoneRecord);
  ASSERT_TRUE(found.ok());
  EXPECT_EQ(*found, "x");
  // A length near 2^32 is out of range, not wrapped.
  Result<std::optional<std::string_view>> huge =
      FindSummaryRecord(Bytes({1, 0xFF, 0xFF, 0xFF, 0xFF, 0}), kBloomRecord);
  EXPECT_FALSE(huge.ok());
}

}  // namespace
}  // namespace halcyra
