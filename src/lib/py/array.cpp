#include "py/array.hpp"

namespace qv::py {

namespace {
std::string type_name_of(PyObject* obj) {
  Ref t(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
  if (!t) {
    PyErr_Clear();
    return "?";
  }
  const char* s = PyUnicode_AsUTF8AndSize(t.get(), nullptr);
  if (!s) {
    PyErr_Clear();
    return "?";
  }
  return s;
}

std::string dtype_name(PyArrayObject* a) {
  Ref d(PyObject_GetAttrString(reinterpret_cast<PyObject*>(a), "dtype"));
  Ref s(d ? PyObject_Str(d.get()) : nullptr);
  const char* p = s ? PyUnicode_AsUTF8AndSize(s.get(), nullptr) : nullptr;
  if (!p) {
    PyErr_Clear();
    return "?";
  }
  return p;
}
}  // namespace

PyArrayObject* checked_array(PyObject* obj, int typenum, const char* type_name, int ndim) {
  std::string want = std::string("a ") + std::to_string(ndim) + "-dimensional " + type_name + " array";
  if (!PyArray_Check(obj)) type_error("expected " + want + ", got '" + type_name_of(obj) + "'");
  auto* a = reinterpret_cast<PyArrayObject*>(obj);
  PyArray_Descr* d = PyArray_DescrFromType(typenum);
  bool same = PyArray_EquivTypes(PyArray_DESCR(a), d);
  Py_DECREF(d);
  if (!same || PyArray_NDIM(a) != ndim) {
    type_error("expected " + want + ", got a " + std::to_string(PyArray_NDIM(a)) + "-dimensional " +
               dtype_name(a) + " array");
  }
  return a;
}

void require_contiguous(PyArrayObject* a) {
  if (PyArray_SIZE(a) == 0) return;
  const int f = PyArray_FLAGS(a);
  if ((f & NPY_ARRAY_ALIGNED) && (f & NPY_ARRAY_C_CONTIGUOUS)) return;
  type_error("The given array is not contiguous or is misaligned.");
}

}  // namespace qv::py
