// Bindings of the item-item family: item_gram, item_knn_top_k, item_cosine_top_k,
// rp3beta_similarity.
#include <cmath>

#include "checks.hpp"
#include "ease/gram.hpp"
#include "functions.hpp"
#include "knn/neighbours.hpp"
#include "pools.hpp"
#include "py/result.hpp"
#include "rp3beta/similarity.hpp"

namespace qv::bind {
namespace {

using Rows = std::optional<std::vector<uint64_t>>;

std::optional<std::span<const uint64_t>> row_span(const Rows& rows) {
  if (!rows) return std::nullopt;
  return std::span<const uint64_t>(*rows);
}

constexpr const char* kGramParams[] = {"indptr", "indices", "data", "n_cols", "n_threads"};
constexpr py::Signature kGram{"item_gram", kGramParams, 5, 5};

py::Ref item_gram_impl(py::Call& c) {
  auto indptr = c.array<int64_t>(0, 1);
  auto indices = c.array<int64_t>(1, 1);
  auto data = c.array<double>(2, 1);
  const uint64_t n_cols = c.count(3), n_threads = c.count(4);
  const checks::FittingCsr m = checks::fitting_csr(indptr, indices, data, n_cols);
  auto pool = pools::pool(n_threads);
  auto g = pools::run(*pool, [&] { return ease::gram(m.view(n_cols)); });
  py::check_shape(n_cols, n_cols, g.size());
  return py::to_array(std::move(g), {n_cols, n_cols});
}

constexpr const char* kKnnParams[] = {"indptr", "indices", "data", "n_cols", "k", "n_threads", "rows"};
constexpr py::Signature kKnn{"item_knn_top_k", kKnnParams, 7, 6};

py::Ref item_knn_top_k_impl(py::Call& c) {
  auto indptr = c.array<int64_t>(0, 1);
  auto indices = c.array<int64_t>(1, 1);
  auto data = c.array<double>(2, 1);
  const uint64_t n_cols = c.count(3), k = c.count(4), n_threads = c.count(5);
  auto rows_arg = c.opt_array<int64_t>(6, 1);
  const checks::FittingCsr m = checks::fitting_csr(indptr, indices, data, n_cols);
  Rows rows = checks::check_rows(rows_arg, n_cols);
  auto pool = pools::pool(n_threads);
  auto csr = pools::run(*pool, [&] { return knn::all_pairs_top_k_rows(m.view(n_cols), k, row_span(rows)); });
  return py::csr_tuple(std::move(csr));
}

constexpr const char* kCosineParams[] = {"indptr", "indices", "data", "n_cols", "norms",
                                         "shrink", "k",       "n_threads", "rows"};
constexpr py::Signature kCosine{"item_cosine_top_k", kCosineParams, 9, 8};

py::Ref item_cosine_top_k_impl(py::Call& c) {
  auto indptr = c.array<int64_t>(0, 1);
  auto indices = c.array<int64_t>(1, 1);
  auto data = c.array<double>(2, 1);
  const uint64_t n_cols = c.count(3);
  auto norms_arg = c.array<double>(4, 1);
  const double shrink = c.real(5);
  const uint64_t k = c.count(6), n_threads = c.count(7);
  auto rows_arg = c.opt_array<int64_t>(8, 1);
  const checks::FittingCsr m = checks::fitting_csr(indptr, indices, data, n_cols);
  auto norms = norms_arg.flat();
  if (norms.size() != n_cols) py::value_error("norms must have n_cols entries.");
  if (!std::isfinite(shrink) || shrink < 0.0) py::value_error("shrink must be finite and >= 0.");
  Rows rows = checks::check_rows(rows_arg, n_cols);
  auto pool = pools::pool(n_threads);
  auto csr = pools::run(*pool, [&] {
    return knn::cosine_top_k_rows(m.view(n_cols), norms, k, row_span(rows), shrink);
  });
  return py::csr_tuple(std::move(csr));
}

constexpr const char* kRp3Params[] = {"indptr",    "indices", "data",      "n_cols", "row_scale",
                                      "col_scale", "k",       "n_threads", "rows"};
constexpr py::Signature kRp3{"rp3beta_similarity", kRp3Params, 9, 8};

py::Ref rp3beta_similarity_impl(py::Call& c) {
  auto indptr = c.array<int64_t>(0, 1);
  auto indices = c.array<int64_t>(1, 1);
  auto data = c.array<double>(2, 1);
  const uint64_t n_cols = c.count(3);
  auto row_scale_arg = c.array<double>(4, 1);
  auto col_scale_arg = c.array<double>(5, 1);
  const uint64_t k = c.count(6), n_threads = c.count(7);
  auto rows_arg = c.opt_array<int64_t>(8, 1);
  const checks::FittingCsr m = checks::fitting_csr(indptr, indices, data, n_cols);
  auto row_scale = row_scale_arg.flat();
  auto col_scale = col_scale_arg.flat();
  if (row_scale.size() != n_cols || col_scale.size() != n_cols)
    py::value_error("row_scale and col_scale must have n_cols entries.");
  Rows rows = checks::check_rows(rows_arg, n_cols);
  auto pool = pools::pool(n_threads);
  auto csr = pools::run(*pool, [&] {
    return rp3beta::similarity_rows(m.view(n_cols), row_scale, col_scale, k, row_span(rows));
  });
  return py::csr_tuple(std::move(csr));
}

}  // namespace

const py::Function item_gram{
    "item_gram", py::entry<kGram, item_gram_impl>,
    "item_gram(indptr, indices, data, n_cols, n_threads)\n--\n\n"
    "The dense item Gram matrix `R^T R` of a users x items CSR matrix `R`.\n\n"
    "Returns a C-ordered (n_cols, n_cols) float64 array. Every row is summed over the users\n"
    "in ascending order with fused multiply-adds, so the result is the same for every\n"
    "`n_threads`; `n_threads == 0` uses all cores."};

const py::Function item_knn_top_k{
    "item_knn_top_k", py::entry<kKnn, item_knn_top_k_impl>,
    "item_knn_top_k(indptr, indices, data, n_cols, k, n_threads, rows=None)\n--\n\n"
    "Top `k` entries of every row of `W^T W` for a users x items CSR matrix `W`.\n\n"
    "Returns the item-item similarity as CSR `(indptr, indices, data)` with sorted\n"
    "column indices. `n_threads == 0` uses all cores."};

const py::Function item_cosine_top_k{
    "item_cosine_top_k", py::entry<kCosine, item_cosine_top_k_impl>,
    "item_cosine_top_k(indptr, indices, data, n_cols, norms, shrink, k, n_threads, rows=None)\n--\n\n"
    "Top `k` cosine neighbours of every item for a users x items CSR matrix `W`.\n\n"
    "`norms` holds the Euclidean norm of each column of `W`; entry `(i, j)` of the result\n"
    "is `<W_i, W_j> / (norms[i] * norms[j] + shrink)`. Returns the item-item similarity as\n"
    "CSR `(indptr, indices, data)` with sorted column indices and a zero diagonal.\n"
    "`n_threads == 0` uses all cores."};

const py::Function rp3beta_similarity{
    "rp3beta_similarity", py::entry<kRp3, rp3beta_similarity_impl>,
    "rp3beta_similarity(indptr, indices, data, n_cols, row_scale, col_scale, k, n_threads, rows=None)\n--\n\n"
    "Top `k` entries of every row of the `RP3beta` walk matrix for a users x items CSR `Pui`.\n\n"
    "`Pui` must already carry the row normalization and the `alpha` power; `row_scale` and\n"
    "`col_scale` hold the walk and popularity damping per item. Returns the item-item\n"
    "similarity as CSR `(indptr, indices, data)` with sorted column indices and a zero\n"
    "diagonal. `n_threads == 0` uses all cores."};

}  // namespace qv::bind
