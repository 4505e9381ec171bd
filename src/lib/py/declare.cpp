#include "py/declare.hpp"

namespace qv::py {

namespace {
// Never destroyed: the method entries made from it outlive interpreter shutdown.
std::vector<Function>& functions() {
  static auto* all = new std::vector<Function>();
  return *all;
}
}  // namespace

const std::vector<Function>& registry() { return functions(); }

Registered::Registered(std::initializer_list<Function> list) {
  for (const Function& f : list) functions().push_back(f);
}

std::string detail::text_signature(const char* name, const std::vector<ParamInfo>& params) {
  std::string line = std::string(name) + "(";
  for (size_t i = 0; i < params.size(); ++i) {
    if (i != 0) line += ", ";
    line += params[i].name;
    if (params[i].default_text) {
      line += '=';
      line += params[i].default_text;
    }
  }
  return line + ")";
}

}  // namespace qv::py
