// The Debian fortune files, where installed: documents separated by lines
// holding a single '%', read from every regular fortune file of a directory.
#pragma once

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "test_util.h"

namespace halcyra::testing {

inline constexpr const char* kFortunesEnglish = "/usr/share/games/fortunes";
inline constexpr const char* kFortunesGerman = "/usr/share/games/fortunes/de";
inline constexpr const char* kFortunesSpanish = "/usr/share/games/fortunes/es";
inline constexpr const char* kFortunesItalian = "/usr/share/games/fortunes/it";
inline constexpr const char* kFortunesRussian = "/usr/share/games/fortunes/ru";

// Every document of the directory's fortune files, in file-name order; empty
// when the directory is missing.
inline std::vector<std::string> LoadFortunes(const std::string& dir) {
  std::vector<std::string> docs;
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec)) return docs;
  std::vector<std::filesystem::path> files;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    const std::string ext = e.path().extension().string();
    if (ext == ".dat" || ext == ".u8" || e.is_symlink() || !e.is_regular_file()) continue;
    files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  for (const auto& path : files) {
    const std::string text = ReadFile(path.string());
    std::string doc;
    size_t pos = 0;
    while (pos < text.size()) {
      size_t end = text.find('\n', pos);
      end = end == std::string::npos ? text.size() : end + 1;
      std::string_view line(text.data() + pos, end - pos);
      pos = end;
      std::string_view bare = line.substr(0, line.find_last_not_of("\r\n") + 1);
      if (bare == "%") {
        if (!doc.empty()) docs.push_back(std::move(doc));
        doc.clear();
      } else {
        doc.append(line);
      }
    }
    if (!doc.empty()) docs.push_back(std::move(doc));
  }
  return docs;
}

}  // namespace halcyra::testing
