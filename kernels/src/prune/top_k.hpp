#pragma once
#include <cstdint>

#include "sparse/sparse.hpp"

namespace qv::prune {

// Keeps the k largest stored entries of each row (IEEE totalOrder, ties to the entry
// stored first), each row's survivors sorted by column. Runs on the current pool; the
// result does not depend on its size.
sparse::CsrOwned top_k_per_row(const sparse::CsrView& m, uint64_t k);

}  // namespace qv::prune
