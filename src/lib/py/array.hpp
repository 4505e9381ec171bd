#pragma once
// Borrowed, typed NumPy arrays. Nothing is cast or copied.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "py/errors.hpp"
#include "py/numpy.hpp"

namespace qv::py {

template <class T> struct NpyType;
template <> struct NpyType<double> { static constexpr int value = NPY_FLOAT64; static constexpr const char* name = "float64"; };
template <> struct NpyType<int64_t> { static constexpr int value = NPY_INT64; static constexpr const char* name = "int64"; };
template <> struct NpyType<int32_t> { static constexpr int value = NPY_INT32; static constexpr const char* name = "int32"; };
template <> struct NpyType<uint8_t> { static constexpr int value = NPY_UINT8; static constexpr const char* name = "uint8"; };

// Checks that `obj` is an array of `ndim` dimensions with a dtype equivalent to T's and
// raises the type-mismatch TypeError otherwise.
PyArrayObject* checked_array(PyObject* obj, int typenum, const char* type_name, int ndim);

// The contiguity test made when an array is first read as a flat sequence: an empty array
// passes; otherwise it must be aligned and C-contiguous (an F-ordered matrix would be
// read scrambled, so it is refused too).
void require_contiguous(PyArrayObject* a);

template <class T>
class Array {
 public:
  Array() = default;
  Array(PyArrayObject* a) : a_(a) {}

  int ndim() const { return PyArray_NDIM(a_); }
  size_t dim(int i) const { return static_cast<size_t>(PyArray_DIM(a_, i)); }
  size_t size() const { return static_cast<size_t>(PyArray_SIZE(a_)); }
  size_t rows() const { return dim(0); }
  size_t cols() const { return ndim() > 1 ? dim(1) : 1; }
  PyArrayObject* raw() const { return a_; }

  // The elements in row-major order, after the contiguity test.
  std::span<const T> flat() const {
    require_contiguous(a_);
    return {static_cast<const T*>(PyArray_DATA(a_)), size()};
  }
  std::span<T> flat_mut() const {
    require_contiguous(a_);
    return {static_cast<T*>(PyArray_DATA(a_)), size()};
  }

 private:
  PyArrayObject* a_ = nullptr;
};

template <class T>
Array<T> to_array(PyObject* obj, int ndim) {
  ensure_numpy();
  return Array<T>(checked_array(obj, NpyType<T>::value, NpyType<T>::name, ndim));
}

}  // namespace qv::py
