#pragma once
// The per-query coarse pass: one query folded with the store's scale and offset, then
// every eligible candidate scored from its packed codes into the bounded shortlist.
//
// Folding puts the per-dimension products into the query once, so a candidate costs one
// multiply-add per code: for a dense store coarse = c + sum_d w[d] * code[d] with
// w[d] = q[d] * scale[d] and c = sum_d q[d] * offset[d]; for a sparse store
// coarse = scale * sum q[col] * code + offset * sum q[col] over the item's stored entries.
#include <cstdint>
#include <span>

#include "quantized/codes.hpp"
#include "quantized/shortlist.hpp"

namespace qv::quantized {

// What one query's pass reads besides the query and the store.
struct Pass {
  std::span<const uint64_t> candidates;  // item of each position, ascending
  std::span<const int64_t> excluded;     // the query's excluded positions, ascending
  Shortlist& shortlist;                  // of L, left holding the query's best
};

// Dense store, dense query of store.dim values; `weights` has room for dim values.
void shortlist_by_codes(const DenseCodes& store, std::span<const double> query, std::span<double> weights,
                        const Pass& pass);

// Dense store, CSR query row (columns below store.dim; a repeated column counts each
// time); `weights` and `checked` have room for the row's entries. The columns are the
// caller's, so they are read once into `checked` and only that copy addresses the codes.
void shortlist_by_codes(const DenseCodes& store, std::span<const uint64_t> columns, std::span<const double> values,
                        std::span<double> weights, std::span<uint64_t> checked, const Pass& pass);

// Sparse store; `scattered` holds the query's values at their columns and zeros elsewhere.
// It may stop short of the store's width: the columns past its end read as zero.
void shortlist_by_codes(const SparseCodes& store, std::span<const double> scattered, const Pass& pass);

}  // namespace qv::quantized
