// Writer of vector-index (".hyvi") files: one IVF-PQ model, laid out so that a
// reader fetches the header, the model arrays and the directory, and then only
// the byte ranges of the lists it probes. Byte layout in hyvi_writer.cc.
#pragma once

#include <string>

#include "halcyra/ivfpq.h"
#include "halcyra/status.h"

namespace halcyra {

// Writes model to fd, an open, empty, writable file, front to back without
// seeking. Takes ownership of fd and closes it before returning, on success and
// failure alike; after a failure the file keeps what was written. Errors:
// Error::Os for a failed write or close, Error::Limit "failed to write whole
// buffer" for a write that accepts nothing, Error::Limit "HYVI <field> exceeds
// the 32-bit limit" when dim, nlist, m or a list length does not fit its
// field (checked before anything is written), and Error::Internal when the
// model breaks its own shape invariants.
Status write_hyvi(const IvfPqIndex& model, int fd);

// Creates the missing parent directories of path (mode 0777 before the umask),
// creates or truncates path (mode 0666 before the umask) and write_hyvi()s the
// model into it. File-system failures are Error::Os.
Status write_hyvi_file(const IvfPqIndex& model, const std::string& path);

}  // namespace halcyra
