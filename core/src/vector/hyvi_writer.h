// The vector-index file writer over any sink (byte layout in hyvi_writer.cc).
#pragma once

#include "base/sink.h"
#include "halcyra/status.h"
#include "halcyra/vector_index.h"

namespace halcyra {

// Writes model to sink front to back, then closes the sink, on failure too;
// after a failure the sink keeps what was appended before it. Errors: the
// sink's own (Error::Os, or Error::Limit "failed to write whole buffer"),
// Error::Limit "HYVI <field> exceeds the 32-bit limit" when dim, nlist, m or
// a list length does not fit its field, and Error::Internal when the model
// breaks its own shape invariants (both checked before anything is written).
Status WriteHyvi(const IvfPqIndex& model, Sink& sink);

}  // namespace halcyra
