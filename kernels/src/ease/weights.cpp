#include <algorithm>

#include "core/invariant.hpp"
#include "ease/inverse.hpp"
#include "linalg/memory.hpp"
#include "parallel/pool.hpp"

namespace qv::ease {

namespace {
// The diagonal of a row-major n x n matrix, contiguous: read in place, every row of the
// weights would cost n cache lines.
std::vector<double> diagonal(const double* p, uint64_t n) {
  std::vector<double> d(n);
  for (size_t j = 0; j < n; ++j) d[j] = p[j * n + j];
  return d;
}
}  // namespace

core::RawVector<double> weights_from_inverse(std::span<const double> p, uint64_t n) {
  const size_t len = checked_len<double>(checked_mul(n, n));
  QV_ASSERT(p.size() == len, "inverse Gram matrix has the wrong size");
  const std::vector<double> d = diagonal(p.data(), n);
  // Every slot is written once, by the task of its row: no serial zeroing pass first.
  core::RawVector<double> w = linalg::square_matrix(n);
  parallel::for_each(n, [&](size_t i) {
    const double* row = p.data() + i * n;
    double* out = w.data() + i * n;
    for (size_t j = 0; j < n; ++j) out[j] = (-row[j]) / d[j];
    out[i] = 0.0;
  }, 1);
  return w;
}

void weights_in_place(core::RawVector<double>& p, uint64_t n) {
  QV_ASSERT(p.size() == n * n, "inverse Gram matrix has the wrong size");
  const std::vector<double> d = diagonal(p.data(), n);
  // Tiles on and below the diagonal; a task owns a tile and its mirror, so it can read
  // P[j][i] before overwriting either element.
  constexpr size_t B = 64;
  const size_t nb = (n + B - 1) / B;
  double* a = p.data();
  parallel::for_each(nb, [&](size_t bi) {
    const size_t i0 = bi * B, i1 = std::min<size_t>(n, i0 + B);
    for (size_t bj = 0; bj <= bi; ++bj) {
      const size_t j0 = bj * B, j1 = std::min<size_t>(n, j0 + B);
      for (size_t i = i0; i < i1; ++i)
        for (size_t j = j0; j < std::min(j1, i); ++j) {
          const double pij = a[i * n + j];  // == a[j * n + i]
          a[i * n + j] = (-pij) / d[j];
          a[j * n + i] = (-pij) / d[i];
        }
    }
    for (size_t i = i0; i < i1; ++i) a[i * n + i] = 0.0;
  }, 1);
}

}  // namespace qv::ease
