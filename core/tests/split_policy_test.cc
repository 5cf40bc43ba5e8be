#include "splitset/split_policy.h"

#include <gtest/gtest.h>

#include <string>

namespace halcyra {
namespace {

constexpr uint64_t kMiB = uint64_t{1} << 20;

std::string PolicyError(std::string_view name) {
  Result<SplitPolicy> p = ParseSplitPolicy(name);
  if (p.ok()) return "ok";
  EXPECT_EQ(p.error().code(), ErrorCode::kInvalidArgument);
  return p.error().message();
}

TEST(SplitPolicy, NamesIgnoreAsciiCase) {
  for (const char* name : {"rank", "tiered", "rank_tiered", "Tiered", "RANK_TIERED"}) {
    Result<SplitPolicy> p = ParseSplitPolicy(name);
    ASSERT_TRUE(p.ok()) << name;
    EXPECT_EQ(*p, SplitPolicy::kTiered) << name;
  }
  for (const char* name : {"stable", "ingest", "stablekey", "stable_key", "Stable_Key", "INGEST"}) {
    Result<SplitPolicy> p = ParseSplitPolicy(name);
    ASSERT_TRUE(p.ok()) << name;
    EXPECT_EQ(*p, SplitPolicy::kStableKey) << name;
  }
  EXPECT_EQ(static_cast<int>(SplitPolicy::kTiered), 0);
  EXPECT_EQ(static_cast<int>(SplitPolicy::kStableKey), 1);
}

TEST(SplitPolicy, UnknownNameIsReportedLowercasedAndEscaped) {
  EXPECT_EQ(PolicyError("Tier"), "unknown policy \"tier\"; use 'tiered' or 'stable_key'");
  EXPECT_EQ(PolicyError(""), "unknown policy \"\"; use 'tiered' or 'stable_key'");
  EXPECT_EQ(PolicyError("stable key"), "unknown policy \"stable key\"; use 'tiered' or 'stable_key'");
  // Only ASCII letters are folded; other bytes pass unchanged.
  EXPECT_EQ(PolicyError("Ä-RANK"), "unknown policy \"Ä-rank\"; use 'tiered' or 'stable_key'");
  EXPECT_EQ(PolicyError("a\"b\\c"), "unknown policy \"a\\\"b\\\\c\"; use 'tiered' or 'stable_key'");
  EXPECT_EQ(PolicyError(std::string("t\t\n\r\0x", 6)),
            "unknown policy \"t\\t\\n\\r\\0x\"; use 'tiered' or 'stable_key'");
  // Other control characters, C1 included, as \u{hex}.
  EXPECT_EQ(PolicyError("\x01\x1b\x7f\xc2\x85\xc2\xa0"),
            "unknown policy \"\\u{1}\\u{1b}\\u{7f}\\u{85}\xc2\xa0\"; use 'tiered' or 'stable_key'");
}

TEST(SplitByteCap, FixedWithoutMaximum) {
  for (uint64_t i : {0, 1, 5, 63, 64, 1000}) EXPECT_EQ(SplitByteCap(32 * kMiB, 0, i), 32 * kMiB);
  EXPECT_EQ(SplitByteCap(0, 0, 3), 0u);
}

TEST(SplitByteCap, DoublesUpToTheMaximum) {
  const uint64_t expected[] = {32, 64, 128, 128, 128};
  for (uint64_t i = 0; i < 5; ++i) EXPECT_EQ(SplitByteCap(32 * kMiB, 128 * kMiB, i), expected[i] * kMiB) << i;
  // A maximum between two doublings is reached exactly.
  EXPECT_EQ(SplitByteCap(100, 250, 1), 200u);
  EXPECT_EQ(SplitByteCap(100, 250, 2), 250u);
  // Far past the point where byte_cap << i would overflow, the cap stays put.
  for (uint64_t i : {40, 62, 63, 64, 65, 1000}) EXPECT_EQ(SplitByteCap(32 * kMiB, 128 * kMiB, i), 128 * kMiB) << i;
  EXPECT_EQ(SplitByteCap(3, UINT64_MAX, 62), uint64_t{3} << 62);
  for (uint64_t i : {63, 64, 65, 1000}) EXPECT_EQ(SplitByteCap(3, UINT64_MAX, i), UINT64_MAX) << i;
  EXPECT_EQ(SplitByteCap(1, UINT64_MAX, 63), uint64_t{1} << 63);
  EXPECT_EQ(SplitByteCap(1, UINT64_MAX, 64), uint64_t{1} << 63);  // the shift stops at 63
  EXPECT_EQ(SplitByteCap(UINT64_MAX, 1, 1), UINT64_MAX);
}

TEST(SplitByteCap, MaximumBelowCapActsAsCap) {
  for (uint64_t i : {0, 1, 2, 50}) EXPECT_EQ(SplitByteCap(32 * kMiB, 1, i), 32 * kMiB);
  // A zero cap stays zero: doubling nothing gives nothing.
  EXPECT_EQ(SplitByteCap(0, 100, 10), 0u);
}

TEST(SplitFileName, PadsToFiveDigits) {
  EXPECT_EQ(SplitFileName("corpus", 's', 0, ".hys"), "corpus-s00000.hys");
  EXPECT_EQ(SplitFileName("corpus", 's', 42, ".hyf"), "corpus-s00042.hyf");
  EXPECT_EQ(SplitFileName("corpus", 's', 99999, ".hyt"), "corpus-s99999.hyt");
  EXPECT_EQ(SplitFileName("corpus", 's', 100000, ".hys"), "corpus-s100000.hys");
  EXPECT_EQ(SplitFileName("corpus", 's', 123456, ".hys"), "corpus-s123456.hys");
  EXPECT_EQ(SplitFileName("corpus", 'd', 3, ".hys"), "corpus-d00003.hys");
  EXPECT_EQ(SplitFileName("", 'c', UINT32_MAX, ".hys"), "-c4294967295.hys");
}

TEST(SplitTier, IndexCappedUnderTieredZeroUnderStableKey) {
  EXPECT_EQ(SplitTier(SplitPolicy::kTiered, 0), 0);
  EXPECT_EQ(SplitTier(SplitPolicy::kTiered, 2), 2);
  EXPECT_EQ(SplitTier(SplitPolicy::kTiered, 65535), 65535);
  EXPECT_EQ(SplitTier(SplitPolicy::kTiered, 65536), 65535);
  EXPECT_EQ(SplitTier(SplitPolicy::kTiered, UINT64_MAX), 65535);
  EXPECT_EQ(SplitTier(SplitPolicy::kStableKey, 0), 0);
  EXPECT_EQ(SplitTier(SplitPolicy::kStableKey, 70000), 0);
}

}  // namespace
}  // namespace halcyra
