// Limits shared by the file writers. A value that does not fit its field is
// refused with a message naming the field's subject and width.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "halcyra/status.h"

namespace halcyra {

// Fails with "<subject> size exceeds the 32-bit limit" when size does not fit
// a 32-bit length field.
inline Status CheckSize32(uint64_t size, std::string_view subject) {
  if (size <= UINT32_MAX) return Status::Ok();
  return Error::Limit(std::string(subject) + " size exceeds the 32-bit limit");
}

}  // namespace halcyra
