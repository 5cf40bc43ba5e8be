#include "base/core_error.h"

#include <limits>

namespace halcyra {

FetchError FetchError::RangeOutOfBounds(uint64_t start, uint64_t length, uint64_t available) {
  FetchError e(Kind::kRangeOutOfBounds);
  e.start_ = start;
  e.length_ = length;
  e.available_ = available;
  return e;
}

FetchError FetchError::NotFound() { return FetchError(Kind::kNotFound); }

FetchError FetchError::Transport(std::string message) {
  FetchError e(Kind::kTransport);
  e.message_ = std::move(message);
  return e;
}

std::string FetchError::ToString() const {
  switch (kind_) {
    case Kind::kRangeOutOfBounds: {
      const uint64_t max = std::numeric_limits<uint64_t>::max();
      const uint64_t end = length_ > max - start_ ? max : start_ + length_;  // saturating
      return "ranged read [" + std::to_string(start_) + ", " + std::to_string(end) + ") exceeds " +
             std::to_string(available_) + " available bytes";
    }
    case Kind::kNotFound:
      return "object not found";
    case Kind::kTransport:
      return "transport error: " + message_;
  }
  return {};
}

CoreError CoreError::Fetch(FetchError error) { return CoreError(Kind::kFetch, "fetch: " + error.ToString()); }

CoreError CoreError::BadMagic(std::array<uint8_t, 4> found) {
  // Every reader reports the n-gram index magic, whatever file it was reading.
  std::string list;
  for (uint8_t b : found) list += (list.empty() ? "" : ", ") + std::to_string(b);
  return CoreError(Kind::kBadMagic, "bad magic [" + list + "], expected HYSI");
}

CoreError CoreError::UnsupportedVersion(uint16_t version) {
  return CoreError(Kind::kUnsupportedVersion, "unsupported version " + std::to_string(version));
}

CoreError CoreError::RoaringDeserialize(std::string message) {
  return CoreError(Kind::kRoaringDeserialize, "roaring deserialize: " + message);
}

CoreError CoreError::MalformedIndex(std::string message) {
  return CoreError(Kind::kMalformedIndex, "malformed index: " + message);
}

CoreError CoreError::BadQuery(std::string message) {
  return CoreError(Kind::kBadQuery, "bad query: " + message);
}

CoreError CoreError::Unsupported(std::string message) {
  return CoreError(Kind::kUnsupported, "unsupported operation: " + message);
}

}  // namespace halcyra
