#include "terms/analyzer.h"

#include <libstemmer.h>
#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cassert>
#include <climits>
#include <functional>

namespace halcyra {
namespace {

// Slots of the stem cache (a power of two), and the longest term it keeps:
// longer terms are rare and would only pin memory.
constexpr size_t kStemCacheSlots = 16384;
constexpr size_t kMaxCachedTerm = 32;

constexpr char kNeedLanguage[] = "stemming and stop-word removal require a language (pass language=...)";

bool IsTermChar(UChar32 c) {
  return u_isUAlphabetic(c) || (U_GET_GC_MASK(c) & U_GC_N_MASK) != 0;  // N = Nd | Nl | No
}

void AppendUtf8(UChar32 c, std::string* out) {
  char buf[U8_MAX_LENGTH];
  int32_t n = 0;
  U8_APPEND_UNSAFE(buf, n, c);
  out->append(buf, n);
}

// Appends the full lowercase mapping of c taken on its own, so that no
// context rule applies (a lone capital sigma is not word-final).
void AppendLowercase(UChar32 c, std::string* out) {
  UChar src[U16_MAX_LENGTH];
  int32_t src_len = 0;
  U16_APPEND_UNSAFE(src, src_len, c);
  UChar dst[8];  // full mappings yield at most three code points
  UErrorCode status = U_ZERO_ERROR;
  const int32_t dst_len = u_strToLower(dst, 8, src, src_len, "", &status);
  if (U_FAILURE(status) || dst_len > 8) {  // impossible with Unicode's mappings
    assert(false);
    AppendUtf8(c, out);
    return;
  }
  for (int32_t i = 0; i < dst_len;) {
    UChar32 lc;
    U16_NEXT_UNSAFE(dst, i, lc);
    AppendUtf8(lc, out);
  }
}

// Decodes the code point at p (avail > 0 bytes); a malformed sequence is
// U+FFFD of one byte or more. *len receives its length in bytes.
UChar32 DecodeAt(const uint8_t* p, size_t avail, int32_t* len) {
  const int32_t limit = static_cast<int32_t>(std::min<size_t>(avail, U8_MAX_LENGTH));
  int32_t i = 0;
  UChar32 c;
  U8_NEXT_OR_FFFD(p, i, limit, c);
  *len = i;
  return c;
}

// Decodes the code point ending just before p (avail > 0 bytes before it).
UChar32 DecodeBefore(const uint8_t* p, size_t avail, int32_t* len) {
  const int32_t limit = static_cast<int32_t>(std::min<size_t>(avail, U8_MAX_LENGTH));
  int32_t i = limit;
  UChar32 c;
  U8_PREV_OR_FFFD(p - limit, 0, i, c);
  *len = limit - i;
  return c;
}

std::string_view TrimWhiteSpace(std::string_view s) {
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  size_t begin = 0;
  size_t end = s.size();
  int32_t len;
  while (begin < end && u_isUWhiteSpace(DecodeAt(p + begin, end - begin, &len))) begin += len;
  while (end > begin && u_isUWhiteSpace(DecodeBefore(p + end, end - begin, &len))) end -= len;
  return s.substr(begin, end - begin);
}

}  // namespace

std::optional<uint8_t> LookupLanguage(std::string_view name) {
  const std::string_view trimmed = TrimWhiteSpace(name);
  std::string lower(trimmed);
  for (char& ch : lower) {
    if (ch >= 'A' && ch <= 'Z') ch += 'a' - 'A';
  }
  for (const Language& lang : kLanguages) {
    if (lower == lang.snowball_name || lower == lang.iso639_1) return lang.code;
  }
  return std::nullopt;
}

Result<AnalyzerSettings> AnalyzerSettings::FromArgs(std::optional<std::string_view> language,
                                                    std::optional<bool> stem, bool stopwords,
                                                    bool case_sensitive) {
  AnalyzerSettings settings;
  if (!language.has_value()) {
    if (stem.value_or(false) || stopwords) return Error::InvalidArgument(kNeedLanguage);
  } else {
    const std::optional<uint8_t> code = LookupLanguage(*language);
    if (!code.has_value()) {
      return Error::InvalidArgument(
          "unknown stemmer language " + std::string(*language) +
          "; use a Snowball name or ISO-639-1 code (e.g. \"english\"/\"en\", \"french\"/\"fr\")");
    }
    settings.language = *code;
    settings.stem = stem.value_or(true);
    settings.stopwords = stopwords;
  }
  settings.fold_case = !case_sensitive;
  return settings;
}

void Analyzer::StemmerDeleter::operator()(sb_stemmer* stemmer) const { sb_stemmer_delete(stemmer); }

Result<Analyzer> Analyzer::Create(const AnalyzerSettings& settings) {
  if (settings.language == kNoLanguage) {
    if (settings.stem || settings.stopwords) return Error::InvalidArgument(kNeedLanguage);
    return Analyzer(settings);
  }
  if (settings.language >= kLanguageCount) {
    return Error::InvalidArgument("unknown language code " + std::to_string(settings.language));
  }
  Analyzer analyzer(settings);
  const Language& lang = kLanguages[settings.language];
  if (settings.stopwords) analyzer.stop_words_ = &StopWords(lang.code);
  if (settings.stem) {
    // The names are NUL-terminated literals.
    analyzer.stemmer_.reset(sb_stemmer_new(lang.snowball_name.data(), "UTF_8"));
    if (analyzer.stemmer_ == nullptr) {
      return Error::Internal("no Snowball stemmer for " + std::string(lang.snowball_name));
    }
    analyzer.stem_cache_.resize(kStemCacheSlots);
  }
  return analyzer;
}

Result<std::optional<std::string_view>> Analyzer::Resolve(std::string_view word) {
  if (stop_words_ != nullptr && stop_words_->Contains(word)) return std::optional<std::string_view>();
  // The stemmer counts bytes in an int; a longer word is kept as it is.
  if (stemmer_ == nullptr || word.size() > INT_MAX) return std::optional<std::string_view>(word);
  Result<std::string_view> stem = Stem(word);
  if (!stem.ok()) return stem.take_error();
  // A word that is all suffix stems to nothing (Greek "ετε", Turkish "leri",
  // a lone Arabic tatweel); an empty term would be filed under no text at
  // all, so such a word stays as it is.
  return std::optional<std::string_view>(stem->empty() ? word : *stem);
}

Result<std::string_view> Analyzer::Stem(std::string_view word) {
  CachedStem* slot = nullptr;
  if (word.size() <= kMaxCachedTerm) {
    slot = &stem_cache_[std::hash<std::string_view>{}(word) & (kStemCacheSlots - 1)];
    if (slot->term == word) return std::string_view(slot->stem);  // never true for an unused slot
  }
  const sb_symbol* stem = sb_stemmer_stem(stemmer_.get(), reinterpret_cast<const sb_symbol*>(word.data()),
                                          static_cast<int>(word.size()));
  if (stem == nullptr) return Error::Internal("Snowball stemmer out of memory");
  const std::string_view result(reinterpret_cast<const char*>(stem), sb_stemmer_length(stemmer_.get()));
  if (slot == nullptr) return result;  // valid until the stemmer's next call
  slot->term = word;
  slot->stem = result;
  return std::string_view(slot->stem);
}

Status Analyzer::Analyze(std::string_view text, std::vector<std::string>* terms) {
  return ForEachWord(text, [this, terms](std::string_view word) -> Status {
    Result<std::optional<std::string_view>> term = Resolve(word);
    if (!term.ok()) return term.take_error();
    if (term->has_value()) terms->emplace_back(**term);
    return Status::Ok();
  });
}

bool Analyzer::AppendNonAscii(std::string_view text, size_t* i, bool fold_case, std::string* word) {
  const size_t start = *i;
  int32_t n;
  const UChar32 c = DecodeAt(reinterpret_cast<const uint8_t*>(text.data()) + start, text.size() - start, &n);
  *i = start + n;
  if (!IsTermChar(c)) return false;  // U+FFFD (malformed input) is a symbol
  if (fold_case && u_hasBinaryProperty(c, UCHAR_CHANGES_WHEN_LOWERCASED)) {
    AppendLowercase(c, word);
  } else {
    word->append(text.data() + start, n);  // well-formed: c is a term character
  }
  return true;
}

}  // namespace halcyra
