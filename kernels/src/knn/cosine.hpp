#pragma once
// The cosine candidates of one row, once per instruction-set level (core/isa.hpp).
#include <cstddef>
#include <cstdint>
#include <utility>

#include "sparse/sparse.hpp"

namespace qv::knn {

// Writes (j, dot_j / fma(norm_i, norms[j], shrink)) for every column j the accumulator
// touched, in touch order, except i itself and zero products; returns how many. `out`
// has room for every touched column. One fused rounding for the denominator, then an
// ordinary division. The accumulator's slot s holds item items[s], or item s when
// `items` is null.
namespace portable {
size_t cosine_candidates(const sparse::Accumulator& acc, const uint64_t* items, uint64_t i, const double* norms,
                         double shrink, std::pair<uint64_t, double>* out);
}
namespace avx2 {
size_t cosine_candidates(const sparse::Accumulator& acc, const uint64_t* items, uint64_t i, const double* norms,
                         double shrink, std::pair<uint64_t, double>* out);
}

}  // namespace qv::knn
