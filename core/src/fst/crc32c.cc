#include "fst/crc32c.h"

#include <array>

namespace halcyra::crc32c {
namespace {

constexpr std::array<uint32_t, 256> MakeTable() {
  std::array<uint32_t, 256> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x82f63b78u : c >> 1;
    t[i] = c;
  }
  return t;
}
constexpr std::array<uint32_t, 256> kTable = MakeTable();

}  // namespace

uint32_t Value(const char* data, size_t n) {
  uint32_t c = 0xffffffffu;
  for (size_t i = 0; i < n; ++i) c = kTable[(c ^ static_cast<uint8_t>(data[i])) & 0xff] ^ (c >> 8);
  return c ^ 0xffffffffu;
}

}  // namespace halcyra::crc32c
