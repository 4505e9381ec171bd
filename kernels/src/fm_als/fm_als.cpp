#include "fm_als/fm_als.hpp"

#include <algorithm>
#include <cmath>

#include "core/invariant.hpp"
#include "core/isa.hpp"
#include "fm_als/sweeps.hpp"
#include "parallel/pool.hpp"

namespace qv::fm_als {

namespace {

// q_i for factor f over the samples [lo, hi).
void factor_cache(State& st, uint64_t f, size_t lo, size_t hi) {
  const auto& x = st.x;
  const double* vf = st.v.data() + f * st.n_features;
  for (size_t i = lo; i < hi; ++i) {
    double q = 0.0;
    for (size_t p = x.indptr[i]; p < x.indptr[i + 1]; ++p) q = q + vf[x.indices[p]] * x.data[p];
    st.q[i] = q;
  }
}

// Runs body(lo, hi) over [0, n): on this thread below 4096 samples, else in contiguous
// pieces of at least 2048 on the current pool. Each sample is written by one piece only.
template <class Body>
void over_samples(size_t n, Body&& body) {
  if (n < 4096) {
    body(size_t{0}, n);
    return;
  }
  const size_t pieces = std::min<size_t>(4 * parallel::current_threads(), n / 2048);
  auto bound = [&](size_t k) { return static_cast<size_t>(static_cast<unsigned __int128>(n) * k / pieces); };
  parallel::for_each(pieces, [&](size_t k) { body(bound(k), bound(k + 1)); }, 1);
}

}  // namespace

Fitted fit(const sparse::CsrView& caller_x, std::span<const double> y, double w0, std::span<double> w,
           std::span<double> v, uint64_t n_factors, std::span<const uint64_t> group, double reg0,
           std::span<const double> reg_w, std::span<const double> reg_v, uint64_t n_iter) {
  const size_t n = y.size();
  const size_t nf = w.size();
  sparse::CsrView x = caller_x;
  QV_ASSERT(x.n_rows == n && x.indptr.size() == n + 1 && x.n_cols == nf, "design matrix shape");
  QV_ASSERT(x.indptr.back() == x.indices.size() && x.data.size() == x.indices.size(), "design matrix storage");
  QV_ASSERT(v.size() == checked_mul(n_factors, nf) && group.size() == nf, "model shape");
  QV_ASSERT(reg_w.size() == reg_v.size(), "regularization groups");
  for (uint64_t g : group) QV_ASSERT(g < reg_w.size(), "group out of range");

  Fitted out;
  require_allocatable(n_iter, sizeof(double), "n_iter", n_iter, "one statistic per sweep");
  reserve_as("one statistic per sweep", out.rmse, n_iter);
  out.w0 = w0;
  if (n_iter == 0) return out;

  // Every column addresses w and v, over and over: read them from a checked copy.
  std::vector<uint64_t> columns;
  resize_as("a copy of the column indices", columns, x.indices.size());
  sparse::copy_columns(x, columns.data());
  x.indices = columns;

  const sparse::Csc csc = sparse::Csc::from_csr(x);
  size_t longest = 0;
  for (size_t j = 0; j < nf; ++j) longest = std::max<size_t>(longest, csc.indptr[j + 1] - csc.indptr[j]);
  State st{x, csc, y, w, v, nf, group, reg_w, reg_v,
           std::vector<double>(n), std::vector<double>(n_factors ? n : 0), std::vector<double>(longest)};

  const auto residuals = QV_ISA_PICK(portable::residuals, avx2::residuals);
  const auto linear = QV_ISA_PICK(portable::linear, avx2::linear);
  const auto factor = QV_ISA_PICK(portable::factor, avx2::factor);
  over_samples(n, [&](size_t lo, size_t hi) { residuals(st, w0, n_factors, lo, hi); });

  double* e = st.e.data();
  for (uint64_t sweep = 0; sweep < n_iter; ++sweep) {
    const double d = reg0 + static_cast<double>(n);
    if (d != 0.0 || std::isnan(d)) {
      double s = 0.0;
      for (size_t i = 0; i < n; ++i) s = s + (e[i] - w0);
      const double w0_new = (-s) / d;
      const double delta = w0_new - w0;
      for (size_t i = 0; i < n; ++i) e[i] = e[i] + delta;
      w0 = w0_new;
    }
    linear(st);
    for (uint64_t f = 0; f < n_factors; ++f) {
      over_samples(n, [&](size_t lo, size_t hi) { factor_cache(st, f, lo, hi); });
      factor(st, f);
    }
    double s = 0.0;
    for (size_t i = 0; i < n; ++i) s = s + e[i] * e[i];
    out.rmse.push_back(n == 0 ? 0.0 : std::sqrt(s / static_cast<double>(n)));
  }
  out.w0 = w0;
  return out;
}

}  // namespace qv::fm_als
