#include "linalg/memory.hpp"

#include <unistd.h>

#include <new>

namespace qv::linalg {

void require_memory(uint64_t bytes) {
  static const uint64_t physical = [] {
    const long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || size <= 0) return UINT64_MAX;
    uint64_t total;
    return __builtin_mul_overflow(static_cast<uint64_t>(pages), static_cast<uint64_t>(size), &total) ? UINT64_MAX
                                                                                                     : total;
  }();
  if (bytes > physical) throw std::bad_alloc();
}

}  // namespace qv::linalg
