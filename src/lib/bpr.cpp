// Binding of the BPR trainer: bpr_fit.
#include "bpr/bpr.hpp"
#include "checks.hpp"
#include "functions.hpp"
#include "pools.hpp"
#include "py/result.hpp"

namespace qv::bind {
namespace {

constexpr const char* kBprParams[] = {"indptr",        "indices",        "n_cols",   "user_factors",
                                      "item_factors",  "item_bias",      "learning_rate",
                                      "regularization", "use_bias",      "n_iter",   "seed",
                                      "n_threads",     "positives",      "popularity_negatives"};
constexpr py::Signature kBpr{"bpr_fit", kBprParams, 14, 12};

py::Ref bpr_fit_impl(py::Call& c) {
  auto indptr = c.array<int64_t>(0, 1);
  auto indices = c.array<int64_t>(1, 1);
  const uint64_t n_cols = c.count(2);
  auto user_factors = c.array_mut<double>(3, 2);
  auto item_factors = c.array_mut<double>(4, 2);
  auto item_bias = c.array_mut<double>(5, 1);
  const double learning_rate = c.real(6);
  const double regularization = c.real(7);
  const bool use_bias = c.flag(8);
  const uint64_t n_iter = c.count(9);
  const uint64_t seed = c.count(10);
  const uint64_t n_threads = c.count(11);
  auto positives = c.opt_array<int64_t>(12, 1);
  const bool popularity_negatives = c.flag(13);
  c.check_borrows();

  if (user_factors.cols() != item_factors.cols())
    py::value_error("user_factors and item_factors must have the same number of columns.");
  if (item_factors.rows() != n_cols) py::value_error("item_factors and item_bias must have n_cols rows.");
  auto bias = item_bias.flat_mut();
  if (bias.size() != n_cols) py::value_error("item_factors and item_bias must have n_cols rows.");
  auto idx = indices.flat();
  auto ptr_raw = indptr.flat();
  const uint64_t nnz = idx.size();
  std::vector<uint64_t> ptr = checks::check_indptr(ptr_raw, nnz);
  if (ptr.size() != user_factors.rows() + 1) py::value_error("indptr must have one entry per user, plus one.");
  checks::check_indices(idx, n_cols, "indices");
  for (size_t r = 0; r + 1 < ptr.size(); ++r)
    for (uint64_t e = ptr[r] + 1; e < ptr[r + 1]; ++e)
      if (idx[e - 1] >= idx[e]) py::value_error("indices must be sorted and unique within each row.");
  std::optional<std::vector<uint64_t>> sample_pool;
  if (positives) sample_pool = checks::to_usize(positives->flat(), "positives", nnz);
  auto pool = pools::pool(n_threads);
  auto users = user_factors.flat_mut();
  auto items = item_factors.flat_mut();

  const bpr::BprParams params{user_factors.cols(), learning_rate, regularization, n_iter,
                              seed, use_bias, popularity_negatives};
  const sparse::CsrView view{ptr, checks::as_unsigned(idx), {}, ptr.size() - 1, n_cols};
  std::optional<std::span<const uint64_t>> pool_view;
  if (sample_pool) pool_view = std::span<const uint64_t>(*sample_pool);
  std::vector<double> shares =
      pools::run(*pool, [&] { return bpr::fit(view, pool_view, users, items, bias, params); });
  return py::float_list(shares);
}

}  // namespace

const py::Function bpr_fit{
    "bpr_fit", py::entry<kBpr, bpr_fit_impl>,
    "bpr_fit(indptr, indices, n_cols, user_factors, item_factors, item_bias, learning_rate, "
    "regularization, use_bias, n_iter, seed, n_threads, positives=None, popularity_negatives=False)\n--\n\n"
    "Fit a BPR matrix factorization by stochastic gradient ascent over sampled (user,\n"
    "positive item, negative item) triplets.\n\n"
    "`indptr` and `indices` are the users x items interactions in CSR form; their values are\n"
    "ignored and the column indices must be sorted within each row. `user_factors`\n"
    "(n_users, n_factors), `item_factors` (n_cols, n_factors) and `item_bias` (n_cols,) are\n"
    "updated in place. Returns, for each epoch, the share of sampled triplets that were\n"
    "ranked correctly. `n_threads == 0` uses all cores.\n\n"
    "`positives`, when given, holds offsets into `indices`: each epoch draws its positives\n"
    "from those entries only, while negatives are still rejected against the user's whole\n"
    "row, so a subset of the interactions is trained while all of them are known. Negatives\n"
    "are drawn uniformly over the items or, with `popularity_negatives`, as the item of a\n"
    "uniformly drawn stored entry."};

}  // namespace qv::bind
