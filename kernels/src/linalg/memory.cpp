#include "linalg/memory.hpp"

#include <unistd.h>

#include <new>

#include "core/invariant.hpp"
#include "parallel/pool.hpp"

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

core::RawVector<double> square_matrix(uint64_t n) {
  const uint64_t cells = checked_mul(n, n);
  auto m = allocating("an (n_cols, n_cols) matrix", cells, sizeof(double),
                      [&] { return core::RawVector<double>(checked_len<double>(cells)); });
  // One write per huge page (the allocator asks for them on large buffers); with small
  // pages the kernel faults in the rest of the block on the following writes anyway.
  constexpr size_t kPage = (size_t{2} << 20) / sizeof(double);
  const size_t pages = (m.size() + kPage - 1) / kPage;
  if (pages > 1) parallel::for_each(pages, [&](size_t p) { m[p * kPage] = 0.0; });
  return m;
}

}  // namespace qv::linalg
