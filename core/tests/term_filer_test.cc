#include "terms/term_filer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "fortune_corpus.h"
#include "terms/analyzer.h"
#include "terms/term_table.h"

namespace halcyra {
namespace {

Analyzer MakeAnalyzer(std::optional<std::string_view> language, bool stopwords, bool case_sensitive = false) {
  Result<AnalyzerSettings> settings = AnalyzerSettings::FromArgs(language, std::nullopt, stopwords, case_sensitive);
  EXPECT_TRUE(settings.ok());
  Result<Analyzer> analyzer = Analyzer::Create(*settings);
  EXPECT_TRUE(analyzer.ok());
  return std::move(analyzer).value();
}

// Each entry's term and encoded record (head then tail at boundary 1000).
std::vector<std::pair<std::string, std::string>> Records(TermPostings postings) {
  std::vector<std::pair<std::string, std::string>> records;
  for (size_t i = 0; i < postings.size(); ++i) {
    std::string bytes;
    size_t head_size = 0;
    EXPECT_TRUE(postings.TakeHeadTail(i, 1000, &bytes, &head_size).ok());
    records.emplace_back(std::string(postings.term(i)), bytes);
  }
  return records;
}

// The filer's postings are those of Analyze's terms filed one by one, for
// documents numbered from first.
void ExpectSameAsAnalyze(TermFiler& filer, Analyzer reference, const std::vector<std::string>& docs,
                         DocId first = 0) {
  TermTable table;
  for (size_t i = 0; i < docs.size(); ++i) {
    const DocId doc = first + static_cast<DocId>(i);
    ASSERT_TRUE(filer.File(docs[i], doc).ok());
    std::vector<std::string> terms;
    ASSERT_TRUE(reference.Analyze(docs[i], &terms).ok());
    for (const std::string& term : terms) ASSERT_TRUE(table.Add(term, doc));
  }
  EXPECT_EQ(filer.term_count(), table.size());
  EXPECT_EQ(Records(filer.TakePostings()), Records(table.TakePostings()));
  EXPECT_EQ(filer.term_count(), 0u);
}

TEST(TermFiler, WordsSeenAgainFileTheirTermAgain) {
  // Case variants share a cached word; stems and stop words are remembered;
  // a word broken by a non-ASCII letter, one ending in one, one past the
  // cached length, and words at the very end of a text.
  const std::string long_word(TermFiler::kMaxCachedWord + 1, 'x');
  const std::vector<std::string> docs = {
      "The running dogs ran", "RUNNING dogs, the Dogs!", "naïve NAÏVE naïvely café Straße STRASSE",
      long_word + " " + long_word + " " + std::string(TermFiler::kMaxCachedWord, 'y'),
      long_word, "the", "dogs", "", "  ...  ", "ΣΊΣΥΦΟΣ σίσυφος x1 X1 2024"};
  TermFiler filer(MakeAnalyzer("english", true));
  ExpectSameAsAnalyze(filer, MakeAnalyzer("english", true), docs);
}

TEST(TermFiler, WithoutStemmingAndCaseSensitive) {
  const std::vector<std::string> docs = {"The the THE tHe", "Über über ÜBER", "the"};
  TermFiler plain(MakeAnalyzer(std::nullopt, false));
  ExpectSameAsAnalyze(plain, MakeAnalyzer(std::nullopt, false), docs);
  TermFiler exact(MakeAnalyzer("german", false, /*case_sensitive=*/true));
  ExpectSameAsAnalyze(exact, MakeAnalyzer("german", false, true), docs);
}

TEST(TermFiler, CacheGrowsAndStartsOverAfterTakingThePostings) {
  // Enough distinct words to grow the cache several times, each seen in
  // several documents so that postings move into bitmaps.
  std::vector<std::string> docs;
  for (int d = 0; d < 40; ++d) {
    std::string text;
    for (int w = 0; w < 3000; ++w) text += "w" + std::to_string((w * 7 + d * 13) % 9000) + (w % 5 == 0 ? "s " : " ");
    docs.push_back(text);
  }
  TermFiler filer(MakeAnalyzer("english", true));
  ExpectSameAsAnalyze(filer, MakeAnalyzer("english", true), docs);
  // The entry numbers it remembered belonged to the table handed over.
  std::reverse(docs.begin(), docs.end());
  ExpectSameAsAnalyze(filer, MakeAnalyzer("english", true), docs, 5);
}

void SameAsAnalyzeOnFortunes(const char* dir_name, const char* language) {
  std::vector<std::string> docs = testing::LoadFortunes(dir_name);
  if (docs.empty()) GTEST_SKIP() << dir_name << " is not installed";
  TermFiler filer(MakeAnalyzer(language, true));
  ExpectSameAsAnalyze(filer, MakeAnalyzer(language, true), docs);
}

TEST(TermFiler, SameAsAnalyzeOnEnglishFortunes) { SameAsAnalyzeOnFortunes(testing::kFortunesEnglish, "english"); }
TEST(TermFiler, SameAsAnalyzeOnRussianFortunes) { SameAsAnalyzeOnFortunes(testing::kFortunesRussian, "russian"); }

TEST(TermPostings, MergingTablesGivesWhatFilingEverythingInOneGives) {
  // Random terms over three tables, merged, against one table of
  // everything: terms in one table only, each number of ids (one, two, a
  // bitmap) meeting each number in the others, repeated ids, and enough
  // terms for the merge to run in several ranges.
  std::mt19937 rng(7);
  for (int round = 0; round < 12; ++round) {
    TermTable parts[3], all;
    const uint32_t terms = round % 2 == 0 ? 50 : 30000;
    const uint32_t docs = round % 3 == 0 ? 6 : 200000;
    for (int i = 0; i < 60000; ++i) {
      const std::string term = "t" + std::to_string(rng() % terms);
      const DocId doc = rng() % docs;
      ASSERT_TRUE(parts[rng() % 3].Add(term, doc));
      ASSERT_TRUE(all.Add(term, doc));
    }
    std::vector<TermPostings> taken;
    for (TermTable& part : parts) taken.push_back(part.TakePostings());
    Result<TermPostings> merged = TermPostings::Merge(std::move(taken));
    ASSERT_TRUE(merged.ok());
    EXPECT_EQ(Records(std::move(merged).value()), Records(all.TakePostings()));
  }
}

}  // namespace
}  // namespace halcyra
