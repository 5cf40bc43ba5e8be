#include "facets/facet_presence.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "splitset/summary.h"
#include "test_util.h"

namespace halcyra {
namespace {

using testing::Cursor;

std::vector<uint64_t> Keys(const std::string& payload) {
  Cursor c(payload);
  const uint32_t n = c.U32();
  std::vector<uint64_t> keys;
  for (uint32_t i = 0; i < n; ++i) keys.push_back(c.U64());
  EXPECT_EQ(c.pos(), payload.size());
  return keys;
}

std::string Presence(const FacetMap& map, bool fold_case) {
  Result<std::string> r = BuildFacetPresence(map, fold_case);
  EXPECT_TRUE(r.ok());
  return r.ok() ? *r : std::string();
}

TEST(FacetPresence, OneCategoryFramesAs17Bytes) {
  FacetMap map;
  map.Insert("type", "article", 0);
  const std::string payload = Presence(map, true);
  ASSERT_EQ(payload.size(), 12u);
  const uint64_t key = FacetKey("type", "article", true);
  // Both names are lower case already, so folding changes nothing.
  EXPECT_EQ(key, FacetKey("type", "article", false));
  std::string expected;
  PutFixed32(&expected, 1);
  PutFixed64(&expected, key);
  EXPECT_EQ(payload, expected);

  std::string summary;
  ASSERT_TRUE(AppendSummaryRecord(kFacetPresenceRecord, payload, &summary).ok());
  EXPECT_EQ(summary.size(), 17u);
  EXPECT_EQ(summary.substr(0, 5), testing::Bytes({2, 12, 0, 0, 0}));
}

TEST(FacetPresence, KeysAscendingAsUnsigned) {
  FacetMap map;
  for (int year = 1990; year <= 2020; ++year) map.Insert("year", std::to_string(year), 1);
  map.Insert("type", "article", 2);
  map.Insert("type", "review", 3);
  map.Insert("type", "x", 3);
  map.Insert("lang", "en", 4);
  map.Field("empty");  // a field without categories has no key
  std::vector<uint64_t> expected;
  for (const auto& [field, categories] : map.fields()) {
    for (const auto& category : categories) expected.push_back(FacetKey(field, category.first, true));
  }
  std::sort(expected.begin(), expected.end());
  ASSERT_EQ(expected.size(), 35u);
  // The keys span both halves of the unsigned range, where a signed order
  // would differ.
  EXPECT_LT(expected.front(), uint64_t{1} << 63);
  EXPECT_GE(expected.back(), uint64_t{1} << 63);
  EXPECT_EQ(Keys(Presence(map, true)), expected);
}

TEST(FacetPresence, CaseVariantsShareAKeyOnlyWhenFolding) {
  FacetMap map;
  map.Insert("Type", "Article", 0);
  map.Insert("Type", "ARTICLE", 1);
  map.Insert("type", "article", 2);
  const std::vector<uint64_t> folded = Keys(Presence(map, true));
  EXPECT_EQ(folded, std::vector<uint64_t>{FacetKey("type", "article", false)});
  const std::vector<uint64_t> exact = Keys(Presence(map, false));
  EXPECT_EQ(exact.size(), 3u);
  EXPECT_TRUE(std::is_sorted(exact.begin(), exact.end()));
  for (auto [f, c] : {std::pair{"Type", "Article"}, {"Type", "ARTICLE"}, {"type", "article"}}) {
    EXPECT_TRUE(std::binary_search(exact.begin(), exact.end(), FacetKey(f, c, false))) << f << "/" << c;
  }
}

TEST(FacetPresence, EmptyMapHasNoKeys) {
  EXPECT_EQ(Presence(FacetMap(), true), std::string(4, '\0'));
}

}  // namespace
}  // namespace halcyra
