// Writes the type stub of quorvane._core to standard output from the binding
// declarations. It links the bindings but never starts the interpreter.
#include <cstring>
#include <iostream>
#include <string>

#include "py/declare.hpp"
#include "table.hpp"

namespace {

// The docstring body as a triple-quoted literal, indented as the function body.
std::string quoted(const char* body) {
  std::string out = "\"\"\"";
  for (const char* p = body; *p; ++p) {
    if (*p == '\\' || (*p == '"' && p[1] == '"')) out += '\\';
    out += *p;
    if (*p == '\n' && p[1] != '\n') out += "    ";
  }
  return out + "\"\"\"";
}

void write(std::ostream& os, const qv::py::Function& f) {
  os << "\ndef " << f.name << "(\n";
  for (const auto& p : f.params) {
    os << "    " << p.name << ": " << p.annotation;
    if (p.default_text) os << " = " << p.default_text;
    os << ",\n";
  }
  os << ") -> " << f.returns << ":\n    " << quoted(f.body) << "\n";
}

}  // namespace

int main() {
  std::ostream& os = std::cout;
  os << "# Written by scripts/stub.sh from the binding declarations in src/lib; do not edit.\n"
        "from typing import SupportsIndex\n\n"
        "import numpy as np\n"
        "from numpy.typing import NDArray\n\n"
        "__build_profile__: str\n"
        "__all__: list[str]\n";
  const auto& defined = qv::py::registry();
  size_t written = 0;
  for (const char* name : qv::kFunctionTable) {
    for (const auto& f : defined) {
      if (std::strcmp(f.name, name) != 0) continue;
      write(os, f);
      ++written;
    }
  }
  if (written != defined.size()) {
    std::cerr << "a function is defined that the module's table does not list\n";
    return 1;
  }
  return os.good() ? 0 : 1;
}
