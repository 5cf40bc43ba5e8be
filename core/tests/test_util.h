// Helpers shared by the core tests: scratch directories, whole-file reads,
// a little-endian cursor and Roaring decoding.
#pragma once

#include <gtest/gtest.h>
#include <roaring/roaring.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "base/coding.h"
#include "base/sink.h"

namespace halcyra::testing {

// A fresh directory under the system temp dir, removed with its contents.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "halcyra-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "cannot open " << path;
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void WriteFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string Bytes(std::initializer_list<uint8_t> bytes) { return std::string(bytes.begin(), bytes.end()); }

// Reads little-endian values front to back; reading past the end is a test
// failure that yields zeros.
class Cursor {
 public:
  explicit Cursor(std::string_view bytes, size_t pos = 0) : bytes_(bytes), pos_(pos) {}
  uint16_t U16() { return static_cast<uint16_t>(Take(2)); }
  uint32_t U32() { return static_cast<uint32_t>(Take(4)); }
  uint64_t U64() { return Take(8); }
  std::string_view Str(size_t n) {
    if (pos_ + n > bytes_.size()) {
      ADD_FAILURE() << "read past end";
      return {};
    }
    std::string_view s = bytes_.substr(pos_, n);
    pos_ += n;
    return s;
  }
  size_t pos() const { return pos_; }

 private:
  uint64_t Take(size_t n) {
    std::string_view s = Str(n);
    uint64_t v = 0;
    for (size_t i = s.size(); i-- > 0;) v = v << 8 | static_cast<uint8_t>(s[i]);
    return v;
  }
  std::string_view bytes_;
  size_t pos_;
};

// Decodes one portable Roaring bitmap that must span bytes exactly.
inline std::vector<uint32_t> DecodePosting(std::string_view bytes) {
  std::vector<uint32_t> ids;
  EXPECT_EQ(roaring_bitmap_portable_deserialize_size(bytes.data(), bytes.size()), bytes.size());
  roaring_bitmap_t* r = roaring_bitmap_portable_deserialize_safe(bytes.data(), bytes.size());
  if (r == nullptr) {
    ADD_FAILURE() << "not a portable Roaring bitmap";
    return ids;
  }
  ids.resize(roaring_bitmap_get_cardinality(r));
  roaring_bitmap_to_uint32_array(r, ids.data());
  roaring_bitmap_free(r);
  return ids;
}

// The 32-bit cookie that opens a serialized bitmap.
inline uint32_t Cookie(std::string_view bytes) { return bytes.size() < 4 ? 0 : DecodeFixed32(bytes.data()); }

// A buffer sink that counts Close calls and can be told to fail the n-th
// Append (counting from 0) with an OS error.
class RecordingSink final : public Sink {
 public:
  explicit RecordingSink(int* closes = nullptr, int fail_at = -1) : closes_(closes), fail_at_(fail_at) {}
  Status Append(std::string_view data) override {
    if (appends_++ == fail_at_) return Error::Os(28);
    bytes_.append(data);
    return Status::Ok();
  }
  Status Close() override {
    ++own_closes_;
    if (closes_ != nullptr) ++*closes_;
    return Status::Ok();
  }
  const std::string& bytes() const { return bytes_; }
  int closes() const { return own_closes_; }

 private:
  int* closes_;
  int fail_at_;
  int appends_ = 0;
  int own_closes_ = 0;
  std::string bytes_;
};

inline const std::string kEmptyPosting = Bytes({0x3A, 0x30, 0, 0, 0, 0, 0, 0});

}  // namespace halcyra::testing
