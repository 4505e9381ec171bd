#pragma once
// Sparse item-item neighbour models of a users x items matrix W: row i of each model is
// built from the rows of the users that hold item i, scattered into a dense accumulator.
#include <cstdint>
#include <optional>
#include <span>

#include "sparse/sparse.hpp"

namespace qv::knn {

// Row i of W^T W cut to its k largest sums by ImplicitTopK (strict replacement, columns
// offered in reverse first-touch order), diagonal and zero sums included, columns
// ascending. Output row r is item r, or rows[r] when `rows` is given.
sparse::CsrOwned all_pairs_top_k_rows(const sparse::CsrView& w, uint64_t k,
                                      std::optional<std::span<const uint64_t>> rows);

// <W_i, W_j> / fma(norms[i], norms[j], shrink) for every j != i with a nonzero dot
// product, cut to the k best by keep_best.
sparse::CsrOwned cosine_top_k_rows(const sparse::CsrView& w, std::span<const double> norms, uint64_t k,
                                   std::optional<std::span<const uint64_t>> rows, double shrink);

}  // namespace qv::knn
