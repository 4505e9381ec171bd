// Bindings of the closed-form item model: ease_inverse_gram, ease_weights,
// ease_weights_from_inverse.
#include <charconv>
#include <cmath>
#include <string>
#include <string_view>

#include "checks.hpp"
#include "ease/gram.hpp"
#include "ease/inverse.hpp"
#include "functions.hpp"
#include "pools.hpp"
#include "py/result.hpp"

namespace qv::bind {
namespace {

// Shortest round-trip digits laid out positionally, padded with zeros where needed:
// 1e-8 is "0.00000001", 100.0 is "100", 1e22 is "1" and 22 zeros. The fixed format of
// to_chars would print every digit of the exact binary value instead, so the digits and
// the exponent are taken from the shortest scientific form.
std::string positional(double x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  QV_ASSERT(ec == std::errc(), "float does not fit its buffer");
  std::string_view sci(buf, static_cast<size_t>(end - buf));
  std::string out;
  if (sci.front() == '-') {
    out.push_back('-');
    sci.remove_prefix(1);
  }
  const size_t e_pos = sci.find('e');
  std::string digits;
  for (char ch : sci.substr(0, e_pos))
    if (ch != '.') digits.push_back(ch);
  int exp = 0;
  std::string_view e = sci.substr(e_pos + 1);
  if (e.front() == '+') e.remove_prefix(1);
  std::from_chars(e.data(), e.data() + e.size(), exp);
  if (exp >= 0) {
    const size_t whole = static_cast<size_t>(exp) + 1;
    if (digits.size() <= whole) {
      out += digits;
      out.append(whole - digits.size(), '0');
    } else {
      out += digits.substr(0, whole);
      out += '.';
      out += digits.substr(whole);
    }
  } else {
    out += "0.";
    out.append(static_cast<size_t>(-exp - 1), '0');
    out += digits;
  }
  return out;
}

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
    py::value_error("The item Gram matrix is not positive definite with l2_reg=" + positional(l2_reg) +
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
