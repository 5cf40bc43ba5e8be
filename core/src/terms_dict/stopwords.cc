#include "halcyra/stopwords.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <functional>
#include <mutex>
#include <optional>

namespace halcyra {

StopWordList::StopWordList(std::string_view text) {
  assert(text.empty() || text.back() == '\n');
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    assert(end != std::string_view::npos && end > start);
    words_.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  assert(std::adjacent_find(words_.begin(), words_.end(), std::greater_equal<>()) == words_.end());
}

bool StopWordList::Contains(std::string_view word) const {
  // string_view compares like memcmp: unsigned bytes, then length.
  return std::binary_search(words_.begin(), words_.end(), word);
}

const StopWordList& StopWords(uint8_t language) {
  assert(language < kLanguageCount);
  static std::array<std::once_flag, kLanguageCount> once;
  static std::array<std::optional<StopWordList>, kLanguageCount> lists;
  std::call_once(once[language], [language] { lists[language].emplace(StopWordText(language)); });
  return *lists[language];
}

}  // namespace halcyra
