#include "halcyra/split_set_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "facets/facet_map.h"
#include "halcyra/ngram.h"
#include "ngram/ngram_index.h"
#include "splitset/manifest.h"
#include "splitset/summary.h"
#include "test_readers.h"
#include "test_util.h"

namespace halcyra {
namespace {

using testing::BloomFilter;
using testing::Ids;
using testing::ParseIndex;
using testing::ParseSidecar;
using testing::ReadFile;
using testing::TempDir;

BatchSplitSetBuilder Make(SplitSetOptions options) {
  Result<BatchSplitSetBuilder> b = BatchSplitSetBuilder::Create(std::move(options));
  EXPECT_TRUE(b.ok()) << (b.ok() ? "" : b.error().message());
  return std::move(b).value();
}

DocId MustAdd(BatchSplitSetBuilder& b, std::string_view text, const FacetMemberships* facets = nullptr) {
  Result<DocId> id = facets != nullptr ? b.AddFaceted(text, *facets) : b.Add(text);
  EXPECT_TRUE(id.ok()) << (id.ok() ? "" : id.error().message());
  return id.ok() ? *id : UINT32_MAX;
}

SplitSetBuildStats MustBuild(BatchSplitSetBuilder& b, const std::string& dir, std::string_view manifest = "index") {
  Result<SplitSetBuildStats> stats = std::move(b).Build(dir, manifest);
  EXPECT_TRUE(stats.ok()) << (stats.ok() ? "" : stats.error().message());
  return stats.ok() ? *stats : SplitSetBuildStats();
}

std::string BuildError(BatchSplitSetBuilder& b, const std::string& dir) {
  Result<SplitSetBuildStats> stats = std::move(b).Build(dir);
  return stats.ok() ? "ok" : stats.error().message();
}

std::set<std::string> ListDir(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

Manifest ReadManifest(const std::string& path) {
  Result<Manifest> m = ParseManifest(ReadFile(path));
  EXPECT_TRUE(m.ok()) << (m.ok() ? "" : m.error().message());
  return m.ok() ? std::move(*m) : Manifest();
}

std::optional<std::string_view> Record(const SplitEntry& e, uint8_t tag) {
  Result<std::optional<std::string_view>> r = FindSummaryRecord(e.summary, tag);
  EXPECT_TRUE(r.ok());
  return r.ok() ? *r : std::nullopt;
}

// Document counts of the splits, one per split.
std::vector<uint32_t> SplitSizes(const Manifest& m) {
  std::vector<uint32_t> sizes;
  for (const SplitEntry& e : m.splits) sizes.push_back(e.doc_count);
  return sizes;
}

// ---- A model of the builder, written from the rules alone ------------------

struct Doc {
  std::string text;
  FacetMemberships facets;
};

struct ModelOptions {
  uint64_t byte_cap;
  uint64_t byte_cap_max = 0;
  uint32_t stride = 512;
};

uint64_t ModelCap(const ModelOptions& o, size_t i) {
  if (o.byte_cap_max == 0) return o.byte_cap;
  const uint64_t ceiling = std::max(o.byte_cap, o.byte_cap_max);
  uint64_t cap = o.byte_cap;
  for (size_t j = 0; j < i && cap < ceiling; ++j) cap *= 2;
  return std::min(cap, ceiling);
}

// How many documents each split gets under the seal-before-add rule.
std::vector<uint32_t> ModelSplits(const std::vector<std::vector<NgramKey>>& doc_keys, const ModelOptions& o) {
  std::vector<uint32_t> sizes;
  std::set<NgramKey> open;
  uint64_t postings = 0;
  uint32_t count = 0;
  for (const std::vector<NgramKey>& keys : doc_keys) {
    if (count != 0) {
      const uint64_t k = open.size(), d = keys.size();
      uint64_t n = 0;
      for (NgramKey key : keys) n += open.count(key) == 0;
      const uint64_t estimate = 64 * (k + n) + 2 * d + 2 * postings + 8 * ((k + o.stride - 1) / o.stride) + 20;
      if (estimate > ModelCap(o, sizes.size())) {
        sizes.push_back(count);
        open.clear();
        postings = 0;
        count = 0;
      }
    }
    open.insert(keys.begin(), keys.end());
    postings += keys.size();
    ++count;
  }
  if (count != 0) sizes.push_back(count);
  return sizes;
}

// Checks a built set against the documents: manifest header and entries,
// every split's postings against a brute-force tokenization, Bloom filters,
// sidecars and facet-presence lists, and the directory's contents.
void CheckSet(const std::string& dir, const std::vector<Doc>& docs, const SplitSetOptions& o,
              const SplitSetBuildStats& stats) {
  const bool fold = !o.case_sensitive;
  const uint16_t gram = std::max<uint16_t>(o.gram_size, 1);
  const bool stable = o.policy == "stable_key";
  const Manifest m = ReadManifest(dir + "/index.hyss");

  bool any_facets = false;
  for (const Doc& d : docs) {
    for (const auto& [field, categories] : d.facets) any_facets |= !categories.empty();
  }
  const uint16_t flags = static_cast<uint16_t>((o.bloom_bits_per_key != 0 ? 0x1 : 0) | (any_facets ? 0x2 : 0) |
                                               (fold ? 0 : 0x10));
  EXPECT_EQ(m.header.flags, flags);
  EXPECT_EQ(m.header.policy, stable ? 1 : 0);
  EXPECT_EQ(m.header.body_kind, 0);
  EXPECT_EQ(m.header.tier_count, stable ? 0 : m.splits.size());
  EXPECT_EQ(m.header.base_count, m.splits.size());
  EXPECT_EQ(m.header.byte_cap, o.byte_cap);
  EXPECT_EQ(m.header.gram_size, gram);
  EXPECT_EQ(m.header.sortcol, o.sortcol);

  std::vector<std::vector<NgramKey>> doc_keys;
  for (const Doc& d : docs) doc_keys.push_back(NgramKeys(d.text, gram, fold));
  EXPECT_EQ(SplitSizes(m), ModelSplits(doc_keys, {o.byte_cap, o.byte_cap_max, o.stride == 0 ? 512 : o.stride}));

  std::set<std::string> expected_files = {"index.hyss"};
  uint64_t total = 0;
  uint32_t next_id = 0;
  for (size_t i = 0; i < m.splits.size(); ++i) {
    SCOPED_TRACE("split " + std::to_string(i));
    const SplitEntry& e = m.splits[i];
    char name[32];
    std::snprintf(name, sizeof name, "-s%05zu", i);
    EXPECT_EQ(e.name, o.name_prefix + name + ".hys");
    EXPECT_EQ(e.first_id, next_id);
    ASSERT_GE(e.doc_count, 1u);
    EXPECT_EQ(e.last_id, e.first_id + e.doc_count - 1);
    EXPECT_EQ(e.tier, stable ? 0 : i);
    EXPECT_EQ(e.epoch, 0u);
    EXPECT_EQ(e.flags, 0);
    next_id += e.doc_count;

    // Postings by local number, brute force.
    std::map<uint64_t, Ids> postings;
    FacetMap facets;
    for (uint32_t local = 0; local < e.doc_count; ++local) {
      const Doc& d = docs[e.first_id + local];
      for (NgramKey key : doc_keys[e.first_id + local]) postings[key].push_back(local);
      for (const auto& [field, categories] : d.facets) {
        for (const std::string& c : categories) facets.Insert(field, c, local);
      }
    }
    const std::string body = ReadFile(dir + "/" + e.name);
    EXPECT_EQ(e.byte_size, body.size());
    total += body.size();
    expected_files.insert(e.name);
    const testing::ParsedIndex index = ParseIndex(body);
    EXPECT_EQ(index.version, fold ? 3 : 4);
    EXPECT_EQ(index.gram_size, gram);
    EXPECT_EQ(index.stride, o.stride == 0 ? 512 : o.stride);
    EXPECT_EQ(index.postings, postings);

    size_t summary_size = 0;
    const std::optional<std::string_view> bloom = Record(e, kBloomRecord);
    EXPECT_EQ(bloom.has_value(), o.bloom_bits_per_key != 0);
    if (bloom) {
      summary_size += 5 + bloom->size();
      const BloomFilter f(*bloom);
      // b = 10 gives 7 probes; m is b bits per key rounded up to bytes, at least 64.
      if (o.bloom_bits_per_key == 10) {
        EXPECT_EQ(f.k, 7u);
        EXPECT_EQ(f.m, std::max<uint64_t>(64, (10 * std::max<size_t>(postings.size(), 1) + 7) / 8 * 8));
      }
      for (const auto& [key, ids] : postings) EXPECT_TRUE(f.MayContain(key)) << key;
    }

    const std::optional<std::string_view> presence = Record(e, kFacetPresenceRecord);
    std::snprintf(name, sizeof name, "-s%05zu.hyf", i);
    const std::string sidecar_name = o.name_prefix + name;
    EXPECT_EQ(presence.has_value(), !facets.empty());
    if (!facets.empty()) {
      summary_size += 5 + presence->size();
      std::set<uint64_t> keys;
      for (const auto& [field, categories] : facets.fields()) {
        for (const auto& c : categories) keys.insert(FacetKey(field, c.first, fold));
      }
      testing::Cursor c(*presence);
      EXPECT_EQ(c.U32(), keys.size());
      for (uint64_t key : keys) EXPECT_EQ(c.U64(), key);
      EXPECT_EQ(c.pos(), presence->size());

      const std::string sidecar = ReadFile(dir + "/" + sidecar_name);
      total += sidecar.size();
      expected_files.insert(sidecar_name);
      const testing::ParsedSidecar parsed = ParseSidecar(sidecar);
      EXPECT_EQ(parsed.case_sensitive, fold ? 0 : 1);
      ASSERT_EQ(parsed.fields.size(), facets.size());
      auto field = facets.fields().begin();
      for (const testing::SidecarField& f : parsed.fields) {
        EXPECT_EQ(f.name, field->first);
        std::map<std::string, Ids> got, want;
        for (const testing::SidecarCategory& c : f.categories) {
          Ids ids = c.head;
          ids.insert(ids.end(), c.tail.begin(), c.tail.end());
          got[c.name] = ids;
        }
        for (const auto& [category, bitmap] : field->second) {
          Ids ids(bitmap.Cardinality());
          roaring_bitmap_to_uint32_array(&bitmap.roaring(), ids.data());
          want[category] = ids;
        }
        EXPECT_EQ(got, want);
        ++field;
      }
    } else {
      EXPECT_FALSE(std::filesystem::exists(dir + "/" + sidecar_name));
    }
    // Nothing but the Bloom record and then the presence record.
    EXPECT_EQ(e.summary.size(), summary_size);
    if (bloom && presence) {
      EXPECT_EQ(e.summary[0], kBloomRecord);
    }
  }
  EXPECT_EQ(next_id, docs.size());
  EXPECT_EQ(ListDir(dir), expected_files);
  EXPECT_EQ(stats.splits, m.splits.size());
  EXPECT_EQ(stats.docs, docs.size());
  EXPECT_EQ(stats.total_bytes, total);
}

std::vector<Doc> RandomDocs(size_t n, uint64_t seed, bool with_facets) {
  static const char* const kWords[] = {"the", "cat",   "Sat",  "on",    "mat",   "ünïcode", "日本語", "x",
                                       "ABC", "abc",   "zebra", "42",  "a-b",   "Ωμέγα",   "...",    "ok"};
  static const char* const kYears[] = {"2019", "2020", "2021"};
  static const char* const kTypes[] = {"article", "Article", "review"};
  std::mt19937_64 rng(seed);
  std::vector<Doc> docs(n);
  for (Doc& d : docs) {
    const size_t words = rng() % 9 == 0 ? 0 : rng() % 40;
    for (size_t w = 0; w < words; ++w) {
      d.text += kWords[rng() % 16];
      d.text += rng() % 5 == 0 ? "" : " ";
    }
    if (with_facets && rng() % 3 != 0) {
      if (rng() % 2) d.facets.push_back({"year", {kYears[rng() % 3]}});
      if (rng() % 2) d.facets.push_back({"type", {kTypes[rng() % 3], kTypes[rng() % 3]}});
      if (rng() % 4 == 0) d.facets.push_back({"empty", {}});
    }
  }
  return docs;
}

void BuildAndCheck(const std::vector<Doc>& docs, const SplitSetOptions& o) {
  TempDir tmp;
  BatchSplitSetBuilder b = Make(o);
  for (size_t i = 0; i < docs.size(); ++i) {
    const bool faceted = !docs[i].facets.empty() || i % 2 == 0;
    EXPECT_EQ(MustAdd(b, docs[i].text, faceted ? &docs[i].facets : nullptr), i);
    EXPECT_EQ(b.doc_count(), i + 1);
  }
  const std::string dir = tmp / "out/set";
  const SplitSetBuildStats stats = MustBuild(b, dir);
  CheckSet(dir, docs, o, stats);
}

TEST(SplitSetBuilder, RandomCorpusReadsBack) {
  SplitSetOptions o;
  o.byte_cap = 3000;
  o.stride = 4;
  o.name_prefix = "corpus";
  const std::vector<Doc> docs = RandomDocs(300, 1, true);
  BuildAndCheck(docs, o);
}

TEST(SplitSetBuilder, StableKeyCaseSensitiveGrowingCapsNoBloom) {
  SplitSetOptions o;
  o.policy = "Ingest";
  o.byte_cap = 1500;
  o.byte_cap_max = 9000;
  o.bloom_bits_per_key = 0;
  o.case_sensitive = true;
  o.gram_size = 2;
  o.sortcol = Sortcol{"score", 3, true};
  o.name_prefix = "";
  SplitSetOptions expected = o;
  expected.policy = "stable_key";
  TempDir tmp;
  const std::vector<Doc> docs = RandomDocs(400, 2, true);
  BatchSplitSetBuilder b = Make(o);
  for (const Doc& d : docs) MustAdd(b, d.text, &d.facets);
  const SplitSetBuildStats stats = MustBuild(b, tmp.path());
  CheckSet(tmp.path(), docs, expected, stats);
  EXPECT_GE(stats.splits, 4u);
}

TEST(SplitSetBuilder, OtherGramSizesAndBloomDensities) {
  for (uint16_t gram : {0, 1, 5}) {
    for (uint32_t bits : {1u, 23u}) {
      SCOPED_TRACE("gram " + std::to_string(gram) + ", bits " + std::to_string(bits));
      SplitSetOptions o;
      o.byte_cap = 2500;
      o.gram_size = gram;
      o.bloom_bits_per_key = bits;
      BuildAndCheck(RandomDocs(120, gram * 100 + bits, false), o);
    }
  }
}

TEST(SplitSetBuilder, SealsOnlyWhenTheEstimatePassesTheCap) {
  // One open document "abc" (key count 1, posting bytes 2). Adding "abc"
  // again: 64 x (1 + 0) + 2 + 2 + 8 + 20 = 96; adding "abd": 64 x 2 + 2 + 2
  // + 8 + 20 = 160.
  const std::pair<const char*, uint64_t> cases[] = {{"abc", 96}, {"abd", 160}};
  for (auto [second, threshold] : cases) {
    for (uint64_t cap : {threshold - 1, threshold}) {
      SCOPED_TRACE(std::string(second) + " at cap " + std::to_string(cap));
      SplitSetOptions o;
      o.byte_cap = cap;
      BatchSplitSetBuilder b = Make(o);
      EXPECT_EQ(MustAdd(b, "abc"), 0u);
      EXPECT_EQ(MustAdd(b, second), 1u);
      TempDir tmp;
      MustBuild(b, tmp.path());
      const Manifest m = ReadManifest(tmp / "index.hyss");
      const std::vector<uint32_t> expected = cap < threshold ? std::vector<uint32_t>{1, 1} : std::vector<uint32_t>{2};
      EXPECT_EQ(SplitSizes(m), expected);
    }
  }
}

TEST(SplitSetBuilder, DocumentsWithoutKeysStillCount) {
  SplitSetOptions o;
  o.byte_cap = 0;  // every estimate (at least 20) passes it
  BatchSplitSetBuilder b = Make(o);
  for (const char* text : {"", "...", "!"}) MustAdd(b, text);
  EXPECT_EQ(b.doc_count(), 3u);
  TempDir tmp;
  // Each document sits alone in its split; a split without keys is the
  // 16-byte header, still over the zero cap.
  EXPECT_EQ(BuildError(b, tmp.path()),
            "HYSS split split-s00000.hys: a single document's postings (16 B) exceed the byte cap (0 B)");
}

TEST(SplitSetBuilder, ThreeSplitTiersUnderBothPolicies) {
  for (const char* policy : {"tiered", "stable_key"}) {
    SCOPED_TRACE(policy);
    SplitSetOptions o;
    o.policy = policy;
    o.byte_cap = 100;  // one key per split: 62-byte files, while a second key estimates 160
    BatchSplitSetBuilder b = Make(o);
    EXPECT_EQ(MustAdd(b, "abc"), 0u);
    EXPECT_EQ(MustAdd(b, "abd"), 1u);
    EXPECT_EQ(MustAdd(b, "abe"), 2u);
    EXPECT_EQ(b.doc_count(), 3u);
    TempDir tmp;
    const SplitSetBuildStats stats = MustBuild(b, tmp.path());
    EXPECT_EQ(stats.splits, 3u);
    EXPECT_EQ(stats.docs, 3u);
    EXPECT_EQ(stats.total_bytes, 3 * 62u);
    const Manifest m = ReadManifest(tmp / "index.hyss");
    const bool tiered = std::string(policy) == "tiered";
    EXPECT_EQ(m.header.tier_count, tiered ? 3 : 0);
    EXPECT_EQ(m.header.base_count, 3u);
    ASSERT_EQ(m.splits.size(), 3u);
    for (uint16_t i = 0; i < 3; ++i) {
      EXPECT_EQ(m.splits[i].tier, tiered ? i : 0);
      EXPECT_EQ(m.splits[i].first_id, i);
      EXPECT_EQ(m.splits[i].last_id, i);
    }
  }
}

TEST(SplitSetBuilder, EmptyBuildWritesOnlyTheManifest) {
  TempDir tmp;
  BatchSplitSetBuilder b = Make(SplitSetOptions());
  EXPECT_EQ(b.doc_count(), 0u);
  const SplitSetBuildStats stats = MustBuild(b, tmp / "a/b");
  EXPECT_EQ(stats.splits, 0u);
  EXPECT_EQ(stats.docs, 0u);
  EXPECT_EQ(stats.total_bytes, 0u);
  EXPECT_EQ(ListDir(tmp / "a/b"), std::set<std::string>{"index.hyss"});
  const std::string bytes = ReadFile(tmp / "a/b/index.hyss");
  EXPECT_EQ(bytes.size(), 64u);
  const Manifest m = ReadManifest(tmp / "a/b/index.hyss");
  EXPECT_EQ(m.header.flags, kManifestBloom);
  EXPECT_EQ(m.header.tier_count, 0);
  EXPECT_EQ(m.header.byte_cap, 33554432u);
  EXPECT_EQ(m.header.gram_size, 3);
  EXPECT_TRUE(m.splits.empty());
}

TEST(SplitSetBuilder, ManifestNameAndSortcol) {
  TempDir tmp;
  SplitSetOptions o;
  o.sortcol = Sortcol{"", 7, true};
  BatchSplitSetBuilder b = Make(o);
  MustAdd(b, "hello");
  MustBuild(b, tmp.path(), "v2");
  EXPECT_EQ(ListDir(tmp.path()), (std::set<std::string>{"split-s00000.hys", "v2.hyss"}));
  const std::string bytes = ReadFile(tmp / "v2.hyss");
  EXPECT_EQ(DecodeFixed16(bytes.data() + 46), 7);  // recorded, though the empty name reads back as none
  EXPECT_FALSE(ReadManifest(tmp / "v2.hyss").header.sortcol.has_value());
}

TEST(SplitSetBuilder, FacetsOnlyWhereCategoriesWere) {
  SplitSetOptions o;
  o.byte_cap = 100;  // one document per split
  o.name_prefix = "corpus";
  BatchSplitSetBuilder b = Make(o);
  const FacetMemberships both = {{"year", {"2020"}}, {"type", {"article"}}};
  const FacetMemberships year = {{"year", {"2020", "2019"}}};
  const FacetMemberships nothing = {{"year", {}}};
  MustAdd(b, "abc", &both);
  MustAdd(b, "abd");
  MustAdd(b, "abe", &nothing);
  MustAdd(b, "abf", &year);
  const FacetMemberships empty;
  MustAdd(b, "abg", &empty);
  TempDir tmp;
  MustBuild(b, tmp.path());
  EXPECT_EQ(ListDir(tmp.path()),
            (std::set<std::string>{"index.hyss", "corpus-s00000.hys", "corpus-s00001.hys", "corpus-s00002.hys",
                                   "corpus-s00003.hys", "corpus-s00004.hys", "corpus-s00000.hyf",
                                   "corpus-s00003.hyf"}));
  const Manifest m = ReadManifest(tmp / "index.hyss");
  ASSERT_EQ(m.splits.size(), 5u);
  EXPECT_EQ(m.header.flags, kManifestBloom | kManifestFacets);
  const uint64_t y2020 = FacetKey("year", "2020", true);
  for (size_t i : {1, 2, 4}) EXPECT_FALSE(Record(m.splits[i], kFacetPresenceRecord).has_value()) << i;
  // "2020" of year appears in both lists; "article" only in the first.
  std::string first, fourth;
  PutFixed32(&first, 2);
  for (uint64_t k : std::set<uint64_t>{y2020, FacetKey("type", "article", true)}) PutFixed64(&first, k);
  PutFixed32(&fourth, 2);
  for (uint64_t k : std::set<uint64_t>{y2020, FacetKey("year", "2019", true)}) PutFixed64(&fourth, k);
  EXPECT_EQ(Record(m.splits[0], kFacetPresenceRecord), first);
  EXPECT_EQ(Record(m.splits[3], kFacetPresenceRecord), fourth);
  // The Bloom record comes first.
  EXPECT_EQ(m.splits[0].summary[0], kBloomRecord);

  // add_faceted with no categories at all leaves the facets flag clear.
  BatchSplitSetBuilder plain = Make(SplitSetOptions());
  MustAdd(plain, "abc", &nothing);
  MustAdd(plain, "abc", &empty);
  TempDir tmp2;
  MustBuild(plain, tmp2.path());
  EXPECT_EQ(ReadManifest(tmp2 / "index.hyss").header.flags, kManifestBloom);
  EXPECT_EQ(ListDir(tmp2.path()), (std::set<std::string>{"index.hyss", "split-s00000.hys"}));
}

TEST(SplitSetBuilder, FacetKeysFollowCaseSensitivity) {
  for (bool case_sensitive : {false, true}) {
    SplitSetOptions o;
    o.case_sensitive = case_sensitive;
    BatchSplitSetBuilder b = Make(o);
    const FacetMemberships f = {{"type", {"Article", "article"}}};
    MustAdd(b, "x", &f);
    TempDir tmp;
    MustBuild(b, tmp.path());
    const Manifest m = ReadManifest(tmp / "index.hyss");
    ASSERT_EQ(m.splits.size(), 1u);
    const std::optional<std::string_view> presence = Record(m.splits[0], kFacetPresenceRecord);
    ASSERT_TRUE(presence.has_value());
    EXPECT_EQ(DecodeFixed32(presence->data()), case_sensitive ? 2u : 1u);
    EXPECT_EQ(presence->size(), case_sensitive ? 20u : 12u);
    EXPECT_EQ(m.fold_case(), !case_sensitive);
  }
}

TEST(SplitSetBuilder, DefaultsReplaceZeros) {
  SplitSetOptions o;
  o.gram_size = 0;
  o.stride = 0;
  o.head_boundary = 0;
  BatchSplitSetBuilder b = Make(o);
  const FacetMemberships f = {{"k", {"v"}}};
  for (int i = 0; i < 3; ++i) MustAdd(b, "ab", &f);
  TempDir tmp;
  MustBuild(b, tmp.path());
  const testing::ParsedIndex index = ParseIndex(ReadFile(tmp / "split-s00000.hys"));
  EXPECT_EQ(index.gram_size, 1);
  EXPECT_EQ(index.stride, 512u);
  EXPECT_EQ(index.postings, (std::map<uint64_t, Ids>{{'a', {0, 1, 2}}, {'b', {0, 1, 2}}}));
  const testing::ParsedSidecar sidecar = ParseSidecar(ReadFile(tmp / "split-s00000.hyf"));
  ASSERT_EQ(sidecar.fields.size(), 1u);
  EXPECT_EQ(sidecar.fields[0].categories[0].head, (Ids{0, 1, 2}));  // all below 65536

  // Any other head boundary is used as given, multiple of 65536 or not.
  o.head_boundary = 1;
  BatchSplitSetBuilder one = Make(o);
  for (int i = 0; i < 3; ++i) MustAdd(one, "ab", &f);
  TempDir tmp2;
  MustBuild(one, tmp2.path());
  const testing::ParsedSidecar split = ParseSidecar(ReadFile(tmp2 / "split-s00000.hyf"));
  EXPECT_EQ(split.fields[0].categories[0].head, Ids{0});
  EXPECT_EQ(split.fields[0].categories[0].tail, (Ids{1, 2}));
}

// The size of a split holding only text, written the way a split is.
uint64_t SingleDocumentSplitSize(std::string_view text) {
  NgramPostings entries;
  for (NgramKey key : NgramKeys(text, 3, true)) {
    Bitmap b;
    b.Add(0);
    EXPECT_TRUE(entries.Add(key, b.roaring()).ok());
  }
  BufferSink sink;
  EXPECT_TRUE(WriteNgramIndex(std::move(entries), 3, 512, true, sink).ok());
  return sink.bytes().size();
}

std::string LongText(int words, int seed) {
  std::mt19937 rng(seed);
  std::string text;
  for (int i = 0; i < words; ++i) {
    for (int j = 0; j < 6; ++j) text += static_cast<char>('a' + rng() % 26);
    text += ' ';
  }
  return text;
}

TEST(SplitSetBuilder, OversizeDocumentEndsAloneAndFailsTheBuild) {
  const std::string big = LongText(50, 1);
  const uint64_t big_size = SingleDocumentSplitSize(big);
  ASSERT_GT(big_size, 1000u);
  SplitSetOptions o;
  o.byte_cap = 1000;
  o.name_prefix = "corpus";
  BatchSplitSetBuilder b = Make(o);
  MustAdd(b, "abc");
  MustAdd(b, "abd");
  MustAdd(b, big);  // seals the first split
  MustAdd(b, "abc");  // seals the big document's split
  TempDir tmp;
  const std::string dir = tmp / "never";
  EXPECT_EQ(BuildError(b, dir), "HYSS split corpus-s00001.hys: a single document's postings (" +
                                    std::to_string(big_size) + " B) exceed the byte cap (1000 B)");
  EXPECT_FALSE(std::filesystem::exists(dir));  // nothing written
  EXPECT_TRUE(b.built());
}

TEST(SplitSetBuilder, SingleDocumentCheckUsesTheGrownCap) {
  // Caps 1000, 2000, 4000, 4000, ...: small documents fill the first splits,
  // then a big one sits alone in a later split and is checked against that
  // split's grown cap.
  SplitSetOptions o;
  o.byte_cap = 1000;
  o.byte_cap_max = 4000;
  std::vector<std::string> texts;
  for (int i = 0; i < 30; ++i) texts.push_back(LongText(1, 10 + i));
  texts.push_back(LongText(120, 2));
  texts.push_back("x");
  BatchSplitSetBuilder b = Make(o);
  std::vector<std::vector<NgramKey>> keys;
  for (const std::string& t : texts) {
    MustAdd(b, t);
    keys.push_back(NgramKeys(t, 3, true));
  }
  const std::vector<uint32_t> sizes = ModelSplits(keys, {o.byte_cap, o.byte_cap_max});
  ASSERT_GE(sizes.size(), 4u);
  ASSERT_EQ(sizes[sizes.size() - 2], 1u);  // the big document, alone
  const size_t big_split = sizes.size() - 2;
  ASSERT_EQ(ModelCap({o.byte_cap, o.byte_cap_max}, big_split), 4000u);
  const uint64_t big_size = SingleDocumentSplitSize(texts[30]);
  ASSERT_GT(big_size, 4000u);
  char name[32];
  std::snprintf(name, sizeof name, "split-s%05zu.hys", big_split);
  TempDir tmp;
  EXPECT_EQ(BuildError(b, tmp.path()), std::string("HYSS split ") + name + ": a single document's postings (" +
                                           std::to_string(big_size) + " B) exceed the byte cap (4000 B)");
}

TEST(SplitSetBuilder, ConsumedByBuild) {
  BatchSplitSetBuilder b = Make(SplitSetOptions());
  MustAdd(b, "abc");
  EXPECT_FALSE(b.built());
  TempDir tmp;
  MustBuild(b, tmp.path());
  EXPECT_TRUE(b.built());
  EXPECT_EQ(b.doc_count(), 0u);
  for (Result<DocId> r : {b.Add("x"), b.AddFaceted("x", {{"f", {"c"}}})}) {
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().code(), ErrorCode::kConsumed);
    EXPECT_EQ(r.error().message(), "SplitSetBuilder already built");
  }
  Result<SplitSetBuildStats> again = std::move(b).Build(tmp.path());
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().message(), "SplitSetBuilder already built");

  // A failed build consumes the builder too.
  BatchSplitSetBuilder failing = Make(SplitSetOptions());
  MustAdd(failing, "abc");
  testing::WriteFile(tmp / "file", "x");
  Result<SplitSetBuildStats> failed = std::move(failing).Build(tmp / "file/sub");
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().code(), ErrorCode::kOs);
  EXPECT_EQ(failed.error().message(), "Not a directory (os error 20)");
  EXPECT_TRUE(failing.built());
  Result<DocId> after = failing.Add("abc");
  ASSERT_FALSE(after.ok());
  EXPECT_EQ(after.error().message(), "SplitSetBuilder already built");
}

TEST(SplitSetBuilder, UnknownPolicy) {
  SplitSetOptions o;
  o.policy = "tier";
  Result<BatchSplitSetBuilder> b = BatchSplitSetBuilder::Create(o);
  ASSERT_FALSE(b.ok());
  EXPECT_EQ(b.error().code(), ErrorCode::kInvalidArgument);
  EXPECT_EQ(b.error().message(), "unknown policy \"tier\"; use 'tiered' or 'stable_key'");
}

TEST(SplitSetBuilder, FailedSealKeepsTheDocumentOutAndStopsTheBuilder) {
  // A category name too long for the sidecar makes sealing its split fail.
  const FacetMemberships too_long = {{"f", {std::string(65536, 'c')}}};
  SplitSetOptions o;
  o.byte_cap = 100;  // the second document seals the first
  BatchSplitSetBuilder b = Make(o);
  EXPECT_EQ(MustAdd(b, "abc", &too_long), 0u);
  Result<DocId> second = b.Add("abd");
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error().code(), ErrorCode::kLimit);
  EXPECT_EQ(second.error().message(), "facet name exceeds the 16-bit length limit");
  EXPECT_EQ(b.doc_count(), 1u);  // the second document was not added
  // The first split's postings are gone: the builder refuses to go on
  // rather than write a set without document 0.
  for (Result<DocId> r : {b.Add("abe"), b.AddFaceted("abc", {{"f", {"ok"}}})}) {
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "facet name exceeds the 16-bit length limit");
  }
  EXPECT_EQ(b.doc_count(), 1u);
  TempDir tmp;
  EXPECT_EQ(BuildError(b, tmp / "out"), "facet name exceeds the 16-bit length limit");
  EXPECT_FALSE(std::filesystem::exists(tmp / "out"));

  // The same failure in the final seal of build.
  BatchSplitSetBuilder last = Make(SplitSetOptions());
  MustAdd(last, "abc");
  MustAdd(last, "abd", &too_long);
  EXPECT_EQ(BuildError(last, tmp / "out"), "facet name exceeds the 16-bit length limit");
  EXPECT_FALSE(std::filesystem::exists(tmp / "out"));
  EXPECT_TRUE(last.built());
}

TEST(SplitSetBuilder, IdsRunOnAcrossSplits) {
  SplitSetOptions o;
  o.byte_cap = 3000;
  BatchSplitSetBuilder b = Make(o);
  const std::vector<Doc> docs = RandomDocs(200, 9, false);
  for (size_t i = 0; i < docs.size(); ++i) EXPECT_EQ(MustAdd(b, docs[i].text), i);
  TempDir tmp;
  MustBuild(b, tmp.path());
  const Manifest m = ReadManifest(tmp / "index.hyss");
  ASSERT_GT(m.splits.size(), 10u);
  for (size_t i = 1; i < m.splits.size(); ++i) EXPECT_EQ(m.splits[i].first_id, m.splits[i - 1].last_id + 1);
  EXPECT_EQ(m.splits.back().last_id, 199u);
}

}  // namespace
}  // namespace halcyra
