#pragma once
// The loops of fm_als/sweeps.hpp, compiled once per level by sweeps.cpp and sweeps_avx2.cpp.
#include <cmath>

#include "core/isa.hpp"
#include "fm_als/sweeps.hpp"

namespace qv::fm_als::QV_ISA_NS {

// e_i from scratch for the samples [lo, hi).
void residuals(State& st, double w0, uint64_t factors, size_t lo, size_t hi) {
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

// The linear weights, one after the other in ascending feature order.
void linear(State& st) {
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
void factor(State& st, uint64_t f) {
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

}  // namespace qv::fm_als::QV_ISA_NS
