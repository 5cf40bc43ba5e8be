// Stop-word lists of the term analyzer, one per language code (0..17, the
// codes of analyzer.h). Each list is static UTF-8 text (layout at the top of
// stopword_texts.cc); on first use of a language the text is split into
// views, once per process, and the list is read-only afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace halcyra {

inline constexpr uint8_t kLanguageCount = 18;

// The stored text of a language's list.
// REQUIRES: language < kLanguageCount.
std::string_view StopWordText(uint8_t language);

// Sorted views into one language's static text.
class StopWordList {
 public:
  explicit StopWordList(std::string_view text);

  // Exact byte-wise match, by binary search.
  bool Contains(std::string_view word) const;
  std::span<const std::string_view> words() const { return words_; }

 private:
  std::vector<std::string_view> words_;
  size_t max_size_ = 0;  // bytes of the longest word
};

// The list of a language, built on first use. REQUIRES: language < kLanguageCount.
const StopWordList& StopWords(uint8_t language);

}  // namespace halcyra
