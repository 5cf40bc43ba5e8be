// Loads real text for the benchmarks: the Debian fortune files, whose
// documents are separated by lines holding a single '%', and word lists of
// one word per line.
#pragma once

#include <string>
#include <vector>

namespace halcyra::bench {

// Every document of every fortune file directly inside `dir` (index files
// ending in .dat and the .u8 aliases are skipped).
std::vector<std::string> LoadFortunes(const std::string& dir);

// The non-empty lines of a word list, sorted by bytes, without duplicates;
// empty when the file cannot be read.
std::vector<std::string> LoadWordList(const std::string& path);

size_t TotalBytes(const std::vector<std::string>& docs);

}  // namespace halcyra::bench
