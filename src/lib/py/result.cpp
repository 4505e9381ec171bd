#include "py/result.hpp"

#include <limits>

namespace qv::py {

namespace {
template <class V>
void free_vector(PyObject* capsule) {
  delete static_cast<V*>(PyCapsule_GetPointer(capsule, "quorvane.buffer"));
}

template <class T, class A>
Ref make_array(std::vector<T, A>&& v, std::initializer_list<size_t> shape, int typenum) {
  using V = std::vector<T, A>;
  ensure_numpy();
  npy_intp dims[2] = {0, 0};
  int nd = 0;
  for (size_t d : shape) dims[nd++] = static_cast<npy_intp>(d);
  auto* owned = new V(std::move(v));
  Ref capsule(PyCapsule_New(owned, "quorvane.buffer", free_vector<V>));
  if (!capsule) {
    delete owned;
    throw ErrorSet{};
  }
  // An empty vector may have no storage; NumPy still wants a valid pointer.
  static T empty_slot{};
  void* data = owned->empty() ? static_cast<void*>(&empty_slot) : static_cast<void*>(owned->data());
  Ref arr(check(PyArray_New(&PyArray_Type, nd, dims, typenum, nullptr, data, 0,
                            NPY_ARRAY_CARRAY, nullptr)));
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(arr.get()), capsule.release()) < 0)
    throw ErrorSet{};
  return arr;
}
}  // namespace

Ref to_array(std::vector<double>&& v, std::initializer_list<size_t> shape) {
  return make_array(std::move(v), shape, NPY_FLOAT64);
}
Ref to_array(core::RawVector<double>&& v, std::initializer_list<size_t> shape) {
  return make_array(std::move(v), shape, NPY_FLOAT64);
}
Ref to_array(std::vector<int64_t>&& v, std::initializer_list<size_t> shape) {
  return make_array(std::move(v), shape, NPY_INT64);
}
Ref to_array(std::vector<int32_t>&& v, std::initializer_list<size_t> shape) {
  return make_array(std::move(v), shape, NPY_INT32);
}

void to_i64(std::span<const uint64_t> v) {
  for (uint64_t x : v)
    if (x > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
      value_error("result index exceeds the i64 array format");
}

Ref index_array(std::vector<uint64_t>&& v, std::initializer_list<size_t> shape) {
  to_i64(v);
  // Every value fits: the unsigned buffer is handed over as int64 without a copy.
  return make_array(std::move(v), shape, NPY_INT64);
}

void check_shape(uint64_t n_rows, uint64_t k, size_t len) {
  uint64_t product = 1;
  const uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  for (uint64_t d : {n_rows, k}) {
    if (d == 0) continue;
    if (__builtin_mul_overflow(product, d, &product) || product > limit)
      value_error("ShapeError/Overflow: arithmetic overflow");
  }
  uint64_t total = n_rows == 0 || k == 0 ? 0 : product;
  if (total != len) value_error("ShapeError/IncompatibleShape: incompatible shapes");
}

Ref ranked_ids(uint64_t n_rows, uint64_t k, std::vector<uint64_t>&& ids) {
  to_i64(ids);
  check_shape(n_rows, k, ids.size());
  return make_array(std::move(ids), {n_rows, k}, NPY_INT64);
}

Ref ranked_pair(uint64_t n_rows, uint64_t k, std::vector<uint64_t>&& ids, std::vector<double>&& scores) {
  Ref a = ranked_ids(n_rows, k, std::move(ids));
  check_shape(n_rows, k, scores.size());
  Ref b = to_array(std::move(scores), {n_rows, k});
  return tuple({a.release(), b.release()});
}

void too_few(uint64_t k, const ranking::TooFewEligible& f) {
  value_error("Cannot recommend " + std::to_string(k) + " items: query " + std::to_string(f.query) +
              " has only " + std::to_string(f.eligible) + " eligible items.");
}

Ref csr_tuple(sparse::CsrOwned&& m) {
  size_t rows = m.indptr.size(), nnz = m.indices.size();
  Ref indptr = index_array(std::move(m.indptr), {rows});
  Ref indices = index_array(std::move(m.indices), {nnz});
  Ref data = to_array(std::move(m.data));
  return tuple({indptr.release(), indices.release(), data.release()});
}

Ref csr_tuple(sparse::RawCsr&& m) {
  size_t rows = m.indptr.size(), nnz = m.indices.size();
  Ref indptr = make_array(std::move(m.indptr), {rows}, NPY_INT64);
  Ref indices = make_array(std::move(m.indices), {nnz}, NPY_INT64);
  Ref data = make_array(std::move(m.data), {nnz}, NPY_FLOAT64);
  return tuple({indptr.release(), indices.release(), data.release()});
}

Ref tuple(std::initializer_list<PyObject*> items) {
  Ref t(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  if (!t) {
    for (PyObject* o : items) Py_XDECREF(o);
    throw ErrorSet{};
  }
  Py_ssize_t i = 0;
  for (PyObject* o : items) PyTuple_SetItem(t.get(), i++, o);
  return t;
}

Ref float_list(const std::vector<double>& v) {
  Ref list(check(PyList_New(static_cast<Py_ssize_t>(v.size()))));
  for (size_t i = 0; i < v.size(); ++i)
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), check(PyFloat_FromDouble(v[i])));
  return list;
}

}  // namespace qv::py
