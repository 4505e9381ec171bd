#include "py/convert.hpp"

#include <utility>

#include "py/errors.hpp"
#include "py/numpy.hpp"

namespace qv::py {

uint64_t to_count(PyObject* o) {
  Ref index(check(PyNumber_Index(o)));
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw ErrorSet{};
  return v;
}

uint32_t to_count32(PyObject* o) {
  Ref index(check(PyNumber_Index(o)));
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw ErrorSet{};
  if (overflow || v < 0 || v > 0xFFFFFFFFLL)
    raise(PyExc_OverflowError, "out of range integral type conversion attempted");
  return static_cast<uint32_t>(v);
}

int64_t to_int64(PyObject* o) {
  Ref index(check(PyNumber_Index(o)));
  long long v = PyLong_AsLongLong(index.get());
  if (v == -1 && PyErr_Occurred()) throw ErrorSet{};
  return v;
}

double to_real(PyObject* o) {
  double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) throw ErrorSet{};
  return v;
}

bool to_flag(PyObject* o) {
  if (o == Py_True) return true;
  if (o == Py_False) return false;
  // NumPy's bool scalar converts through its truth value; nothing else is a bool.
  ensure_numpy();
  if (PyObject_TypeCheck(o, &PyBoolArrType_Type)) {
    int t = PyObject_IsTrue(o);
    if (t < 0) throw ErrorSet{};
    return t != 0;
  }
  Ref type_name(check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__name__")));
  const char* n = PyUnicode_AsUTF8AndSize(type_name.get(), nullptr);
  if (!n) throw ErrorSet{};
  type_error(std::string("'") + n + "' object cannot be converted to 'PyBool'");
}

std::string to_text(PyObject* o) {
  if (!PyUnicode_Check(o)) type_error("expected str");
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(o, &n);
  if (!p) throw ErrorSet{};
  return std::string(p, static_cast<size_t>(n));
}

namespace {
// The byte range [lo, hi) an array's elements can touch, from its strides; empty when the
// array has no elements. Addresses are compared as integers: the arrays are unrelated
// objects, so pointer comparisons between them would say nothing.
std::pair<uintptr_t, uintptr_t> extent(PyArrayObject* a) {
  const uintptr_t base = reinterpret_cast<uintptr_t>(PyArray_DATA(a));
  if (PyArray_SIZE(a) == 0) return {base, base};
  intptr_t lo = 0, hi = 0;
  for (int d = 0; d < PyArray_NDIM(a); ++d) {
    const intptr_t span = (PyArray_DIM(a, d) - 1) * PyArray_STRIDE(a, d);
    if (span < 0)
      lo += span;
    else
      hi += span;
  }
  return {base + lo, base + hi + PyArray_ITEMSIZE(a)};
}
}  // namespace

void check_borrows(std::span<const Borrow> arrays) {
  for (const Borrow& w : arrays) {
    if (!w.writable) continue;
    auto* a = reinterpret_cast<PyArrayObject*>(w.array);
    if (!PyArray_ISWRITEABLE(a))
      panic(std::string("NotWriteable: '") + w.name + "' is not writeable");
    auto [lo, hi] = extent(a);
    for (const Borrow& other : arrays) {
      if (&other == &w) continue;
      auto [lo2, hi2] = extent(reinterpret_cast<PyArrayObject*>(other.array));
      // The same array twice is a conflict even when it is empty and so touches no byte.
      const bool same = other.array == w.array;
      if (same || (lo < hi && lo2 < hi2 && lo < hi2 && lo2 < hi))
        panic(std::string("AlreadyBorrowed: '") + w.name + "' overlaps '" + other.name + "'");
    }
  }
}

}  // namespace qv::py
