#pragma once
// The loops of slim/axpy.hpp, compiled once per level by axpy.cpp and axpy_avx2.cpp.
#include <cmath>

#include "core/isa.hpp"
#include "slim/axpy.hpp"

namespace qv::slim::QV_ISA_NS {

void axpy(double a, const double* __restrict x, double* __restrict y, size_t n) {
  for (size_t i = 0; i < n; ++i) y[i] = std::fma(x[i], a, y[i]);
}

void replace(double w_old, double w_new, const double* __restrict x, double* __restrict y, size_t n) {
  const double minus_old = -w_old;
  for (size_t i = 0; i < n; ++i) y[i] = std::fma(x[i], w_new, std::fma(minus_old, x[i], y[i]));
}

}  // namespace qv::slim::QV_ISA_NS
