// Constants of the portable Roaring serialization postings are stored in
// (byte layout at the top of postings.cc), for the units that write, read or
// size it without the Roaring library: the posting encoders, the checked
// reader, the posting table's size tally and compaction's size bound.
#pragma once

#include <cstddef>
#include <cstdint>

namespace halcyra {

inline constexpr uint32_t kCookieNoRuns = 12346;  // what every writer here emits
// In the cookie's low 16 bits. Postings never have run containers; only a
// compacted split's tombstone record carries over those it was given.
inline constexpr uint32_t kCookieRuns = 12347;

// Sizes: the cookie and container count of a bitmap; each container's
// descriptor (key, cardinality - 1) and offset; one id of an array container.
inline constexpr size_t kBitmapHeaderBytes = 8;
inline constexpr size_t kPerContainerBytes = 8;
inline constexpr size_t kArrayIdBytes = 2;

// Past this many ids a container is a bitmap container of a fixed 8192 bytes
// (as large as the array it replaces) rather than an array of 16-bit values,
// in the library as in the format.
inline constexpr uint32_t kMaxArrayIds = 4096;
inline constexpr size_t kBitmapContainerBytes = 8192;

// In the form with run containers, container offsets are written only from
// this many containers on.
inline constexpr uint32_t kRunOffsetThreshold = 4;

}  // namespace halcyra
