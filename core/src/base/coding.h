// base/: byte sinks, little-endian coding, core errors, writer size limits, UTF-8.
//
// Little-endian fixed-width encoding, the only byte order of every halcyra file.
// Encoded output is appended to a std::string used as a growable byte buffer.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace halcyra {

inline void PutFixed8(std::string* dst, uint8_t v) { dst->push_back(static_cast<char>(v)); }

inline void PutFixed16(std::string* dst, uint16_t v) {
  const char b[2] = {static_cast<char>(v), static_cast<char>(v >> 8)};
  dst->append(b, 2);
}

inline void PutFixed24(std::string* dst, uint32_t v) {
  const char b[3] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16)};
  dst->append(b, 3);
}

inline void PutFixed32(std::string* dst, uint32_t v) {
  char b[4];
  for (int i = 0; i < 4; ++i) b[i] = static_cast<char>(v >> (8 * i));
  dst->append(b, 4);
}

inline void PutFixed64(std::string* dst, uint64_t v) {
  char b[8];
  for (int i = 0; i < 8; ++i) b[i] = static_cast<char>(v >> (8 * i));
  dst->append(b, 8);
}

inline void PutFloat32(std::string* dst, float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  PutFixed32(dst, bits);
}

// The same encodings written in place, for writers that know their output's
// size: each writes at *p and moves *p past what it wrote.
inline void EncodeFixed16(char** p, uint16_t v) {
  (*p)[0] = static_cast<char>(v);
  (*p)[1] = static_cast<char>(v >> 8);
  *p += 2;
}

inline void EncodeFixed32(char** p, uint32_t v) {
  EncodeFixed16(p, static_cast<uint16_t>(v));
  EncodeFixed16(p, static_cast<uint16_t>(v >> 16));
}

inline uint16_t DecodeFixed16(const char* p) {
  return static_cast<uint16_t>(static_cast<uint8_t>(p[0]) | static_cast<uint8_t>(p[1]) << 8);
}

inline uint32_t DecodeFixed32(const char* p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(p[i]);
  return v;
}

inline uint64_t DecodeFixed64(const char* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(p[i]);
  return v;
}

}  // namespace halcyra
