// Bindings of the sparse linear item model: slim_elasticnet_weights,
// slim_elasticnet_weights_from_gram.
#include "checks.hpp"
#include "linalg/gram.hpp"
#include "ease/inverse.hpp"
#include "pools.hpp"
#include "py/declare.hpp"
#include "py/result.hpp"
#include "slim/slim.hpp"

namespace qv::bind {
namespace {

py::Ref slim_result(slim::SlimResult&& r) {
  py::Ref csr = py::csr_tuple(std::move(r.weights));
  py::Ref count(py::check(PyLong_FromUnsignedLongLong(r.unconverged)));
  return py::tuple({csr.release(), count.release()});
}

using py::Count, py::Default, py::Flag, py::In, py::Maybe, py::Real;

// alpha, l1_ratio, positive, max_iter and tol, which both functions take in this order.
template <class A>
slim::SlimParams solver_params(const A& a) {
  slim::SlimParams params;
  params.alpha = a.template get<"alpha">();
  params.l1_ratio = a.template get<"l1_ratio">();
  params.positive = a.template get<"positive">();
  params.max_iter = a.template get<"max_iter">();
  params.tol = a.template get<"tol">();
  return params;
}

using SlimArgs = py::Args<"slim_elasticnet_weights", In<"indptr", int64_t>, In<"indices", int64_t>,
                          In<"data", double>, Count<"n_cols">, Real<"alpha">, Real<"l1_ratio">, Flag<"positive">,
                          Count<"max_iter">, Real<"tol">, Count<"k">, Count<"n_threads">>;

py::Ref slim_elasticnet_weights(const SlimArgs& a) {
  const uint64_t n_cols = a.get<"n_cols">(), k = a.get<"k">();
  const slim::SlimParams params = solver_params(a);
  const checks::CsrInput m = checks::fitting_csr(a);
  ease::dense_len(n_cols);  // an impossible Gram matrix is a MemoryError before any work
  auto pool = pools::pool(a.get<"n_threads">());
  const sparse::CsrView r = m.view();
  const double n_rows = static_cast<double>(r.n_rows);
  auto result = pools::run(*pool, [&] {
    const core::RawVector<double> g = linalg::gram(r);
    return slim::similarity_from_gram(g, n_cols, std::nullopt, nullptr, k, params, n_rows);
  });
  return slim_result(std::move(result));
}

using FromGramArgs =
    py::Args<"slim_elasticnet_weights_from_gram", In<"gram", double, 2>, Real<"n_rows">, Real<"alpha">,
             Real<"l1_ratio">, Flag<"positive">, Count<"max_iter">, Real<"tol">, Count<"k">, Count<"n_threads">,
             Default<Maybe<"columns", int64_t>>, Default<Maybe<"warm_indptr", int64_t>>,
             Default<Maybe<"warm_indices", int64_t>>, Default<Maybe<"warm_data", double>>>;

py::Ref slim_elasticnet_weights_from_gram(const FromGramArgs& a) {
  const auto& gram = a.get<"gram">();
  const auto& warm_indptr = a.get<"warm_indptr">();
  const auto& warm_indices = a.get<"warm_indices">();
  const auto& warm_data = a.get<"warm_data">();
  const uint64_t k = a.get<"k">();
  const slim::SlimParams params = solver_params(a);

  if (gram.dim(0) != gram.dim(1)) py::value_error("gram must be square.");
  const uint64_t n = gram.dim(0);
  auto g = gram.flat();
  auto targets = checks::check_rows(a.get<"columns">(), n);
  const size_t n_targets = targets ? targets->size() : n;
  if (warm_indptr ? !(warm_indices && warm_data) : (warm_indices || warm_data))
    py::value_error("warm_indptr, warm_indices and warm_data must be given together.");
  checks::CsrInput warm_csr;
  sparse::CsrView warm;
  if (warm_indptr) {
    warm_csr.data = warm_data->flat();
    warm_csr.pointer(warm_indptr->flat(), warm_csr.data.size());
    warm_csr.row_count(n_targets, "warm_indptr must have one entry per solved column, plus one.");
    warm_csr.indices = warm_indices->flat();
    warm_csr.same_length("warm_indices and warm_data must have the same length.");
    warm_csr.columns(n, "warm_indices");
    warm = warm_csr.view();
  }
  auto pool = pools::pool(a.get<"n_threads">());
  std::optional<std::span<const uint64_t>> subset;
  if (targets) subset = std::span<const uint64_t>(*targets);
  auto result = pools::run(*pool, [&] {
    return slim::similarity_from_gram(g, n, subset, warm_indptr ? &warm : nullptr, k, params, a.get<"n_rows">());
  });
  return slim_result(std::move(result));
}

const py::Registered functions{
    py::define<slim_elasticnet_weights>(
        "tuple[tuple[NDArray[np.int64], NDArray[np.int64], NDArray[np.float64]], int]",
        "Sparse item-item weights: for every item j, the elastic-net regression of column j of\n"
        "the users x items CSR matrix R on the other columns, by coordinate descent.\n\n"
        "Returns ((indptr, indices, data), n_unconverged): row j holds the k largest nonzero\n"
        "coefficients of item j's regression, sorted by column. Items are solved independently,\n"
        "so the weights are the same for every `n_threads`.\n"
        QV_DOC_DEFAULT_POOL),
    py::define<slim_elasticnet_weights_from_gram>(
        "tuple[tuple[NDArray[np.int64], NDArray[np.int64], NDArray[np.float64]], int]",
        "The sparse item-item weights of slim_elasticnet_weights from an item Gram matrix in\n"
        "hand, for all items or the sorted subset `columns`, optionally warm-started from a CSR\n"
        "with one row per solved item.\n\n"
        "Returns ((indptr, indices, data), n_unconverged), one row per solved item, the same for\n"
        "every `n_threads`.\n"
        QV_DOC_DEFAULT_POOL),
};

}  // namespace
}  // namespace qv::bind
