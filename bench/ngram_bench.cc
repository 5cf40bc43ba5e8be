// Throughput of the n-gram tokenizer on real English and Russian text, one
// call per document as on every ingest path. Prints the median of several
// passes in MB/s.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "corpus.h"
#include "ngram/ngram_tokenizer.h"

namespace {

double MedianMBps(const std::vector<std::string>& docs, size_t gram_size, size_t* keys_out) {
  halcyra::NgramTokenizer tokenizer;
  std::vector<halcyra::NgramKey> keys;
  const double mb = static_cast<double>(halcyra::bench::TotalBytes(docs)) / 1e6;
  // Repeat the corpus so each pass takes long enough to time.
  const int reps = std::max(1, static_cast<int>(50.0 / mb));
  std::vector<double> rates;
  for (int pass = 0; pass < 7; ++pass) {
    size_t total_keys = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int r = 0; r < reps; ++r) {
      for (const auto& doc : docs) {
        tokenizer.Tokenize(doc, gram_size, true, &keys);
        total_keys += keys.size();
      }
    }
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rates.push_back(mb * reps / secs);
    *keys_out = total_keys / reps;
  }
  std::sort(rates.begin(), rates.end());
  return rates[rates.size() / 2];
}

}  // namespace

int main() {
  const struct {
    const char* label;
    const char* dir;
  } corpora[] = {
      {"english (fortunes)", "/usr/share/games/fortunes"},
      {"russian (fortunes-ru)", "/usr/share/games/fortunes/ru"},
  };
  std::printf("%-24s %5s %10s %8s %12s\n", "corpus", "n", "MB", "docs", "MB/s");
  for (const auto& c : corpora) {
    const auto docs = halcyra::bench::LoadFortunes(c.dir);
    if (docs.empty()) {
      std::printf("%-24s (no documents in %s)\n", c.label, c.dir);
      continue;
    }
    for (size_t n : {3, 4}) {
      size_t keys = 0;
      const double rate = MedianMBps(docs, n, &keys);
      std::printf("%-24s %5zu %10.2f %8zu %12.1f\n", c.label, n, halcyra::bench::TotalBytes(docs) / 1e6,
                  docs.size(), rate);
    }
  }
  return 0;
}
