#pragma once
// Top-k serving from a dense item-item weight matrix: the scores of user u are row u of
// the users matrix times the weights, one fused multiply-add per term, terms in the
// stored order of the user's row.
#include <cstdint>
#include <span>

#include "recommend/frame.hpp"

namespace qv::recommend {

Result top_k_from_dense_rows(const sparse::CsrView& users, std::span<const double> weights, uint64_t n_items,
                             std::span<const uint64_t> rows, const CandidateSet& candidates,
                             const Exclusions& exclusions, uint64_t k);

}  // namespace qv::recommend
