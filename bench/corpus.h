// Loads real text for the benchmarks: the Debian fortune files, whose
// documents are separated by lines holding a single '%'.
#pragma once

#include <string>
#include <vector>

namespace halcyra::bench {

// Every document of every fortune file directly inside `dir` (index files
// ending in .dat and the .u8 aliases are skipped).
std::vector<std::string> LoadFortunes(const std::string& dir);

size_t TotalBytes(const std::vector<std::string>& docs);

}  // namespace halcyra::bench
