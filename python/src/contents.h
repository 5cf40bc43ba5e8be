// Everything the module exposes besides the stats classes; each returns
// nullptr with an exception set on failure.
#pragma once

#include "py.h"

namespace halcyra::py {

// Functions, created for the module that exposes them.
PyObject* NewTokenizeFunction(PyObject* module);
PyObject* NewWriteHyviFromFaissFunction(PyObject* module);
PyObject* NewWriteTermIndexFunction(PyObject* module);

// Classes, created once per process on first use (borrowed references).
PyObject* BuilderType();
PyObject* VectorBuilderType();
PyObject* TermBuilderType();
PyObject* SplitSetBuilderType();
PyObject* TermSplitSetBuilderType();
PyObject* SplitSetWriterType();

}  // namespace halcyra::py
