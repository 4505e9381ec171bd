#define QUORVANE_NUMPY_IMPORT_UNIT
#include "py/numpy.hpp"

#include "py/errors.hpp"

namespace qv::py {

void ensure_numpy() {
  if (PyArray_API) return;
  if (_import_array() < 0) {
    PyErr_Clear();
    panic("Failed to access NumPy array API capsule");
  }
}

}  // namespace qv::py
