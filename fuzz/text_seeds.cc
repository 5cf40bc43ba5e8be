// Writes seeds for the text fuzzer into the directory given as the argument:
// texts in the analyzer's languages and in other scripts, and malformed
// UTF-8, under several gram sizes and analyzer settings (input layout in
// text_fuzz.cc).
// Regenerate the in-tree seeds with: build-fuzz/fuzz/text_seeds fuzz/corpus/text
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

bool Save(const std::string& dir, const std::string& name, const std::string& bytes) {
  const std::string path = dir + "/" + name;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

// An input of gram byte, analyzer byte and language byte, the first text's
// length, a language name when the language byte calls for one, the texts.
std::string Input(uint8_t gram, uint8_t analyzer, uint8_t language, const std::string& first,
                  const std::string& second, const std::string& name = "") {
  std::string out{static_cast<char>(gram), static_cast<char>(analyzer), static_cast<char>(language),
                  static_cast<char>(first.size() & 0xFF), static_cast<char>(first.size() >> 8)};
  return out + name + first + second;
}

// Analyzer bytes through FromArgs.
constexpr uint8_t kStemUnset = 0, kStemOff = 1, kStemOn = 2, kStopWords = 4, kCaseSensitive = 8;
constexpr uint8_t kDirect = 0x80;

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s corpus-dir\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  bool ok = true;
  // Languages by their table position (see terms/analyzer.h); + 18 picks the
  // ISO code, + 36 the Snowball name in capitals, + 54 the ISO code so.
  ok &= Save(dir, "english", Input(0x22, kStemUnset | kStopWords, 0,
                                   "The Quick brown foxes were running over the lazy dogs' houses, 1984 times.",
                                   "Connection connections connected CONNECTING; isn't it?"));
  ok &= Save(dir, "german-iso-caps", Input(0x0A, kStemOn | kStopWords, 7 + 54,
                                           "Straße STRASSE Größe Mädchen über die Brücken gegangen",
                                           "ÄÖÜ äöü ẞ Fußbälle"));
  ok &= Save(dir, "greek-sigma", Input(0x31, kStemOn, 8,
                                       "ΟΔΥΣΣΕΥΣ Οδυσσεύς σοφός ΣΟΦΟΣ",
                                       "καλημέρα κόσμε ς σ Σ"));
  ok &= Save(dir, "turkish-dotted-i", Input(0x1B, kStemOn | kStopWords | kCaseSensitive, 17 + 18,
                                            "İstanbul ISPARTA ılık İyi günler IĞDIR",
                                            "kitaplarımızdan evlerinizde"));
  ok &= Save(dir, "russian-caps", Input(0x2C, kStemUnset | kStopWords, 14 + 36,
                                        "Москва МОСКВА ёлка Ёжики бежали по дорогам",
                                        "и в на не что"));
  ok &= Save(dir, "arabic-marks", Input(0x03, kStemOn, 2,
                                        "\u0627\u0644\u0643\u062a\u0627\u0628 \u0627\u0644\u0643\u064f\u062a\u064f\u0628 "
                                        "\u0661\u0662\u0663",
                                        "\u0648\u0627\u0644\u0645\u062f\u0631\u0633\u0629"));
  ok &= Save(dir, "tamil", Input(0x14, kStemOn | kStopWords, 16,
                                 "\u0ba4\u0bae\u0bbf\u0bb4\u0bcd \u0bae\u0bca\u0bb4\u0bbf\u0b95\u0bb3\u0bcd",
                                 "\u0b85\u0bae\u0bcd\u0bae\u0bbe"));
  ok &= Save(dir, "raw-name-finnish", Input(0x15, kStemOn, 0xC7, "taloissammekin kaupungeissa",
                                            "talossa", "finnish"));
  ok &= Save(dir, "unknown-language", Input(0x02, kStemOn, 0xC5, "some words", "", "xx-YY"));
  ok &= Save(dir, "no-language", Input(0x72, kStemUnset, 0xFF, "words Without a LANGUAGE", "3.14 x²"));
  ok &= Save(dir, "no-language-stem", Input(0x02, kStemOn, 0xFF, "refused", ""));
  ok &= Save(dir, "cjk-emoji", Input(0x41, kStemOff, 1,
                                     "東京タワー 日本語のテキスト 한국어 文字",
                                     "😀 👍🏽 🇩🇪 a\u200db e\u0301 \u3000全角　空白"));
  ok &= Save(dir, "white-space", Input(0x26, kStemOff | kCaseSensitive, 5 + 18,
                                       "a\u00a0b\u2003c\u2028d\u0085e\tf\ng\rh\u000bi\u000cj",
                                       "   \u1680\u205f\u3000  "));
  ok &= Save(dir, "malformed-utf8", Input(0x12, kStemOn | kStopWords, 6,
                                          "caf\xc3 \x80\x80 \xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80 \xe2\x82",
                                          "\xff\xfe na\xefve \xc3\xa9t\xc3\xa9 d\xc3\xa9j\xc3"));
  ok &= Save(dir, "long-words", Input(0x77, kStemOn, 12 + 18,
                                      std::string(600, 'a') + " " + std::string(300, 'B') + "çãõ",
                                      std::string(200, '\xe2') + "inconstitucionalissimamente"));
  ok &= Save(dir, "direct-settings", Input(0x1D, kDirect | 2 | 4, 11, "Bøkene våre ble lest av barna",
                                           "Kjøpte BØKER"));
  ok &= Save(dir, "direct-bad-code", Input(0x05, kDirect | 2, 40, "any text", "here"));
  ok &= Save(dir, "direct-no-language-stop-words", Input(0x05, kDirect | 4, 255, "the text", ""));
  return ok ? 0 : 1;
}
