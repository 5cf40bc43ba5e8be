#include "facets/facet_map.h"

#include <unicode/ustring.h>

#include <string>

namespace halcyra {
namespace {

constexpr uint64_t kFnvOffset = 0xcbf29ce484222325ULL;
constexpr uint64_t kFnvPrime = 0x100000001b3ULL;
constexpr uint8_t kSeparator = 0x1F;

uint64_t Fnv1a(uint64_t h, std::string_view bytes) {
  for (unsigned char b : bytes) h = (h ^ b) * kFnvPrime;
  return h;
}

bool IsAscii(std::string_view s) {
  for (unsigned char b : s) {
    if (b >= 0x80) return false;
  }
  return true;
}

// The full lowercase mapping of the whole string in the root locale, so that
// a capital sigma ending a word becomes a final sigma. Invalid UTF-8 reads as
// U+FFFD. Should ICU fail anyway (names beyond 2^31 UTF-16 units), the
// unmapped bytes are used.
std::string Lowercase(std::string_view s) {
  if (IsAscii(s)) {
    std::string out(s);
    for (char& c : out) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    }
    return out;
  }
  if (s.size() > INT32_MAX / 2) return std::string(s);
  UErrorCode err = U_ZERO_ERROR;
  // UTF-8 never takes more UTF-16 units than it has bytes.
  std::u16string utf16(s.size(), u'\0');
  int32_t n = 0;
  u_strFromUTF8WithSub(utf16.data(), static_cast<int32_t>(utf16.size()), &n, s.data(),
                       static_cast<int32_t>(s.size()), 0xFFFD, nullptr, &err);
  if (U_FAILURE(err)) return std::string(s);
  utf16.resize(n);

  // Lowercasing can lengthen the text (U+0130 becomes two code points).
  std::u16string lower(utf16.size() + 16, u'\0');
  int32_t m = u_strToLower(lower.data(), static_cast<int32_t>(lower.size()), utf16.data(), n, "", &err);
  if (err == U_BUFFER_OVERFLOW_ERROR) {
    err = U_ZERO_ERROR;
    lower.assign(m, u'\0');
    m = u_strToLower(lower.data(), m, utf16.data(), n, "", &err);
  }
  if (U_FAILURE(err)) return std::string(s);

  int32_t bytes = 0;
  u_strToUTF8(nullptr, 0, &bytes, lower.data(), m, &err);  // preflight
  if (err != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(err)) return std::string(s);
  err = U_ZERO_ERROR;
  std::string out(bytes, '\0');
  u_strToUTF8(out.data(), bytes, nullptr, lower.data(), m, &err);
  if (U_FAILURE(err)) return std::string(s);
  return out;
}

}  // namespace

FacetCategories& FacetMap::Field(std::string_view name) {
  auto it = fields_.lower_bound(name);
  if (it == fields_.end() || it->first != name) it = fields_.emplace_hint(it, std::string(name), FacetCategories());
  return it->second;
}

void FacetMap::Insert(FacetCategories& field, std::string_view category, DocId doc) {
  auto it = field.lower_bound(category);
  if (it == field.end() || it->first != category) it = field.emplace_hint(it, std::string(category), Bitmap());
  it->second.Add(doc);
}

uint64_t FacetKey(std::string_view field, std::string_view category, bool fold_case) {
  const std::string_view separator(reinterpret_cast<const char*>(&kSeparator), 1);
  if (!fold_case) return Fnv1a(Fnv1a(Fnv1a(kFnvOffset, field), separator), category);
  return Fnv1a(Fnv1a(Fnv1a(kFnvOffset, Lowercase(field)), separator), Lowercase(category));
}

}  // namespace halcyra
