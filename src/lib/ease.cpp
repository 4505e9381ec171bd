// Bindings of the closed-form item model: ease_inverse_gram, ease_weights,
// ease_weights_from_inverse.
#include <string>

#include "checks.hpp"
#include "linalg/gram.hpp"
#include "ease/inverse.hpp"
#include "pools.hpp"
#include "py/declare.hpp"
#include "py/format.hpp"
#include "py/result.hpp"

namespace qv::bind {
namespace {

py::Ref dense(core::RawVector<double>&& v, uint64_t n) {
  py::check_shape(n, n, v.size());
  return py::to_array(std::move(v), {n, n});
}

using py::Count, py::In, py::Real;

// ease_weights and ease_inverse_gram take the same parameters.
template <py::Name F>
using EaseArgs = py::Args<F, In<"indptr", int64_t>, In<"indices", int64_t>, In<"data", double>, Count<"n_cols">,
                          Real<"l2_reg">, Count<"n_threads">>;

template <py::Name F>
py::Ref ease_inverse_and_weights(const EaseArgs<F>& a, bool weights) {
  const uint64_t n_cols = a.template get<"n_cols">();
  const double l2_reg = a.template get<"l2_reg">();
  const checks::CsrInput m = checks::fitting_csr(a);
  ease::dense_len(n_cols);  // an impossible n x n matrix is a MemoryError before any work
  auto pool = pools::pool(a.template get<"n_threads">());
  const sparse::CsrView r = m.view();
  auto result = pools::run(*pool, [&] {
    core::RawVector<double> g = linalg::gram(r);
    return weights ? ease::weights(std::move(g), n_cols, l2_reg) : ease::inverse(std::move(g), n_cols, l2_reg);
  });
  if (std::holds_alternative<ease::NotPositiveDefinite>(result))
    py::value_error("The item Gram matrix is not positive definite with l2_reg=" + py::positional(l2_reg) +
                    "; use a larger l2_reg.");
  return dense(std::get<core::RawVector<double>>(std::move(result)), n_cols);
}

py::Ref ease_weights(const EaseArgs<"ease_weights">& a) { return ease_inverse_and_weights(a, true); }
py::Ref ease_inverse_gram(const EaseArgs<"ease_inverse_gram">& a) { return ease_inverse_and_weights(a, false); }

using FromInverseArgs = py::Args<"ease_weights_from_inverse", In<"p", double, 2>, Count<"n_threads">>;

py::Ref ease_weights_from_inverse(const FromInverseArgs& a) {
  const auto& p = a.get<"p">();
  if (p.dim(0) != p.dim(1)) py::value_error("p must be square.");
  auto values = p.flat();
  const uint64_t n = p.dim(0);
  auto pool = pools::pool(a.get<"n_threads">());
  auto w = pools::run(*pool, [&] { return ease::weights_from_inverse(values, n); });
  return dense(std::move(w), n);
}

const py::Registered functions{
    py::define<ease_inverse_gram>(
        "NDArray[np.float64]",
        "The inverse P = (R^T R + l2_reg I)^-1 of the regularised item Gram matrix of a\n"
        "users x items CSR matrix R, as a dense (n_cols, n_cols) array, exactly symmetric.\n\n"
        "Keep P to update the model by low-rank steps later. Raises ValueError when the\n"
        "matrix is not positive definite. The result is the same for every `n_threads`.\n"
        QV_DOC_DEFAULT_POOL),
    py::define<ease_weights>(
        "NDArray[np.float64]",
        "The closed-form item-item weights W[i][j] = -P[i][j] / P[j][j] with a zero diagonal,\n"
        "where P = (R^T R + l2_reg I)^-1, for a users x items CSR matrix R.\n\n"
        "Raises ValueError when the matrix is not positive definite. The result is the same\n"
        "for every `n_threads`.\n"
        QV_DOC_DEFAULT_POOL),
    py::define<ease_weights_from_inverse>(
        "NDArray[np.float64]",
        "The item-item weights W[i][j] = -p[i][j] / p[j][j] with a zero diagonal, from an\n"
        "inverse Gram matrix `p` already in hand (square, float64).\n\n"
        "A zero diagonal element gives infinities or NaN in its column. The result is the same\n"
        "for every `n_threads`.\n"
        QV_DOC_DEFAULT_POOL),
};

}  // namespace
}  // namespace qv::bind
