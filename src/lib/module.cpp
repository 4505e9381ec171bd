// Start-up: the module definition for multi-phase initialisation and its exec step.
// No exception types are made and NumPy is not touched here, so importing is cheap.
#include <array>

#include "functions.hpp"
#include "py/errors.hpp"

namespace qv {
namespace {

// The order in which the functions are added, and so the order of __all__.
const std::array kTable = {
    &bind::bpr_fit,
    &bind::coo_to_csr,
    &bind::csr_top_k_per_row,
    &bind::ease_inverse_gram,
    &bind::ease_weights,
    &bind::ease_weights_from_inverse,
    &bind::factorize,
    &bind::fm_als_fit,
    &bind::item_cosine_top_k,
    &bind::quantized_search_dense,
    &bind::quantized_search_sparse,
    &bind::quantized_search_sparse_dense,
    &bind::item_gram,
    &bind::item_knn_top_k,
    &bind::recommend_from_dense_rows,
    &bind::recommend_from_factors,
    &bind::recommend_from_similarity,
    &bind::rp3beta_similarity,
    &bind::slim_elasticnet_weights,
    &bind::slim_elasticnet_weights_from_gram,
    &bind::top_k_per_row,
};

std::array<PyMethodDef, kTable.size()> g_defs{};

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
    for (size_t i = 0; i < kTable.size(); ++i) {
      const py::Function& f = *kTable[i];
      g_defs[i] = PyMethodDef{f.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f.entry)),
                              METH_FASTCALL | METH_KEYWORDS | METH_STATIC, f.doc};
      py::Ref fn(py::check(PyCFunction_NewEx(&g_defs[i], module, module_name.get())));
      add(module, f.name, fn.get());
    }
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
