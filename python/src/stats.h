// The three stats classes: plain records of read-only unsigned integers,
// returned by finished builds and never constructed from Python.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "py.h"

namespace halcyra::py {

PyObject* BuildStatsType();
PyObject* VectorBuildStatsType();
PyObject* SplitSetBuildStatsType();

// A new instance of one of the types above, with the attribute values in
// declaration order.
PyObject* NewStats(PyObject* type, std::initializer_list<uint64_t> values);

}  // namespace halcyra::py
