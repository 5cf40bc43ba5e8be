// Constants of the n-gram index file (byte layout at the top of
// ngram_index.cc), for its writer and for compaction, which reads delta
// splits and writes the merged one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace halcyra {

inline constexpr std::string_view kNgramIndexMagic = "HYSI";
inline constexpr uint16_t kNgramIndexFoldedVersion = 3;         // keys made with case folding
inline constexpr uint16_t kNgramIndexCaseSensitiveVersion = 4;  // keys made without it
inline constexpr uint16_t kNgramIndexCaseMarker = 1;            // ends a version 4 header

inline constexpr size_t kNgramIndexHeaderSize = 16;
inline constexpr size_t kNgramIndexCaseSensitiveHeaderSize = 18;
inline constexpr size_t kNgramBlockKeySize = 8;
inline constexpr size_t kNgramDictEntrySize = 20;

// Dictionary entries per block index key when the caller passes stride 0.
inline constexpr uint32_t kDefaultStride = 512;

}  // namespace halcyra
