#pragma once
// Errors at the boundary. Inside a binding, a raised Python exception travels as the C++
// exception `ErrorSet` until the entry point returns NULL, so no code path forgets to
// unwind. Kernel exceptions are converted only after the interpreter lock is back.
#include <cxxabi.h>

#include <string>
#include <string_view>

#include "py/python.hpp"
#include "py/ref.hpp"

namespace qv::py {

// A Python exception is set and the call must return NULL.
struct ErrorSet {};

[[noreturn]] void raise(PyObject* type, std::string_view message);
[[noreturn]] inline void value_error(std::string_view m) { raise(PyExc_ValueError, m); }
[[noreturn]] inline void type_error(std::string_view m) { raise(PyExc_TypeError, m); }
[[noreturn]] void panic(std::string_view message);

// Throws ErrorSet when `p` is NULL (a CPython call failed and set an exception).
inline PyObject* check(PyObject* p) {
  if (!p) throw ErrorSet{};
  return p;
}

// Adds "while processing '<name>'" to the pending exception; a failing add_note leaves
// the exception as it was.
void add_parameter_note(const char* name);

// Runs `body` and turns every C++ exception into a pending Python exception:
// bad_alloc becomes MemoryError, anything else the panic exception.
//
// Except the forced unwind that ends a thread: at interpreter exit a daemon thread that
// waits for the lock is ended that way, and it must pass through (a swallowed one, or
// one that meets a noexcept frame, aborts the process).
template <class F>
PyObject* guarded(F&& body);

PyObject* convert_current_exception() noexcept;

// The forced unwind carries no exception object, so binding the catch reference reads
// as a null reference to the undefined-behaviour checker; the binding is never used.
template <class F>
__attribute__((no_sanitize("null"))) PyObject* guarded(F&& body) {
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    return convert_current_exception();
  }
}

}  // namespace qv::py
