// fst/: the FST dictionary builder and its checksum.
//
// FstBuilder compiles byte-string keys, given in strictly increasing order,
// with unsigned 64-bit values into a minimal acyclic finite-state transducer
// and serialises it into one byte string. A reader finds a key's value by
// walking the key's bytes from the root and summing the outputs it passes.
// Byte layout at the top of fst_builder.cc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "halcyra/status.h"

namespace halcyra {

// The errors of FstBuilder::Insert, as Error values with code kFst. A key is
// shown as text when it is valid UTF-8, else as its byte values, "[255, 0]".
struct FstError {
  // "Error inserting duplicate key: '<key>'."
  static Error DuplicateKey(std::string_view key);
  // "Error inserting out-of-order key: '<key>'. (Previous key was
  // '<previous>'.) Keys must be inserted in lexicographic order."
  static Error OutOfOrderKey(std::string_view previous, std::string_view key);
};

class FstBuilder {
 public:
  // reserve: initial capacity of the output buffer, in bytes.
  explicit FstBuilder(size_t reserve = 0);

  ~FstBuilder();
  FstBuilder(FstBuilder&&) noexcept;
  FstBuilder& operator=(FstBuilder&&) noexcept;

  // Adds key -> value. Keys must be strictly increasing in bytewise order (a
  // proper prefix sorts first); the empty key is accepted only as the first.
  // A rejected key leaves the builder unchanged.
  Status Insert(std::string_view key, uint64_t value);

  // Number of keys inserted so far.
  uint64_t size() const;

  // Compiles what is left and returns the whole file, header to checksum.
  std::string Finish() &&;

 private:
  struct Rep;
  std::unique_ptr<Rep> rep_;
};

}  // namespace halcyra
