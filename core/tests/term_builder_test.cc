#include "halcyra/term_builder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

#include "fortune_corpus.h"
#include "term_index_reader.h"
#include "terms/analyzer.h"
#include "terms/term_index.h"
#include "test_util.h"

namespace halcyra {
namespace {

using testing::Ids;
using testing::ReadFile;
using testing::TempDir;
using testing::TermIndexReader;

TermBuilder Make(const TermBuilderOptions& options) {
  Result<TermBuilder> b = TermBuilder::Create(options);
  EXPECT_TRUE(b.ok()) << (b.ok() ? "" : b.error().message());
  return std::move(b).value();
}

std::string CreateError(const TermBuilderOptions& options) {
  Result<TermBuilder> b = TermBuilder::Create(options);
  return b.ok() ? "ok" : b.error().message();
}

std::string Message(const Status& s) { return s.ok() ? "ok" : s.error().message(); }

TEST(TermBuilder, WriteTermIndexLowercasesWithoutStemming) {
  TempDir dir;
  const std::vector<std::pair<DocId, std::string>> docs = {{5, "The Cat"}, {9, "cat"}};
  ASSERT_EQ(Message(WriteTermIndexFile(dir / "t.hyt", docs, std::nullopt)), "ok");
  TermIndexReader r(ReadFile(dir / "t.hyt"));
  EXPECT_EQ(r.terms(), (std::vector<std::string>{"cat", "the"}));
  EXPECT_EQ(r.Postings("cat"), (Ids{5, 9}));
  EXPECT_EQ(r.Postings("the"), (Ids{5}));
  EXPECT_EQ(r.flags, 0);
  EXPECT_EQ(r.language, 0);
  EXPECT_EQ(r.head_boundary, 65536u);
  EXPECT_EQ(r.block_cap, 4096u);

  // The same documents through a TermBuilder give the same bytes.
  TermBuilder b = Make({});
  for (const auto& [id, text] : docs) ASSERT_TRUE(b.Add(id, text).ok());
  ASSERT_EQ(Message(b.Finish(dir / "b.hyt")), "ok");
  EXPECT_EQ(ReadFile(dir / "b.hyt"), ReadFile(dir / "t.hyt"));

  ASSERT_EQ(Message(WriteTermIndexFile(dir / "h0.hyt", docs, 0u)), "ok");
  TermIndexReader h0(ReadFile(dir / "h0.hyt"));
  EXPECT_EQ(h0.head_boundary, 0u);
  EXPECT_EQ(h0.Find("cat")->head_bytes, testing::kEmptyPosting);
}

TEST(TermBuilder, IdsInAnyOrderAndRepeated) {
  TempDir dir;
  TermBuilder b = Make({});
  ASSERT_TRUE(b.Add(70000, "b a").ok());
  ASSERT_TRUE(b.Add(3, "a").ok());
  ASSERT_TRUE(b.Add(70000, "c c c").ok());  // merges into the first text's document
  ASSERT_TRUE(b.Add(1, "a b").ok());
  ASSERT_TRUE(b.Add(2, "a").ok());
  ASSERT_TRUE(b.Add(3, "A").ok());
  EXPECT_EQ(b.term_count(), 3u);
  ASSERT_EQ(Message(b.Finish(dir / "x.hyt")), "ok");
  TermIndexReader r(ReadFile(dir / "x.hyt"));
  EXPECT_EQ(r.Postings("a"), (Ids{1, 2, 3, 70000}));
  EXPECT_EQ(r.Find("a")->tail, (Ids{70000}));
  EXPECT_EQ(r.Postings("b"), (Ids{1, 70000}));
  EXPECT_EQ(r.Postings("c"), (Ids{70000}));
}

TEST(TermBuilder, AnalyzerSettingsReachTheHeader) {
  TempDir dir;
  TermBuilderOptions o;
  o.language = "english";  // stems, keeps stop words
  TermBuilder b = Make(o);
  ASSERT_TRUE(b.Add(0, "The running dogs").ok());
  ASSERT_EQ(Message(b.Finish(dir / "en.hyt")), "ok");
  TermIndexReader r(ReadFile(dir / "en.hyt"));
  EXPECT_EQ(r.flags, kTermIndexStemmed);
  EXPECT_EQ(r.language, 1);
  EXPECT_EQ(r.terms(), (std::vector<std::string>{"dog", "run", "the"}));

  o.stopwords = true;
  o.case_sensitive = true;
  o.block_cap = 100;
  o.head_boundary = 0;
  TermBuilder s = Make(o);
  ASSERT_TRUE(s.Add(0, "The the Apple apple").ok());
  ASSERT_EQ(Message(s.Finish(dir / "cs.hyt")), "ok");
  TermIndexReader cs(ReadFile(dir / "cs.hyt"));
  EXPECT_EQ(cs.flags, kTermIndexStemmed | kTermIndexStopwords | kTermIndexCaseSensitive);
  EXPECT_EQ(cs.block_cap, 100u);
  EXPECT_EQ(cs.head_boundary, 0u);
  // A capitalised stop word stays; the stemmer sees the case unchanged.
  EXPECT_EQ(cs.terms(), (std::vector<std::string>{"Apple", "The", "appl"}));

  TermBuilderOptions named;
  named.language = "de";
  named.stem = false;
  TermBuilder d = Make(named);
  ASSERT_EQ(Message(d.Finish(dir / "de.hyt")), "ok");
  TermIndexReader de(ReadFile(dir / "de.hyt"));
  EXPECT_EQ(de.flags, 0);
  EXPECT_EQ(de.language, 0);  // named, but neither stemming nor stop words
}

TEST(TermBuilder, RefusedSettings) {
  TermBuilderOptions o;
  o.stopwords = true;
  EXPECT_EQ(CreateError(o), "stemming and stop-word removal require a language (pass language=...)");
  o = {};
  o.stem = true;
  EXPECT_EQ(CreateError(o), "stemming and stop-word removal require a language (pass language=...)");
  o = {};
  o.language = "eng";
  EXPECT_EQ(CreateError(o),
            "unknown stemmer language eng; use a Snowball name or ISO-639-1 code (e.g. \"english\"/\"en\", "
            "\"french\"/\"fr\")");
  o = {};
  o.block_cap = uint64_t{1} << 32;
  EXPECT_EQ(CreateError(o), "block_cap must be at most 4294967295, got 4294967296");
  o.block_cap = UINT32_MAX;
  EXPECT_EQ(CreateError(o), "ok");
}

TEST(TermBuilder, FinishConsumesTheBuilder) {
  TempDir dir;
  TermBuilder b = Make({});
  ASSERT_TRUE(b.Add(1, "x").ok());
  const std::string path = dir / "out/sub/idx.hyt";
  ASSERT_EQ(Message(b.Finish(path)), "ok");
  EXPECT_TRUE(std::filesystem::is_regular_file(path));
  EXPECT_TRUE(b.finished());
  EXPECT_EQ(b.term_count(), 0u);
  EXPECT_EQ(Message(b.Finish(dir / "again.hyt")), "TermBuilder already finished");
  EXPECT_EQ(Message(b.Add(2, "y")), "TermBuilder already finished");
  EXPECT_EQ(b.Add(2, "y").error().code(), ErrorCode::kConsumed);
  EXPECT_FALSE(std::filesystem::exists(dir / "again.hyt"));

  // A failed finish consumes it too.
  TermBuilder f = Make({});
  testing::WriteFile(dir / "file", "x");
  EXPECT_EQ(Message(f.Finish(dir / "file/idx.hyt")), "File exists (os error 17)");
  EXPECT_EQ(Message(f.Finish(dir / "idx.hyt")), "TermBuilder already finished");
}

TEST(TermBuilder, EmptyBuilderWritesAnEmptyIndex) {
  TempDir dir;
  TermBuilder b = Make({});
  ASSERT_EQ(Message(b.Finish(dir / "e.hyt")), "ok");
  TermIndexReader r(ReadFile(dir / "e.hyt"));
  EXPECT_EQ(r.term_count, 0u);
  EXPECT_EQ(r.dict_length, 0u);
}

TEST(TermBuilder, LimitLeavesAnEmptyFile) {
  TempDir dir;
  TermBuilder b = Make({});
  ASSERT_TRUE(b.Add(0, std::string((size_t{1} << 24) - 7, 'q')).ok());
  EXPECT_EQ(Message(b.Finish(dir / "big.hyt")), "dict block exceeds the 24-bit block-length limit");
  EXPECT_EQ(std::filesystem::file_size(dir / "big.hyt"), 0u);
}

// Every term of every document, analyzed here on its own, is found through
// the router with exactly the documents that hold it, and nothing else is
// in the index.
void RoundTrip(const char* dir_name, const char* language) {
  const std::vector<std::string> docs = testing::LoadFortunes(dir_name);
  if (docs.empty()) GTEST_SKIP() << dir_name << " is not installed";
  TermBuilderOptions o;
  o.language = language;
  o.stopwords = true;
  o.head_boundary = 1024;  // postings on both sides
  TermBuilder b = Make(o);
  for (size_t i = 0; i < docs.size(); ++i) ASSERT_TRUE(b.Add(static_cast<DocId>(i), docs[i]).ok());
  TempDir dir;
  ASSERT_EQ(Message(b.Finish(dir / "f.hyt")), "ok");

  Result<AnalyzerSettings> settings = AnalyzerSettings::FromArgs(language, std::nullopt, true, false);
  ASSERT_TRUE(settings.ok());
  Result<Analyzer> analyzer = Analyzer::Create(*settings);
  ASSERT_TRUE(analyzer.ok());
  std::map<std::string, std::set<DocId>> expected;
  for (size_t i = 0; i < docs.size(); ++i) {
    std::vector<std::string> terms;
    ASSERT_TRUE(analyzer->Analyze(docs[i], &terms).ok());
    for (const std::string& t : terms) expected[t].insert(static_cast<DocId>(i));
  }
  ASSERT_GT(expected.size(), 1000u);

  TermIndexReader r(ReadFile(dir / "f.hyt"));
  EXPECT_EQ(r.flags, kTermIndexStemmed | kTermIndexStopwords);
  EXPECT_EQ(r.language, settings->language + 1);
  EXPECT_GT(r.blocks.size(), 10u);
  std::vector<std::string> terms;
  for (const auto& [term, ids] : expected) {
    terms.push_back(term);
    const std::optional<testing::TermRecord> record = r.Find(term);
    ASSERT_TRUE(record.has_value()) << term;
    Ids head, tail;
    for (DocId id : ids) (id < 1024 ? head : tail).push_back(id);
    EXPECT_EQ(record->head, head) << term;
    EXPECT_EQ(record->tail, tail) << term;
  }
  EXPECT_EQ(r.terms(), terms);
}

TEST(TermBuilder, RoundTripEnglishFortunes) { RoundTrip(testing::kFortunesEnglish, "english"); }
TEST(TermBuilder, RoundTripGermanFortunes) { RoundTrip(testing::kFortunesGerman, "german"); }
TEST(TermBuilder, RoundTripSpanishFortunes) { RoundTrip(testing::kFortunesSpanish, "spanish"); }
TEST(TermBuilder, RoundTripItalianFortunes) { RoundTrip(testing::kFortunesItalian, "italian"); }
TEST(TermBuilder, RoundTripRussianFortunes) { RoundTrip(testing::kFortunesRussian, "russian"); }

}  // namespace
}  // namespace halcyra
