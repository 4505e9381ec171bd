// Bindings of the recommendation family: recommend_from_dense_rows,
// recommend_from_factors, recommend_from_similarity.
#include <new>
#include <stdexcept>
#include <variant>

#include "checks.hpp"
#include "pools.hpp"
#include "py/declare.hpp"
#include "py/result.hpp"
#include "recommend/dense_rows.hpp"
#include "recommend/factors.hpp"
#include "recommend/similarity.hpp"

namespace qv::bind {
namespace {

using py::Count, py::Default, py::Flag, py::In, py::Maybe;
using recommend::CandidateSet;
using recommend::Exclusions;

// What the bindings keep alive for the kernel: the converted rows, the candidate list
// with its map, and the checked extra exclusion pointer.
struct Request {
  std::vector<uint64_t> rows;
  std::optional<checks::CandidateSubset> subset;
  CandidateSet candidates;
  std::optional<std::vector<uint64_t>> extra_indptr;
};

void set_candidates(Request& r, std::optional<checks::I64s> candidates, uint64_t n_items) {
  r.subset = checks::candidate_subset(candidates, n_items, false);
  if (r.subset) {
    r.candidates = CandidateSet{r.subset->ids, true, r.subset->ids.size(), r.subset->map};
  } else {
    r.candidates = CandidateSet{{}, false, n_items, {}};
  }
}

std::optional<checks::I64s> view(const std::optional<py::Array<int64_t>>& a) {
  if (!a) return std::nullopt;
  return a->flat();
}

// The extra exclusions, viewed indices first, then checked as a pattern over the
// candidate positions of each query.
void set_extra(Request& r, const std::optional<py::Array<int64_t>>& ex_ptr,
               const std::optional<py::Array<int64_t>>& ex_idx, std::optional<checks::I64s>& idx_view) {
  idx_view = view(ex_idx);
  std::optional<checks::I64s> ptr_view = view(ex_ptr);
  r.extra_indptr = checks::extra_positions(ptr_view, idx_view, r.rows.size(), r.candidates.n_candidates);
}

Exclusions make_exclusions(const Request& r, std::optional<checks::I64s> extra_indices, bool seen,
                           checks::I64s seen_indptr, checks::I64s seen_indices) {
  Exclusions ex;
  const bool extra = r.extra_indptr.has_value();
  ex.kind = seen ? (extra ? Exclusions::Kind::SeenAndExtra : Exclusions::Kind::Seen)
                 : (extra ? Exclusions::Kind::Extra : Exclusions::Kind::None);
  if (extra) {
    ex.extra_indptr = *r.extra_indptr;
    ex.extra_indices = checks::as_unsigned(*extra_indices);
  }
  if (seen) {
    ex.seen_indptr = seen_indptr;
    ex.seen_indices = seen_indices;
  }
  return ex;
}

struct Malformed {};
using Outcome = std::variant<recommend::Outputs, ranking::TooFewEligible, Malformed>;

// Runs one request: a pool only for large requests, the lock released throughout, and
// every failure inside the kernel other than memory exhaustion reported as a malformed
// model (fitted data is only shape-checked before the kernel reads it).
template <class Kernel>
py::Ref recommend_call(uint64_t n_queries, bool parallel, uint64_t k, uint64_t n_threads, uint64_t first_query,
                       Kernel&& kernel) {
  std::shared_ptr<parallel::Pool> pool;
  if (parallel) pool = pools::pool(n_threads);
  auto guarded = [&]() -> Outcome {
    try {
      recommend::Result r = kernel();
      if (auto* f = std::get_if<ranking::TooFewEligible>(&r)) return *f;
      return std::move(std::get<recommend::Outputs>(r));
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::length_error&) {
      throw std::bad_alloc();
    } catch (...) {
      return Malformed{};
    }
  };
  Outcome outcome = py::without_gil([&]() -> Outcome {
    Outcome o = pool ? pool->join(guarded) : guarded();
    pool.reset();
    return o;
  });
  if (std::holds_alternative<Malformed>(outcome))
    py::value_error("The fitted matrices are malformed: an index is out of range or an index pointer is not monotone.");
  if (auto* f = std::get_if<ranking::TooFewEligible>(&outcome))
    py::too_few(k, ranking::TooFewEligible{first_query + f->query, f->eligible});
  auto& out = std::get<recommend::Outputs>(outcome);
  return py::ranked_pair(n_queries, k, std::move(out.positions), std::move(out.scores));
}

// The two functions whose users are a CSR matrix: the users' shape, then rows, candidates
// and exclusions in that order, the seen items being the users' own rows; then the call,
// `score(users, request, exclusions)` running the kernel.
template <class A, class Score>
py::Ref serve_users(const A& a, uint64_t n_items, Score&& score) {
  auto uptr = a.template get<"users_indptr">().flat();
  auto uidx = a.template get<"users_indices">().flat();
  auto udata = a.template get<"users_data">().flat();
  const sparse::CsrView users = checks::fitted_csr("users", uptr, uidx, udata, n_items);
  Request r;
  r.rows = checks::to_usize(a.template get<"rows">().flat(), "rows", users.n_rows);
  set_candidates(r, view(a.template get<"candidates">()), n_items);
  std::optional<checks::I64s> extra_idx;
  set_extra(r, a.template get<"excluded_indptr">(), a.template get<"excluded_indices">(), extra_idx);
  const Exclusions ex = make_exclusions(r, extra_idx, a.template get<"exclude_seen">(), uptr, uidx);
  const uint64_t n_queries = r.rows.size();
  return recommend_call(n_queries, n_queries > recommend::kFewQueries, a.template get<"k">(), a.template get<"n_threads">(),
                        a.template get<"first_query">(), [&] { return score(users, r, ex); });
}

// ---- recommend_from_factors ----

using FactorArgs =
    py::Args<"recommend_from_factors", In<"user_factors", double, 2>, In<"item_factors", double, 2>,
             Maybe<"item_bias", double>, Maybe<"user_offset", double>, In<"rows", int64_t>,
             Maybe<"seen_indptr", int64_t>, Maybe<"seen_indices", int64_t>, Maybe<"candidates", int64_t>,
             Count<"k">, Count<"n_threads">, Default<Count<"first_query">>, Default<Maybe<"excluded_indptr", int64_t>>,
             Default<Maybe<"excluded_indices", int64_t>>>;

py::Ref recommend_from_factors(const FactorArgs& a) {
  const auto& user_factors = a.get<"user_factors">();
  const auto& item_factors = a.get<"item_factors">();
  const auto& item_bias = a.get<"item_bias">();
  const auto& user_offset = a.get<"user_offset">();
  const auto& seen_ptr = a.get<"seen_indptr">();
  const auto& seen_idx = a.get<"seen_indices">();
  const uint64_t k = a.get<"k">();

  if (user_factors.dim(1) != item_factors.dim(1)) py::value_error("user and item factors must have the same width.");
  const uint64_t n_users = user_factors.dim(0), n_items = item_factors.dim(0), dim = user_factors.dim(1);
  std::optional<std::span<const double>> bias, offset;
  if (item_bias) bias = item_bias->flat();
  if (user_offset) offset = user_offset->flat();
  if (bias && bias->size() != n_items) py::value_error("item_bias must have one value per item.");
  if (offset && offset->size() != n_users) py::value_error("user_offset must have one value per user.");
  auto uf = user_factors.flat();
  auto itf = item_factors.flat();
  auto rows_view = a.get<"rows">().flat();

  Request r;
  r.rows = checks::to_usize(rows_view, "rows", n_users);
  set_candidates(r, view(a.get<"candidates">()), n_items);
  if (seen_ptr.has_value() != seen_idx.has_value()) py::value_error("seen_indptr and seen_indices go together.");
  checks::I64s seen_ptr_view, seen_idx_view;
  const bool seen = seen_ptr.has_value();
  if (seen) {
    seen_ptr_view = seen_ptr->flat();
    if (seen_ptr_view.size() != n_users + 1) py::value_error("seen_indptr must have one entry per user, plus one.");
    seen_idx_view = seen_idx->flat();
  }
  std::optional<checks::I64s> extra_idx;
  set_extra(r, a.get<"excluded_indptr">(), a.get<"excluded_indices">(), extra_idx);
  const Exclusions ex = make_exclusions(r, extra_idx, seen, seen_ptr_view, seen_idx_view);

  recommend::FactorModel model;
  model.user_factors = uf;
  model.item_factors = itf;
  model.n_users = n_users;
  model.n_items = n_items;
  model.dim = dim;
  if (bias) model.item_bias = *bias;
  if (offset) model.user_offset = *offset;
  model.has_item_bias = bias.has_value();
  model.has_user_offset = offset.has_value();

  const uint64_t n_queries = r.rows.size();
  const bool parallel = recommend::wants_pool(n_queries, r.candidates.n_candidates, dim);
  return recommend_call(n_queries, parallel, k, a.get<"n_threads">(), a.get<"first_query">(), [&] {
    return recommend::top_k_from_factors(model, r.rows, r.candidates, ex, k);
  });
}

// ---- recommend_from_dense_rows ----

using DenseArgs =
    py::Args<"recommend_from_dense_rows", In<"users_indptr", int64_t>, In<"users_indices", int64_t>,
             In<"users_data", double>, In<"rows", int64_t>, In<"weights", double, 2>, Maybe<"candidates", int64_t>,
             Flag<"exclude_seen">, Count<"k">, Count<"n_threads">, Default<Count<"first_query">>,
             Default<Maybe<"excluded_indptr", int64_t>>, Default<Maybe<"excluded_indices", int64_t>>>;

py::Ref recommend_from_dense_rows(const DenseArgs& a) {
  const auto& weights = a.get<"weights">();
  const uint64_t k = a.get<"k">();
  if (weights.dim(0) != weights.dim(1)) py::value_error("weights must be square.");
  const uint64_t n_items = weights.dim(0);
  auto w = weights.flat();
  return serve_users(a, n_items, [&](const sparse::CsrView& users, const Request& r, const Exclusions& ex) {
    return recommend::top_k_from_dense_rows(users, w, n_items, r.rows, r.candidates, ex, k);
  });
}

// ---- recommend_from_similarity ----

using SimilarityArgs =
    py::Args<"recommend_from_similarity", In<"users_indptr", int64_t>, In<"users_indices", int64_t>,
             In<"users_data", double>, In<"rows", int64_t>, In<"similarity_indptr", int64_t>,
             In<"similarity_indices", int64_t>, In<"similarity_data", double>, Maybe<"candidates", int64_t>,
             Flag<"exclude_seen">, Count<"k">, Count<"n_threads">,
             // An absent first_query is 0, but None is not a count.
             Default<Count<"first_query">>, Default<Maybe<"excluded_indptr", int64_t>>,
             Default<Maybe<"excluded_indices", int64_t>>, Default<Flag<"implicit_ties">>>;

py::Ref recommend_from_similarity(const SimilarityArgs& a) {
  auto sptr = a.get<"similarity_indptr">().flat();
  auto sidx = a.get<"similarity_indices">().flat();
  auto sdata = a.get<"similarity_data">().flat();
  // The matrix is square; its side comes from the index pointer once that is known to
  // be non-empty.
  const uint64_t n_items = sptr.empty() ? 0 : sptr.size() - 1;
  const sparse::CsrView similarity = checks::fitted_csr("similarity", sptr, sidx, sdata, n_items);
  const uint64_t k = a.get<"k">();
  const bool implicit_ties = a.get<"implicit_ties">();
  return serve_users(a, n_items, [&](const sparse::CsrView& users, const Request& r, const Exclusions& ex) {
    return recommend::top_k_from_similarity(users, similarity, r.rows, r.candidates, ex, k, implicit_ties);
  });
}

const py::Registered functions{
    py::define<recommend_from_factors>(
        py::kRankedPair,
        "The `k` best candidates of a latent-factor model for users `rows`, and their scores.\n\n"
        "`score(u, j) = item_bias[j] + <user_factors[u], item_factors[j]> + user_offset[u]`,\n"
        "either bias optional; a model with no factors passes zero-width factor matrices. The\n"
        "seen matrix, when given, is the fitted interaction matrix whose row `u` lists what\n"
        "user `u` must not be recommended. Result as for `recommend_from_similarity`."),
    py::define<recommend_from_dense_rows>(
        py::kRankedPair,
        "The `k` best candidates of `users[rows] @ weights`, and their scores, for a dense\n"
        "(n_items, n_items) item-item matrix such as EASE's.\n\n"
        "Arguments and result as for `recommend_from_similarity`; `weights` must be\n"
        "C-contiguous.\n"
        QV_DOC_DEFAULT_POOL),
    py::define<recommend_from_similarity>(
        py::kRankedPair,
        "The `k` best candidates of `users[rows] @ similarity`, and their scores.\n\n"
        "`users` is the whole fitted interaction matrix (CSR) and `rows` the users queried;\n"
        "`similarity` is a sparse item-item matrix (CSR). Each query is scored and cut to its\n"
        "`k` best before the next, so no dense score matrix is built. `candidates` holds\n"
        "ascending item indices, or is None for every item; candidates the product never\n"
        "reaches score 0. With `exclude_seen` the items stored in the query's own row of\n"
        "`users` are skipped; `excluded_indptr`/`excluded_indices` exclude further candidate\n"
        "positions per query. Returns (positions, scores), two (len(rows), k) arrays, best\n"
        "first; positions index `candidates` (item indices when it is None). Exact ties rank\n"
        "to the lower position, unless `implicit_ties` asks for the tie order of common\n"
        "implicit-feedback item-item recommenders. Raises ValueError when a query has fewer\n"
        "than `k` eligible candidates.\n"
        QV_DOC_DEFAULT_POOL),
};

}  // namespace
}  // namespace qv::bind
