// Bindings of the sparse linear item model: slim_elasticnet_weights,
// slim_elasticnet_weights_from_gram.
#include "checks.hpp"
#include "ease/gram.hpp"
#include "ease/inverse.hpp"
#include "functions.hpp"
#include "pools.hpp"
#include "py/result.hpp"
#include "slim/slim.hpp"

namespace qv::bind {
namespace {

py::Ref slim_result(slim::SlimResult&& r) {
  py::Ref csr = py::csr_tuple(std::move(r.weights));
  py::Ref count(py::check(PyLong_FromUnsignedLongLong(r.unconverged)));
  return py::tuple({csr.release(), count.release()});
}

// alpha, l1_ratio, positive, max_iter and tol, which both functions take in this order
// from parameter `first` on.
slim::SlimParams solver_params(py::Call& c, size_t first) {
  slim::SlimParams params;
  params.alpha = c.real(first);
  params.l1_ratio = c.real(first + 1);
  params.positive = c.flag(first + 2);
  params.max_iter = c.count(first + 3);
  params.tol = c.real(first + 4);
  return params;
}

constexpr const char* kSlimParams[] = {"indptr", "indices", "data", "n_cols", "alpha", "l1_ratio",
                                       "positive", "max_iter", "tol", "k", "n_threads"};
constexpr py::Signature kSlim{"slim_elasticnet_weights", kSlimParams, 11, 11};

py::Ref slim_elasticnet_weights_impl(py::Call& c) {
  auto indptr = c.array<int64_t>(0, 1);
  auto indices = c.array<int64_t>(1, 1);
  auto data = c.array<double>(2, 1);
  const uint64_t n_cols = c.count(3);
  const slim::SlimParams params = solver_params(c, 4);
  const uint64_t k = c.count(9), n_threads = c.count(10);
  const checks::FittingCsr m = checks::fitting_csr(indptr, indices, data, n_cols);
  ease::dense_len(n_cols);  // an impossible Gram matrix is a MemoryError before any work
  auto pool = pools::pool(n_threads);
  const sparse::CsrView r = m.view(n_cols);
  const double n_rows = static_cast<double>(r.n_rows);
  auto result = pools::run(*pool, [&] {
    std::vector<double> g = ease::gram(r);
    return slim::similarity_from_gram(g, n_cols, std::nullopt, nullptr, k, params, n_rows);
  });
  return slim_result(std::move(result));
}

constexpr const char* kFromGramParams[] = {"gram", "n_rows", "alpha", "l1_ratio", "positive",
                                           "max_iter", "tol", "k", "n_threads", "columns",
                                           "warm_indptr", "warm_indices", "warm_data"};
constexpr py::Signature kFromGram{"slim_elasticnet_weights_from_gram", kFromGramParams, 13, 9};

py::Ref slim_elasticnet_weights_from_gram_impl(py::Call& c) {
  auto gram = c.array<double>(0, 2);
  const double n_rows = c.real(1);
  const slim::SlimParams params = solver_params(c, 2);
  const uint64_t k = c.count(7), n_threads = c.count(8);
  auto columns = c.opt_array<int64_t>(9, 1);
  auto warm_indptr = c.opt_array<int64_t>(10, 1);
  auto warm_indices = c.opt_array<int64_t>(11, 1);
  auto warm_data = c.opt_array<double>(12, 1);

  if (gram.dim(0) != gram.dim(1)) py::value_error("gram must be square.");
  const uint64_t n = gram.dim(0);
  auto g = gram.flat();
  auto targets = checks::check_rows(columns, n);
  const size_t n_targets = targets ? targets->size() : n;
  if (warm_indptr ? !(warm_indices && warm_data) : (warm_indices || warm_data))
    py::value_error("warm_indptr, warm_indices and warm_data must be given together.");
  std::vector<uint64_t> warm_ptr;
  sparse::CsrView warm;
  if (warm_indptr) {
    auto wd = warm_data->flat();
    warm_ptr = checks::check_indptr(warm_indptr->flat(), wd.size());
    if (warm_ptr.size() != n_targets + 1)
      py::value_error("warm_indptr must have one entry per solved column, plus one.");
    auto wi = warm_indices->flat();
    if (wi.size() != wd.size()) py::value_error("warm_indices and warm_data must have the same length.");
    checks::check_indices(wi, n, "warm_indices");
    warm = sparse::CsrView{warm_ptr, checks::as_unsigned(wi), wd, n_targets, n};
  }
  auto pool = pools::pool(n_threads);
  std::optional<std::span<const uint64_t>> subset;
  if (targets) subset = std::span<const uint64_t>(*targets);
  auto result = pools::run(*pool, [&] {
    return slim::similarity_from_gram(g, n, subset, warm_indptr ? &warm : nullptr, k, params, n_rows);
  });
  return slim_result(std::move(result));
}

}  // namespace

const py::Function slim_elasticnet_weights{
    "slim_elasticnet_weights", py::entry<kSlim, slim_elasticnet_weights_impl>,
    "slim_elasticnet_weights(indptr, indices, data, n_cols, alpha, l1_ratio, positive, max_iter, tol, k, n_threads)\n"
    "--\n\n"
    "Sparse item-item weights: for every item j, the elastic-net regression of column j of\n"
    "the users x items CSR matrix R on the other columns, by coordinate descent.\n\n"
    "Returns ((indptr, indices, data), n_unconverged): row j holds the k largest nonzero\n"
    "coefficients of item j's regression, sorted by column. `n_threads == 0` uses all cores."};

const py::Function slim_elasticnet_weights_from_gram{
    "slim_elasticnet_weights_from_gram",
    py::entry<kFromGram, slim_elasticnet_weights_from_gram_impl>,
    "slim_elasticnet_weights_from_gram(gram, n_rows, alpha, l1_ratio, positive, max_iter, tol, k, "
    "n_threads, columns=None, warm_indptr=None, warm_indices=None, warm_data=None)\n--\n\n"
    "The sparse item-item weights of slim_elasticnet_weights from an item Gram matrix in\n"
    "hand, for all items or the sorted subset `columns`, optionally warm-started from a CSR\n"
    "with one row per solved item.\n\n"
    "Returns ((indptr, indices, data), n_unconverged), one row per solved item.\n"
    "`n_threads == 0` uses all cores."};

}  // namespace qv::bind
