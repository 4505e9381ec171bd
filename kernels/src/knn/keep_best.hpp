#pragma once
#include <cstdint>

#include "sparse/sparse.hpp"

namespace qv::knn {

// Cuts the entries of `out` from `start` on to the k best (score descending by IEEE
// totalOrder, equal scores to the lower column) and sorts what is left by column.
// Entries before `start` are untouched. Each column occurs at most once from `start` on.
void keep_best(sparse::RowEntries& out, size_t start, uint64_t k);

}  // namespace qv::knn
