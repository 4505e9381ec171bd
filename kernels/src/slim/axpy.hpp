#pragma once
// The updates of Gw = G * w when one coefficient changes, once per instruction-set level
// (core/isa.hpp); every level rounds each fused multiply-add once, so the bits agree.
//   axpy:    y += a * x
//   replace: removes w_old * x and adds w_new * x in one pass, per element the same two
//            roundings as two passes, half the memory traffic.
#include <cstddef>

namespace qv::slim {

namespace portable {
void axpy(double a, const double* __restrict x, double* __restrict y, size_t n);
void replace(double w_old, double w_new, const double* __restrict x, double* __restrict y, size_t n);
}  // namespace portable

namespace avx2 {
void axpy(double a, const double* __restrict x, double* __restrict y, size_t n);
void replace(double w_old, double w_new, const double* __restrict x, double* __restrict y, size_t n);
}  // namespace avx2

}  // namespace qv::slim
