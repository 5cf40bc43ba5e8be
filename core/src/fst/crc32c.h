// CRC-32C (Castagnoli, reflected polynomial 0x82F63B78), the checksum that
// closes an FST file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace halcyra::crc32c {

// The CRC-32C of data[0, n).
uint32_t Value(const char* data, size_t n);

// The stored form of a CRC: rotated right by 15 bits, then offset, so that a
// CRC computed over bytes that embed CRCs is not itself a plain CRC.
inline uint32_t Mask(uint32_t crc) { return ((crc >> 15) | (crc << 17)) + 0xa282ead8u; }

}  // namespace halcyra::crc32c
