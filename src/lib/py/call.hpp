#pragma once
// One Python call: its parsed arguments and their conversions by declared kind. A failing
// conversion keeps its own exception and gains the note "while processing '<name>'".
// Convert every parameter, in signature order, before any check runs.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "py/args.hpp"
#include "py/array.hpp"
#include "py/errors.hpp"

namespace qv::py {

class Call {
 public:
  static constexpr size_t kMaxParams = 20;

  Call(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

  // Read-only array; refuses None.
  template <class T>
  Array<T> array(size_t i, int ndim) {
    return noted(i, [&] { return remember(i, to_array<T>(arg(i), ndim)); });
  }
  // None (or not given) gives an absent array.
  template <class T>
  std::optional<Array<T>> opt_array(size_t i, int ndim) {
    if (!arg(i) || arg(i) == Py_None) return std::nullopt;
    return array<T>(i, ndim);
  }
  // Writeable array that overlaps no other array argument of the call; the overlap test
  // runs in `check_borrows`, once every argument is converted.
  template <class T>
  Array<T> array_mut(size_t i, int ndim) {
    Array<T> a = array<T>(i, ndim);
    writable_.push_back(i);
    return a;
  }

  uint64_t count(size_t i);     // unsigned 64-bit; a missing optional one is 0
  uint32_t count32(size_t i);   // unsigned 32-bit
  double real(size_t i);
  bool flag(size_t i);          // a missing optional one is false
  std::string text(size_t i);

  // Refuses a read-write array that is not writeable or overlaps another array argument.
  void check_borrows() const;

  PyObject* arg(size_t i) const { return argv_[i]; }
  const char* param(size_t i) const { return sig_.params[i]; }

 private:
  template <class F>
  auto noted(size_t i, F&& f) -> decltype(f()) {
    try {
      return f();
    } catch (const ErrorSet&) {
      add_parameter_note(param(i));
      throw;
    }
  }
  template <class T>
  Array<T> remember(size_t i, Array<T> a) {
    arrays_.push_back(a.raw());
    array_params_.push_back(i);
    return a;
  }

  const Signature& sig_;
  PyObject* argv_[kMaxParams] = {};
  std::vector<PyArrayObject*> arrays_;
  std::vector<size_t> array_params_;
  std::vector<size_t> writable_;
};

}  // namespace qv::py
