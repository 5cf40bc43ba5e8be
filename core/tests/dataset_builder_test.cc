#include "halcyra/dataset_builder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "facets/facet_map.h"
#include "test_readers.h"
#include "test_util.h"

namespace halcyra {
namespace {

using testing::Bytes;
using testing::Ids;
using testing::ParsedIndex;
using testing::ParseIndex;
using testing::ParsedSidecar;
using testing::ParseSidecar;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

const char* const kFiles[] = {"index.hys", "index.hyf", "records.bin", "records.idx"};

DatasetBuilder Make(uint16_t gram_size = 3, uint32_t head_boundary = 65536) {
  Result<DatasetBuilder> b = DatasetBuilder::Create(gram_size, head_boundary);
  EXPECT_TRUE(b.ok());
  return std::move(b).value();
}

StagedRecord Rec(int64_t rank, std::string text, std::string record,
                 std::vector<std::pair<std::string, std::vector<std::string>>> facets = {}) {
  return StagedRecord{rank, std::move(text), std::move(record), std::move(facets)};
}

BuildStats MustBuild(const DatasetBuilder& b, const std::string& dir) {
  Result<BuildStats> stats = b.Build(dir);
  EXPECT_TRUE(stats.ok()) << (stats.ok() ? "" : stats.error().message());
  return stats.ok() ? *stats : BuildStats();
}

// Payloads in DocId order, read back through records.idx.
std::vector<std::string> Records(const std::string& dir) {
  const std::string idx = ReadFile(dir + "/records.idx"), bin = ReadFile(dir + "/records.bin");
  testing::Cursor c(idx);
  EXPECT_EQ(c.Str(4), "HYSR");
  EXPECT_EQ(c.U16(), 1);
  EXPECT_EQ(c.U16(), 0);
  const uint32_t n = c.U32();
  EXPECT_EQ(c.U32(), 0u);
  EXPECT_EQ(idx.size(), 16 + 8 * (size_t{n} + 1));
  std::vector<std::string> out;
  uint64_t start = c.U64();
  EXPECT_EQ(start, 0u);
  for (uint32_t i = 0; i < n; ++i) {
    const uint64_t end = c.U64();
    out.push_back(bin.substr(start, end - start));
    start = end;
  }
  EXPECT_EQ(start, bin.size());
  return out;
}

constexpr uint64_t Tri(const char* s) {
  return uint64_t{static_cast<uint8_t>(s[0])} << 16 | uint64_t{static_cast<uint8_t>(s[1])} << 8 |
         static_cast<uint8_t>(s[2]);
}

TEST(DatasetBuilder, ConstructorChecksAndDefaults) {
  for (uint32_t bad : {100u, 65535u, 65537u, UINT32_MAX}) {
    Result<DatasetBuilder> b = DatasetBuilder::Create(3, bad);
    ASSERT_FALSE(b.ok());
    EXPECT_EQ(b.error().code(), ErrorCode::kInvalidArgument);
    EXPECT_EQ(b.error().message(), "head_boundary must be a multiple of 65536, got " + std::to_string(bad));
  }
  EXPECT_EQ(Make(3, 0).head_boundary(), 65536u);
  EXPECT_EQ(Make(3, 131072).head_boundary(), 131072u);
  EXPECT_EQ(Make(3, 4294901760u).head_boundary(), 4294901760u);
  EXPECT_EQ(Make(0).gram_size(), 1u);
  EXPECT_EQ(Make(65535).gram_size(), 65535u);
}

TEST(DatasetBuilder, EmptyDataset) {
  TempDir dir;
  DatasetBuilder b = Make();
  BuildStats stats = MustBuild(b, dir.path());
  EXPECT_EQ(stats.docs, 0u);
  EXPECT_EQ(stats.ngrams, 0u);
  EXPECT_EQ(stats.fields, 0u);
  EXPECT_EQ(ReadFile(dir / "index.hys"), Bytes({'H', 'Y', 'S', 'I', 3, 0, 3, 0, 0, 0, 0, 0, 0, 2, 0, 0}));
  EXPECT_EQ(ReadFile(dir / "index.hyf"),
            Bytes({'H', 'Y', 'S', 'F', 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(ReadFile(dir / "records.bin"), "");
  EXPECT_EQ(ReadFile(dir / "records.idx"),
            Bytes({'H', 'Y', 'S', 'R', 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(DatasetBuilder, SingleDocumentIndex) {
  TempDir dir;
  DatasetBuilder b = Make();
  b.Add(Rec(0, "ABC", "payload"));
  BuildStats stats = MustBuild(b, dir.path());
  EXPECT_EQ(stats.docs, 1u);
  EXPECT_EQ(stats.ngrams, 1u);
  // Case is folded: the key is that of "abc".
  EXPECT_EQ(ReadFile(dir / "index.hys"),
            Bytes({'H',  'Y',  'S',  'I',  3,    0,    3, 0, 1,    0, 0, 0, 0, 2, 0, 0,  //
                   0x63, 0x62, 0x61, 0,    0,    0,    0, 0,                             //
                   0x63, 0x62, 0x61, 0,    0,    0,    0, 0, 44,   0, 0, 0, 0, 0, 0, 0, 18, 0, 0, 0,
                   0x3A, 0x30, 0,    0,    1,    0,    0, 0, 0,    0, 0, 0, 0x10, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Records(dir.path()), std::vector<std::string>{"payload"});
}

TEST(DatasetBuilder, DocIdsFollowRankDescending) {
  TempDir dir;
  DatasetBuilder b = Make();
  b.Add(Rec(5, "aaa", "first"));
  b.Add(Rec(9, "bbb", "second"));
  b.Add(Rec(5, "ccc", "third"));
  MustBuild(b, dir.path());
  EXPECT_EQ(Records(dir.path()), (std::vector<std::string>{"second", "first", "third"}));
  ParsedIndex index = ParseIndex(ReadFile(dir / "index.hys"));
  EXPECT_EQ(index.postings[Tri("aaa")], Ids({1}));
  EXPECT_EQ(index.postings[Tri("bbb")], Ids({0}));
  EXPECT_EQ(index.postings[Tri("ccc")], Ids({2}));

  DatasetBuilder signs = Make();
  signs.Add(Rec(-1, "", "minus one"));
  signs.Add(Rec(INT64_MIN, "", "min"));
  signs.Add(Rec(0, "", "zero"));
  signs.Add(Rec(INT64_MAX, "", "max"));
  signs.Add(Rec(-1, "", "minus one again"));
  MustBuild(signs, dir.path());
  EXPECT_EQ(Records(dir.path()), (std::vector<std::string>{"max", "zero", "minus one", "minus one again", "min"}));
}

TEST(DatasetBuilder, PostingsAndShortTexts) {
  TempDir dir;
  DatasetBuilder b = Make();
  b.Add(Rec(3, "Hello hello", "a"));
  b.Add(Rec(2, "", "b"));
  b.Add(Rec(1, "hi", "c"));  // fewer retained characters than the gram size
  b.Add(Rec(0, "HELLO", "d"));
  BuildStats stats = MustBuild(b, dir.path());
  EXPECT_EQ(stats.docs, 4u);
  EXPECT_EQ(stats.ngrams, 3u);
  ParsedIndex index = ParseIndex(ReadFile(dir / "index.hys"));
  EXPECT_EQ(index.postings, (std::map<uint64_t, Ids>{
                                {Tri("hel"), Ids({0, 3})}, {Tri("ell"), Ids({0, 3})}, {Tri("llo"), Ids({0, 3})}}));
  EXPECT_EQ(Records(dir.path()), (std::vector<std::string>{"a", "b", "c", "d"}));

  // Gram size 0 indexes single characters.
  DatasetBuilder unigrams = Make(0);
  unigrams.Add(Rec(0, "aba", ""));
  EXPECT_EQ(MustBuild(unigrams, dir.path()).ngrams, 2u);
  index = ParseIndex(ReadFile(dir / "index.hys"));
  EXPECT_EQ(index.gram_size, 1u);
  EXPECT_EQ(index.keys, (std::vector<uint64_t>{'a', 'b'}));
}

TEST(DatasetBuilder, ManyDocumentsShareKeys) {
  TempDir dir;
  DatasetBuilder b = Make();
  const std::vector<std::string> words = {"alpha", "beta", "gamma", "delta", "epsilon"};
  std::map<uint64_t, Ids> expected;
  for (uint32_t i = 0; i < 3000; ++i) {
    // Record i gets DocId 2999 - i (ranks descend from the last record).
    const std::string& w = words[i % words.size()];
    b.Add(Rec(i, w + " " + std::to_string(i % 7), std::to_string(i)));
    for (size_t j = 0; j + 3 <= w.size(); ++j) {
      auto& ids = expected[Tri(w.c_str() + j)];
      if (ids.empty() || ids.back() != 2999 - i) ids.push_back(2999 - i);
    }
  }
  for (auto& [key, ids] : expected) std::sort(ids.begin(), ids.end());
  BuildStats stats = MustBuild(b, dir.path());
  EXPECT_EQ(stats.ngrams, expected.size());
  EXPECT_EQ(ParseIndex(ReadFile(dir / "index.hys")).postings, expected);
  std::vector<std::string> records = Records(dir.path());
  ASSERT_EQ(records.size(), 3000u);
  EXPECT_EQ(records[0], "2999");
  EXPECT_EQ(records[2999], "0");
}

TEST(DatasetBuilder, FacetsBecomeTheSidecar) {
  TempDir dir;
  DatasetBuilder b = Make();
  b.Add(Rec(1, "", "x", {{"year", {"2020", "2021"}}, {"type", {"article"}}}));
  b.Add(Rec(2, "", "y", {{"year", {"2020"}}}));
  b.Add(Rec(0, "", "z", {{"empty", {}}}));
  BuildStats stats = MustBuild(b, dir.path());
  EXPECT_EQ(stats.fields, 3u);
  ParsedSidecar sidecar = ParseSidecar(ReadFile(dir / "index.hyf"));
  EXPECT_EQ(sidecar.case_sensitive, 0u);
  ASSERT_EQ(sidecar.fields.size(), 3u);
  EXPECT_EQ(sidecar.fields[0].name, "empty");
  EXPECT_TRUE(sidecar.fields[0].categories.empty());
  EXPECT_EQ(sidecar.fields[1].name, "type");
  EXPECT_EQ(sidecar.fields[1].categories[0].head, Ids({1}));
  EXPECT_EQ(sidecar.fields[2].name, "year");
  for (const auto& c : sidecar.fields[2].categories) {
    EXPECT_EQ(c.key, FacetKey("year", c.name, true));
    EXPECT_EQ(c.head, c.name == "2020" ? Ids({0, 1}) : Ids({1}));
  }

  DatasetBuilder only_empty = Make();
  only_empty.Add(Rec(0, "", "", {{"year", {}}}));
  EXPECT_EQ(MustBuild(only_empty, dir.path()).fields, 1u);
}

TEST(DatasetBuilder, HeadBoundaryAppliesToTheSidecar) {
  TempDir dir;
  for (uint32_t boundary : {65536u, 131072u}) {
    DatasetBuilder b = Make(3, boundary);
    b.Reserve(70001);
    for (int i = 0; i < 70000; ++i) b.Add(Rec(1, "", ""));
    b.Add(Rec(0, "", "last", {{"f", {"c"}}}));  // lowest rank: DocId 70000
    b.Add(Rec(2, "", "first", {{"f", {"c"}}}));  // highest rank: DocId 0
    MustBuild(b, dir.path());
    const ParsedSidecar sidecar = ParseSidecar(ReadFile(dir / "index.hyf"));
    const auto& c = sidecar.fields[0].categories[0];
    if (boundary == 65536) {
      EXPECT_EQ(c.head, Ids({0}));
      EXPECT_EQ(c.tail, Ids({70001}));
    } else {
      EXPECT_EQ(c.head, Ids({0, 70001}));
      EXPECT_EQ(c.tail_length, 8u);
    }
  }
}

TEST(DatasetBuilder, RebuildsAreByteIdentical) {
  TempDir dir;
  DatasetBuilder b = Make();
  for (int i = 0; i < 500; ++i) {
    b.Add(Rec(i % 13, "text number " + std::to_string(i) + " żółw Ωμέγα", std::string(i % 5, 'r'),
              {{"mod", {std::to_string(i % 3)}}, {"Mod", {"A", "a"}}}));
  }
  MustBuild(b, dir / "one");
  MustBuild(b, dir / "one");
  MustBuild(b, dir / "two/nested");
  for (const char* name : kFiles) {
    EXPECT_EQ(ReadFile(dir / "one/" + std::string(name)), ReadFile(dir / "two/nested/" + std::string(name))) << name;
  }
  // More records may be added and the dataset rebuilt from scratch.
  b.Add(Rec(100, "new best", "top"));
  EXPECT_EQ(MustBuild(b, dir / "one").docs, 501u);
  EXPECT_EQ(Records(dir / "one")[0], "top");
}

TEST(DatasetBuilder, AddBatchAppendsInOrder) {
  TempDir dir;
  DatasetBuilder b = Make();
  b.Add(Rec(0, "", "a"));
  std::vector<StagedRecord> batch;
  batch.push_back(Rec(0, "", "b"));
  batch.push_back(Rec(0, "", "c"));
  b.AddBatch(std::move(batch));
  EXPECT_EQ(b.size(), 3u);
  MustBuild(b, dir.path());
  EXPECT_EQ(Records(dir.path()), (std::vector<std::string>{"a", "b", "c"}));
}

TEST(DatasetBuilder, FailuresCarryTheSystemError) {
  TempDir dir;
  WriteFile(dir / "plain", "x");
  DatasetBuilder b = Make();
  b.Add(Rec(0, "abc", "x"));
  Result<BuildStats> under_file = b.Build(dir / "plain/out");
  ASSERT_FALSE(under_file.ok());
  EXPECT_EQ(under_file.error().code(), ErrorCode::kOs);
  EXPECT_EQ(under_file.error().message(), "Not a directory (os error 20)");

  // A directory where index.hyf belongs stops the build after index.hys.
  ASSERT_TRUE(std::filesystem::create_directories(dir / "out/index.hyf"));
  Result<BuildStats> blocked = b.Build(dir / "out");
  ASSERT_FALSE(blocked.ok());
  EXPECT_EQ(blocked.error().message(), "Is a directory (os error 21)");
  EXPECT_EQ(ReadFile(dir / "out/index.hys").size(), 62u);
  EXPECT_FALSE(std::filesystem::exists(dir / "out/records.bin"));
  EXPECT_EQ(b.size(), 1u);  // the staged records are untouched
}

}  // namespace
}  // namespace halcyra
