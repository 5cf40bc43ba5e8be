// Throughput of the term analyzer on real English text (the Debian fortunes),
// one call per document as a term-index builder makes them, under several
// settings. Prints the median of several passes in MB/s of input text.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "corpus.h"
#include "terms/analyzer.h"

namespace {

constexpr char kFortunes[] = "/usr/share/games/fortunes";
constexpr int kPasses = 9;

struct Setting {
  const char* label;
  std::optional<std::string_view> language;
  std::optional<bool> stem;
  bool stopwords;
};

// Returns the median MB/s; *terms_out receives the terms of one pass. Each
// pass starts from a new analyzer, so no pass profits from the stems an
// earlier one remembered.
double MedianMBps(const halcyra::AnalyzerSettings& settings, const std::vector<std::string>& docs,
                  size_t* terms_out) {
  const double mb = static_cast<double>(halcyra::bench::TotalBytes(docs)) / 1e6;
  std::vector<std::string> terms;
  std::vector<double> rates;
  for (int pass = 0; pass < kPasses; ++pass) {
    size_t total = 0;
    const auto start = std::chrono::steady_clock::now();
    auto analyzer = halcyra::Analyzer::Create(settings);
    if (!analyzer.ok()) return 0;
    for (const auto& doc : docs) {
      terms.clear();
      if (!analyzer->Analyze(doc, &terms).ok()) return 0;
      total += terms.size();
    }
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rates.push_back(mb / secs);
    *terms_out = total;
  }
  std::sort(rates.begin(), rates.end());
  return rates[rates.size() / 2];
}

}  // namespace

int main() {
  const std::vector<std::string> docs = halcyra::bench::LoadFortunes(kFortunes);
  if (docs.empty()) {
    std::fprintf(stderr, "analyzer_bench: no documents in %s (install fortunes)\n", kFortunes);
    return 1;
  }
  const Setting settings[] = {
      {"no language", std::nullopt, std::nullopt, false},
      {"english stop words", "english", false, true},
      {"english stem", "english", true, false},
      {"english stem+stop words", "english", true, true},
  };
  std::printf("%-26s %8s %8s %10s %10s\n", "analyzer (fold case)", "MB", "docs", "terms", "MB/s");
  for (const Setting& s : settings) {
    auto parsed = halcyra::AnalyzerSettings::FromArgs(s.language, s.stem, s.stopwords, false);
    if (!parsed.ok()) return 1;
    size_t terms = 0;
    const double rate = MedianMBps(*parsed, docs, &terms);
    std::printf("%-26s %8.2f %8zu %10zu %10.1f\n", s.label, halcyra::bench::TotalBytes(docs) / 1e6, docs.size(),
                terms, rate);
  }
  std::printf("(median of %d passes, each with a new analyzer; one Analyze call per document)\n", kPasses);
  return 0;
}
