#pragma once
// Top-k serving from a sparse item-item matrix: the scores of user u are row u of the
// users matrix times the similarity matrix, candidates the product never reaches scoring
// zero. A query reaching few stored entries is scored sparsely, through an accumulator
// (products rounded, then added); one reaching many is scored into a dense row (fused).
#include <cstdint>
#include <span>

#include "recommend/frame.hpp"

namespace qv::recommend {

// `implicit_ties` ranks as common implicit-feedback item-item recommenders do: the items
// a query touched are kept by a bounded heap fed in reverse first-touch order, and tied
// scores come out higher position first.
Result top_k_from_similarity(const sparse::CsrView& users, const sparse::CsrView& similarity, std::span<const uint64_t> rows,
                             const CandidateSet& candidates, const Exclusions& exclusions, uint64_t k,
                             bool implicit_ties);

}  // namespace qv::recommend
