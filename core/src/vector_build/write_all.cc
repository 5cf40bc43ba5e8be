#include "vector_build/write_all.h"

#include <unistd.h>

#include <cerrno>

namespace halcyra {

Status WriteAll(int fd, std::string_view data, WriteFn write_fn) {
  while (!data.empty()) {
    const ssize_t written = write_fn(fd, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return Error::Os(errno);
    }
    if (written == 0) return Error::Limit("failed to write whole buffer");
    data.remove_prefix(static_cast<size_t>(written));
  }
  return Status::Ok();
}

}  // namespace halcyra
