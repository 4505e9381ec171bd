#pragma once
// Argument checks shared by the bindings. Each reports the first violation as a
// ValueError with a fixed sentence, with the interpreter lock held, before any kernel.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "py/array.hpp"
#include "sparse/sparse.hpp"
#include "recommend/frame.hpp"

namespace qv::checks {

using I64s = std::span<const int64_t>;

// Validated int64 indices seen as unsigned, without a copy (same bits).
inline std::span<const uint64_t> as_unsigned(I64s v) {
  return {reinterpret_cast<const uint64_t*>(v.data()), v.size()};
}

// Every value in [0, min(bound, int64 max)).
void check_indices(I64s values, uint64_t bound, const char* name);

// The values as unsigned, each in [0, bound).
std::vector<uint64_t> to_usize(I64s values, const char* name, uint64_t bound);

// A CSR index pointer over nnz entries, as unsigned.
std::vector<uint64_t> check_indptr(I64s indptr, uint64_t nnz);

// indices and data lengths agree, columns below n_cols, a valid index pointer.
std::vector<uint64_t> borrow_csr(I64s indptr, I64s indices, size_t data_len, uint64_t n_cols);

// A CSR matrix handed to a fitting or pruning function, checked in their shared order:
// data is viewed, the index pointer judged against len(data), then the indices viewed,
// their length compared with data's and their range checked.
struct FittingCsr {
  std::vector<uint64_t> indptr;
  I64s indices;
  std::span<const double> data;

  sparse::CsrView view(uint64_t n_cols) const {
    return {indptr, as_unsigned(indices), data, indptr.size() - 1, n_cols};
  }
};
FittingCsr fitting_csr(const py::Array<int64_t>& indptr, const py::Array<int64_t>& indices,
                       const py::Array<double>& data, uint64_t n_cols);

// An optional strictly ascending subset of [0, n); contiguity is tested here.
std::optional<std::vector<uint64_t>> check_rows(const std::optional<py::Array<int64_t>>& rows, uint64_t n);

// An exclusion pattern with one row per score row, strictly ascending within a row.
std::vector<uint64_t> check_excluded(I64s indptr, I64s indices, uint64_t n_rows, uint64_t n_cols);

// Both exclusion arrays or neither; positions index the candidate list.
std::optional<std::vector<uint64_t>> extra_positions(std::optional<I64s> excluded_indptr,
                                                     std::optional<I64s> excluded_indices,
                                                     uint64_t n_queries, uint64_t n_candidates);

// The shape of a fitted CSR matrix: a non-empty index pointer that starts at 0 and ends
// at len(indices) == len(data). The rest is checked by the kernels as they read it.
recommend::CsrRows fitted_csr(const char* name, I64s indptr, I64s indices, std::span<const double> data,
                              uint64_t n_cols);

struct CandidateSubset {
  std::vector<uint64_t> ids;  // strictly ascending item indices
  std::vector<uint64_t> map;  // item -> position in ids, or UINT64_MAX
};

// A strictly ascending candidate list over n_items, as unsigned item indices.
std::vector<uint64_t> index_candidates(I64s candidates, uint64_t n_items);

// An optional strictly ascending candidate list over n_items.
std::optional<CandidateSubset> candidate_subset(std::optional<I64s> candidates, uint64_t n_items);

}  // namespace qv::checks
