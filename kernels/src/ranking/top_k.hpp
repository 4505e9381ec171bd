#pragma once
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "ranking/candidate.hpp"

namespace qv::ranking {

// For each row of a row-major (n_rows, n_cols) score matrix, the columns of its k best
// entries, best first, leaving out the row's excluded columns (a CSR pattern with one row
// per score row). n_rows is the pattern's row count. Fails with the lowest row that has
// fewer than k eligible columns. Runs on the current pool.
std::variant<std::vector<uint64_t>, TooFewEligible> top_k_per_row(std::span<const double> scores,
                                                                  uint64_t n_cols,
                                                                  std::span<const uint64_t> excluded_indptr,
                                                                  std::span<const uint64_t> excluded_indices,
                                                                  uint64_t k);

}  // namespace qv::ranking
