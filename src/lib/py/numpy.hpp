#pragma once
// NumPy's C API, loaded on the first array conversion rather than at import.
#include "py/python.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL QUORVANE_ARRAY_API
#ifndef QUORVANE_NUMPY_IMPORT_UNIT
#define NO_IMPORT_ARRAY
#endif
#define NPY_NO_DEPRECATED_API NPY_1_23_API_VERSION
#define NPY_TARGET_VERSION NPY_1_23_API_VERSION
#include <numpy/arrayobject.h>

namespace qv::py {

// Loads the API table once; raises the panic exception when it cannot.
void ensure_numpy();

}  // namespace qv::py
