#include "core/invariant.hpp"

namespace qv {

void invariant_failed(const char* what, const char* file, int line) {
  throw InternalError(std::string(what) + " (" + file + ":" + std::to_string(line) + ")");
}

}  // namespace qv
