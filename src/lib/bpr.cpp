// Binding of the BPR trainer: bpr_fit.
#include "bpr/bpr.hpp"
#include "checks.hpp"
#include "pools.hpp"
#include "py/declare.hpp"
#include "py/result.hpp"

namespace qv::bind {
namespace {

using py::Count, py::Default, py::Flag, py::In, py::InOut, py::Maybe, py::Real;

using BprArgs = py::Args<"bpr_fit", In<"indptr", int64_t>, In<"indices", int64_t>, Count<"n_cols">,
                         InOut<"user_factors", double, 2>, InOut<"item_factors", double, 2>,
                         InOut<"item_bias", double>, Real<"learning_rate">, Real<"regularization">,
                         Flag<"use_bias">, Count<"n_iter">, Count<"seed">, Count<"n_threads">,
                         Default<Maybe<"positives", int64_t>>, Default<Flag<"popularity_negatives">>>;

py::Ref bpr_fit(const BprArgs& a) {
  const auto& user_factors = a.get<"user_factors">();
  const auto& item_factors = a.get<"item_factors">();
  const auto& positives = a.get<"positives">();
  const uint64_t n_cols = a.get<"n_cols">();

  if (user_factors.cols() != item_factors.cols())
    py::value_error("user_factors and item_factors must have the same number of columns.");
  if (item_factors.rows() != n_cols) py::value_error("item_factors and item_bias must have n_cols rows.");
  auto bias = a.get<"item_bias">().flat_mut();
  if (bias.size() != n_cols) py::value_error("item_factors and item_bias must have n_cols rows.");
  checks::CsrInput m;
  m.indices = a.get<"indices">().flat();
  const uint64_t nnz = m.indices.size();
  m.pointer(a.get<"indptr">().flat(), nnz);
  m.row_count(user_factors.rows(), "indptr must have one entry per user, plus one.");
  m.columns(n_cols);
  m.ascending("indices must be sorted and unique within each row.");
  std::optional<std::vector<uint64_t>> sample_pool;
  if (positives) sample_pool = checks::to_usize(positives->flat(), "positives", nnz);
  auto pool = pools::pool(a.get<"n_threads">());
  auto users = user_factors.flat_mut();
  auto items = item_factors.flat_mut();

  const bpr::BprParams params{user_factors.cols(),      a.get<"learning_rate">(), a.get<"regularization">(),
                              a.get<"n_iter">(),        a.get<"seed">(),          a.get<"use_bias">(),
                              a.get<"popularity_negatives">()};
  const sparse::CsrView view = m.view();
  std::optional<std::span<const uint64_t>> pool_view;
  if (sample_pool) pool_view = std::span<const uint64_t>(*sample_pool);
  std::vector<double> shares =
      pools::run(*pool, [&] { return bpr::fit(view, pool_view, users, items, bias, params); });
  return py::float_list(shares);
}

const py::Registered functions{
    py::define<bpr_fit>(
        "list[float]",
        "Fit a BPR matrix factorization by stochastic gradient ascent over sampled (user,\n"
        "positive item, negative item) triplets.\n\n"
        "`indptr` and `indices` are the users x items interactions in CSR form; their values are\n"
        "ignored and the column indices must be sorted within each row. `user_factors`\n"
        "(n_users, n_factors), `item_factors` (n_cols, n_factors) and `item_bias` (n_cols,) are\n"
        "updated in place. Returns, for each epoch, the share of sampled triplets that were\n"
        "ranked correctly.\n\n"
        "Samples are drawn from `seed`, but the workers update the shared arrays without locks,\n"
        "so only a fit with `n_threads == 1` is reproducible from the seed.\n"
        QV_DOC_DEFAULT_POOL "\n\n"
        "`positives`, when given, holds offsets into `indices`: each epoch draws its positives\n"
        "from those entries only, while negatives are still rejected against the user's whole\n"
        "row, so a subset of the interactions is trained while all of them are known. Negatives\n"
        "are drawn uniformly over the items or, with `popularity_negatives`, as the item of a\n"
        "uniformly drawn stored entry."),
};

}  // namespace
}  // namespace qv::bind
