// The term analyzer: turns a document text into the whole terms a term index
// files its postings under. The settings are recorded in the index header so
// that a reader analyzes query text the same way.
//
// A term is a maximal run of characters that are Alphabetic or of general
// category Nd, Nl or No; everything else ends a term. With fold case each
// character is replaced by its full lowercase mapping, one character at a
// time (no context rules: capital sigma is always small sigma). Each term is
// then dropped when it is a stop word of the language (compared after
// lowercasing), or else replaced by its Snowball stem when stemming.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "halcyra/status.h"
#include "halcyra/stopwords.h"

struct sb_stemmer;

namespace halcyra {

// The language code stored when no language is set.
inline constexpr uint8_t kNoLanguage = 255;

struct Language {
  uint8_t code;                    // stored in the term-index header
  std::string_view snowball_name;  // also the name of its stemming algorithm
  std::string_view iso639_1;
};

// Indexed by code.
inline constexpr std::array<Language, kLanguageCount> kLanguages = {{
    {0, "english", "en"},    {1, "spanish", "es"},    {2, "arabic", "ar"},     {3, "danish", "da"},
    {4, "dutch", "nl"},      {5, "finnish", "fi"},    {6, "french", "fr"},     {7, "german", "de"},
    {8, "greek", "el"},      {9, "hungarian", "hu"},  {10, "italian", "it"},   {11, "norwegian", "no"},
    {12, "portuguese", "pt"}, {13, "romanian", "ro"}, {14, "russian", "ru"},   {15, "swedish", "sv"},
    {16, "tamil", "ta"},     {17, "turkish", "tr"},
}};

// The code of a language given by Snowball name or ISO-639-1 code, after
// trimming Unicode White_Space at both ends and lowercasing ASCII letters
// ("  English ", "EN"). Anything else, the empty text included, is nullopt.
std::optional<uint8_t> LookupLanguage(std::string_view name);

struct AnalyzerSettings {
  uint8_t language = kNoLanguage;  // a code of kLanguages, or kNoLanguage
  bool stem = false;
  bool stopwords = false;
  bool fold_case = true;

  // The settings of the builders' Python arguments (nullopt for None). A
  // language stems unless stem is false; stemming and stop-word removal
  // need a language. Errors are kInvalidArgument.
  static Result<AnalyzerSettings> FromArgs(std::optional<std::string_view> language,
                                           std::optional<bool> stem, bool stopwords,
                                           bool case_sensitive);
};

class Analyzer {
 public:
  // Takes a stemmer when settings.stem is set. Fails on settings that
  // FromArgs never produces (kInvalidArgument) or when no stemmer can be
  // had (kInternal).
  static Result<Analyzer> Create(const AnalyzerSettings& settings);

  const AnalyzerSettings& settings() const { return settings_; }

  // Appends the terms of text (UTF-8; a malformed byte ends a term like
  // U+FFFD) to *terms, in text order, duplicates kept. Fails only when the
  // stemmer runs out of memory (kInternal).
  Status Analyze(std::string_view text, std::vector<std::string>* terms);

 private:
  struct StemmerDeleter {
    void operator()(sb_stemmer* stemmer) const;
  };

  explicit Analyzer(const AnalyzerSettings& settings) : settings_(settings) {}

  // A term with its stem, remembered from an earlier call.
  struct CachedStem {
    std::string term;  // empty: the slot is unused
    std::string stem;
  };

  // Files the term in term_ (if any) into *terms and empties term_.
  Status EndTerm(std::vector<std::string>* terms);

  // Appends the stem of term_ to *terms.
  Status AppendStem(std::vector<std::string>* terms);

  AnalyzerSettings settings_;
  const StopWordList* stop_words_ = nullptr;  // set when settings_.stopwords
  std::unique_ptr<sb_stemmer, StemmerDeleter> stemmer_;  // set when settings_.stem
  // Stems of recent terms, one slot per hash value; a new term overwrites
  // its slot. Snowball stemming costs far more than a hash and a compare,
  // and a few thousand frequent words make up most of any text. Sized when
  // stemming.
  std::vector<CachedStem> stem_cache_;
  std::string term_;  // the term in progress, reused from text to text
};

}  // namespace halcyra
