#include "py/convert.hpp"

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

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

namespace {
struct Held {
  uint64_t call;
  uintptr_t lo, hi;
  PyObject* array;
  const char* name;
  const char* function;
};

// Every change happens with the interpreter lock held, except a release during the forced
// unwind that ends a daemon thread at exit; the mutex covers that one.
std::mutex g_held_mutex;
std::vector<Held>* g_held = new std::vector<Held>();  // never destroyed: calls may outlive exit
std::atomic<size_t> g_held_count{0};
uint64_t g_last_call = 0;

// A forked child has none of the parent's other threads, so none of their calls.
[[maybe_unused]] const int g_held_atfork = pthread_atfork(
    [] { g_held_mutex.lock(); }, [] { g_held_mutex.unlock(); },
    [] {
      g_held->clear();
      g_held_count.store(0);
      g_held_mutex.unlock();
    });
}  // namespace

HeldBorrows hold_borrows(std::span<const Borrow> arrays, const char* function) {
  bool writes = false;
  for (const Borrow& b : arrays) writes |= b.writable;
  HeldBorrows token;
  if (!writes && g_held_count.load(std::memory_order_acquire) == 0) return token;
  std::lock_guard<std::mutex> lock(g_held_mutex);
  for (const Borrow& b : arrays) {
    auto [lo, hi] = extent(reinterpret_cast<PyArrayObject*>(b.array));
    for (const Held& h : *g_held)
      if (h.array == b.array || (lo < hi && h.lo < h.hi && lo < h.hi && h.lo < hi))
        panic(std::string("AlreadyBorrowed: '") + b.name + "' overlaps '" + h.name + "', which a running " +
              h.function + " call holds read-write");
  }
  if (!writes) return token;
  token.call_ = ++g_last_call;
  for (const Borrow& b : arrays) {
    if (!b.writable) continue;
    auto [lo, hi] = extent(reinterpret_cast<PyArrayObject*>(b.array));
    g_held->push_back(Held{token.call_, lo, hi, b.array, b.name, function});
  }
  g_held_count.store(g_held->size(), std::memory_order_release);
  return token;
}

HeldBorrows::~HeldBorrows() {
  if (call_ == 0) return;
  std::lock_guard<std::mutex> lock(g_held_mutex);
  std::erase_if(*g_held, [this](const Held& h) { return h.call == call_; });
  g_held_count.store(g_held->size(), std::memory_order_release);
}

}  // namespace qv::py
