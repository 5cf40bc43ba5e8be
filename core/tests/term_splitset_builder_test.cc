#include "halcyra/split_set_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include "fortune_corpus.h"
#include "halcyra/term_builder.h"
#include "splitset/manifest.h"
#include "splitset/split_policy.h"
#include "splitset/summary.h"
#include "term_index_reader.h"
#include "terms/analyzer.h"
#include "terms/term_index.h"
#include "test_readers.h"
#include "test_util.h"

namespace halcyra {
namespace {

using testing::Ids;
using testing::ReadFile;
using testing::TempDir;
using testing::TermIndexReader;

BatchSplitSetBuilder Make(TermSplitSetOptions options) {
  Result<BatchSplitSetBuilder> b = BatchSplitSetBuilder::Create(std::move(options));
  EXPECT_TRUE(b.ok()) << (b.ok() ? "" : b.error().message());
  return std::move(b).value();
}

std::string Message(const Status& s) { return s.ok() ? "ok" : s.error().message(); }

Manifest ReadManifest(const std::string& path) {
  Result<Manifest> m = ParseManifest(ReadFile(path));
  EXPECT_TRUE(m.ok()) << (m.ok() ? "" : m.error().message());
  return m.ok() ? std::move(*m) : Manifest();
}

// Document counts of the splits under the seal rule, replayed from each
// document's distinct terms.
std::vector<uint32_t> ModelSplits(const std::vector<std::vector<std::string>>& doc_terms, uint64_t byte_cap,
                                  uint64_t byte_cap_max) {
  std::vector<uint32_t> sizes;
  std::set<std::string> open;
  uint64_t estimate = 0;
  uint32_t count = 0;
  for (const std::vector<std::string>& terms : doc_terms) {
    uint64_t cost = 128;
    for (const std::string& t : terms) cost += open.count(t) ? 2 : t.size() + 26;
    if (count != 0 && SplitByteCap(byte_cap, byte_cap_max, sizes.size()) < estimate + cost) {
      sizes.push_back(count);
      open.clear();
      estimate = 0;
      count = 0;
    }
    for (const std::string& t : terms) estimate += open.insert(t).second ? t.size() + 26 : 2;
    ++count;
  }
  if (count != 0) sizes.push_back(count);
  return sizes;
}

std::vector<std::vector<std::string>> DistinctTerms(const std::vector<std::string>& docs,
                                                    const AnalyzerSettings& settings) {
  Result<Analyzer> analyzer = Analyzer::Create(settings);
  EXPECT_TRUE(analyzer.ok());
  std::vector<std::vector<std::string>> out;
  for (const std::string& doc : docs) {
    std::vector<std::string> terms;
    EXPECT_TRUE(analyzer->Analyze(doc, &terms).ok());
    std::sort(terms.begin(), terms.end());
    terms.erase(std::unique(terms.begin(), terms.end()), terms.end());
    out.push_back(std::move(terms));
  }
  return out;
}

// Builds the set and a single TermBuilder index of the same documents with
// the same settings, and checks that the splits, shifted by their first
// ids, hold exactly the single index's postings; returns the manifest.
Manifest BuildAndCrossCheck(const std::vector<std::string>& docs, const TermSplitSetOptions& o) {
  TempDir dir;
  BatchSplitSetBuilder b = Make(o);
  for (size_t i = 0; i < docs.size(); ++i) {
    Result<DocId> id = b.Add(docs[i]);
    EXPECT_TRUE(id.ok());
    EXPECT_EQ(id.ok() ? *id : 0, i);
  }
  EXPECT_EQ(b.doc_count(), docs.size());
  Result<SplitSetBuildStats> stats = std::move(b).Build(dir.path(), "terms");
  EXPECT_TRUE(stats.ok()) << (stats.ok() ? "" : stats.error().message());
  Manifest m = ReadManifest(dir / "terms.hyss");

  TermBuilderOptions single;
  single.language = o.language;
  single.stem = o.stem;
  single.stopwords = o.stopwords;
  single.case_sensitive = o.case_sensitive;
  single.head_boundary = o.head_boundary != 0 ? o.head_boundary : 65536;
  Result<TermBuilder> whole = TermBuilder::Create(single);
  EXPECT_TRUE(whole.ok());
  for (size_t i = 0; i < docs.size(); ++i) EXPECT_TRUE(whole->Add(static_cast<DocId>(i), docs[i]).ok());
  EXPECT_EQ(Message(whole->Finish(dir / "whole.hyt")), "ok");
  TermIndexReader reference(ReadFile(dir / "whole.hyt"));

  std::map<std::string, Ids> merged;
  uint64_t total = 0;
  DocId next_first = 0;
  for (size_t i = 0; i < m.splits.size(); ++i) {
    const SplitEntry& e = m.splits[i];
    EXPECT_EQ(e.name, SplitFileName(o.name_prefix, 's', i, ".hyt"));
    EXPECT_EQ(e.first_id, next_first);
    EXPECT_EQ(e.last_id, e.first_id + e.doc_count - 1);
    next_first = e.last_id + 1;
    const std::string body = ReadFile(dir / e.name);
    EXPECT_EQ(e.byte_size, body.size());
    total += body.size();
    TermIndexReader split(body);
    EXPECT_EQ(split.flags, reference.flags);
    EXPECT_EQ(split.language, reference.language);
    EXPECT_EQ(split.head_boundary, reference.head_boundary);
    EXPECT_EQ(split.block_cap, 4096u);
    for (const std::string& term : split.terms()) {
      const Ids locals = split.Postings(term).value_or(Ids{});
      for (DocId local : locals) {
        EXPECT_LT(local, e.doc_count);
        merged[term].push_back(e.first_id + local);
      }
    }
  }
  EXPECT_EQ(next_first, docs.size());
  EXPECT_EQ(stats.ok() ? stats->total_bytes : 0, total);
  EXPECT_EQ(stats.ok() ? stats->splits : 0, m.splits.size());
  std::vector<std::string> terms;
  for (const auto& [term, ids] : merged) {
    terms.push_back(term);
    EXPECT_EQ(reference.Postings(term), ids) << term;
  }
  EXPECT_EQ(terms, reference.terms());
  return m;
}

TEST(TermSplitSetBuilder, SplitsFollowTheCostRuleAndHoldTheWholeIndex) {
  std::vector<std::string> docs = testing::LoadFortunes(testing::kFortunesEnglish);
  if (docs.empty()) GTEST_SKIP() << "fortunes are not installed";
  docs.resize(std::min<size_t>(docs.size(), 4000));
  TermSplitSetOptions o;
  o.byte_cap = 40000;
  o.language = "english";
  o.stopwords = true;
  const Manifest m = BuildAndCrossCheck(docs, o);
  AnalyzerSettings settings = *AnalyzerSettings::FromArgs("english", std::nullopt, true, false);
  const std::vector<std::vector<std::string>> terms = DistinctTerms(docs, settings);
  std::vector<uint32_t> sizes;
  for (const SplitEntry& e : m.splits) sizes.push_back(e.doc_count);
  EXPECT_EQ(sizes, ModelSplits(terms, o.byte_cap, 0));
  ASSERT_GT(m.splits.size(), 5u);

  EXPECT_EQ(m.header.body_kind, kTermSplits);
  EXPECT_EQ(m.header.gram_size, 0);
  EXPECT_EQ(m.header.flags, 0);  // no Bloom filters, no facets, folded case
  EXPECT_EQ(m.header.policy, 0);
  EXPECT_EQ(m.header.tier_count, m.splits.size());
  EXPECT_EQ(m.header.base_count, m.splits.size());
  EXPECT_EQ(m.header.byte_cap, 40000u);
  for (size_t i = 0; i < m.splits.size(); ++i) {
    EXPECT_EQ(m.splits[i].tier, i);
    EXPECT_EQ(m.splits[i].summary, "");
    EXPECT_EQ(m.splits[i].epoch, 0u);
    EXPECT_EQ(m.splits[i].flags, 0);
  }
}

TEST(TermSplitSetBuilder, GrowingCapsStableKeyAndOtherLanguages) {
  struct Case {
    const char* dir;
    const char* language;
  };
  for (const Case& c : {Case{testing::kFortunesGerman, "de"}, Case{testing::kFortunesRussian, "russian"},
                        Case{testing::kFortunesSpanish, "es"}, Case{testing::kFortunesItalian, "it"}}) {
    std::vector<std::string> docs = testing::LoadFortunes(c.dir);
    if (docs.empty()) continue;
    docs.resize(std::min<size_t>(docs.size(), 1500));
    TermSplitSetOptions o;
    o.policy = "stable_key";
    o.byte_cap = 8000;
    o.byte_cap_max = 64000;
    o.head_boundary = 100;
    o.language = c.language;
    o.stopwords = true;
    o.case_sensitive = true;
    o.name_prefix = "corpus";
    const Manifest m = BuildAndCrossCheck(docs, o);
    const AnalyzerSettings settings = *AnalyzerSettings::FromArgs(c.language, std::nullopt, true, true);
    std::vector<uint32_t> sizes;
    for (const SplitEntry& e : m.splits) {
      sizes.push_back(e.doc_count);
      EXPECT_EQ(e.tier, 0);
    }
    EXPECT_EQ(sizes, ModelSplits(DistinctTerms(docs, settings), 8000, 64000)) << c.language;
    EXPECT_EQ(m.header.tier_count, 0);
    EXPECT_EQ(m.header.policy, 1);
    EXPECT_EQ(m.header.flags, kManifestCaseSensitive);
  }
}

TEST(TermSplitSetBuilder, FacetsGiveSidecarsAndPresenceRecords) {
  TempDir dir;
  TermSplitSetOptions o;
  o.byte_cap = 500;
  BatchSplitSetBuilder b = Make(o);
  const FacetMemberships year = {{"year", {"2020"}}};
  ASSERT_TRUE(b.AddFaceted("alpha beta", year).ok());  // estimate 31 + 30
  ASSERT_TRUE(b.Add("gamma").ok());                   // + 31 = 92
  // 92 + 128 + 326 + 29 passes 500: a new split, estimate 355.
  ASSERT_TRUE(b.Add(std::string(300, 'x') + " one").ok());
  ASSERT_TRUE(b.AddFaceted("one", {{"year", {}}}).ok());  // 355 + 130; no category: not faceted
  Result<SplitSetBuildStats> stats = std::move(b).Build(dir.path());
  ASSERT_TRUE(stats.ok()) << stats.error().message();
  const Manifest m = ReadManifest(dir / "index.hyss");
  ASSERT_EQ(m.splits.size(), 2u);
  EXPECT_EQ(m.header.flags, kManifestFacets);
  Result<std::optional<std::string_view>> presence = FindSummaryRecord(m.splits[0].summary, kFacetPresenceRecord);
  ASSERT_TRUE(presence.ok() && presence->has_value());
  EXPECT_EQ(FindSummaryRecord(m.splits[0].summary, kBloomRecord)->has_value(), false);
  EXPECT_EQ(m.splits[1].summary, "");
  testing::ParsedSidecar sidecar = testing::ParseSidecar(ReadFile(dir / "split-s00000.hyf"));
  ASSERT_EQ(sidecar.fields.size(), 1u);
  EXPECT_EQ(sidecar.fields[0].categories[0].head, (Ids{0}));
  EXPECT_FALSE(std::filesystem::exists(dir / "split-s00001.hyf"));
  EXPECT_EQ(stats->total_bytes, m.splits[0].byte_size + m.splits[1].byte_size +
                                    std::filesystem::file_size(dir / "split-s00000.hyf"));
}

TEST(TermSplitSetBuilder, StopWordsOnlyDocumentCounts) {
  TempDir dir;
  TermSplitSetOptions o;
  o.language = "english";
  o.stopwords = true;
  BatchSplitSetBuilder b = Make(o);
  EXPECT_EQ(*b.Add("the and of"), 0u);
  EXPECT_EQ(*b.Add("cats"), 1u);
  ASSERT_TRUE(std::move(b).Build(dir.path()).ok());
  const Manifest m = ReadManifest(dir / "index.hyss");
  ASSERT_EQ(m.splits.size(), 1u);
  EXPECT_EQ(m.splits[0].doc_count, 2u);
  TermIndexReader r(ReadFile(dir / "split-s00000.hyt"));
  EXPECT_EQ(r.terms(), (std::vector<std::string>{"cat"}));
  EXPECT_EQ(r.Postings("cat"), (Ids{1}));
}

TEST(TermSplitSetBuilder, EmptyBuildAndConsumption) {
  TempDir dir;
  BatchSplitSetBuilder b = Make({});
  Result<SplitSetBuildStats> stats = std::move(b).Build(dir / "a/b");
  ASSERT_TRUE(stats.ok());
  EXPECT_EQ(stats->splits, 0u);
  EXPECT_EQ(stats->docs, 0u);
  EXPECT_EQ(ReadManifest(dir / "a/b/index.hyss").splits.size(), 0u);
  EXPECT_TRUE(b.built());
  EXPECT_EQ(b.doc_count(), 0u);
  EXPECT_EQ(b.Add("x").error().message(), "TermSplitSetBuilder already built");
  EXPECT_EQ(b.AddFaceted("x", {}).error().code(), ErrorCode::kConsumed);
  EXPECT_EQ(std::move(b).Build(dir.path()).error().message(), "TermSplitSetBuilder already built");
}

TEST(TermSplitSetBuilder, SettingsCheckedBeforePolicy) {
  TermSplitSetOptions o;
  o.policy = "Tier";
  o.stopwords = true;
  EXPECT_EQ(BatchSplitSetBuilder::Create(o).error().message(),
            "stemming and stop-word removal require a language (pass language=...)");
  o.stopwords = false;
  EXPECT_EQ(BatchSplitSetBuilder::Create(o).error().message(),
            "unknown policy \"tier\"; use 'tiered' or 'stable_key'");
}

TEST(TermSplitSetBuilder, OversizeSingleDocumentFailsTheBuild) {
  TempDir dir;
  TermSplitSetOptions o;
  o.byte_cap = 100;
  o.name_prefix = "corpus";
  BatchSplitSetBuilder b = Make(o);
  for (const char* text : {"a", "b c d e f g h i j k l m n o p q r s t", "u"}) ASSERT_TRUE(b.Add(text).ok());
  Result<SplitSetBuildStats> stats = std::move(b).Build(dir.path());
  ASSERT_FALSE(stats.ok());
  // One document per split; the first is the first one over its cap. Its
  // body is the term index of "a" under local number 0.
  Result<TermBuilder> single = TermBuilder::Create({});
  ASSERT_TRUE(single.ok() && single->Add(0, "a").ok());
  ASSERT_EQ(Message(single->Finish(dir / "a.hyt")), "ok");
  const uint64_t first_size = std::filesystem::file_size(dir / "a.hyt");
  ASSERT_GT(first_size, 100u);
  EXPECT_EQ(stats.error().message(), "HYSS term split corpus-s00000.hyt: a single document's postings (" +
                                         std::to_string(first_size) + " B) exceed the byte cap (100 B)");
  EXPECT_EQ(stats.error().code(), ErrorCode::kLimit);
  EXPECT_FALSE(std::filesystem::exists(dir / "index.hyss"));
}

TEST(TermSplitSetBuilder, FailedSealStopsTheBuilder) {
  TempDir dir;
  TermSplitSetOptions o;
  o.byte_cap = 1 << 20;
  BatchSplitSetBuilder b = Make(o);
  ASSERT_TRUE(b.Add(std::string((size_t{1} << 24) - 7, 'q')).ok());
  // The huge term's cost passes the cap: this document seals its split,
  // whose dictionary block is over the 24-bit limit.
  Result<DocId> id = b.Add("small");
  ASSERT_FALSE(id.ok());
  EXPECT_EQ(id.error().message(), "dict block exceeds the 24-bit block-length limit");
  EXPECT_EQ(b.doc_count(), 1u);
  EXPECT_EQ(b.Add("again").error().message(), "dict block exceeds the 24-bit block-length limit");
  EXPECT_EQ(std::move(b).Build(dir.path()).error().message(), "dict block exceeds the 24-bit block-length limit");
  EXPECT_FALSE(std::filesystem::exists(dir / "index.hyss"));
}

}  // namespace
}  // namespace halcyra
