#pragma once
// The closed-form item model: P = (G + l2_reg I)^-1 and W[i][j] = -P[i][j] / P[j][j].
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "core/raw_vector.hpp"

namespace qv::ease {

// The Cholesky factorisation of G + l2_reg I met a pivot that is not finite and greater
// than zero.
struct NotPositiveDefinite {};

// n*n as an element count, refused with std::bad_alloc when the product overflows, when
// the dense LAPACK interface (32-bit sizes) cannot address it, or when one n x n matrix
// of float64 would not fit in the machine's physical memory: such a size must fail
// before anything is allocated, never by the allocator or the OOM killer.
size_t dense_len(uint64_t n);

// P from the row-major Gram matrix, computed in the storage of `g` (taken over). P is
// exactly symmetric: one triangle is mirrored into the other. Runs inside a worker pool,
// whose thread count the linear-algebra library uses for the call.
std::variant<core::RawVector<double>, NotPositiveDefinite> inverse(core::RawVector<double>&& g, uint64_t n,
                                                                  double l2_reg);

// W computed from the row-major Gram matrix in its own storage: P as in `inverse`, then
// the weights in place. The same bits as weights_from_inverse(inverse(g)).
std::variant<core::RawVector<double>, NotPositiveDefinite> weights(core::RawVector<double>&& g, uint64_t n,
                                                                  double l2_reg);

// W from a row-major n x n matrix p (which need not be symmetric): W[i][j] reads row i
// and the diagonal. Nothing guards the division. Runs on the current pool.
core::RawVector<double> weights_from_inverse(std::span<const double> p, uint64_t n);

// Overwrites a symmetric P with W; the same bits as weights_from_inverse(P).
void weights_in_place(core::RawVector<double>& p, uint64_t n);

}  // namespace qv::ease
