// libFuzzer target for the two tokenizers on arbitrary bytes, invalid UTF-8
// included, as C++ callers use them: the n-gram keys of a text, once each,
// the same from a reused NgramTokenizer as from NgramKeys; and the term
// analyzer of each language with stemming and stop words on and off, whose
// terms are never empty, are valid UTF-8 and hold no ASCII capital when case
// is folded. No input crashes or reads outside the text (the sanitizers
// watch).
//
// Input:
//   gram u8      bits 0-2: gram size - 1, bit 3: fold case, bits 4-6: the
//                gram size - 1 of a second pass over the first text, which
//                folds case the other way
//   analyzer u8  bit 7: settings given directly, else through FromArgs;
//                bits 0-1: stem (through FromArgs 0 and 3 unset, 1 off,
//                2 on; directly bit 1), bit 2: stop words, bit 3: case
//                sensitive
//   language u8  directly: the language code; through FromArgs: 0xFF none,
//                below 0xC0 the language pick % 18 of the table by its
//                Snowball name, or by its ISO code when bit 0 of pick / 18
//                is set, in capitals between white space when bit 1 is;
//                else a name of bits 0-3 bytes, which follow the split
//   split u16    the first text's length; the second is the rest
//   the texts
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "base/utf8.h"
#include "halcyra/ngram.h"
#include "ngram/ngram_tokenizer.h"
#include "terms/analyzer.h"

namespace {

using halcyra::NgramKey;

void Check(bool ok) {
  if (!ok) std::abort();
}

// The keys of text by NgramKeys: distinct, no more than the text has bytes,
// and single code points (two for gram size 2) when short.
std::vector<NgramKey> Keys(std::string_view text, size_t gram_size, bool fold_case) {
  std::vector<NgramKey> keys = halcyra::NgramKeys(text, gram_size, fold_case);
  Check(keys.size() <= text.size());
  std::vector<NgramKey> sorted = keys;
  std::sort(sorted.begin(), sorted.end());
  Check(std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end());
  for (NgramKey key : keys) {
    if (gram_size == 1) Check(key <= 0x10FFFF && !(fold_case && key >= 'A' && key <= 'Z'));
    if (gram_size == 2) Check((key >> 32) <= 0x10FFFF && (key & 0xFFFFFFFF) <= 0x10FFFF);
  }
  return keys;
}

void FuzzNgrams(std::string_view first, std::string_view second, uint8_t gram) {
  const size_t gram_size = (gram & 7) + 1, again = (gram >> 4 & 7) + 1;
  const bool fold_case = (gram & 8) != 0;
  halcyra::NgramTokenizer tokenizer;
  std::vector<NgramKey> out;
  tokenizer.Tokenize(first, gram_size, fold_case, &out);
  Check(out == Keys(first, gram_size, fold_case));
  tokenizer.Tokenize(second, gram_size, fold_case, &out);
  Check(out == Keys(second, gram_size, fold_case));
  tokenizer.Tokenize(first, again, !fold_case, &out);
  Check(out == Keys(first, again, !fold_case));
}

// The language name that pick selects (see the input layout above); a name
// spelled out in the input is taken from the front of *rest.
std::optional<std::string> LanguageName(uint8_t pick, std::string_view* rest) {
  if (pick == 0xFF) return std::nullopt;
  if (pick >= 0xC0) {
    const std::string name(rest->substr(0, pick & 0x0F));
    rest->remove_prefix(name.size());
    return name;
  }
  const halcyra::Language& language = halcyra::kLanguages[pick % halcyra::kLanguages.size()];
  const unsigned variant = pick / halcyra::kLanguages.size();
  std::string name(variant & 1 ? language.iso639_1 : language.snowball_name);
  if (variant & 2) {
    for (char& c : name) c = static_cast<char>(c - 'a' + 'A');
    name = " \t" + name + " ";
  }
  return name;
}

// name: the language name given to FromArgs, when the settings are not
// given directly.
void FuzzAnalyzer(std::string_view first, std::string_view second, uint8_t choice, uint8_t language,
                  const std::optional<std::string>& name) {
  halcyra::AnalyzerSettings settings;
  if (choice & 0x80) {
    settings.language = language;
    settings.stem = (choice & 2) != 0;
    settings.stopwords = (choice & 4) != 0;
    settings.fold_case = (choice & 8) == 0;
  } else {
    const std::optional<bool> stem = (choice & 3) == 1 ? std::optional<bool>(false)
                                     : (choice & 3) == 2 ? std::optional<bool>(true)
                                                         : std::nullopt;
    halcyra::Result<halcyra::AnalyzerSettings> parsed =
        halcyra::AnalyzerSettings::FromArgs(name, stem, (choice & 4) != 0, (choice & 8) != 0);
    if (!parsed.ok()) {
      Check(!parsed.error().message().empty());
      return;
    }
    settings = *parsed;
  }
  // One analyzer per settings, made when first needed and kept, as a
  // builder keeps one for all its documents: making one that stems costs
  // far more than analyzing a short text. Its stem cache thus carries over
  // from input to input, which must never change a term.
  static std::map<std::tuple<uint8_t, bool, bool, bool>, halcyra::Analyzer> analyzers;
  const auto key = std::tuple(settings.language, settings.stem, settings.stopwords, settings.fold_case);
  auto found = analyzers.find(key);
  if (found == analyzers.end()) {
    halcyra::Result<halcyra::Analyzer> made = halcyra::Analyzer::Create(settings);
    if (!made.ok()) {
      // Only settings that FromArgs never makes are refused.
      Check((choice & 0x80) != 0 && !made.error().message().empty());
      return;
    }
    found = analyzers.emplace(key, std::move(*made)).first;
  }
  halcyra::Analyzer& analyzer = found->second;
  std::vector<std::string> terms;
  for (std::string_view text : {first, second}) {
    Check(analyzer.Analyze(text, &terms).ok());
  }
  for (const std::string& term : terms) {
    Check(!term.empty() && halcyra::IsValidUtf8(term));
    if (settings.fold_case) {
      Check(std::none_of(term.begin(), term.end(), [](char c) { return c >= 'A' && c <= 'Z'; }));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  const uint8_t gram = data[0], choice = data[1], language = data[2];
  const size_t split = data[3] | data[4] << 8;
  std::string_view rest(reinterpret_cast<const char*>(data) + 5, size - 5);
  std::optional<std::string> name;
  if ((choice & 0x80) == 0) name = LanguageName(language, &rest);
  const std::string_view first = rest.substr(0, split), second = rest.substr(std::min(split, rest.size()));
  FuzzNgrams(first, second, gram);
  FuzzAnalyzer(first, second, choice, language, name);
  return 0;
}
