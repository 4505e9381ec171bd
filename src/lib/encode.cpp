// Bindings of the encode family: coo_to_csr, factorize.
#include <string>
#include <variant>

#include "checks.hpp"
#include "encode/coo.hpp"
#include "encode/factorize.hpp"
#include "pools.hpp"
#include "py/declare.hpp"
#include "py/result.hpp"

namespace qv::bind {
namespace {

using py::Count, py::In;

using CooArgs = py::Args<"coo_to_csr", In<"rows", int64_t>, In<"cols", int64_t>, In<"data", double>,
                         Count<"n_rows">, Count<"n_cols">, Count<"n_threads">>;

py::Ref coo_to_csr(const CooArgs& a) {
  const uint64_t n_rows = a.get<"n_rows">(), n_cols = a.get<"n_cols">();
  auto r = a.get<"rows">().flat();
  auto k = a.get<"cols">().flat();
  auto d = a.get<"data">().flat();
  if (r.size() != d.size() || k.size() != d.size())
    py::value_error("rows, cols and data must have the same length.");
  // The kernel checks the indices in its parallel passes, which read them anyway; one
  // serial pass over both would cost as much as the whole build on a few cores.
  const uint64_t row_limit = checks::index_limit(std::max<uint64_t>(n_rows, 1));
  const uint64_t col_limit = checks::index_limit(std::max<uint64_t>(n_cols, 1));
  std::string pool_error;
  auto pool = parallel::cached_pool(a.get<"n_threads">(), &pool_error);
  if (!pool) {
    // A bad index is still the error to report first.
    checks::check_indices(r, row_limit, "row");
    checks::check_indices(k, col_limit, "column");
    py::value_error(pool_error);
  }
  auto result = pools::run(*pool, [&] {
    return encode::coo_to_csr(checks::as_unsigned(r), checks::as_unsigned(k), d, n_rows, n_cols,
                              {row_limit, col_limit});
  });
  if (const auto* bad = std::get_if<encode::OutOfRange>(&result))
    checks::index_out_of_range(bad->column ? "column" : "row", static_cast<int64_t>(bad->value),
                               bad->column ? col_limit : row_limit);
  // Every column passed the check, so each fits int64.
  return py::csr_tuple(std::get<sparse::RawCsr>(std::move(result)));
}

using FactorizeArgs = py::Args<"factorize", In<"values", int64_t>>;

py::Ref factorize(const FactorizeArgs& a) {
  auto v = a.get<"values">().flat();
  auto [uniques, codes] = py::without_gil([&] { return encode::factorize(v); });
  size_t nu = uniques.size(), nc = codes.size();
  py::Ref u = py::to_array(std::move(uniques), {nu});
  py::Ref c = py::to_array(std::move(codes), {nc});
  return py::tuple({u.release(), c.release()});
}

const py::Registered functions{
    py::define<coo_to_csr>(
        py::kCsrTriple,
        "A CSR matrix built from coordinate triples, with duplicate pairs summed.\n\n"
        "Returns (indptr, indices, data) of shape (n_rows, n_cols). Rows come out with ascending\n"
        "column indices and one entry per (row, column) pair, its values summed in input order\n"
        "(the canonical CSR form); explicit zeros are kept. The result is the same for every\n"
        "`n_threads`.\n"
        QV_DOC_DEFAULT_POOL),
    py::define<factorize>(
        "tuple[NDArray[np.int64], NDArray[np.int64]]",
        "The sorted distinct values of `values`, and the position of each value among them.\n\n"
        "The result equals NumPy's unique values with their inverse indices, obtained without\n"
        "sorting the whole input: the distinct values are found in one pass and only they are\n"
        "sorted."),
};

}  // namespace
}  // namespace qv::bind
