#include "ngram/ngram_tokenizer.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <array>

namespace halcyra {
namespace {

enum CharClass : uint8_t { kDrop, kSeparator, kRetain };

// ASCII classes: White_Space is TAB..CR and SPACE; L*/Nd is [A-Za-z0-9].
constexpr std::array<uint8_t, 128> MakeAsciiClasses() {
  std::array<uint8_t, 128> t{};
  for (int c = 0; c < 128; ++c) {
    if ((c >= 0x09 && c <= 0x0D) || c == ' ') {
      t[c] = kSeparator;
    } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
      t[c] = kRetain;
    } else {
      t[c] = kDrop;
    }
  }
  return t;
}
constexpr std::array<uint8_t, 128> kAsciiClass = MakeAsciiClasses();

inline CharClass ClassifyNonAscii(UChar32 c) {
  if (u_isUWhiteSpace(c)) return kSeparator;
  constexpr uint32_t kRetained = U_GC_L_MASK | U_GC_ND_MASK;  // Lu Ll Lt Lm Lo Nd
  return (U_GET_GC_MASK(c) & kRetained) ? kRetain : kDrop;
}

// Decodes one code point at p (< end). Malformed or truncated sequences
// decode to U+FFFD and consume one byte.
inline char32_t DecodeUtf8(const unsigned char*& p, const unsigned char* end) {
  const unsigned char b0 = *p;
  int len;
  char32_t c, min;
  if (b0 < 0xE0) { len = 2; c = b0 & 0x1F; min = 0x80; }
  else if (b0 < 0xF0) { len = 3; c = b0 & 0x0F; min = 0x800; }
  else { len = 4; c = b0 & 0x07; min = 0x10000; }
  if (b0 < 0xC2 || b0 > 0xF4 || end - p < len) { ++p; return 0xFFFD; }
  for (int i = 1; i < len; ++i) {
    if ((p[i] & 0xC0) != 0x80) { ++p; return 0xFFFD; }
    c = c << 6 | (p[i] & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) { ++p; return 0xFFFD; }
  p += len;
  return c;
}

constexpr uint64_t kFnvOffset = 0xcbf29ce484222325ULL;
constexpr uint64_t kFnvPrime = 0x100000001b3ULL;
constexpr uint64_t kFnvPrime2 = kFnvPrime * kFnvPrime;
constexpr uint64_t kFnvPrime3 = kFnvPrime2 * kFnvPrime;
constexpr uint64_t kFnvPrime4 = kFnvPrime3 * kFnvPrime;

// FNV-1a 64 over the window as UTF-32LE. XOR with a zero byte changes nothing,
// so a run of zero bytes is one multiplication by the matching prime power.
uint64_t HashWindow(const char32_t* w, size_t n) {
  uint64_t h = kFnvOffset;
  for (size_t i = 0; i < n; ++i) {
    const uint32_t c = w[i];
    if (c < 0x100) {
      h = (h ^ c) * kFnvPrime4;
    } else if (c < 0x10000) {
      h = ((h ^ (c & 0xFF)) * kFnvPrime ^ (c >> 8)) * kFnvPrime3;
    } else {
      h = (((h ^ (c & 0xFF)) * kFnvPrime ^ ((c >> 8) & 0xFF)) * kFnvPrime ^ (c >> 16)) * kFnvPrime2;
    }
  }
  return h;
}

constexpr int kMinSlotBits = 8;
constexpr size_t kCacheSize = 1024;

}  // namespace

KeySet::KeySet() : slots_(size_t{1} << kMinSlotBits, 0), mask_(slots_.size() - 1), shift_(64 - kMinSlotBits) {}

void KeySet::Grow() {
  std::vector<uint64_t> old(slots_.size() * 2, 0);
  old.swap(slots_);
  mask_ = slots_.size() - 1;
  --shift_;
  for (size_t& index : used_) {
    const uint64_t key = old[index];
    size_t i = Home(key);
    while (slots_[i] != 0) i = (i + 1) & mask_;
    slots_[i] = key;
    index = i;
  }
}

void KeySet::Clear() {
  if (slots_.size() > (size_t{1} << 16) && used_.size() * 64 < slots_.size()) {
    // Do not keep a huge table for the small texts that follow a huge one.
    *this = KeySet();
    return;
  }
  for (size_t i : used_) slots_[i] = 0;
  used_.clear();
  has_zero_ = false;
}

NgramTokenizer::NgramTokenizer() : cache_(kCacheSize, CacheEntry{0, 0, 0}) {}

const NgramTokenizer::CacheEntry& NgramTokenizer::Lookup(char32_t c) {
  CacheEntry& e = cache_[c & (kCacheSize - 1)];
  if (e.code_point != c) {
    e.code_point = c;
    e.cls = ClassifyNonAscii(static_cast<UChar32>(c));
    // The first code point of the full lowercase mapping equals the simple
    // mapping for every code point (only U+0130 has a longer full mapping,
    // "i" + U+0307, and its simple mapping is "i").
    e.lower = e.cls == kRetain ? static_cast<char32_t>(u_tolower(static_cast<UChar32>(c))) : c;
  }
  return e;
}

void NgramTokenizer::Tokenize(std::string_view text, size_t n, bool fold_case, std::vector<NgramKey>* out) {
  out->clear();
  seen_.Clear();
  if (n == 0) return;

  // window_[0, wlen) holds the tail of the current word; once it reaches
  // `compact_at` entries only the last n - 1 are kept, so a long word costs
  // O(n) memory.
  constexpr size_t kWindowStart = 4096;
  const size_t compact_at = n < kWindowStart / 2 ? kWindowStart : (n > SIZE_MAX / 2 ? SIZE_MAX : 2 * n);
  if (window_.size() < kWindowStart) window_.resize(kWindowStart);
  char32_t* w = window_.data();
  size_t wcap = window_.size();
  size_t wlen = 0;
  const bool packable = n >= 3 && n <= 8;
  const uint64_t pack_mask = !packable || n == 8 ? ~0ULL : (1ULL << (8 * n)) - 1;
  uint64_t packed = 0;         // last n retained code points as bytes (valid when all ASCII)
  size_t word_len = 0;         // retained code points in the current word
  size_t last_wide = 0;        // 1 + word position of the last code point >= 0x80, 0 if none

  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  while (p < end) {
    char32_t c = *p;
    CharClass cls;
    if (c < 0x80) {
      cls = static_cast<CharClass>(kAsciiClass[c]);
      ++p;
      if (cls == kRetain && fold_case && c >= 'A' && c <= 'Z') c += 'a' - 'A';
    } else {
      c = DecodeUtf8(p, end);
      const CacheEntry& e = Lookup(c);
      cls = static_cast<CharClass>(e.cls);
      if (fold_case) c = e.lower;
    }
    if (cls == kDrop) continue;
    if (cls == kSeparator) {
      word_len = 0;
      last_wide = 0;
      packed = 0;
      wlen = 0;
      continue;
    }

    if (wlen == wcap) {
      if (wlen >= compact_at) {
        std::copy(w + wlen - (n - 1), w + wlen, w);
        wlen = n - 1;
      } else {
        window_.resize(std::min(2 * wlen, compact_at));
        w = window_.data();
        wcap = window_.size();
      }
    }
    w[wlen++] = c;
    ++word_len;
    if (c >= 0x80) last_wide = word_len;
    packed = packed << 8 | (c & 0xFF);
    if (word_len < n) continue;

    uint64_t key;
    if (n == 1) {
      key = c;
    } else if (n == 2) {
      key = static_cast<uint64_t>(w[wlen - 2]) << 32 | c;
    } else if (packable && last_wide + n <= word_len) {
      key = packed & pack_mask;
    } else {
      key = HashWindow(w + wlen - n, n);
    }
    if (seen_.Insert(key)) out->push_back(key);
  }
}

std::vector<NgramKey> NgramKeys(std::string_view text, size_t gram_size, bool fold_case) {
  std::vector<NgramKey> keys;
  NgramTokenizer().Tokenize(text, gram_size, fold_case, &keys);
  return keys;
}

}  // namespace halcyra
