// Writer of vector-index (".hyvi") files: one IVF-PQ model, laid out so that a
// reader fetches the header, the model arrays and the directory, and then only
// the byte ranges of the lists it probes. Byte layout in hyvi_writer.cc.
#pragma once

#include <string>

#include "halcyra/ivfpq.h"
#include "base/sink.h"
#include "halcyra/status.h"

namespace halcyra {

// Writes model to sink front to back, then closes the sink, on failure too;
// after a failure the sink keeps what was appended before it. Errors: the
// sink's own (Error::Os, or Error::Limit "failed to write whole buffer"),
// Error::Limit "HYVI <field> exceeds the 32-bit limit" when dim, nlist, m or
// a list length does not fit its field, and Error::Internal when the model
// breaks its own shape invariants (both checked before anything is written).
Status WriteHyvi(const IvfPqIndex& model, Sink& sink);

// Creates the missing parent directories of path (mode 0777 before the umask),
// creates or truncates path (mode 0666 before the umask) and WriteHyvi()s the
// model into it. File-system failures are Error::Os.
Status WriteHyviFile(const IvfPqIndex& model, const std::string& path);

}  // namespace halcyra
