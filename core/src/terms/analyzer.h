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
#include "terms/stopwords.h"

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

  // Calls visit(word) -> Status for each maximal run of term characters of
  // text, in text order, case-folded when the settings fold case: the
  // words that Resolve turns into terms. The view is valid during the call
  // only. Stops at and returns the first failure.
  template <class Visit>
  Status ForEachWord(std::string_view text, Visit&& visit);

  // The term that word (from ForEachWord) files its document under: its stem
  // when stemming (the word itself when the stem is empty), else the word
  // itself; nullopt for a stop word. The view
  // is valid until the next call. Fails only when the stemmer runs out of
  // memory (kInternal).
  Result<std::optional<std::string_view>> Resolve(std::string_view word);

 private:
  struct StemmerDeleter {
    void operator()(sb_stemmer* stemmer) const;
  };

  explicit Analyzer(const AnalyzerSettings& settings) : settings_(settings) {}

  // Per byte: kLetterOrDigit for an ASCII letter or digit, with kUpper for
  // an uppercase one; 0 for every other byte, non-ASCII ones included.
  static constexpr uint8_t kLetterOrDigit = 1;
  static constexpr uint8_t kUpper = 2;
  static constexpr std::array<uint8_t, 256> kAsciiClass = [] {
    std::array<uint8_t, 256> t{};
    for (int c = '0'; c <= '9'; ++c) t[c] = kLetterOrDigit;
    for (int c = 'a'; c <= 'z'; ++c) t[c] = kLetterOrDigit;
    for (int c = 'A'; c <= 'Z'; ++c) t[c] = kLetterOrDigit | kUpper;
    return t;
  }();

  // Reads the non-ASCII character at text[*i], advancing *i past it: appends
  // it (case-folded when fold_case) to *word and returns true when it is a
  // term character; returns false when it ends a word.
  static bool AppendNonAscii(std::string_view text, size_t* i, bool fold_case, std::string* word);

  // A term with its stem, remembered from an earlier call.
  struct CachedStem {
    std::string term;  // empty: the slot is unused
    std::string stem;
  };

  // The stem of word (not empty), valid until the next call.
  Result<std::string_view> Stem(std::string_view word);

  AnalyzerSettings settings_;
  const StopWordList* stop_words_ = nullptr;  // set when settings_.stopwords
  std::unique_ptr<sb_stemmer, StemmerDeleter> stemmer_;  // set when settings_.stem
  // Stems of recent terms, one slot per hash value; a new term overwrites
  // its slot. Snowball stemming costs far more than a hash and a compare,
  // and a few thousand frequent words make up most of any text. Sized when
  // stemming.
  std::vector<CachedStem> stem_cache_;
  std::string word_;  // the word in progress, reused from text to text
};

template <class Visit>
Status Analyzer::ForEachWord(std::string_view text, Visit&& visit) {
  word_.clear();
  const bool fold_case = settings_.fold_case;
  const auto* const bytes = reinterpret_cast<const uint8_t*>(text.data());
  const size_t size = text.size();
  size_t i = 0;
  while (i < size) {
    const uint8_t b = bytes[i];
    if (b < 0x80) {
      uint8_t classes = kAsciiClass[b];
      if (classes == 0) {
        ++i;
        if (!word_.empty()) {
          HALCYRA_RETURN_IF_ERROR(visit(std::string_view(word_)));
          word_.clear();
        }
        continue;
      }
      // A run of ASCII letters and digits is taken at once; a whole word of
      // them is handed out in place unless it needs folding.
      size_t end = i + 1;
      for (uint8_t c; end < size && (c = kAsciiClass[bytes[end]]) != 0; ++end) classes |= c;
      const bool upper = (classes & kUpper) != 0;
      const bool whole = word_.empty() && (end == size || bytes[end] < 0x80);
      if (whole && !(fold_case && upper)) {
        HALCYRA_RETURN_IF_ERROR(visit(text.substr(i, end - i)));
        i = end;
        continue;
      }
      const size_t at = word_.size();
      word_.append(text.data() + i, end - i);
      if (fold_case && upper) {
        for (size_t k = at; k < word_.size(); ++k) {
          if (word_[k] >= 'A' && word_[k] <= 'Z') word_[k] += 'a' - 'A';
        }
      }
      i = end;
      if (whole) {
        HALCYRA_RETURN_IF_ERROR(visit(std::string_view(word_)));
        word_.clear();
      }
      continue;
    }
    if (!AppendNonAscii(text, &i, fold_case, &word_) && !word_.empty()) {
      HALCYRA_RETURN_IF_ERROR(visit(std::string_view(word_)));
      word_.clear();
    }
  }
  if (!word_.empty()) {
    HALCYRA_RETURN_IF_ERROR(visit(std::string_view(word_)));
    word_.clear();
  }
  return Status::Ok();
}

}  // namespace halcyra
