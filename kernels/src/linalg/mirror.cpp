#include "linalg/mirror.hpp"

#include <algorithm>

#include "parallel/pool.hpp"

namespace qv::linalg {

void mirror(double* a, size_t n, Triangle source) {
  constexpr size_t B = 64;
  const size_t nb = (n + B - 1) / B;
  const bool to_upper = source == Triangle::lower;
  // Each task writes the tiles of one block of rows that lie on the destination side.
  parallel::for_each(nb, [&](size_t br) {
    const size_t r0 = br * B, r1 = std::min(n, r0 + B);
    const size_t first = to_upper ? br : 0, last = to_upper ? nb : br + 1;
    for (size_t bc = first; bc < last; ++bc) {
      const size_t c0 = bc * B, c1 = std::min(n, c0 + B);
      for (size_t r = r0; r < r1; ++r) {
        const size_t lo = to_upper ? std::max(c0, r + 1) : c0, hi = to_upper ? c1 : std::min(c1, r);
        for (size_t c = lo; c < hi; ++c) a[r * n + c] = a[c * n + r];
      }
    }
  }, 1);
}

}  // namespace qv::linalg
