#include "terms/stopwords.h"

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
    max_size_ = std::max(max_size_, end - start);
    start = end + 1;
  }
  assert(std::adjacent_find(words_.begin(), words_.end(), std::greater_equal<>()) == words_.end());
}

namespace {

// Byte-wise three-way comparison (unsigned bytes, then length), inline: terms
// and stop words are short and mostly differ in their first bytes, where a
// library memcmp call would cost more than the comparison.
int CompareBytes(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const uint8_t x = static_cast<uint8_t>(a[i]);
    const uint8_t y = static_cast<uint8_t>(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

}  // namespace

bool StopWordList::Contains(std::string_view word) const {
  if (word.size() > max_size_) return false;  // most terms of a text
  size_t lo = 0;
  size_t hi = words_.size();
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    const int c = CompareBytes(words_[mid], word);
    if (c == 0) return true;
    if (c < 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return false;
}

const StopWordList& StopWords(uint8_t language) {
  assert(language < kLanguageCount);
  static std::array<std::once_flag, kLanguageCount> once;
  static std::array<std::optional<StopWordList>, kLanguageCount> lists;
  std::call_once(once[language], [language] { lists[language].emplace(StopWordText(language)); });
  return *lists[language];
}

}  // namespace halcyra
