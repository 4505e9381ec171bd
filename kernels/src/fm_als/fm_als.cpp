#include "fm_als/fm_als.hpp"

#include <algorithm>
#include <cmath>

#include "core/invariant.hpp"
#include "parallel/pool.hpp"

namespace qv::fm_als {

namespace {

struct State {
  const sparse::CsrView& x;
  const sparse::Csc& csc;
  std::span<const double> y;
  std::span<double> w;
  std::span<double> v;
  size_t n_features;
  std::span<const uint64_t> group;
  std::span<const double> reg_w;
  std::span<const double> reg_v;
  std::vector<double> e;  // residual yhat_i - y_i
  std::vector<double> q;  // sum_j v_fj x_ij for the factor being solved
  std::vector<double> h;  // d yhat_i / d v_fj over one column
};

// e_i from scratch for the samples [lo, hi).
[[gnu::always_inline]] inline void residuals_impl(State& st, double w0, uint64_t factors, size_t lo, size_t hi) {
  const auto& x = st.x;
  for (size_t i = lo; i < hi; ++i) {
    const size_t b = x.indptr[i], end = x.indptr[i + 1];
    double acc = w0;
    for (size_t p = b; p < end; ++p) acc = std::fma(st.w[x.indices[p]], x.data[p], acc);
    for (uint64_t f = 0; f < factors; ++f) {
      const double* vf = st.v.data() + f * st.n_features;
      double s = 0.0, sq = 0.0;
      for (size_t p = b; p < end; ++p) {
        const double t = vf[x.indices[p]] * x.data[p];
        s = s + t;
        sq = std::fma(t, t, sq);
      }
      acc = std::fma(std::fma(s, s, -sq), 0.5, acc);
    }
    st.e[i] = acc - st.y[i];
  }
}

// q_i for factor f over the samples [lo, hi).
[[gnu::always_inline]] inline void factor_cache_impl(State& st, uint64_t f, size_t lo, size_t hi) {
  const auto& x = st.x;
  const double* vf = st.v.data() + f * st.n_features;
  for (size_t i = lo; i < hi; ++i) {
    double q = 0.0;
    for (size_t p = x.indptr[i]; p < x.indptr[i + 1]; ++p) q = q + vf[x.indices[p]] * x.data[p];
    st.q[i] = q;
  }
}

// The linear weights, one after the other in ascending feature order.
[[gnu::always_inline]] inline void linear_impl(State& st) {
  const auto& c = st.csc;
  double* e = st.e.data();
  for (size_t j = 0; j < st.n_features; ++j) {
    const size_t b = c.indptr[j], end = c.indptr[j + 1];
    const double wj = st.w[j];
    double num = 0.0, den = 0.0;
    for (size_t p = b; p < end; ++p) {
      const double xv = c.data[p];
      const double r = std::fma(-wj, xv, e[c.indices[p]]);
      num = std::fma(xv, r, num);
      den = std::fma(xv, xv, den);
    }
    const double d = den + st.reg_w[st.group[j]];
    const double w_new = d == 0.0 ? 0.0 : (-num) / d;
    if (b != end) {
      const double delta = w_new - wj;
      for (size_t p = b; p < end; ++p) e[c.indices[p]] = std::fma(delta, c.data[p], e[c.indices[p]]);
    }
    st.w[j] = w_new;
  }
}

// The factors of row f of v, one after the other, with q_i current.
[[gnu::always_inline]] inline void factor_impl(State& st, uint64_t f) {
  const auto& c = st.csc;
  double* e = st.e.data();
  double* q = st.q.data();
  double* h = st.h.data();
  double* vf = st.v.data() + f * st.n_features;
  for (size_t j = 0; j < st.n_features; ++j) {
    const size_t b = c.indptr[j], end = c.indptr[j + 1];
    const double vfj = vf[j];
    double num = 0.0, den = 0.0;
    for (size_t p = b; p < end; ++p) {
      const double xv = c.data[p];
      const size_t i = c.indices[p];
      const double hk = std::fma(-(xv * xv), vfj, xv * q[i]);
      h[p - b] = hk;
      num = std::fma(hk, e[i], num);
      den = std::fma(hk, hk, den);
    }
    const double d = st.reg_v[st.group[j]] + den;
    const double v_new = d == 0.0 ? 0.0 : std::fma(vfj, den, -num) / d;
    if (b != end) {
      const double delta = v_new - vfj;
      for (size_t p = b; p < end; ++p) {
        const size_t i = c.indices[p];
        e[i] = std::fma(h[p - b], delta, e[i]);
        q[i] = std::fma(c.data[p], delta, q[i]);
      }
    }
    vf[j] = v_new;
  }
}

// Each step twice: the build targets baseline x86-64, where every fma is a library call;
// on a processor with FMA the instruction gives the same bits far faster.
[[gnu::target("avx2,fma")]] void residuals_fma(State& st, double w0, uint64_t k, size_t lo, size_t hi) {
  residuals_impl(st, w0, k, lo, hi);
}
void residuals_base(State& st, double w0, uint64_t k, size_t lo, size_t hi) { residuals_impl(st, w0, k, lo, hi); }
[[gnu::target("avx2,fma")]] void linear_fma(State& st) { linear_impl(st); }
void linear_base(State& st) { linear_impl(st); }
[[gnu::target("avx2,fma")]] void factor_fma(State& st, uint64_t f) { factor_impl(st, f); }
void factor_base(State& st, uint64_t f) { factor_impl(st, f); }

bool has_fma() {
  static const bool yes = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return yes;
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
  out.rmse.reserve(checked_len<double>(n_iter));
  out.w0 = w0;
  if (n_iter == 0) return out;

  // Every column addresses w and v, over and over: read them from a checked copy.
  std::vector<uint64_t> columns(x.indices.size());
  sparse::copy_columns(x, columns.data());
  x.indices = columns;

  const sparse::Csc csc = sparse::Csc::from_csr(x);
  size_t longest = 0;
  for (size_t j = 0; j < nf; ++j) longest = std::max<size_t>(longest, csc.indptr[j + 1] - csc.indptr[j]);
  State st{x, csc, y, w, v, nf, group, reg_w, reg_v,
           std::vector<double>(n), std::vector<double>(n_factors ? n : 0), std::vector<double>(longest)};

  const bool fast = has_fma();
  over_samples(n, [&](size_t lo, size_t hi) {
    fast ? residuals_fma(st, w0, n_factors, lo, hi) : residuals_base(st, w0, n_factors, lo, hi);
  });

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
    fast ? linear_fma(st) : linear_base(st);
    for (uint64_t f = 0; f < n_factors; ++f) {
      over_samples(n, [&](size_t lo, size_t hi) { factor_cache_impl(st, f, lo, hi); });
      fast ? factor_fma(st, f) : factor_base(st, f);
    }
    double s = 0.0;
    for (size_t i = 0; i < n; ++i) s = s + e[i] * e[i];
    out.rmse.push_back(n == 0 ? 0.0 : std::sqrt(s / static_cast<double>(n)));
  }
  out.w0 = w0;
  return out;
}

}  // namespace qv::fm_als
