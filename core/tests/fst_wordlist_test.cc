// Round trip of a large real key set: every word of the American English word
// list (Debian package wamerican-huge, installed by scripts/install-deps).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "fst/fst.h"
#include "fst_reader.h"

namespace halcyra {
namespace {

using fst_test::FstReader;

constexpr char kWordList[] = "/usr/share/dict/american-english-huge";

// The words of the list sorted by bytes, without duplicates or empty lines.
std::vector<std::string> LoadWords() {
  std::ifstream in(kWordList, std::ios::binary);
  std::vector<std::string> words;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty()) words.push_back(line);
  }
  std::sort(words.begin(), words.end());  // std::string orders by unsigned bytes
  words.erase(std::unique(words.begin(), words.end()), words.end());
  return words;
}

class WordListFst : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { words_ = new std::vector<std::string>(LoadWords()); }
  static void TearDownTestSuite() {
    delete words_;
    words_ = nullptr;
  }

  void SetUp() override {
    // Not a skip: the install script provides the list, so its absence is a
    // broken machine.
    ASSERT_GT(words_->size(), 300000u) << kWordList << " is missing or short; install wamerican-huge";
  }

  // Builds the words with the given values and checks the file against them.
  static void RoundTrip(const std::vector<uint64_t>& values) {
    const std::vector<std::string>& words = *words_;
    ASSERT_EQ(values.size(), words.size());
    FstBuilder builder(words.size() * 4);
    for (size_t i = 0; i < words.size(); ++i) {
      const Status s = builder.Insert(words[i], values[i]);
      ASSERT_TRUE(s.ok()) << s.error().message();
    }
    ASSERT_EQ(builder.size(), words.size());
    const FstReader reader(std::move(builder).Finish());
    EXPECT_EQ(reader.size(), words.size());

    // Every key maps back to its own value ...
    for (size_t i = 0; i < words.size(); ++i) {
      ASSERT_EQ(reader.Get(words[i]), values[i]) << words[i];
    }
    // ... and listing finds exactly the keys inserted, in order.
    const FstReader::Entries listed = reader.List();
    ASSERT_EQ(listed.size(), words.size());
    for (size_t i = 0; i < words.size(); ++i) {
      ASSERT_EQ(listed[i].first, words[i]) << i;
      ASSERT_EQ(listed[i].second, values[i]) << words[i];
    }

    // Keys next to the words are absent: one byte longer, one byte shorter,
    // and random strings over the list's own alphabet.
    const auto present = [&words](const std::string& k) { return std::binary_search(words.begin(), words.end(), k); };
    for (const std::string& w : words) {
      ASSERT_EQ(reader.Get(w + "\x01"), std::nullopt) << w;
      ASSERT_EQ(reader.Get(w + "\xff"), std::nullopt) << w;
      const std::string shorter = w.substr(0, w.size() - 1);
      if (!present(shorter)) {
        ASSERT_EQ(reader.Get(shorter), std::nullopt) << shorter;
      }
    }
    std::mt19937_64 rng(7);
    const std::string alphabet = "abcdefghijklmnopqrstuvwxyzABCEMST'";
    size_t absent = 0;
    while (absent < 100000) {
      std::string k(1 + rng() % 12, '\0');
      for (char& c : k) c = alphabet[rng() % alphabet.size()];
      if (present(k)) continue;
      ASSERT_EQ(reader.Get(k), std::nullopt) << k;
      ++absent;
    }
    EXPECT_EQ(reader.Get(""), std::nullopt);
  }

  static std::vector<std::string>* words_;
};

std::vector<std::string>* WordListFst::words_ = nullptr;

TEST_F(WordListFst, ListHoldsPlainAndAccentedWords) {
  const std::vector<std::string>& w = *words_;
  EXPECT_TRUE(std::binary_search(w.begin(), w.end(), "zebra"));
  EXPECT_TRUE(std::binary_search(w.begin(), w.end(), "zebra's"));
  EXPECT_GT(std::count_if(w.begin(), w.end(),
                          [](const std::string& s) { return std::any_of(s.begin(), s.end(), [](char c) { return c & 0x80; }); }),
            100);
}

// Distinct small values in shuffled order, so that outputs are pushed down
// and split along shared prefixes.
TEST_F(WordListFst, ShuffledRanksRoundTrip) {
  std::vector<uint64_t> values(words_->size());
  std::iota(values.begin(), values.end(), uint64_t{0});
  std::shuffle(values.begin(), values.end(), std::mt19937_64(42));
  RoundTrip(values);
}

// Distinct values spread over all 64 bits (multiplication by an odd constant
// is a bijection), so outputs take up to eight bytes.
TEST_F(WordListFst, WideValuesRoundTrip) {
  std::vector<uint64_t> values(words_->size());
  for (size_t i = 0; i < values.size(); ++i) values[i] = (i + 1) * 0x9E3779B97F4A7C15ULL;
  RoundTrip(values);
}

}  // namespace
}  // namespace halcyra
