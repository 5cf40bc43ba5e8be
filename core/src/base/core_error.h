// CoreError: the error value of the format readers and of ranged byte sources.
// Each variant renders a fixed message; the binding shows that message as the
// Python exception's text.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "halcyra/status.h"

namespace halcyra {

// An error of a ranged byte source.
class FetchError {
 public:
  enum class Kind { kRangeOutOfBounds, kNotFound, kTransport };

  static FetchError RangeOutOfBounds(uint64_t start, uint64_t length, uint64_t available);
  static FetchError NotFound();
  static FetchError Transport(std::string message);

  Kind kind() const { return kind_; }
  // "ranged read [start, end) exceeds N available bytes", "object not found"
  // or "transport error: <message>".
  std::string ToString() const;

 private:
  explicit FetchError(Kind kind) : kind_(kind) {}

  Kind kind_;
  uint64_t start_ = 0, length_ = 0, available_ = 0;
  std::string message_;
};

class CoreError {
 public:
  enum class Kind {
    kFetch,
    kBadMagic,
    kUnsupportedVersion,
    kRoaringDeserialize,
    kMalformedIndex,
    kBadQuery,
    kUnsupported,
  };

  static CoreError Fetch(FetchError error);
  static CoreError BadMagic(std::array<uint8_t, 4> found);
  static CoreError UnsupportedVersion(uint16_t version);
  static CoreError RoaringDeserialize(std::string message);
  static CoreError MalformedIndex(std::string message);
  static CoreError BadQuery(std::string message);
  static CoreError Unsupported(std::string message);

  Kind kind() const { return kind_; }
  const std::string& message() const { return message_; }
  // The error value the binding maps to an exception.
  Error ToError() const { return Error::Core(message_); }

 private:
  CoreError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  Kind kind_;
  std::string message_;  // rendered once, at construction
};

}  // namespace halcyra
