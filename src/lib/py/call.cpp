#include "py/call.hpp"

#include <algorithm>

namespace qv::py {

Call::Call(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) : sig_(sig) {
  parse_args(sig, args, nargs, kwnames, argv_);
}

uint64_t Call::count(size_t i) {
  PyObject* o = arg(i);
  if (!o) return 0;
  return noted(i, [&]() -> uint64_t {
    Ref index(check(PyNumber_Index(o)));
    unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw ErrorSet{};
    return v;
  });
}

uint32_t Call::count32(size_t i) {
  PyObject* o = arg(i);
  return noted(i, [&]() -> uint32_t {
    Ref index(check(PyNumber_Index(o)));
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw ErrorSet{};
    if (overflow || v < 0 || v > 0xFFFFFFFFLL)
      raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<uint32_t>(v);
  });
}

double Call::real(size_t i) {
  PyObject* o = arg(i);
  return noted(i, [&]() -> double {
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) throw ErrorSet{};
    return v;
  });
}

bool Call::flag(size_t i) {
  PyObject* o = arg(i);
  if (!o) return false;
  return noted(i, [&]() -> bool {
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
  });
}

std::string Call::text(size_t i) {
  PyObject* o = arg(i);
  return noted(i, [&]() -> std::string {
    if (!PyUnicode_Check(o)) type_error("expected str");
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(o, &n);
    if (!p) throw ErrorSet{};
    return std::string(p, static_cast<size_t>(n));
  });
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
    if (span < 0) lo += span; else hi += span;
  }
  return {base + lo, base + hi + PyArray_ITEMSIZE(a)};
}
}  // namespace

void Call::check_borrows() const {
  for (size_t w : writable_) {
    size_t k = std::find(array_params_.begin(), array_params_.end(), w) - array_params_.begin();
    PyArrayObject* a = arrays_[k];
    if (!PyArray_ISWRITEABLE(a))
      panic(std::string("NotWriteable: '") + param(w) + "' is not writeable");
    auto [lo, hi] = extent(a);
    for (size_t j = 0; j < arrays_.size(); ++j) {
      if (j == k) continue;
      auto [lo2, hi2] = extent(arrays_[j]);
      // The same array twice is a conflict even when it is empty and so touches no byte.
      const bool same = arrays_[j] == a;
      if (same || (lo < hi && lo2 < hi2 && lo < hi2 && lo2 < hi))
        panic(std::string("AlreadyBorrowed: '") + param(w) + "' overlaps '" + param(array_params_[j]) + "'");
    }
  }
}

}  // namespace qv::py
