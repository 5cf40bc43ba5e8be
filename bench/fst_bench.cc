// FST build throughput on a real key set: every word of the American English
// word list, sorted by bytes, each mapped to its rank. Prints the median of
// several builds in keys per second, and the output size per key.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "corpus.h"
#include "fst/fst.h"

namespace {

constexpr char kWordList[] = "/usr/share/dict/american-english-huge";
constexpr int kRuns = 11;

}  // namespace

int main() {
  const std::vector<std::string> words = halcyra::bench::LoadWordList(kWordList);
  if (words.empty()) {
    std::fprintf(stderr, "fst_bench: no words in %s (install wamerican-huge)\n", kWordList);
    return 1;
  }
  std::vector<double> rates;
  size_t bytes = 0;
  for (int run = 0; run < kRuns; ++run) {
    const auto start = std::chrono::steady_clock::now();
    halcyra::FstBuilder builder;
    for (size_t i = 0; i < words.size(); ++i) {
      if (!builder.Insert(words[i], i).ok()) {
        std::fprintf(stderr, "fst_bench: insert failed at %s\n", words[i].c_str());
        return 1;
      }
    }
    const std::string fst = std::move(builder).Finish();
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rates.push_back(static_cast<double>(words.size()) / secs);
    bytes = fst.size();
  }
  std::sort(rates.begin(), rates.end());
  std::printf("%-28s %9s %10s %12s %10s\n", "fst build", "keys", "bytes", "keys/s", "bytes/key");
  std::printf("%-28s %9zu %10zu %12.0f %10.2f\n", "wamerican-huge, value=rank", words.size(), bytes,
              rates[rates.size() / 2], static_cast<double>(bytes) / static_cast<double>(words.size()));
  std::printf("(median of %d builds; min %.0f, max %.0f keys/s)\n", kRuns, rates.front(), rates.back());
  return 0;
}
