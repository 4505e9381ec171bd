#include "ease/gram.hpp"

#include <cmath>

namespace qv::ease {

std::vector<double> gram(const sparse::CsrView& r) {
  const size_t n = r.n_cols;
  const sparse::Csc csc = sparse::Csc::from_csr(r);
  std::vector<double> g(checked_len<double>(checked_mul(n, n)), 0.0);
  parallel::for_each(n, [&](size_t i) {
    double* row = g.data() + i * n;
    auto [b, e] = csc.column(i);
    for (size_t q = b; q < e; ++q) {
      const uint64_t u = csc.indices[q];
      const double r_ui = csc.data[q];
      auto [s, t] = r.row(u);
      for (size_t p = s; p < t; ++p) row[r.indices[p]] = std::fma(r.data[p], r_ui, row[r.indices[p]]);
    }
  }, 1);
  return g;
}

}  // namespace qv::ease
