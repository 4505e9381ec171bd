#pragma once
// The fast-call argument parser: every parameter positional-or-keyword, the messages
// worded as the interpreter words its own.
#include <cstddef>

#include "py/python.hpp"

namespace qv::py {

struct Signature {
  const char* name;            // the function's __name__
  const char* const* params;   // parameter names in order
  size_t n_params;
  size_t n_required;           // leading parameters without a default
};

// Fills `out[0..n_params)` with borrowed references in signature order; a parameter not
// given is nullptr (its default). Throws ErrorSet with a TypeError on failure.
void parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out);

}  // namespace qv::py
