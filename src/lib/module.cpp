// Start-up: the module definition for multi-phase initialisation and its exec step.
// No exception types are made and NumPy is not touched here, so importing is cheap.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "py/declare.hpp"
#include "py/errors.hpp"
#include "table.hpp"

namespace qv {
namespace {

std::array<PyMethodDef, kFunctionTable.size()> g_defs{};

// Appends `name` to __all__ (made if missing), then sets the attribute.
void add(PyObject* module, const char* name, PyObject* value) {
  py::Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    PyErr_Clear();
    all = py::Ref(py::check(PyList_New(0)));
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw py::ErrorSet{};
  }
  py::Ref text(py::check(PyUnicode_FromString(name)));
  if (PyList_Append(all.get(), text.get()) < 0) throw py::ErrorSet{};
  if (PyObject_SetAttrString(module, name, value) < 0) throw py::ErrorSet{};
}

int exec_module(PyObject* module) {
  PyObject* r = py::guarded([&]() -> PyObject* {
    if (!PyModule_Check(module)) py::type_error("the object being initialised is not a module");
    py::Ref profile(py::check(PyUnicode_FromString("release")));
    add(module, "__build_profile__", profile.get());
    py::Ref module_name(py::check(PyModule_GetNameObject(module)));
    const auto& defined = py::registry();
    size_t added = 0;
    for (size_t i = 0; i < kFunctionTable.size(); ++i) {
      const char* name = kFunctionTable[i];
      auto f = std::find_if(defined.begin(), defined.end(),
                            [&](const py::Function& d) { return std::strcmp(d.name, name) == 0; });
      if (f == defined.end()) continue;
      g_defs[i] = PyMethodDef{f->name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f->entry)),
                              METH_FASTCALL | METH_KEYWORDS | METH_STATIC, f->doc.c_str()};
      py::Ref fn(py::check(PyCFunction_NewEx(&g_defs[i], module, module_name.get())));
      add(module, name, fn.get());
      ++added;
    }
    if (added != defined.size()) py::panic("a function is defined that the module's table does not list");
    Py_INCREF(Py_None);
    return Py_None;
  });
  if (!r) return -1;
  Py_DECREF(r);
  return 0;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT, "_core", nullptr, 0, nullptr, g_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace qv

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__core() {
  return PyModuleDef_Init(&qv::g_module);
}
