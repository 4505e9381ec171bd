// Bindings of the closed-form item model: ease_inverse_gram, ease_weights,
// ease_weights_from_inverse.
#include <string>

#include "checks.hpp"
#include "ease/gram.hpp"
#include "ease/inverse.hpp"
#include "functions.hpp"
#include "pools.hpp"
#include "py/format.hpp"
#include "py/result.hpp"

namespace qv::bind {
namespace {

py::Ref dense(std::vector<double>&& v, uint64_t n) {
  py::check_shape(n, n, v.size());
  return py::to_array(std::move(v), {n, n});
}

constexpr const char* kEaseParams[] = {"indptr", "indices", "data", "n_cols", "l2_reg", "n_threads"};
constexpr py::Signature kWeights{"ease_weights", kEaseParams, 6, 6};
constexpr py::Signature kInverse{"ease_inverse_gram", kEaseParams, 6, 6};

py::Ref ease_inverse_and_weights(py::Call& c, bool weights) {
  auto indptr = c.array<int64_t>(0, 1);
  auto indices = c.array<int64_t>(1, 1);
  auto data = c.array<double>(2, 1);
  const uint64_t n_cols = c.count(3);
  const double l2_reg = c.real(4);
  const uint64_t n_threads = c.count(5);
  const checks::FittingCsr m = checks::fitting_csr(indptr, indices, data, n_cols);
  ease::dense_len(n_cols);  // an impossible n x n matrix is a MemoryError before any work
  auto pool = pools::pool(n_threads);
  const sparse::CsrView r = m.view(n_cols);
  auto result = pools::run(*pool, [&] {
    std::vector<double> g = ease::gram(r);
    return weights ? ease::weights(std::move(g), n_cols, l2_reg) : ease::inverse(std::move(g), n_cols, l2_reg);
  });
  if (std::holds_alternative<ease::NotPositiveDefinite>(result))
    py::value_error("The item Gram matrix is not positive definite with l2_reg=" + py::positional(l2_reg) +
                    "; use a larger l2_reg.");
  return dense(std::get<std::vector<double>>(std::move(result)), n_cols);
}

py::Ref ease_weights_impl(py::Call& c) { return ease_inverse_and_weights(c, true); }
py::Ref ease_inverse_gram_impl(py::Call& c) { return ease_inverse_and_weights(c, false); }

constexpr const char* kFromInverseParams[] = {"p", "n_threads"};
constexpr py::Signature kFromInverse{"ease_weights_from_inverse", kFromInverseParams, 2, 2};

py::Ref ease_weights_from_inverse_impl(py::Call& c) {
  auto p = c.array<double>(0, 2);
  const uint64_t n_threads = c.count(1);
  if (p.dim(0) != p.dim(1)) py::value_error("p must be square.");
  auto values = p.flat();
  const uint64_t n = p.dim(0);
  auto pool = pools::pool(n_threads);
  auto w = pools::run(*pool, [&] { return ease::weights_from_inverse(values, n); });
  return dense(std::move(w), n);
}

}  // namespace

const py::Function ease_inverse_gram{
    "ease_inverse_gram", py::entry<kInverse, ease_inverse_gram_impl>,
    "ease_inverse_gram(indptr, indices, data, n_cols, l2_reg, n_threads)\n--\n\n"
    "The inverse P = (R^T R + l2_reg I)^-1 of the regularised item Gram matrix of a\n"
    "users x items CSR matrix R, as a dense (n_cols, n_cols) array, exactly symmetric.\n\n"
    "Keep P to update the model by low-rank steps later. Raises ValueError when the\n"
    "matrix is not positive definite. `n_threads == 0` uses all cores."};

const py::Function ease_weights{
    "ease_weights", py::entry<kWeights, ease_weights_impl>,
    "ease_weights(indptr, indices, data, n_cols, l2_reg, n_threads)\n--\n\n"
    "The closed-form item-item weights W[i][j] = -P[i][j] / P[j][j] with a zero diagonal,\n"
    "where P = (R^T R + l2_reg I)^-1, for a users x items CSR matrix R.\n\n"
    "Raises ValueError when the matrix is not positive definite. `n_threads == 0` uses\n"
    "all cores."};

const py::Function ease_weights_from_inverse{
    "ease_weights_from_inverse", py::entry<kFromInverse, ease_weights_from_inverse_impl>,
    "ease_weights_from_inverse(p, n_threads)\n--\n\n"
    "The item-item weights W[i][j] = -p[i][j] / p[j][j] with a zero diagonal, from an\n"
    "inverse Gram matrix `p` already in hand (square, float64).\n\n"
    "A zero diagonal element gives infinities or NaN in its column. `n_threads == 0` uses\n"
    "all cores."};

}  // namespace qv::bind
