#pragma once
// Second-order factorization machine for regression, fitted by alternating least squares:
// every parameter in turn is set to its exact regularized least-squares optimum with the
// others held fixed.
#include <cstdint>
#include <span>
#include <vector>

#include "sparse/sparse.hpp"

namespace qv::fm_als {

struct Fitted {
  double w0 = 0.0;
  std::vector<double> rmse;  // training RMSE after each sweep
};

// `x` is the design matrix (rows are samples; a feature stored twice in a row counts
// twice), `v` is factor-major (n_factors x n_features). `w` and `v` are written as each
// coordinate is solved. The per-sample caches are filled on the current pool; every
// coordinate update runs serially, so the result does not depend on the pool size.
Fitted fit(const sparse::CsrView& x, std::span<const double> y, double w0, std::span<double> w,
           std::span<double> v, uint64_t n_factors, std::span<const uint64_t> group, double reg0,
           std::span<const double> reg_w, std::span<const double> reg_v, uint64_t n_iter);

}  // namespace qv::fm_als
