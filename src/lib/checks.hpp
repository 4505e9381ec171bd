#pragma once
// Argument checks shared by the bindings. Each reports the first violation as a
// ValueError with a fixed sentence, with the interpreter lock held, before any kernel.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "py/array.hpp"
#include "sparse/sparse.hpp"

namespace qv::checks {

using I64s = std::span<const int64_t>;

// Validated int64 indices seen as unsigned, without a copy (same bits).
inline std::span<const uint64_t> as_unsigned(I64s v) {
  return {reinterpret_cast<const uint64_t*>(v.data()), v.size()};
}

// Every value in [0, min(bound, int64 max)).
void check_indices(I64s values, uint64_t bound, const char* name);

// The limit check_indices holds values to for `bound`, and its error for a value past it:
// for a binding whose kernel checks the indices while it reads them.
uint64_t index_limit(uint64_t bound);
[[noreturn]] void index_out_of_range(const char* name, int64_t value, uint64_t limit);

// The values as unsigned, each in [0, bound).
std::vector<uint64_t> to_usize(I64s values, const char* name, uint64_t bound);

// A CSR index pointer over nnz entries, as unsigned.
std::vector<uint64_t> check_indptr(I64s indptr, uint64_t nnz);

// A CSR matrix from the caller, judged step by step: the index pointer is converted to
// unsigned once judged, the column indices and values stay the caller's storage. Which
// array a function views when (viewing runs the contiguity test) and the order of its
// checks differ between functions, so each binding sets the arrays and calls the steps
// in its own contract's order; each step reports its fixed message.
struct CsrInput {
  std::vector<uint64_t> indptr;
  I64s indices;
  std::span<const double> data;  // empty for a pattern without values
  uint64_t n_cols = 0;

  // check_indptr against nnz entries.
  void pointer(I64s raw, uint64_t nnz) { indptr = check_indptr(raw, nnz); }
  void same_length(const char* message = "indices and data must have the same length.") const;
  // Every column index below n_cols, which becomes the view's column count.
  void columns(uint64_t bound, const char* name = "indices");
  // The index pointer has n_rows + 1 entries.
  void row_count(uint64_t n_rows, const char* message) const;
  // The column indices ascend strictly within each row.
  void ascending(const char* message) const;

  sparse::CsrView view() const {
    return {indptr, as_unsigned(indices), data, indptr.size() - 1, n_cols};
  }
};

// The CSR matrix of a fitting or pruning function, in their shared order: data is viewed,
// the index pointer judged against len(data), then the indices viewed, their length
// compared with data's and their range checked.
CsrInput fitting_csr(const py::Array<int64_t>& indptr, const py::Array<int64_t>& indices,
                     const py::Array<double>& data, uint64_t n_cols);
// The same from the arguments named indptr, indices, data and n_cols.
template <class Args>
CsrInput fitting_csr(const Args& a) {
  return fitting_csr(a.template get<"indptr">(), a.template get<"indices">(), a.template get<"data">(),
                     a.template get<"n_cols">());
}

// An optional strictly ascending subset of [0, n); contiguity is tested here.
std::optional<std::vector<uint64_t>> check_rows(const std::optional<py::Array<int64_t>>& rows, uint64_t n);

// An exclusion pattern with one row per score row, strictly ascending within a row; its
// converted index pointer.
std::vector<uint64_t> check_excluded(I64s indptr, I64s indices, uint64_t n_rows, uint64_t n_cols);

// Both exclusion arrays or neither; positions index the candidate list.
std::optional<std::vector<uint64_t>> extra_positions(std::optional<I64s> excluded_indptr,
                                                     std::optional<I64s> excluded_indices,
                                                     uint64_t n_queries, uint64_t n_candidates);

// The shape of a fitted CSR matrix: a non-empty index pointer that starts at 0 and ends
// at len(indices) == len(data). The rest is the caller's storage unchecked: the kernels
// check each row as they read it and report a malformed model.
sparse::CsrView fitted_csr(const char* name, I64s indptr, I64s indices, std::span<const double> data,
                           uint64_t n_cols);

struct CandidateSubset {
  std::vector<uint64_t> ids;  // strictly ascending item indices
  std::vector<uint64_t> map;  // item -> position in ids, or UINT64_MAX
};

// A strictly ascending candidate list over n_items, as unsigned item indices.
std::vector<uint64_t> index_candidates(I64s candidates, uint64_t n_items);

// An optional strictly ascending candidate list over n_items. The map is left empty when
// `always_map` is false and the candidates are fewer than n_items / 16: filling it would
// cost a request time in proportion to the catalogue.
std::optional<CandidateSubset> candidate_subset(std::optional<I64s> candidates, uint64_t n_items,
                                                bool always_map = true);

}  // namespace qv::checks
