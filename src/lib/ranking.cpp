// Bindings of the ranking and pruning families: top_k_per_row, csr_top_k_per_row.
#include "checks.hpp"
#include "functions.hpp"
#include "pools.hpp"
#include "prune/top_k.hpp"
#include "py/result.hpp"
#include "ranking/top_k.hpp"

namespace qv::bind {
namespace {

constexpr const char* kTopKParams[] = {"scores", "excluded_indptr", "excluded_indices", "k"};
constexpr py::Signature kTopK{"top_k_per_row", kTopKParams, 4, 4};

py::Ref top_k_per_row_impl(py::Call& c) {
  auto scores = c.array<double>(0, 2);
  auto ex_ptr = c.array<int64_t>(1, 1);
  auto ex_idx = c.array<int64_t>(2, 1);
  const uint64_t k = c.count(3);
  const uint64_t n_rows = scores.dim(0), n_cols = scores.dim(1);
  auto s = scores.flat();
  auto idx = ex_idx.flat();
  auto ptr = ex_ptr.flat();
  std::vector<uint64_t> pattern = checks::check_excluded(ptr, idx, n_rows, n_cols);
  auto pool = pools::default_pool();
  auto result = pools::run(*pool, [&] {
    return ranking::top_k_per_row(s, n_cols, pattern, checks::as_unsigned(idx), k);
  });
  if (auto* f = std::get_if<ranking::TooFewEligible>(&result)) py::too_few(k, *f);
  auto& ids = std::get<std::vector<uint64_t>>(result);
  py::to_i64(ids);
  py::check_shape(n_rows, k, ids.size());
  return py::index_array(std::move(ids), {n_rows, k});
}

constexpr const char* kPruneParams[] = {"indptr", "indices", "data", "n_cols", "k", "n_threads"};
constexpr py::Signature kPrune{"csr_top_k_per_row", kPruneParams, 6, 6};

py::Ref csr_top_k_per_row_impl(py::Call& c) {
  auto indptr = c.array<int64_t>(0, 1);
  auto indices = c.array<int64_t>(1, 1);
  auto data = c.array<double>(2, 1);
  const uint64_t n_cols = c.count(3), k = c.count(4), n_threads = c.count(5);
  const checks::FittingCsr m = checks::fitting_csr(indptr, indices, data, n_cols);
  auto pool = pools::pool(n_threads);
  const sparse::CsrView view = m.view(n_cols);
  auto csr = pools::run(*pool, [&] { return prune::top_k_per_row(view, k); });
  return py::csr_tuple(std::move(csr));
}

}  // namespace

const py::Function top_k_per_row{
    "top_k_per_row", py::entry<kTopK, top_k_per_row_impl>,
    "top_k_per_row(scores, excluded_indptr, excluded_indices, k)\n--\n\n"
    "The column indices of the k best entries of each row of `scores`, minus the excluded.\n\n"
    "The exclusions are the CSR index pointer and column indices of an (n_rows, n_cols)\n"
    "sparse pattern whose indices must ascend within a row, which spares the caller an\n"
    "n_rows x n_cols mask. Rows rank by descending score, ties broken by ascending column\n"
    "index. Raises ValueError when any row has fewer than k entries left."};

const py::Function csr_top_k_per_row{
    "csr_top_k_per_row", py::entry<kPrune, csr_top_k_per_row_impl>,
    "csr_top_k_per_row(indptr, indices, data, n_cols, k, n_threads)\n--\n\n"
    "Keep the k largest entries of each row of a CSR matrix.\n\n"
    "The result is a CSR (indptr, indices, data) with sorted column indices. Ties keep the\n"
    "entry that comes first in its row, which is what a stable sort by descending value\n"
    "gives; explicit zeros are ordinary candidates. `n_threads == 0` uses all cores."};

}  // namespace qv::bind
