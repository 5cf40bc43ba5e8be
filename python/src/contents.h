// Everything the module exposes. Each returns a new reference to a class or
// function object, or nullptr with an exception set.
#pragma once

#include "py.h"

namespace halcyra::py {

PyObject* NewTokenizeFunction(PyObject* module);

}  // namespace halcyra::py
