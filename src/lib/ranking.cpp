// Bindings of the ranking and pruning families: top_k_per_row, csr_top_k_per_row.
#include "checks.hpp"
#include "pools.hpp"
#include "prune/top_k.hpp"
#include "py/declare.hpp"
#include "py/result.hpp"
#include "ranking/top_k.hpp"

namespace qv::bind {
namespace {

using py::Count, py::In;

using TopKArgs = py::Args<"top_k_per_row", In<"scores", double, 2>, In<"excluded_indptr", int64_t>,
                          In<"excluded_indices", int64_t>, Count<"k">>;

py::Ref top_k_per_row(const TopKArgs& a) {
  const auto& scores = a.get<"scores">();
  const uint64_t k = a.get<"k">();
  const uint64_t n_rows = scores.dim(0), n_cols = scores.dim(1);
  auto s = scores.flat();
  auto idx = a.get<"excluded_indices">().flat();
  auto ptr = a.get<"excluded_indptr">().flat();
  std::vector<uint64_t> pattern = checks::check_excluded(ptr, idx, n_rows, n_cols);
  auto pool = pools::default_pool();
  auto result = pools::run(*pool, [&] {
    return ranking::top_k_per_row(s, n_cols, pattern, checks::as_unsigned(idx), k);
  });
  if (auto* f = std::get_if<ranking::TooFewEligible>(&result)) py::too_few(k, *f);
  return py::ranked_ids(n_rows, k, std::move(std::get<std::vector<uint64_t>>(result)));
}

using PruneArgs = py::Args<"csr_top_k_per_row", In<"indptr", int64_t>, In<"indices", int64_t>,
                           In<"data", double>, Count<"n_cols">, Count<"k">, Count<"n_threads">>;

py::Ref csr_top_k_per_row(const PruneArgs& a) {
  const uint64_t k = a.get<"k">();
  const checks::CsrInput m = checks::fitting_csr(a);
  auto pool = pools::pool(a.get<"n_threads">());
  const sparse::CsrView view = m.view();
  auto csr = pools::run(*pool, [&] { return prune::top_k_per_row(view, k); });
  return py::csr_tuple(std::move(csr));
}

const py::Registered functions{
    py::define<top_k_per_row>(
        "NDArray[np.int64]",
        "The column indices of the k best entries of each row of `scores`, minus the excluded.\n\n"
        "The exclusions are the CSR index pointer and column indices of an (n_rows, n_cols)\n"
        "sparse pattern whose indices must ascend within a row, which spares the caller an\n"
        "n_rows x n_cols mask. Rows rank by descending score, ties broken by ascending column\n"
        "index. Raises ValueError when any row has fewer than k entries left."),
    py::define<csr_top_k_per_row>(
        py::kCsrTriple,
        "Keep the k largest entries of each row of a CSR matrix.\n\n"
        "The result is a CSR (indptr, indices, data) with sorted column indices. Ties keep the\n"
        "entry that comes first in its row, which is what a stable sort by descending value\n"
        "gives; explicit zeros are ordinary candidates.\n"
        QV_DOC_DEFAULT_POOL),
};

}  // namespace
}  // namespace qv::bind
