#pragma once
#include <cstdint>
#include <optional>
#include <span>

#include "sparse/sparse.hpp"

namespace qv::rp3beta {

// Row i scores item j as (sum of Pui[u, j] over the stored (u, i)) * row_scale[i] *
// col_scale[j], without the diagonal and without zero scores, cut to the k best by
// keep_best. Output row r is item r, or rows[r] when `rows` is given.
sparse::CsrOwned similarity_rows(const sparse::CsrView& pui, std::span<const double> row_scale,
                                 std::span<const double> col_scale, uint64_t k,
                                 std::optional<std::span<const uint64_t>> rows);

}  // namespace qv::rp3beta
