#include "terms/stopwords.h"

#include <gtest/gtest.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace halcyra {
namespace {

struct Expected {
  size_t count;
  const char* first;
  const char* middle;  // the word at index count / 2
  const char* last;
};

// Indexed by language code.
const Expected kExpected[kLanguageCount] = {
    {31, "a", "in", "with"},                       // english
    {313, "a", "la", "éramos"},                    // spanish
    {701, "ء", "رابع", "ّأيّان"},                  // arabic
    {94, "ad", "ind", "været"},                    // danish
    {101, "aan", "meer", "zou"},                   // dutch
    {229, "ei", "niihin", "yli"},                  // finnish
    {157, "ai", "le", "êtes"},                     // french
    {232, "aber", "ins", "über"},                  // german
    {265, "αλλα", "ποια", "ᾧ"},                    // greek
    {198, "a", "lenne", "újra"},                   // hungarian
    {279, "a", "i", "è"},                          // italian
    {172, "alle", "kan", "å"},                     // norwegian
    {207, "a", "já", "éramos"},                    // portuguese
    {356, "a", "inapoi", "ţie"},                   // romanian
    {151, "а", "не", "я"},                         // russian
    {114, "alla", "men", "över"},                  // swedish
    {125, "அங்கு", "என்", "வேறு"},                 // tamil
    {53, "acaba", "için", "şu"},                   // turkish
};

// Strict byte-wise order, as unsigned bytes, a prefix first.
bool ByteLess(std::string_view a, std::string_view b) {
  const int c = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
  return c < 0 || (c == 0 && a.size() < b.size());
}

std::string Lowercase(std::string_view word) {
  std::string out;
  icu::UnicodeString::fromUTF8(icu::StringPiece(word.data(), static_cast<int32_t>(word.size())))
      .toLower(icu::Locale::getRoot())
      .toUTF8String(out);
  return out;
}

TEST(StopWords, StoredTextsAreSortedLowercaseWordsEachEndedByLineFeed) {
  for (uint8_t code = 0; code < kLanguageCount; ++code) {
    SCOPED_TRACE(static_cast<int>(code));
    const std::string_view text = StopWordText(code);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\r'), std::string_view::npos);
    EXPECT_EQ(text.find('\0'), std::string_view::npos);
    EXPECT_EQ(text.find("\n\n"), std::string_view::npos);  // no empty word

    std::vector<std::string_view> words;
    for (size_t start = 0; start < text.size();) {
      const size_t end = text.find('\n', start);
      words.push_back(text.substr(start, end - start));
      start = end + 1;
    }
    EXPECT_EQ(words.size(), kExpected[code].count);
    EXPECT_EQ(words.front(), kExpected[code].first);
    EXPECT_EQ(words[words.size() / 2], kExpected[code].middle);
    EXPECT_EQ(words.back(), kExpected[code].last);
    for (size_t i = 1; i < words.size(); ++i) {
      EXPECT_TRUE(ByteLess(words[i - 1], words[i])) << words[i - 1] << " | " << words[i];
    }
    for (std::string_view w : words) EXPECT_EQ(Lowercase(w), w);
  }
}

TEST(StopWords, ListsAreViewsIntoTheStoredText) {
  for (uint8_t code = 0; code < kLanguageCount; ++code) {
    SCOPED_TRACE(static_cast<int>(code));
    const StopWordList& list = StopWords(code);
    EXPECT_EQ(&list, &StopWords(code));  // built once
    const std::string_view text = StopWordText(code);
    ASSERT_EQ(list.words().size(), kExpected[code].count);
    // Borrowed, not copied: word i starts right after word i - 1 and its line feed.
    const char* expect = text.data();
    for (std::string_view w : list.words()) {
      EXPECT_EQ(w.data(), expect);
      EXPECT_EQ(expect[w.size()], '\n');
      expect += w.size() + 1;
    }
    EXPECT_EQ(expect, text.data() + text.size());
  }
}

TEST(StopWords, EnglishList) {
  const std::vector<std::string_view> english = {
      "a",  "an", "and", "are", "as",   "at",  "be",   "but",  "by",    "for",  "from",
      "had", "has", "have", "he",  "in", "is", "it", "its", "of",  "on", "or",
      "that", "the", "this", "to", "was", "were", "which", "will", "with"};
  const auto words = StopWords(0).words();
  EXPECT_EQ(std::vector<std::string_view>(words.begin(), words.end()), english);
}

TEST(StopWords, BinarySearchFindsExactlyTheListedWords) {
  for (uint8_t code = 0; code < kLanguageCount; ++code) {
    SCOPED_TRACE(static_cast<int>(code));
    const StopWordList& list = StopWords(code);
    const auto words = list.words();
    for (size_t i = 0; i < words.size(); ++i) {
      const std::string w(words[i]);
      EXPECT_TRUE(list.Contains(w)) << w;
      // Neighbours in byte order that are not listed are not found.
      const std::string longer = w + "\x01";
      EXPECT_FALSE(list.Contains(longer));
      const std::string shorter = w.substr(0, w.size() - 1);
      const bool shorter_listed = i > 0 && words[i - 1] == shorter;
      if (!shorter_listed && std::find(words.begin(), words.end(), shorter) == words.end()) {
        EXPECT_FALSE(list.Contains(shorter)) << shorter;
      }
    }
    EXPECT_FALSE(list.Contains(""));
    EXPECT_FALSE(list.Contains("\xff"));
  }
  const StopWordList& english = StopWords(0);
  EXPECT_TRUE(english.Contains("the"));
  EXPECT_FALSE(english.Contains("The"));
  EXPECT_FALSE(english.Contains("them"));
  EXPECT_FALSE(english.Contains("th"));
  EXPECT_TRUE(StopWords(7).Contains("über"));
  EXPECT_FALSE(StopWords(7).Contains("uber"));
  EXPECT_TRUE(StopWords(14).Contains("не"));
}

TEST(StopWords, ArabicEntriesWithASpace) {
  std::vector<std::string_view> spaced;
  for (std::string_view w : StopWords(2).words()) {
    if (w.find(' ') != std::string_view::npos) spaced.push_back(w);
  }
  const std::vector<std::string_view> expected = {"أفعل به", "لا سيما", "ما أفعله", "ما انفك", "ما برح"};
  EXPECT_EQ(spaced, expected);
  for (std::string_view w : expected) EXPECT_TRUE(StopWords(2).Contains(w));
  for (uint8_t code = 0; code < kLanguageCount; ++code) {
    if (code == 2) continue;
    EXPECT_EQ(StopWordText(code).find(' '), std::string_view::npos) << static_cast<int>(code);
  }
}

TEST(StopWords, CombiningDiacriticsBelongToTheWord) {
  // "آه" with and without a following kasratan / kasra are distinct entries.
  const StopWordList& arabic = StopWords(2);
  EXPECT_TRUE(arabic.Contains("آه"));
  EXPECT_TRUE(arabic.Contains("آهٍ"));
  EXPECT_TRUE(arabic.Contains("آهِ"));
  EXPECT_FALSE(arabic.Contains("آهَ"));
}

TEST(StopWordList, SplitsArbitraryText) {
  const StopWordList list("b\nbb\nc\n");
  ASSERT_EQ(list.words().size(), 3u);
  EXPECT_TRUE(list.Contains("bb"));
  EXPECT_FALSE(list.Contains("b\n"));
  EXPECT_TRUE(StopWordList("").words().empty());
}

}  // namespace
}  // namespace halcyra
