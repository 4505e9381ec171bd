#pragma once
// The blocked inner product every dense score goes through. Its evaluation order is part
// of the results (scores are returned and decide rankings), so each instruction-set level
// (core/isa.hpp) follows it operation for operation:
//  - sixteen lane accumulators, each a fused chain over elements l, l+16, l+32, ...;
//  - four lane accumulators, fused chains over the whole 4-blocks left after the 16-blocks;
//  - per lane l < 4: v[l] = (acc[12+l] + acc[4+l]) + (acc[8+l] + (s[l] + acc[l]));
//  - r = (v[0] + v[2]) + (v[1] + v[3]); then the last n mod 4 elements fused into r in order.
// Every lane is an independent fused chain, so vector widths change nothing but speed.
#include <cstddef>
#include <cstdint>

#include "core/isa.hpp"

namespace qv::vectors {

#define QV_VECTORS_DOT_DECLS                                                                  \
  double dot(const double* a, const double* b, size_t n);                                     \
  void dot_rows(const double* q, const double* base, size_t dim, const uint32_t* ids, size_t n, \
                double* out);
namespace portable { QV_VECTORS_DOT_DECLS }
namespace avx2 { QV_VECTORS_DOT_DECLS }
namespace avx512 { QV_VECTORS_DOT_DECLS }
#undef QV_VECTORS_DOT_DECLS

using DotFn = double (*)(const double*, const double*, size_t);
using DotRowsFn = void (*)(const double*, const double*, size_t, const uint32_t*, size_t, double*);

// The versions for the active level, for callers that pick once and call often.
inline DotFn pick_dot() { return QV_ISA_PICK3(portable::dot, avx2::dot, avx512::dot); }
inline DotRowsFn pick_dot_rows() { return QV_ISA_PICK3(portable::dot_rows, avx2::dot_rows, avx512::dot_rows); }

inline double dot(const double* a, const double* b, size_t n) { return pick_dot()(a, b, n); }

// out[i] = dot(q, base + ids[i] * dim) for i < n: one neighbour list scored at once, the
// rows of the next entries requested ahead.
inline void dot_rows(const double* q, const double* base, size_t dim, const uint32_t* ids, size_t n, double* out) {
  pick_dot_rows()(q, base, dim, ids, n, out);
}

}  // namespace qv::vectors
