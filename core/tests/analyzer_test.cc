#include "terms/analyzer.h"

#include <gtest/gtest.h>
#include <libstemmer.h>
#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace halcyra {
namespace {

using Terms = std::vector<std::string>;

constexpr char kNeedLanguage[] = "stemming and stop-word removal require a language (pass language=...)";

std::string UnknownLanguage(const std::string& passed) {
  return "unknown stemmer language " + passed +
         "; use a Snowball name or ISO-639-1 code (e.g. \"english\"/\"en\", \"french\"/\"fr\")";
}

std::string Utf8(UChar32 c) {
  char buf[U8_MAX_LENGTH];
  int32_t n = 0;
  U8_APPEND_UNSAFE(buf, n, c);
  return std::string(buf, n);
}

Analyzer Make(std::optional<std::string_view> language, std::optional<bool> stem, bool stopwords,
              bool case_sensitive) {
  Result<AnalyzerSettings> settings = AnalyzerSettings::FromArgs(language, stem, stopwords, case_sensitive);
  EXPECT_TRUE(settings.ok()) << settings.error().message();
  Result<Analyzer> analyzer = Analyzer::Create(*settings);
  EXPECT_TRUE(analyzer.ok()) << analyzer.error().message();
  return std::move(analyzer).value();
}

Terms TermsOf(Analyzer& analyzer, std::string_view text) {
  Terms terms;
  Status status = analyzer.Analyze(text, &terms);
  EXPECT_TRUE(status.ok()) << status.error().message();
  return terms;
}

// Plain analyzer: no language, folding case.
Terms Plain(std::string_view text) {
  Analyzer analyzer = Make(std::nullopt, std::nullopt, false, false);
  return TermsOf(analyzer, text);
}

Terms Exact(std::string_view text) {
  Analyzer analyzer = Make(std::nullopt, std::nullopt, false, true);
  return TermsOf(analyzer, text);
}

// ---- Language table and lookup ----

TEST(Languages, Table) {
  const char* const names[][2] = {
      {"english", "en"}, {"spanish", "es"},   {"arabic", "ar"},    {"danish", "da"},    {"dutch", "nl"},
      {"finnish", "fi"}, {"french", "fr"},    {"german", "de"},    {"greek", "el"},     {"hungarian", "hu"},
      {"italian", "it"}, {"norwegian", "no"}, {"portuguese", "pt"}, {"romanian", "ro"}, {"russian", "ru"},
      {"swedish", "sv"}, {"tamil", "ta"},     {"turkish", "tr"}};
  ASSERT_EQ(kLanguages.size(), 18u);
  for (uint8_t code = 0; code < kLanguageCount; ++code) {
    SCOPED_TRACE(names[code][0]);
    EXPECT_EQ(kLanguages[code].code, code);
    EXPECT_EQ(kLanguages[code].snowball_name, names[code][0]);
    EXPECT_EQ(kLanguages[code].iso639_1, names[code][1]);
    EXPECT_EQ(LookupLanguage(names[code][0]), code);
    EXPECT_EQ(LookupLanguage(names[code][1]), code);
  }
}

TEST(Languages, LookupTrimsWhiteSpaceAndFoldsAsciiOnly) {
  EXPECT_EQ(LookupLanguage("EN"), 0);
  EXPECT_EQ(LookupLanguage("English"), 0);
  EXPECT_EQ(LookupLanguage("  English  "), 0);
  EXPECT_EQ(LookupLanguage("\t\n\v\f\r FRENCH \r\n"), 6);
  EXPECT_EQ(LookupLanguage("\u00a0de\u3000"), 7);          // no-break and ideographic space
  EXPECT_EQ(LookupLanguage("\u2028\u0085ru\u202f\u1680"), 14);
  EXPECT_EQ(LookupLanguage(std::string(1000, ' ') + "Tamil" + std::string(1000, '\t')), 16);

  EXPECT_EQ(LookupLanguage("eng"), std::nullopt);
  EXPECT_EQ(LookupLanguage(""), std::nullopt);
  EXPECT_EQ(LookupLanguage("   "), std::nullopt);
  EXPECT_EQ(LookupLanguage("en glish"), std::nullopt);
  EXPECT_EQ(LookupLanguage("\u200ben"), std::nullopt);     // zero width space is not white space
  EXPECT_EQ(LookupLanguage("\ufeffen"), std::nullopt);
  EXPECT_EQ(LookupLanguage("\x1c" "en"), std::nullopt);  // information separators are not White_Space
  EXPECT_EQ(LookupLanguage("en\x1f"), std::nullopt);
  EXPECT_EQ(LookupLanguage("\uff25\uff2e"), std::nullopt); // fullwidth EN is not ASCII
  EXPECT_EQ(LookupLanguage("TURK\u0130SH"), std::nullopt); // only ASCII letters are lowered
  EXPECT_EQ(LookupLanguage(std::string("en\0", 3)), std::nullopt);
  EXPECT_EQ(LookupLanguage("en\xff"), std::nullopt);
  EXPECT_EQ(LookupLanguage("\xe3\x80"), std::nullopt);     // truncated U+3000
  EXPECT_EQ(LookupLanguage("\xe3\x80" "en"), std::nullopt);
  EXPECT_EQ(LookupLanguage("porter"), std::nullopt);       // a stemmer, not a table language
}

// ---- Settings from arguments ----

void ExpectSettings(const Result<AnalyzerSettings>& r, uint8_t language, bool stem, bool stopwords,
                    bool fold_case) {
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r->language, language);
  EXPECT_EQ(r->stem, stem);
  EXPECT_EQ(r->stopwords, stopwords);
  EXPECT_EQ(r->fold_case, fold_case);
}

void ExpectInvalid(const Result<AnalyzerSettings>& r, const std::string& message) {
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().code(), ErrorCode::kInvalidArgument);
  EXPECT_EQ(r.error().message(), message);
}

TEST(AnalyzerSettings, WithoutLanguage) {
  ExpectSettings(AnalyzerSettings::FromArgs(std::nullopt, std::nullopt, false, false), kNoLanguage, false,
                 false, true);
  ExpectSettings(AnalyzerSettings::FromArgs(std::nullopt, false, false, true), kNoLanguage, false, false,
                 false);
  ExpectInvalid(AnalyzerSettings::FromArgs(std::nullopt, true, false, false), kNeedLanguage);
  ExpectInvalid(AnalyzerSettings::FromArgs(std::nullopt, std::nullopt, true, false), kNeedLanguage);
  ExpectInvalid(AnalyzerSettings::FromArgs(std::nullopt, false, true, true), kNeedLanguage);
  ExpectInvalid(AnalyzerSettings::FromArgs(std::nullopt, true, true, false), kNeedLanguage);
}

TEST(AnalyzerSettings, WithLanguage) {
  // A language stems unless stem=False; stop words only on request.
  ExpectSettings(AnalyzerSettings::FromArgs("english", std::nullopt, false, false), 0, true, false, true);
  ExpectSettings(AnalyzerSettings::FromArgs("english", false, false, false), 0, false, false, true);
  ExpectSettings(AnalyzerSettings::FromArgs("fr", true, true, true), 6, true, true, false);
  ExpectSettings(AnalyzerSettings::FromArgs(" TR ", false, true, false), 17, false, true, true);
  ExpectSettings(AnalyzerSettings::FromArgs("EN", std::nullopt, true, false), 0, true, true, true);
  ExpectSettings(AnalyzerSettings::FromArgs(" English ", std::nullopt, false, false), 0, true, false, true);
}

TEST(AnalyzerSettings, UnknownLanguageQuotesTheArgumentAsPassed) {
  ExpectInvalid(AnalyzerSettings::FromArgs("eng", std::nullopt, false, false), UnknownLanguage("eng"));
  ExpectInvalid(AnalyzerSettings::FromArgs(" Klingon\t", false, true, false), UnknownLanguage(" Klingon\t"));
  ExpectInvalid(AnalyzerSettings::FromArgs("", std::nullopt, false, false), UnknownLanguage(""));
  EXPECT_EQ(UnknownLanguage("eng"),
            "unknown stemmer language eng; use a Snowball name or ISO-639-1 code "
            "(e.g. \"english\"/\"en\", \"french\"/\"fr\")");
}

TEST(Analyzer, CreateRejectsSettingsThatArgumentsNeverGive) {
  AnalyzerSettings s;
  s.stopwords = true;
  Result<Analyzer> r = Analyzer::Create(s);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().code(), ErrorCode::kInvalidArgument);
  EXPECT_EQ(r.error().message(), kNeedLanguage);
  s.language = 18;
  r = Analyzer::Create(s);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "unknown language code 18");
}

// ---- Term splitting ----

TEST(Analyzer, SplitsAtEverythingButLettersAndDigits) {
  EXPECT_EQ(Plain("Hello, World! x2"), Terms({"hello", "world", "x2"}));
  EXPECT_EQ(Plain("state-of-the-art"), Terms({"state", "of", "the", "art"}));
  EXPECT_EQ(Plain("don't snake_case a.b"), Terms({"don", "t", "snake", "case", "a", "b"}));
  EXPECT_EQ(Plain("  a  a\tb\n\na "), Terms({"a", "a", "b", "a"}));  // duplicates kept, in order
  EXPECT_EQ(Plain("2020-01-02"), Terms({"2020", "01", "02"}));
  EXPECT_EQ(Plain(""), Terms());
  EXPECT_EQ(Plain("  ,;!? -- \u2014 \u00bf\u00a1 $\u20ac%"), Terms());
  EXPECT_EQ(Plain("tail"), Terms({"tail"}));  // the term in progress at the end is emitted
}

TEST(Analyzer, TermCharacters) {
  // Nd, Nl and No are term characters: Arabic-Indic digits, Roman numerals,
  // superscripts and vulgar fractions.
  EXPECT_EQ(Plain("\u0661\u0662\u0663"), Terms({"\u0661\u0662\u0663"}));
  EXPECT_EQ(Exact("Louis\u216B"), Terms({"Louis\u216B"}));
  EXPECT_EQ(Plain("x\u00b2+y\u00b2 \u00bd"), Terms({"x\u00b2", "y\u00b2", "\u00bd"}));
  // Alphabetic beyond letters: circled letters (So) and Arabic harakat (Mn).
  EXPECT_EQ(Exact("\u24b6\u24b7"), Terms({"\u24b6\u24b7"}));
  EXPECT_EQ(Plain("\u0643\u064e\u062a\u064e\u0628\u064e"), Terms({"\u0643\u064e\u062a\u064e\u0628\u064e"}));
  EXPECT_EQ(Plain("\u65e5\u672c\u8a9e \u3072\u3089\u304c\u306a"), Terms({"\u65e5\u672c\u8a9e", "\u3072\u3089\u304c\u306a"}));
  // Combining marks that are not Alphabetic end the term: the combining acute
  // and the Tamil virama.
  EXPECT_EQ(Plain("e\u0301te"), Terms({"e", "te"}));
  EXPECT_EQ(Plain("\u0b85\u0b99\u0bcd\u0b95\u0bc1"), Terms({"\u0b85\u0b99", "\u0b95\u0bc1"}));
  // Format characters and emoji are separators too.
  EXPECT_EQ(Plain("ab\u200bcd\u00adef\U0001F600gh"), Terms({"ab", "cd", "ef", "gh"}));
  // Supplementary-plane letters are kept whole.
  EXPECT_EQ(Exact("\U00010400x\U0001D400"), Terms({"\U00010400x\U0001D400"}));
}

TEST(Analyzer, MalformedUtf8EndsATerm) {
  EXPECT_EQ(Plain("ab\xff" "cd"), Terms({"ab", "cd"}));
  EXPECT_EQ(Plain("ab\xc3"), Terms({"ab"}));               // truncated at the end
  EXPECT_EQ(Plain("ab\xe6\x97" "cd"), Terms({"ab", "cd"}));  // truncated inside
  EXPECT_EQ(Plain("ab\xc0\xaf" "cd"), Terms({"ab", "cd"}));  // overlong
  EXPECT_EQ(Plain("ab\xed\xa0\x80" "cd"), Terms({"ab", "cd"}));  // surrogate
  EXPECT_EQ(Plain("\x80\x80"), Terms());
}

// Every code point between two ASCII letters: joined into one term exactly
// when Alphabetic or Nd/Nl/No, and then folded to its own full lowercase
// mapping (taken alone, so without context rules).
TEST(Analyzer, EveryCodePoint) {
  Analyzer fold = Make(std::nullopt, std::nullopt, false, false);
  Analyzer keep = Make(std::nullopt, std::nullopt, false, true);
  Terms terms;
  size_t joined = 0;
  for (UChar32 c = 0; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    const int type = u_charType(c);
    const bool term_char = u_hasBinaryProperty(c, UCHAR_ALPHABETIC) || type == U_DECIMAL_DIGIT_NUMBER ||
                           type == U_LETTER_NUMBER || type == U_OTHER_NUMBER;
    UChar src[2];
    int32_t src_len = 0;
    U16_APPEND_UNSAFE(src, src_len, c);
    UChar lower16[8];
    UErrorCode status = U_ZERO_ERROR;
    const int32_t lower16_len = u_strToLower(lower16, 8, src, src_len, "", &status);
    ASSERT_TRUE(U_SUCCESS(status));
    char lower[32];
    int32_t lower_len = 0;
    u_strToUTF8(lower, sizeof lower, &lower_len, lower16, lower16_len, &status);
    ASSERT_TRUE(U_SUCCESS(status));

    const std::string text = "A" + Utf8(c) + "B";
    const Terms expect_fold = term_char ? Terms({"a" + std::string(lower, lower_len) + "b"}) : Terms({"a", "b"});
    const Terms expect_keep = term_char ? Terms({text}) : Terms({"A", "B"});
    terms.clear();
    ASSERT_TRUE(fold.Analyze(text, &terms).ok());
    ASSERT_EQ(terms, expect_fold) << std::hex << c;
    terms.clear();
    ASSERT_TRUE(keep.Analyze(text, &terms).ok());
    ASSERT_EQ(terms, expect_keep) << std::hex << c;
    joined += term_char;
  }
  EXPECT_GT(joined, 100000u);
}

// ---- Lowercasing ----

TEST(Analyzer, FullLowercaseMappingPerCharacter) {
  EXPECT_EQ(Plain("\u00c9COLE"), Terms({"\u00e9cole"}));
  EXPECT_EQ(Exact("\u00c9COLE"), Terms({"\u00c9COLE"}));
  EXPECT_EQ(Plain("Stra\u00dfe"), Terms({"stra\u00dfe"}));         // sharp s is already lowercase
  EXPECT_EQ(Plain("\u0130stanbul"), Terms({"i\u0307stanbul"}));    // dotted capital I: two characters
  EXPECT_EQ(Plain("I"), Terms({"i"}));                              // no Turkish rule
  EXPECT_EQ(Plain("\u039f\u0394\u039f\u03a3"), Terms({"\u03bf\u03b4\u03bf\u03c3"}));  // sigma never final
  EXPECT_EQ(Plain("\u03a3"), Terms({"\u03c3"}));
  EXPECT_EQ(Plain("\u01c5"), Terms({"\u01c6"}));                    // titlecase dz
  EXPECT_EQ(Plain("\u2160\u216b"), Terms({"\u2170\u217b"}));        // Roman numerals have lowercase forms
  EXPECT_EQ(Plain("\u24b6"), Terms({"\u24d0"}));                    // circled A
  EXPECT_EQ(Plain("\U00010400"), Terms({"\U00010428"}));            // Deseret, 4-byte UTF-8
  EXPECT_EQ(Plain("\u041a\u043d\u0438\u0433\u0438"), Terms({"\u043a\u043d\u0438\u0433\u0438"}));
  EXPECT_EQ(Plain("MiXeD123"), Terms({"mixed123"}));
}

// ---- Stop words ----

TEST(Analyzer, StopWordsAreMatchedAfterLowercasing) {
  Analyzer folded = Make("english", false, true, false);
  EXPECT_EQ(TermsOf(folded, "state-of-the-art"), Terms({"state", "art"}));
  EXPECT_EQ(TermsOf(folded, "The cat AND the hat"), Terms({"cat", "hat"}));
  EXPECT_EQ(TermsOf(folded, "a an the of"), Terms());
  // Case-sensitive: only exact lowercase stop words go.
  Analyzer exact = Make("english", false, true, true);
  EXPECT_EQ(TermsOf(exact, "The cat AND the hat"), Terms({"The", "cat", "AND", "hat"}));
  // Without stopwords=True nothing is dropped.
  Analyzer kept = Make("english", false, false, false);
  EXPECT_EQ(TermsOf(kept, "state-of-the-art"), Terms({"state", "of", "the", "art"}));
}

TEST(Analyzer, StopWordsOfOtherLanguages) {
  Analyzer german = Make("de", false, true, false);
  EXPECT_EQ(TermsOf(german, "\u00dcber den Fluss und \u00fcber die Br\u00fccke"),
            Terms({"fluss", "br\u00fccke"}));
  Analyzer russian = Make("ru", false, true, false);
  EXPECT_EQ(TermsOf(russian, "\u041d\u0435 \u0437\u043d\u0430\u044e"), Terms({"\u0437\u043d\u0430\u044e"}));
  // Arabic entries with diacritics match the same text; entries with a space
  // never match, since terms never hold one.
  Analyzer arabic = Make("ar", false, true, false);
  EXPECT_EQ(TermsOf(arabic, "\u0622\u0647\u064d"), Terms());
  EXPECT_EQ(TermsOf(arabic, "\u0644\u0627 \u0633\u064a\u0645\u0627"), Terms({"\u0633\u064a\u0645\u0627"}));
}

// Five Arabic entries hold a space. Terms never do, so such an entry never
// matches: its words are dropped or kept each on its own.
TEST(Analyzer, ArabicEntriesWithASpaceNeverMatch) {
  Analyzer arabic = Make("arabic", false, true, false);
  Analyzer plain = Make("arabic", false, false, false);
  const StopWordList& list = StopWords(2);
  size_t spaced = 0;
  for (std::string_view w : list.words()) {
    if (w.find(' ') == std::string_view::npos) continue;
    ++spaced;
    const Terms pieces = TermsOf(plain, w);
    ASSERT_EQ(pieces.size(), 2u) << w;
    Terms kept;
    for (const std::string& piece : pieces) {
      if (!list.Contains(piece)) kept.push_back(piece);
    }
    EXPECT_EQ(kept.size(), 1u) << w;  // one word of each entry is not listed alone
    EXPECT_EQ(TermsOf(arabic, w), kept) << w;
  }
  EXPECT_EQ(spaced, 5u);
  // The joined spelling is an entry of its own and is dropped.
  EXPECT_EQ(TermsOf(arabic, "\u0644\u0627\u0633\u064a\u0645\u0627"), Terms());
}

// A stop word that analyzes to itself as one term is dropped; the analyzer
// and the lists agree for every language.
TEST(Analyzer, EveryListedWordThatIsATermIsDropped) {
  for (uint8_t code = 0; code < kLanguageCount; ++code) {
    SCOPED_TRACE(std::string(kLanguages[code].snowball_name));
    AnalyzerSettings plain;
    AnalyzerSettings drop;
    drop.language = code;
    drop.stopwords = true;
    Analyzer keep_all = std::move(Analyzer::Create(plain)).value();
    Analyzer dropper = std::move(Analyzer::Create(drop)).value();
    size_t dropped = 0;
    for (std::string_view w : StopWords(code).words()) {
      if (TermsOf(keep_all, w) != Terms({std::string(w)})) continue;
      EXPECT_EQ(TermsOf(dropper, w), Terms()) << w;
      EXPECT_EQ(TermsOf(dropper, "7 " + std::string(w) + " 9"), Terms({"7", "9"})) << w;
      ++dropped;
    }
    if (code == 0) {
      EXPECT_EQ(dropped, 31u);
    }
    EXPECT_GT(dropped, 0u);
  }
}

// ---- Stemming ----

// One sample per language, checked against the Snowball algorithms.
TEST(Analyzer, Stemming) {
  struct Case {
    const char* language;
    const char* text;
    Terms terms;
  };
  const Case cases[] = {
      {"english", "running runs connection ponies generously", {"run", "run", "connect", "poni", "generous"}},
      {"es", "corriendo", {"corr"}},
      {"ar", "\u0627\u0644\u0645\u0643\u062a\u0628\u0627\u062a", {"\u0645\u0643\u062a\u0628"}},
      {"da", "hestene", {"hest"}},
      {"nl", "lopen", {"lop"}},
      {"fi", "taloissa", {"talo"}},
      {"fr", "\u00c9COLE continuellement", {"\u00e9col", "continuel"}},  // folded before stemming
      {"de", "H\u00e4user", {"haus"}},
      {"el", "\u03b1\u03bd\u03b8\u03c1\u03c9\u03c0\u03c9\u03bd", {"\u03b1\u03bd\u03b8\u03c1\u03c9\u03c0"}},
      {"hu", "h\u00e1zakban", {"h\u00e1z"}},
      {"it", "correndo", {"corr"}},
      {"no", "hestene", {"hest"}},
      {"pt", "correndo", {"corr"}},
      {"ro", "frumoasele", {"frumoas"}},
      {"ru", "\u041a\u043d\u0438\u0433\u0438", {"\u043a\u043d\u0438\u0433"}},
      {"sv", "flickorna", {"flick"}},
      {"ta", "\u0bb5\u0bc0\u0b9f\u0bc1\u0b95\u0bb3\u0bc8", {"\u0bb5\u0bc0\u0b9f\u0bc1"}},
      {"tr", "kitaplar", {"kitap"}},
  };
  for (const Case& c : cases) {
    Analyzer analyzer = Make(c.language, std::nullopt, false, false);
    EXPECT_EQ(TermsOf(analyzer, c.text), c.terms) << c.language;
  }
  Analyzer unstemmed = Make("english", false, false, false);
  EXPECT_EQ(TermsOf(unstemmed, "running"), Terms({"running"}));
  // Words that are all suffix stem to nothing: they stay as they are, twice
  // too (the second time from the analyzer's cache of stems).
  for (const Case& c : {Case{"el", "\u03b5\u03c4\u03b5 \u03b5\u03c4\u03b5", {"\u03b5\u03c4\u03b5", "\u03b5\u03c4\u03b5"}},
                        Case{"tr", "leri", {"leri"}}, Case{"ar", "\u0640", {"\u0640"}}}) {
    Analyzer analyzer = Make(c.language, std::nullopt, false, false);
    EXPECT_EQ(TermsOf(analyzer, c.text), c.terms) << c.language;
  }
}

TEST(Analyzer, CaseSensitiveStemmingSeesTheTermUnchanged) {
  Analyzer english = Make("english", true, false, true);
  EXPECT_EQ(TermsOf(english, "Running running"), Terms({"Run", "run"}));
  Analyzer french = Make("french", true, false, true);
  EXPECT_EQ(TermsOf(french, "\u00c9COLE"), Terms({"\u00c9COLE"}));
}

TEST(Analyzer, StopWordsAreLookedUpBeforeStemming) {
  // "having" is not a stop word although its stem "have" is; "The" folds to
  // the stop word "the" and is dropped before the stemmer sees it.
  Analyzer english = Make("english", std::nullopt, true, false);
  EXPECT_EQ(TermsOf(english, "The cats WERE having fun"), Terms({"cat", "have", "fun"}));
}

// The analyzer remembers recent stems; whatever came before, every term gets
// exactly the stemmer's own result. Far more distinct terms than it keeps,
// in varying order and case, some too long to be kept at all.
TEST(Analyzer, StemsDoNotDependOnEarlierTerms) {
  const char* const roots[] = {"connect", "run", "pony", "general", "hope", "nation", "argu", "happi",
                               "relat", "condition", "abl", "sens", "vari", "operat", "troubl", "formal"};
  const char* const suffixes[] = {"", "s", "es", "ed", "ing", "ings", "ion", "ions", "ional", "ness", "ful",
                                  "fulness", "ly", "ment", "ments", "ity", "ities", "ize", "izes", "ization",
                                  "er", "ers", "est", "al", "ally", "ive", "ively", "ous", "ously", "ism"};
  std::vector<std::string> words;
  for (int n = 0; n < 100; ++n) {
    for (const char* root : roots) {
      for (const char* suffix : suffixes) {
        words.push_back((n == 0 ? "" : "x" + std::to_string(n)) + root + suffix);  // 48000 distinct words
      }
    }
  }
  words.push_back(std::string(40, 'z') + "ings");  // longer than any kept term
  words.push_back(std::string(40, 'z') + "ing");

  sb_stemmer* reference = sb_stemmer_new("english", "UTF_8");
  ASSERT_NE(reference, nullptr);
  const auto stem_of = [reference](const std::string& w) {
    const sb_symbol* s = sb_stemmer_stem(reference, reinterpret_cast<const sb_symbol*>(w.data()),
                                         static_cast<int>(w.size()));
    return std::string(reinterpret_cast<const char*>(s), sb_stemmer_length(reference));
  };

  Analyzer folded = Make("english", true, false, false);
  Analyzer exact = Make("english", true, false, true);
  std::mt19937 rng(5);
  for (int round = 0; round < 3; ++round) {
    std::shuffle(words.begin(), words.end(), rng);
    for (size_t i = 0; i < words.size(); ++i) {
      const std::string& w = words[i];
      std::string upper = w;
      upper[0] = static_cast<char>(upper[0] - 'a' + 'A');
      ASSERT_EQ(TermsOf(folded, w), Terms({stem_of(w)})) << w;
      ASSERT_EQ(TermsOf(folded, upper), Terms({stem_of(w)})) << upper;
      ASSERT_EQ(TermsOf(exact, upper), Terms({stem_of(upper)})) << upper;
      if (i % 64 == 0) {
        // A few words in one text, repeated: later ones hit what earlier ones left.
        const std::string& v = words[(i + 1) % words.size()];
        EXPECT_EQ(TermsOf(folded, w + " " + v + " " + w), Terms({stem_of(w), stem_of(v), stem_of(w)}));
      }
    }
  }
  sb_stemmer_delete(reference);
}

// ---- Buffers and ownership ----

TEST(Analyzer, AppendsAndReusesItsScratchBuffer) {
  Analyzer english = Make("en", std::nullopt, false, false);
  Terms terms = {"kept"};
  ASSERT_TRUE(english.Analyze("Running dogs", &terms).ok());
  ASSERT_TRUE(english.Analyze("", &terms).ok());
  ASSERT_TRUE(english.Analyze("cats", &terms).ok());
  EXPECT_EQ(terms, Terms({"kept", "run", "dog", "cat"}));

  // A moved analyzer keeps its stemmer; the moved-from one is destroyed safely.
  Analyzer moved = std::move(english);
  EXPECT_EQ(TermsOf(moved, "ponies"), Terms({"poni"}));
  EXPECT_EQ(moved.settings().language, 0);
  EXPECT_TRUE(moved.settings().stem);
}

TEST(Analyzer, LongTerms) {
  std::string upper, lower, stem;
  for (int i = 0; i < 20000; ++i) upper += "HOPE", lower += "hope";
  stem = lower.substr(0, lower.size() - 1);  // "...hop": -fulness, then the final e
  upper += "FULNESS";
  lower += "fulness";
  // Compared without printing on failure: the terms are 80 kB.
  Terms terms = Plain(upper);
  ASSERT_EQ(terms.size(), 1u);
  EXPECT_TRUE(terms[0] == lower);
  Analyzer english = Make("english", std::nullopt, false, false);
  terms = TermsOf(english, upper);
  ASSERT_EQ(terms.size(), 1u);
  EXPECT_TRUE(terms[0] == stem);
}

}  // namespace
}  // namespace halcyra
