#include "py/args.hpp"

#include <string>
#include <vector>

#include "py/errors.hpp"

namespace qv::py {

namespace {
std::string full_name(const Signature& s) { return std::string(s.name) + "()"; }

std::string utf8(PyObject* s) {
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(s, &n);
  if (!p) throw ErrorSet{};
  return std::string(p, static_cast<size_t>(n));
}

// 'a', 'a' and 'b', 'a', 'b', and 'c'
std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i != 0) {
      if (names.size() > 2) out += ',';
      out += i == names.size() - 1 ? " and " : " ";
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}
}  // namespace

void parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out) {
  const size_t n_pos = static_cast<size_t>(nargs);
  if (n_pos > sig.n_params) {
    const char* was = n_pos == 1 ? "was" : "were";
    std::string msg = full_name(sig);
    if (sig.n_required != sig.n_params)
      msg += " takes from " + std::to_string(sig.n_required) + " to " + std::to_string(sig.n_params);
    else
      msg += " takes " + std::to_string(sig.n_params);
    msg += " positional arguments but " + std::to_string(n_pos) + " " + was + " given";
    type_error(msg);
  }
  for (size_t i = 0; i < sig.n_params; ++i) out[i] = i < n_pos ? args[i] : nullptr;

  if (kwnames) {
    const Py_ssize_t n_kw = PyTuple_Size(kwnames);
    for (Py_ssize_t j = 0; j < n_kw; ++j) {
      PyObject* key = PyTuple_GetItem(kwnames, j);
      size_t i = 0;
      while (i < sig.n_params && PyUnicode_CompareWithASCIIString(key, sig.params[i]) != 0) ++i;
      if (i == sig.n_params)
        type_error(full_name(sig) + " got an unexpected keyword argument '" + utf8(key) + "'");
      if (out[i]) type_error(full_name(sig) + " got multiple values for argument '" + utf8(key) + "'");
      out[i] = args[n_pos + static_cast<size_t>(j)];
    }
  }

  std::vector<const char*> missing;
  for (size_t i = 0; i < sig.n_required; ++i)
    if (!out[i]) missing.push_back(sig.params[i]);
  if (!missing.empty()) {
    type_error(full_name(sig) + " missing " + std::to_string(missing.size()) + " required positional " +
               (missing.size() == 1 ? "argument" : "arguments") + ": " + quoted_list(missing));
  }
}

}  // namespace qv::py
