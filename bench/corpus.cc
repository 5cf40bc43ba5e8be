#include "corpus.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace halcyra::bench {

std::vector<std::string> LoadFortunes(const std::string& dir) {
  std::vector<std::filesystem::path> files;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    const auto ext = entry.path().extension();
    if (entry.is_regular_file() && !entry.is_symlink() && ext != ".dat" && ext != ".u8") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  std::vector<std::string> docs;
  for (const auto& file : files) {
    std::ifstream in(file);
    std::string line, doc;
    while (std::getline(in, line)) {
      if (line == "%") {
        if (!doc.empty()) docs.push_back(std::move(doc));
        doc.clear();
      } else {
        doc += line;
        doc += '\n';
      }
    }
    if (!doc.empty()) docs.push_back(std::move(doc));
  }
  return docs;
}

std::vector<std::string> LoadWordList(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> words;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty()) words.push_back(line);
  }
  std::sort(words.begin(), words.end());  // std::string orders by unsigned bytes
  words.erase(std::unique(words.begin(), words.end()), words.end());
  return words;
}

size_t TotalBytes(const std::vector<std::string>& docs) {
  size_t n = 0;
  for (const auto& d : docs) n += d.size();
  return n;
}

}  // namespace halcyra::bench
