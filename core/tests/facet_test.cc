#include "facets/facet_map.h"

#include <gtest/gtest.h>

#include <vector>

#include "base/coding.h"
#include "test_readers.h"
#include "test_util.h"

namespace halcyra {
namespace {

using testing::Bytes;
using testing::kEmptyPosting;
using testing::RecordingSink;
using testing::Ids;
using testing::ParsedSidecar;
using testing::ParseSidecar;
using testing::SidecarCategory;
using testing::SidecarField;

// Byte-at-a-time FNV-1a 64, the definition the facet key is built on.
uint64_t Fnv(std::string_view bytes) {
  uint64_t h = 0xcbf29ce484222325ULL;
  for (unsigned char b : bytes) {
    h ^= b;
    h *= 0x100000001b3ULL;
  }
  return h;
}

uint64_t Key(std::string_view field, std::string_view category) {
  return Fnv(std::string(field) + '\x1F' + std::string(category));
}

// The posting of a single id below 65536.
std::string OneId(uint16_t id) {
  return Bytes({0x3A, 0x30, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0, static_cast<uint8_t>(id),
                static_cast<uint8_t>(id >> 8)});
}

std::string Write(FacetMap map, bool fold_case, uint32_t head_boundary = 65536) {
  BufferSink sink;
  Status s = WriteFacetSidecar(std::move(map), fold_case, head_boundary, sink);
  EXPECT_TRUE(s.ok()) << (s.ok() ? "" : s.error().message());
  return sink.Release();
}

TEST(FacetKey, IsFnv1aOverFieldSeparatorCategory) {
  EXPECT_EQ(Fnv(""), 0xcbf29ce484222325ULL);
  EXPECT_EQ(Fnv("a"), 0xaf63dc4c8601ec8cULL);
  EXPECT_EQ(FacetKey("type", "article", false), Key("type", "article"));
  EXPECT_EQ(FacetKey("type", "article", true), Key("type", "article"));
  EXPECT_EQ(FacetKey("", "", false), Key("", ""));
  EXPECT_NE(FacetKey("ab", "c", false), FacetKey("a", "bc", false));
}

TEST(FacetKey, FoldingLowercasesWholeNames) {
  EXPECT_EQ(FacetKey("Type", "ARTICLE", true), Key("type", "article"));
  EXPECT_EQ(FacetKey("Type", "ARTICLE", false), Key("Type", "ARTICLE"));
  // A capital sigma ending a word becomes a final sigma; elsewhere a small one.
  EXPECT_EQ(FacetKey("ΟΔΟΣ", "ΣΑΣ ΣΑ", true), Key("οδος", "σας σα"));
  // Full mappings may lengthen the name: U+0130 becomes i + U+0307.
  EXPECT_EQ(FacetKey("İ", "Ä", true), Key("i\u0307", "ä"));
  EXPECT_EQ(FacetKey("Straße", "", true), Key("straße", ""));
  // Invalid UTF-8 reads as U+FFFD when folding and is kept as is otherwise.
  EXPECT_EQ(FacetKey("\xFF" "A", "x", true), Key("\uFFFD" "a", "x"));
  EXPECT_EQ(FacetKey("\xFF" "A", "x", false), Key("\xFF" "A", "x"));
}

TEST(FacetMap, FieldsAndCategoriesInByteOrder) {
  FacetMap map;
  map.Insert("year", "2020", 3);
  map.Insert("year", "2020", 1);
  map.Insert("year", "1999", 2);
  map.Field("empty");
  map.Insert("\xC3\xA9", "x", 0);  // a non-ASCII name sorts after every ASCII one
  map.Insert("Year", "x", 0);
  std::vector<std::string> names;
  for (const auto& [name, categories] : map.fields()) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"Year", "empty", "year", "\xC3\xA9"}));
  const FacetCategories& year = map.fields().at("year");
  ASSERT_EQ(year.size(), 2u);
  EXPECT_EQ(year.begin()->first, "1999");
  EXPECT_EQ(year.at("2020").Cardinality(), 2u);
  EXPECT_TRUE(map.fields().at("empty").empty());
}

TEST(FacetSidecar, EmptyMapIsTheHeaderAlone) {
  EXPECT_EQ(Write(FacetMap(), true), Bytes({'H', 'Y', 'S', 'F', 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                            0, 0, 0, 0}));
  EXPECT_EQ(Write(FacetMap(), false), Bytes({'H', 'Y', 'S', 'F', 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                             0, 0, 0, 0}));
}

TEST(FacetSidecar, TwoFieldLayout) {
  FacetMap map;
  map.Insert("year", "2020", 0);
  map.Insert("type", "article", 1);
  std::string expected;
  expected.append("HYSF");
  PutFixed16(&expected, 1);
  PutFixed16(&expected, 0);
  PutFixed32(&expected, 2);   // fields
  PutFixed32(&expected, 2);   // categories
  PutFixed32(&expected, 19);  // blob
  PutFixed32(&expected, 0);
  const auto field_entry = [&](uint32_t name_offset, uint16_t name_length, uint32_t first, uint32_t count) {
    PutFixed32(&expected, name_offset);
    PutFixed16(&expected, name_length);
    PutFixed16(&expected, 0);
    PutFixed32(&expected, first);
    PutFixed32(&expected, count);
  };
  field_entry(0, 4, 0, 1);   // type
  field_entry(11, 4, 1, 1);  // year
  // type/article at P0 = 24 + 32 + 72 + 19 = 147, year/2020 26 bytes later.
  PutFixed64(&expected, Key("type", "article"));
  PutFixed64(&expected, 147);
  for (uint32_t v : {18u, 8u, 1u, 4u}) PutFixed32(&expected, v);
  PutFixed16(&expected, 7);
  PutFixed16(&expected, 0);
  PutFixed64(&expected, Key("year", "2020"));
  PutFixed64(&expected, 173);
  for (uint32_t v : {18u, 8u, 1u, 15u}) PutFixed32(&expected, v);
  PutFixed16(&expected, 4);
  PutFixed16(&expected, 0);
  expected.append("typearticleyear2020");
  ASSERT_EQ(expected.size(), 147u);
  expected += OneId(1) + kEmptyPosting + OneId(0) + kEmptyPosting;
  EXPECT_EQ(Write(std::move(map), true), expected);
}

TEST(FacetSidecar, FieldWithoutCategoriesKeepsItsName) {
  FacetMap map;
  map.Field("a");
  map.Insert("b", "x", 4);
  map.Field("c");
  const std::string file = Write(std::move(map), true);
  ParsedSidecar p = ParseSidecar(file);
  ASSERT_EQ(p.fields.size(), 3u);
  EXPECT_EQ(p.fields[0].name, "a");
  EXPECT_TRUE(p.fields[0].categories.empty());
  EXPECT_EQ(p.fields[2].name, "c");
  EXPECT_EQ(file.substr(24 + 48 + 36, 4), "abxc");
  // a's first index is b's; c's is past the last category.
  EXPECT_EQ(DecodeFixed32(file.data() + 24 + 8), 0u);
  EXPECT_EQ(DecodeFixed32(file.data() + 24 + 16 + 8), 0u);
  EXPECT_EQ(DecodeFixed32(file.data() + 24 + 32 + 8), 1u);
}

TEST(FacetSidecar, CategoriesSortedByKeyNamesInNameOrder) {
  FacetMap map;
  const std::vector<std::string> names = {"alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta"};
  for (uint32_t i = 0; i < names.size(); ++i) map.Insert("greek", names[i], i);
  const std::string file = Write(std::move(map), false);
  ParsedSidecar p = ParseSidecar(file);
  EXPECT_EQ(p.case_sensitive, 1u);
  ASSERT_EQ(p.fields.size(), 1u);
  const auto& cats = p.fields[0].categories;
  ASSERT_EQ(cats.size(), names.size());
  for (size_t i = 0; i + 1 < cats.size(); ++i) EXPECT_LT(cats[i].key, cats[i + 1].key);
  for (const SidecarCategory& c : cats) {
    EXPECT_EQ(c.key, Key("greek", c.name));
    const uint32_t id = static_cast<uint32_t>(std::find(names.begin(), names.end(), c.name) - names.begin());
    EXPECT_EQ(c.head, Ids({id}));
  }
  const size_t blob = 24 + 16 + 36 * names.size();
  const std::string blob_text = "greekalphabetadeltaepsilonetagammathetazeta";
  EXPECT_EQ(file.substr(blob, blob_text.size() + 1), blob_text + '\x3A');  // then the first posting
}

TEST(FacetSidecar, CaseVariantsShareAKeyAndStayInNameOrder) {
  FacetMap map;
  map.Insert("f", "b", 1);
  map.Insert("f", "B", 2);
  map.Insert("f", "a", 3);
  ParsedSidecar folded = ParseSidecar(Write(std::move(map), true));
  ASSERT_EQ(folded.fields[0].categories.size(), 3u);
  std::vector<std::string> order;
  for (const SidecarCategory& c : folded.fields[0].categories) order.push_back(c.name);
  // B and b tie on key and keep name order; a sorts by its own key.
  const auto b_upper = std::find(order.begin(), order.end(), "B");
  ASSERT_NE(b_upper + 1, order.end());
  EXPECT_EQ(*(b_upper + 1), "b");
  const auto& cats = folded.fields[0].categories;
  EXPECT_EQ(cats[b_upper - order.begin()].key, cats[b_upper - order.begin() + 1].key);
  EXPECT_EQ(cats[b_upper - order.begin()].head, Ids({2}));

  FacetMap unfolded;
  unfolded.Insert("f", "b", 1);
  unfolded.Insert("f", "B", 2);
  ParsedSidecar p = ParseSidecar(Write(std::move(unfolded), false));
  EXPECT_NE(p.fields[0].categories[0].key, p.fields[0].categories[1].key);
}

TEST(FacetSidecar, HeadAndTailSplitAtTheBoundary) {
  FacetMap map;
  map.Insert("f", "low", 1);
  map.Insert("f", "low", 65535);
  map.Insert("f", "high", 65536);
  map.Insert("f", "both", 7);
  map.Insert("f", "both", 200000);
  ParsedSidecar p = ParseSidecar(Write(std::move(map), true, 65536));
  for (const SidecarCategory& c : p.fields[0].categories) {
    if (c.name == "low") {
      EXPECT_EQ(c.head, Ids({1, 65535}));
      EXPECT_EQ(c.tail_length, 8u);
      EXPECT_EQ(c.cardinality, 2u);
    } else if (c.name == "high") {
      EXPECT_EQ(c.head_length, 8u);
      EXPECT_EQ(c.tail, Ids({65536}));
    } else {
      EXPECT_EQ(c.head, Ids({7}));
      EXPECT_EQ(c.tail, Ids({200000}));
      EXPECT_EQ(c.cardinality, 2u);
    }
  }
  FacetMap again;
  again.Insert("f", "both", 7);
  again.Insert("f", "both", 200000);
  ParsedSidecar wide = ParseSidecar(Write(std::move(again), true, 262144));
  EXPECT_EQ(wide.fields[0].categories[0].head, Ids({7, 200000}));
  EXPECT_EQ(wide.fields[0].categories[0].tail_length, 8u);
}

TEST(FacetSidecar, NameLengthLimit) {
  FacetMap ok;
  ok.Insert(std::string(65535, 'f'), std::string(65535, 'c'), 0);
  ParsedSidecar p = ParseSidecar(Write(std::move(ok), true));
  EXPECT_EQ(p.fields[0].name.size(), 65535u);
  EXPECT_EQ(p.fields[0].categories[0].name.size(), 65535u);

  for (bool long_field : {true, false}) {
    FacetMap map;
    map.Insert(long_field ? std::string(65536, 'f') : "f", long_field ? "c" : std::string(65536, 'c'), 0);
    RecordingSink sink;
    Status s = WriteFacetSidecar(std::move(map), true, 65536, sink);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().code(), ErrorCode::kLimit);
    EXPECT_EQ(s.error().message(), "facet name exceeds the 16-bit length limit");
    EXPECT_EQ(sink.bytes(), "");
    EXPECT_EQ(sink.closes(), 1);
  }
}

TEST(FacetSidecar, ManyFieldsRoundTrip) {
  FacetMap map;
  for (uint32_t f = 0; f < 20; ++f) {
    for (uint32_t c = 0; c < 30; ++c) {
      for (uint32_t d = f; d < 150000; d += 997 * (c + 1)) {
        map.Insert("field" + std::to_string(f), "cat" + std::to_string(c), d);
      }
    }
  }
  const std::string file = Write(std::move(map), true);
  ParsedSidecar p = ParseSidecar(file);
  ASSERT_EQ(p.fields.size(), 20u);
  for (const SidecarField& field : p.fields) {
    ASSERT_EQ(field.categories.size(), 30u);
    const uint32_t f = static_cast<uint32_t>(std::stoul(field.name.substr(5)));
    for (const SidecarCategory& cat : field.categories) {
      const uint32_t c = static_cast<uint32_t>(std::stoul(cat.name.substr(3)));
      Ids head, tail;
      for (uint32_t d = f; d < 150000; d += 997 * (c + 1)) (d < 65536 ? head : tail).push_back(d);
      EXPECT_EQ(cat.head, head);
      EXPECT_EQ(cat.tail, tail);
      EXPECT_EQ(cat.cardinality, head.size() + tail.size());
      EXPECT_EQ(cat.key, Key(field.name, cat.name));
    }
  }
}

}  // namespace
}  // namespace halcyra
