#pragma once
// How a binding becomes a Python function: a Signature, an implementation taking the
// parsed Call, and a docstring whose first line is the text signature.
#include "py/call.hpp"
#include "py/errors.hpp"
#include "py/ref.hpp"

namespace qv::py {

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

struct Function {
  const char* name;
  FastCall entry;
  const char* doc;
};

template <const Signature& S, Ref (*Impl)(Call&)>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Call call(S, args, nargs, kwnames);
    return Impl(call).release();
  });
}

}  // namespace qv::py
