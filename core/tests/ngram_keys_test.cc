#include "ngram/ngram_tokenizer.h"

#include <gtest/gtest.h>
#include <unicode/uchar.h>
#include <unicode/ustring.h>

#include <random>
#include <string>
#include <vector>

namespace halcyra {
namespace {

using Keys = std::vector<NgramKey>;

std::string Utf8(char32_t c) {
  std::string s;
  if (c < 0x80) {
    s += static_cast<char>(c);
  } else if (c < 0x800) {
    s += static_cast<char>(0xC0 | c >> 6);
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    s += static_cast<char>(0xE0 | c >> 12);
    s += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | c >> 18);
    s += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    s += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  }
  return s;
}

// Byte-at-a-time FNV-1a 64 over code points as UTF-32LE: the reference the
// tokenizer's shortcut must reproduce.
uint64_t Fnv1aUtf32(const std::u32string& w) {
  uint64_t h = 0xcbf29ce484222325ULL;
  for (char32_t c : w) {
    for (int i = 0; i < 4; ++i) {
      h ^= (c >> (8 * i)) & 0xFF;
      h *= 0x100000001b3ULL;
    }
  }
  return h;
}

Keys Tri(const std::string& text) { return NgramKeys(text, 3, true); }

TEST(NgramKeys, WorkedExamples) {
  EXPECT_EQ(Tri("abc"), Keys({0x616263}));
  EXPECT_EQ(Tri("Hello, World!"), Keys({0x68656c, 0x656c6c, 0x6c6c6f, 0x776f72, 0x6f726c, 0x726c64}));
  EXPECT_EQ(Tri("aaaa"), Keys({0x616161}));
  EXPECT_EQ(Tri("e-mail"), Keys({0x656d61, 0x6d6169, 0x61696c}));
  EXPECT_EQ(Tri("ab"), Keys());
  EXPECT_EQ(NgramKeys("ABC", 3, false), Keys({0x414243}));
  EXPECT_EQ(Tri("\u00e9te"), Keys({0x87235f4f51709e6dULL}));
  EXPECT_EQ(NgramKeys("ab", 2, true), Keys({0x0000006100000062ULL}));
  EXPECT_EQ(NgramKeys("abcdefghi", 9, true), Keys({0xe1e763e0c23d1304ULL}));
}

TEST(NgramKeys, EmptyInputsAndGramSizes) {
  EXPECT_EQ(NgramKeys("anything at all", 0, true), Keys());
  EXPECT_EQ(Tri(""), Keys());
  EXPECT_EQ(Tri(" \t\n\r\v\f  "), Keys());
  EXPECT_EQ(NgramKeys("abc", SIZE_MAX, true), Keys());
  EXPECT_EQ(NgramKeys("abc", 1, true), Keys({'a', 'b', 'c'}));
  // Every gram size from 3 to 8 packs ASCII; n = 8 fills all 64 bits.
  EXPECT_EQ(NgramKeys("abcd", 4, true), Keys({0x61626364}));
  EXPECT_EQ(NgramKeys("abcdefgh", 8, true), Keys({0x6162636465666768ULL}));
  EXPECT_EQ(NgramKeys("abcdefg", 8, true), Keys());
}

TEST(NgramKeys, DroppedCharactersDoNotSplitWords) {
  EXPECT_EQ(Tri("a.b"), Keys());
  EXPECT_EQ(Tri("don't"), Tri("dont"));
  EXPECT_EQ(Tri("snake_case"), Tri("snakecase"));
  EXPECT_EQ(Tri("2020"), Keys({0x323032, 0x303230}));
  // Zero width space is not white space: dropped, word kept whole.
  EXPECT_EQ(Tri("ab\u200b" "c"), Keys({0x616263}));
  EXPECT_EQ(Tri("ab\ufeff" "c"), Keys({0x616263}));
  // Control characters outside White_Space (U+001C..U+001F) are dropped.
  EXPECT_EQ(Tri("ab\x1f" "c"), Keys({0x616263}));
  // Combining acute is Mn: dropped, so decomposed e-acute keys like 'e'.
  EXPECT_EQ(Tri("te\u0301a"), Tri("tea"));
  // Superscript two (No) and Roman numeral one (Nl) are dropped.
  EXPECT_EQ(Tri("ab\u00b2" "c"), Keys({0x616263}));
  EXPECT_EQ(Tri("ab\u2160" "c"), Keys({0x616263}));
}

TEST(NgramKeys, WhiteSpaceSplitsWords) {
  for (char32_t ws : {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680, 0x2000, 0x2005, 0x200A,
                      0x2028, 0x2029, 0x202F, 0x205F, 0x3000}) {
    EXPECT_EQ(NgramKeys("ab" + Utf8(ws) + "cd", 2, true), Keys({0x6100000062ULL, 0x6300000064ULL}))
        << std::hex << static_cast<uint32_t>(ws);
  }
}

TEST(NgramKeys, NonAsciiWindowsHashUnlessNBelowThree) {
  // Arabic-Indic digits are Nd: retained, and they force hashing.
  const std::u32string digits = U"\u0661\u0662\u0663";
  EXPECT_EQ(Tri("\u0661\u0662\u0663"), Keys({Fnv1aUtf32(digits)}));
  // A mixed window hashes for every n from 3 to 8 ...
  for (size_t n = 3; n <= 8; ++n) {
    std::u32string w = U"\u00e9" + std::u32string(n - 1, U'x');
    EXPECT_EQ(NgramKeys("\u00e9" + std::string(n - 1, 'x'), n, true), Keys({Fnv1aUtf32(w)})) << n;
  }
  // ... but not for n = 1 or 2, whatever the code point.
  EXPECT_EQ(NgramKeys("\u00e9x", 2, true), Keys({0xE900000078ULL}));
  EXPECT_EQ(NgramKeys("\U0001D400", 1, false), Keys({0x1D400}));
  // Keys of the windows after a non-ASCII character return to packing.
  EXPECT_EQ(Tri("\u00e9abc"), Keys({Fnv1aUtf32(U"\u00e9ab"), 0x616263}));
}

TEST(NgramKeys, HashMatchesBytewiseFnvForAllPlanes) {
  std::mt19937 rng(7);
  const char32_t samples[] = {U'a', 0xE9, 0x416, 0x4E2D, 0xFF21, 0x10400, 0x20000, 0x1D41A};
  for (int round = 0; round < 200; ++round) {
    const size_t n = 3 + rng() % 10;
    std::u32string w;
    std::string text;
    for (size_t i = 0; i < n; ++i) {
      w += samples[rng() % 8];
      text += Utf8(w.back());
    }
    const bool all_ascii = w.find_first_not_of(U"a") == std::u32string::npos;
    if (all_ascii && n <= 8) continue;
    EXPECT_EQ(NgramKeys(text, n, false), Keys({Fnv1aUtf32(w)})) << text;
  }
}

TEST(NgramKeys, CaseFolding) {
  // U+0130 folds to 'i' alone; sharp s has itself as lowercase.
  EXPECT_EQ(NgramKeys("\u0130", 1, true), Keys({'i'}));
  EXPECT_EQ(NgramKeys("Stra\u00dfe", 1, true), Keys({'s', 't', 'r', 'a', 0xDF, 'e'}));
  EXPECT_EQ(NgramKeys("\u0416", 1, true), Keys({0x436}));
  EXPECT_EQ(NgramKeys("\u0416", 1, false), Keys({0x416}));
  EXPECT_EQ(NgramKeys("\u03a3", 1, true), Keys({0x3C3}));  // no final-sigma context
}

TEST(NgramKeys, FirstOccurrenceFixesOrder) {
  EXPECT_EQ(Tri("abc xabc"), Keys({0x616263, 0x786162}));
  EXPECT_EQ(Tri("ABC abc Abc"), Keys({0x616263}));
}

TEST(NgramKeys, MalformedUtf8IsDroppedNotFatal) {
  EXPECT_EQ(Tri("ab\xff" "c"), Keys({0x616263}));
  EXPECT_EQ(Tri("abc\xe2\x82"), Keys({0x616263}));  // truncated tail
  EXPECT_EQ(Tri("ab\xed\xa0\x80" "c"), Keys({0x616263}));  // encoded surrogate
}

TEST(NgramKeys, LongWordsKeepEveryWindow) {
  // Longer than the tokenizer's compaction threshold, with distinct windows.
  std::string word;
  for (int i = 0; i < 10000; ++i) word += static_cast<char>('a' + (i * 7 + i / 26) % 26);
  const Keys keys = NgramKeys(word, 4, true);
  KeySet expected_set;
  Keys expected;
  for (size_t i = 0; i + 4 <= word.size(); ++i) {
    uint64_t k = 0;
    for (size_t j = 0; j < 4; ++j) k = k << 8 | static_cast<uint8_t>(word[i + j]);
    if (expected_set.Insert(k)) expected.push_back(k);
  }
  EXPECT_EQ(keys, expected);

  // Distinct CJK code points, so every window past the threshold is observed.
  std::u32string wide;
  std::string wide_text;
  for (int i = 0; i < 5000; ++i) {
    wide += static_cast<char32_t>(0x4E00 + (i * 7919) % 20000);
    wide_text += Utf8(wide.back());
  }
  const Keys hashed = NgramKeys(wide_text, 40, false);
  ASSERT_EQ(hashed.size(), 5000u - 39);
  for (size_t i = 0; i < hashed.size(); ++i) ASSERT_EQ(hashed[i], Fnv1aUtf32(wide.substr(i, 40))) << i;
}

// Every code point, against ICU's own data: White_Space splits, L* and Nd
// are retained, and folding keeps the first code point of the full lowercase
// mapping.
TEST(NgramKeys, AgreesWithUnicodeDataForEveryCodePoint) {
  NgramTokenizer tokenizer;
  Keys got;
  for (UChar32 c = 1; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    const std::string s = "a" + Utf8(static_cast<char32_t>(c)) + "b";
    tokenizer.Tokenize(s, 2, true, &got);
    if (u_hasBinaryProperty(c, UCHAR_WHITE_SPACE)) {
      ASSERT_EQ(got, Keys()) << std::hex << c;
      continue;
    }
    const int8_t gc = u_charType(c);
    const bool retained = gc == U_UPPERCASE_LETTER || gc == U_LOWERCASE_LETTER || gc == U_TITLECASE_LETTER ||
                          gc == U_MODIFIER_LETTER || gc == U_OTHER_LETTER || gc == U_DECIMAL_DIGIT_NUMBER;
    if (!retained) {
      ASSERT_EQ(got, Keys({0x6100000062ULL})) << std::hex << c;
      continue;
    }
    UChar in[2], lower[8];
    int32_t in_len = 0;
    U16_APPEND_UNSAFE(in, in_len, c);
    UErrorCode status = U_ZERO_ERROR;
    const int32_t lower_len = u_strToLower(lower, 8, in, in_len, "", &status);
    ASSERT_TRUE(U_SUCCESS(status) && lower_len > 0);
    UChar32 first;
    U16_GET_UNSAFE(lower, 0, first);
    const uint64_t f = static_cast<uint64_t>(first);
    const Keys want = f == 'a' ? Keys({0x6100000061ULL, 0x6100000062ULL})
                      : f == 'b' ? Keys({0x6100000062ULL, 0x6200000062ULL})
                                 : Keys({0x61ULL << 32 | f, f << 32 | 0x62});
    ASSERT_EQ(got, want) << std::hex << c;
  }
}

}  // namespace
}  // namespace halcyra
