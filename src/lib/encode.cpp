// Bindings of the encode family: coo_to_csr, factorize.
#include "checks.hpp"
#include "encode/coo.hpp"
#include "encode/factorize.hpp"
#include "functions.hpp"
#include "pools.hpp"
#include "py/result.hpp"

namespace qv::bind {
namespace {

constexpr const char* kCooParams[] = {"rows", "cols", "data", "n_rows", "n_cols", "n_threads"};
constexpr py::Signature kCoo{"coo_to_csr", kCooParams, 6, 6};

py::Ref coo_to_csr_impl(py::Call& c) {
  auto rows = c.array<int64_t>(0, 1);
  auto cols = c.array<int64_t>(1, 1);
  auto data = c.array<double>(2, 1);
  const uint64_t n_rows = c.count(3), n_cols = c.count(4), n_threads = c.count(5);
  auto r = rows.flat();
  auto k = cols.flat();
  auto d = data.flat();
  if (r.size() != d.size() || k.size() != d.size())
    py::value_error("rows, cols and data must have the same length.");
  checks::check_indices(r, std::max<uint64_t>(n_rows, 1), "row");
  checks::check_indices(k, std::max<uint64_t>(n_cols, 1), "column");
  auto pool = pools::pool(n_threads);
  auto csr = pools::run(*pool, [&] {
    return encode::coo_to_csr(checks::as_unsigned(r), checks::as_unsigned(k), d, n_rows, n_cols);
  });
  // Every column passed the check above, so each fits int64.
  return py::csr_tuple(std::move(csr));
}

constexpr const char* kFactorizeParams[] = {"values"};
constexpr py::Signature kFactorize{"factorize", kFactorizeParams, 1, 1};

py::Ref factorize_impl(py::Call& c) {
  auto values = c.array<int64_t>(0, 1);
  auto v = values.flat();
  auto [uniques, codes] = py::without_gil([&] { return encode::factorize(v); });
  size_t nu = uniques.size(), nc = codes.size();
  py::Ref a = py::to_array(std::move(uniques), {nu});
  py::Ref b = py::to_array(std::move(codes), {nc});
  return py::tuple({a.release(), b.release()});
}

}  // namespace

const py::Function coo_to_csr{
    "coo_to_csr", py::entry<kCoo, coo_to_csr_impl>,
    "coo_to_csr(rows, cols, data, n_rows, n_cols, n_threads)\n--\n\n"
    "Build a CSR matrix (indptr, indices, data) of shape (n_rows, n_cols) from coordinate\n"
    "triples, summing the values of repeated (row, column) pairs in input order.\n\n"
    "Rows come out with ascending column indices and one entry per pair (the canonical CSR\n"
    "form); explicit zeros are kept. `n_threads == 0` uses all cores."};

const py::Function factorize{
    "factorize", py::entry<kFactorize, factorize_impl>,
    "factorize(values)\n--\n\n"
    "The sorted distinct values of `values`, and the position of each value among them.\n\n"
    "The result equals NumPy's unique values with their inverse indices, obtained without\n"
    "sorting the whole input: the distinct values are found in one pass and only they are\n"
    "sorted."};

}  // namespace qv::bind
