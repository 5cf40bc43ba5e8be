// Whole-buffer writes to a file descriptor.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <string_view>

#include "halcyra/status.h"

namespace halcyra {

using WriteFn = ssize_t (*)(int fd, const void* data, size_t size);

// Writes all of data to fd, retrying after EINTR and continuing after short
// writes. A failed write is Error::Os; a write that accepts zero bytes is
// Error::Limit "failed to write whole buffer". write_fn exists for tests.
Status WriteAll(int fd, std::string_view data, WriteFn write_fn = ::write);

}  // namespace halcyra
