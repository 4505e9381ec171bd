#include "linalg/gram.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "core/isa.hpp"
#include "linalg/gram_row.hpp"
#include "linalg/memory.hpp"
#include "linalg/mirror.hpp"
#include "sparse/columns.hpp"

namespace qv::linalg {

namespace {

// G[i][j] and G[j][i] add the same exact products in the same user order, one rounding
// each, so one triangle gives the other bit for bit, unless a row holds a column twice
// (the two orders then pair the repeats differently) or a NaN is present (its payload
// could depend on the operand order).
bool mirrorable(const sparse::CsrView& r, const uint32_t* cols) {
  std::atomic<bool> ok{true};
  parallel::for_each(r.n_rows, [&](size_t u) {
    if (!ok.load(std::memory_order_relaxed)) return;
    auto [b, e] = r.row(u);
    for (size_t p = b; p < e; ++p) {
      if (std::isnan(r.data[p]) || (p > b && cols[p] <= cols[p - 1])) {
        ok.store(false, std::memory_order_relaxed);
        return;
      }
    }
  }, 4096);
  return ok.load();
}

}  // namespace

core::RawVector<double> gram(const sparse::CsrView& r) {
  const uint64_t n = r.n_cols;
  require_allocatable(static_cast<unsigned __int128>(n) * n, sizeof(double), "n_cols", n,
                      "an n_cols x n_cols float64 matrix");
  // Each row is zeroed by the task that fills it. Zeroing the whole matrix first ran on one
  // thread, faulting in every page, and took several times longer than the products.
  core::RawVector<double> g = square_matrix(n);
  if (r.indices.empty()) {
    parallel::for_each(n, [&](size_t i) { std::fill_n(g.data() + i * n, n, 0.0); });
    return g;
  }
  // n * n fits in memory, so every column index fits in 32 bits.
  const sparse::ColumnCopy columns(r);
  const uint32_t* cols = columns.narrow();
  QV_ASSERT(cols != nullptr, "columns do not fit 32 bits");
  const sparse::ColumnIndex users(r, columns);
  const std::vector<uint8_t> constant = sparse::constant_rows(r);
  const GramSource src{r.indptr.data(), cols, r.data.data(), constant.data()};
  const bool upper = mirrorable(r, cols);
  const auto row = QV_ISA_PICK(portable::gram_row, avx2::gram_row);
  parallel::for_each(n, [&](size_t i) {
    double* out = g.data() + i * n;
    // With one triangle computed, the mirror writes everything left of the diagonal.
    std::fill(out + (upper ? i : 0), out + n, 0.0);
    const auto column = users.column(i);
    row(out, column.data(), column.size(), src, upper);
  }, 1);
  if (upper) mirror(g.data(), n, Triangle::upper);
  return g;
}

}  // namespace qv::linalg
