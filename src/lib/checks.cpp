#include "checks.hpp"

#include <limits>
#include <string>

#include "core/invariant.hpp"
#include "py/errors.hpp"

namespace qv::checks {

namespace {
constexpr uint64_t kI64Max = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());

template <class Less>
bool strictly_ascending(std::span<const uint64_t> v, Less less) {
  for (size_t i = 1; i < v.size(); ++i)
    if (!less(v[i - 1], v[i])) return false;
  return true;
}
}  // namespace

uint64_t index_limit(uint64_t bound) { return bound < kI64Max ? bound : kI64Max; }

void index_out_of_range(const char* name, int64_t value, uint64_t limit) {
  py::value_error(std::string(name) + " value " + std::to_string(value) + " out of range [0, " +
                  std::to_string(limit) + ").");
}

void check_indices(I64s values, uint64_t bound, const char* name) {
  const uint64_t limit = index_limit(bound);
  for (int64_t v : values)
    if (static_cast<uint64_t>(v) >= limit) index_out_of_range(name, v, limit);
}

std::vector<uint64_t> to_usize(I64s values, const char* name, uint64_t bound) {
  std::vector<uint64_t> out;
  reserve_as((std::string("a checked copy of ") + name).c_str(), out, values.size());
  for (int64_t v : values) {
    if (v < 0 || static_cast<uint64_t>(v) >= bound) index_out_of_range(name, v, bound);
    out.push_back(static_cast<uint64_t>(v));
  }
  return out;
}

std::vector<uint64_t> check_indptr(I64s indptr, uint64_t nnz) {
  if (indptr.empty()) py::value_error("indptr must not be empty.");
  // nnz is a length, so nnz + 1 cannot wrap
  std::vector<uint64_t> p = to_usize(indptr, "indptr", nnz + 1);
  bool valid = p.front() == 0 && p.back() == nnz;
  for (size_t i = 1; valid && i < p.size(); ++i) valid = p[i] >= p[i - 1];
  if (!valid) py::value_error("indptr is not a valid CSR index pointer.");
  return p;
}

void CsrInput::same_length(const char* message) const {
  if (indices.size() != data.size()) py::value_error(message);
}

void CsrInput::columns(uint64_t bound, const char* name) {
  check_indices(indices, bound, name);
  n_cols = bound;
}

void CsrInput::row_count(uint64_t n_rows, const char* message) const {
  if (indptr.size() - 1 != n_rows) py::value_error(message);
}

void CsrInput::ascending(const char* message) const {
  for (size_t r = 0; r + 1 < indptr.size(); ++r)
    for (size_t e = indptr[r] + 1; e < indptr[r + 1]; ++e)
      if (indices[e] <= indices[e - 1]) py::value_error(message);
}

CsrInput fitting_csr(const py::Array<int64_t>& indptr, const py::Array<int64_t>& indices,
                     const py::Array<double>& data, uint64_t n_cols) {
  CsrInput m;
  m.data = data.flat();
  m.pointer(indptr.flat(), m.data.size());
  m.indices = indices.flat();
  m.same_length();
  m.columns(n_cols);
  return m;
}

std::optional<std::vector<uint64_t>> check_rows(const std::optional<py::Array<int64_t>>& rows, uint64_t n) {
  if (!rows) return std::nullopt;
  std::vector<uint64_t> v = to_usize(rows->flat(), "rows", n);
  if (!strictly_ascending(v, std::less<uint64_t>())) py::value_error("rows must be sorted and distinct.");
  return v;
}

std::vector<uint64_t> check_excluded(I64s indptr, I64s indices, uint64_t n_rows, uint64_t n_cols) {
  CsrInput m;
  m.indices = indices;
  m.columns(n_cols, "excluded column");
  m.pointer(indptr, indices.size());
  m.row_count(n_rows, "excluded_indptr must have one entry per row of scores, plus one.");
  m.ascending("excluded column indices must ascend within a row.");
  return std::move(m.indptr);
}

std::optional<std::vector<uint64_t>> extra_positions(std::optional<I64s> excluded_indptr,
                                                     std::optional<I64s> excluded_indices,
                                                     uint64_t n_queries, uint64_t n_candidates) {
  if (!excluded_indptr && !excluded_indices) return std::nullopt;
  if (!excluded_indptr || !excluded_indices)
    py::value_error("excluded_indptr and excluded_indices go together.");
  return check_excluded(*excluded_indptr, *excluded_indices, n_queries, n_candidates);
}

sparse::CsrView fitted_csr(const char* name, I64s indptr, I64s indices, std::span<const double> data,
                           uint64_t n_cols) {
  if (indptr.empty()) py::value_error(std::string(name) + " indptr must not be empty.");
  if (indices.size() != data.size() || indptr.front() != 0 ||
      static_cast<uint64_t>(indptr.back()) != indices.size())
    py::value_error(std::string(name) + " is not a valid CSR matrix.");
  return sparse::CsrView{as_unsigned(indptr), as_unsigned(indices), data, indptr.size() - 1, n_cols};
}

std::vector<uint64_t> index_candidates(I64s candidates, uint64_t n_items) {
  std::vector<uint64_t> ids = to_usize(candidates, "candidate", n_items);
  if (!strictly_ascending(ids, std::less<uint64_t>())) py::value_error("candidates must ascend.");
  return ids;
}

std::optional<CandidateSubset> candidate_subset(std::optional<I64s> candidates, uint64_t n_items, bool always_map) {
  if (!candidates) return std::nullopt;
  CandidateSubset s;
  s.ids = index_candidates(*candidates, n_items);
  if (!always_map && s.ids.size() < n_items / 16) return s;
  // n_items bounds every id, and an id array exists, so the map is as large as an input.
  resize_as("an item-to-position map of the candidates", s.map, n_items, std::numeric_limits<uint64_t>::max());
  for (size_t p = 0; p < s.ids.size(); ++p) s.map[s.ids[p]] = p;
  return s;
}

}  // namespace qv::checks
