#include "py/errors.hpp"

#include <exception>
#include <new>

#include "core/invariant.hpp"

namespace qv::py {

void raise(PyObject* type, std::string_view message) {
  Ref text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (text) PyErr_SetObject(type, text.get());
  throw ErrorSet{};
}

namespace {
// Made on first need, never at import; a BaseException so `except Exception` does not
// swallow a broken invariant.
PyObject* panic_type() {
  static PyObject* type = nullptr;
  if (!type) {
    type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException",
                                     "The exception raised when an internal invariant fails.",
                                     PyExc_BaseException, nullptr);
  }
  return type;
}
}  // namespace

void panic(std::string_view message) {
  PyObject* type = panic_type();
  if (!type) throw ErrorSet{};
  raise(type, message);
}

void add_parameter_note(const char* name) {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (value) {
    std::string note = std::string("while processing '") + name + "'";
    Ref r(PyObject_CallMethod(value, "add_note", "s", note.c_str()));
    if (!r) PyErr_Clear();
    if (tb) PyException_SetTraceback(value, tb);
  }
  PyErr_Restore(type, value, tb);
}

PyObject* convert_current_exception() noexcept {
  try {
    throw;
  } catch (const ErrorSet&) {
  } catch (const OutOfMemory& e) {
    PyErr_SetString(PyExc_MemoryError, e.what());
  } catch (const std::bad_alloc&) {
    // An allocation no helper of the kernels sized: what it was for is not known here.
    PyErr_SetString(PyExc_MemoryError, "Could not allocate the memory this call needs.");
  } catch (const std::exception& e) {
    try {
      panic(e.what());
    } catch (...) {
    }
  } catch (...) {
    try {
      panic("unknown internal failure");
    } catch (...) {
    }
  }
  return nullptr;
}

}  // namespace qv::py
