#pragma once
#include <exception>
#include <optional>
#include <utility>
#include <type_traits>

#include "py/python.hpp"

namespace qv::py {

// Runs `f` with the interpreter lock released. Whatever `f` throws is carried across and
// rethrown only once the lock is held again, so conversion to a Python exception is safe.
template <class F>
decltype(auto) without_gil(F&& f) {
  using R = std::invoke_result_t<F&>;
  std::exception_ptr error;
  PyThreadState* saved = PyEval_SaveThread();
  if constexpr (std::is_void_v<R>) {
    try {
      f();
    } catch (...) {
      error = std::current_exception();
    }
    PyEval_RestoreThread(saved);
    if (error) std::rethrow_exception(error);
  } else {
    std::optional<R> result;
    try {
      result.emplace(f());
    } catch (...) {
      error = std::current_exception();
    }
    PyEval_RestoreThread(saved);
    if (error) std::rethrow_exception(error);
    return R(std::move(*result));
  }
}

}  // namespace qv::py
