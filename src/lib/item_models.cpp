// Bindings of the item-item family: item_gram, item_knn_top_k, item_cosine_top_k,
// rp3beta_similarity.
#include <cmath>

#include "checks.hpp"
#include "linalg/gram.hpp"
#include "knn/neighbours.hpp"
#include "pools.hpp"
#include "py/declare.hpp"
#include "py/result.hpp"
#include "rp3beta/similarity.hpp"

namespace qv::bind {
namespace {

using py::Count, py::Default, py::In, py::Maybe, py::Real;
using Rows = std::optional<std::vector<uint64_t>>;

std::optional<std::span<const uint64_t>> row_span(const Rows& rows) {
  if (!rows) return std::nullopt;
  return std::span<const uint64_t>(*rows);
}

using GramArgs = py::Args<"item_gram", In<"indptr", int64_t>, In<"indices", int64_t>, In<"data", double>,
                          Count<"n_cols">, Count<"n_threads">>;

py::Ref item_gram(const GramArgs& a) {
  const uint64_t n_cols = a.get<"n_cols">();
  const checks::CsrInput m = checks::fitting_csr(a);
  auto pool = pools::pool(a.get<"n_threads">());
  auto g = pools::run(*pool, [&] { return linalg::gram(m.view()); });
  py::check_shape(n_cols, n_cols, g.size());
  return py::to_array(std::move(g), {n_cols, n_cols});
}

using KnnArgs = py::Args<"item_knn_top_k", In<"indptr", int64_t>, In<"indices", int64_t>, In<"data", double>,
                         Count<"n_cols">, Count<"k">, Count<"n_threads">, Default<Maybe<"rows", int64_t>>>;

py::Ref item_knn_top_k(const KnnArgs& a) {
  const uint64_t n_cols = a.get<"n_cols">(), k = a.get<"k">();
  const checks::CsrInput m = checks::fitting_csr(a);
  Rows rows = checks::check_rows(a.get<"rows">(), n_cols);
  auto pool = pools::pool(a.get<"n_threads">());
  auto csr = pools::run(*pool, [&] { return knn::all_pairs_top_k_rows(m.view(), k, row_span(rows)); });
  return py::csr_tuple(std::move(csr));
}

using CosineArgs = py::Args<"item_cosine_top_k", In<"indptr", int64_t>, In<"indices", int64_t>, In<"data", double>,
                            Count<"n_cols">, In<"norms", double>, Real<"shrink">, Count<"k">, Count<"n_threads">,
                            Default<Maybe<"rows", int64_t>>>;

py::Ref item_cosine_top_k(const CosineArgs& a) {
  const uint64_t n_cols = a.get<"n_cols">(), k = a.get<"k">();
  const double shrink = a.get<"shrink">();
  const checks::CsrInput m = checks::fitting_csr(a);
  auto norms = a.get<"norms">().flat();
  if (norms.size() != n_cols) py::value_error("norms must have n_cols entries.");
  if (!std::isfinite(shrink) || shrink < 0.0) py::value_error("shrink must be finite and >= 0.");
  Rows rows = checks::check_rows(a.get<"rows">(), n_cols);
  auto pool = pools::pool(a.get<"n_threads">());
  auto csr = pools::run(*pool, [&] {
    return knn::cosine_top_k_rows(m.view(), norms, k, row_span(rows), shrink);
  });
  return py::csr_tuple(std::move(csr));
}

using Rp3Args = py::Args<"rp3beta_similarity", In<"indptr", int64_t>, In<"indices", int64_t>, In<"data", double>,
                         Count<"n_cols">, In<"row_scale", double>, In<"col_scale", double>, Count<"k">,
                         Count<"n_threads">, Default<Maybe<"rows", int64_t>>>;

py::Ref rp3beta_similarity(const Rp3Args& a) {
  const uint64_t n_cols = a.get<"n_cols">(), k = a.get<"k">();
  const checks::CsrInput m = checks::fitting_csr(a);
  auto row_scale = a.get<"row_scale">().flat();
  auto col_scale = a.get<"col_scale">().flat();
  if (row_scale.size() != n_cols || col_scale.size() != n_cols)
    py::value_error("row_scale and col_scale must have n_cols entries.");
  Rows rows = checks::check_rows(a.get<"rows">(), n_cols);
  auto pool = pools::pool(a.get<"n_threads">());
  auto csr = pools::run(*pool, [&] {
    return rp3beta::similarity_rows(m.view(), row_scale, col_scale, k, row_span(rows));
  });
  return py::csr_tuple(std::move(csr));
}

const py::Registered functions{
    py::define<item_gram>(
        "NDArray[np.float64]",
        "The dense item Gram matrix `R^T R` of a users x items CSR matrix `R`.\n\n"
        "Returns a C-ordered (n_cols, n_cols) float64 array. Every row is summed over the users\n"
        "in ascending order with fused multiply-adds, so the result is the same for every\n"
        "`n_threads`.\n"
        QV_DOC_DEFAULT_POOL),
    py::define<item_knn_top_k>(
        py::kCsrTriple,
        "Top `k` entries of every row of `W^T W` for a users x items CSR matrix `W`.\n\n"
        "Returns the item-item similarity as CSR `(indptr, indices, data)` with sorted\n"
        "column indices. `n_threads == 0` uses all cores."),
    py::define<item_cosine_top_k>(
        py::kCsrTriple,
        "Top `k` cosine neighbours of every item for a users x items CSR matrix `W`.\n\n"
        "`norms` holds the Euclidean norm of each column of `W`; entry `(i, j)` of the result\n"
        "is `<W_i, W_j> / (norms[i] * norms[j] + shrink)`. Returns the item-item similarity as\n"
        "CSR `(indptr, indices, data)` with sorted column indices and a zero diagonal.\n"
        "`n_threads == 0` uses all cores."),
    py::define<rp3beta_similarity>(
        py::kCsrTriple,
        "Top `k` entries of every row of the `RP3beta` walk matrix for a users x items CSR `Pui`.\n\n"
        "`Pui` must already carry the row normalization and the `alpha` power; `row_scale` and\n"
        "`col_scale` hold the walk and popularity damping per item. Returns the item-item\n"
        "similarity as CSR `(indptr, indices, data)` with sorted column indices and a zero\n"
        "diagonal. `n_threads == 0` uses all cores."),
};

}  // namespace
}  // namespace qv::bind
