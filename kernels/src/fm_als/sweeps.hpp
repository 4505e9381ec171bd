#pragma once
// The coordinate sweeps that fuse multiply-adds, once per instruction-set level
// (core/isa.hpp). The build targets baseline x86-64, where every fma is a library call;
// on a processor with FMA the instruction gives the same bits far faster.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "sparse/sparse.hpp"

namespace qv::fm_als {

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

// The residuals, the linear weights, and the factors of row f of v (see fm_als.cpp).
namespace portable {
void residuals(State& st, double w0, uint64_t factors, size_t lo, size_t hi);
void linear(State& st);
void factor(State& st, uint64_t f);
}  // namespace portable
namespace avx2 {
void residuals(State& st, double w0, uint64_t factors, size_t lo, size_t hi);
void linear(State& st);
void factor(State& st, uint64_t f);
}  // namespace avx2

}  // namespace qv::fm_als
