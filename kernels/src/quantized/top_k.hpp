#pragma once
// The quantized flat scan: every eligible candidate of every query is scored coarsely from
// its packed codes, the best L = min(oversample x k, max(k, candidates)) form a shortlist,
// and only the shortlist is rescored exactly against the item vectors. The scores
// returned are always exact; the codes only choose which candidates reach that stage.
// Single-threaded and sequential, so every call is reproducible to the bit.
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "quantized/codes.hpp"
#include "quantized/coarse.hpp"
#include "quantized/shortlist.hpp"
#include "quantized/tiled.hpp"
#include "vectors/items.hpp"

namespace qv::quantized {

namespace detail {

// One query at a time: fold, shortlist by codes, rescore.
template <class Items>
Result per_query(const QuantizedStore& store, const Items& items, const vectors::QuerySet& queries,
                 uint64_t n_queries, std::span<const uint64_t> candidates, const Excluded& excluded, uint64_t k,
                 uint64_t L, Ranked out) {
  using Form = vectors::QuerySet::Form;
  const auto* dense = std::get_if<DenseCodes>(&store);
  const auto* sparse_store = std::get_if<SparseCodes>(&store);
  QV_ASSERT(dense || queries.form == Form::Scattered, "a sparse store takes scattered queries");

  // Dense codes read a weight per query dimension, or per stored entry of a CSR row.
  uint64_t n_weights = 0;
  if (dense && queries.form == Form::Dense) {
    n_weights = dense->dim;
  } else if (dense) {
    for (uint64_t q = 0; q < n_queries; ++q) {
      const auto [b, e] = queries.csr.row(q);
      n_weights = std::max<uint64_t>(n_weights, e - b);
    }
  }
  std::vector<double> weights, scatter;
  std::vector<uint64_t> columns;
  resize_as("a code weight per query entry", weights, n_weights, 0.0);
  if (queries.form != Form::Dense) resize_as("a column per query entry", columns, n_weights);
  resize_as("a scatter buffer of dim values", scatter, queries.scatter_len(), 0.0);
  Shortlist heap(L);
  std::vector<Candidate> rescored;
  reserve_as(kRescoredShortlist, rescored, L);
  if (dense)
    QV_ASSERT(candidates.empty() || (candidates.back() + 1) * dense->row_bytes <= dense->codes.size(),
              "candidate outside the codes");
  else
    QV_ASSERT(candidates.empty() || candidates.back() < sparse_store->rows.n_rows, "candidate outside the codes");

  for (uint64_t q = 0; q < n_queries; ++q) {
    heap.clear();
    const Pass pass{candidates, excluded.row(q), heap};
    if (dense) {
      if (queries.form == Form::Dense) {
        shortlist_by_codes(*dense, queries.values.subspan(q * queries.dim, queries.dim), weights, pass);
      } else {
        const auto [b, e] = queries.csr.row(q);
        shortlist_by_codes(*dense, queries.csr.indices.subspan(b, e - b), queries.csr.data.subspan(b, e - b),
                           weights, columns, pass);
      }
    }
    // A scattered query is written into the buffer once, for the coarse and the exact
    // stage alike, and cleared when both are done.
    const bool short_query = queries.with_query(q, scatter, [&](const vectors::Query& query) {
      if (sparse_store) shortlist_by_codes(*sparse_store, query.values, pass);
      if (heap.size() < k) return true;
      rank_one(heap, rescored, k, [&](uint64_t position) { return items.score(candidates[position], query); },
               out.positions.data() + q * k, out.scores.data() + q * k);
      return false;
    });
    if (short_query) return TooFewEligible{q, heap.size()};
  }
  return out;
}

}  // namespace detail

// The k best candidate positions of each query with their exact scores, or the lowest
// query with fewer than k eligible candidates. `n_queries` is the caller's count of query
// rows (a dense query set of width 0 still has its rows). Items must be the vectors the
// codes describe, in the same order; the arrays have been validated by the caller.
template <class Items>
Result top_k(const QuantizedStore& store, const Items& items, const vectors::QuerySet& queries, uint64_t n_queries,
             std::span<const uint64_t> candidates, const Excluded& excluded, uint64_t k, uint64_t oversample,
             isa::Level level = isa::active()) {
  if (k == 0 || n_queries == 0) return make_outputs(n_queries, k);
  if (auto s = first_short_query(n_queries, candidates.size(), excluded, k)) return *s;
  Ranked out = make_outputs(n_queries, k);
  const uint64_t L = shortlist_length(k, oversample, candidates.size());
  const auto* dense = std::get_if<DenseCodes>(&store);
  if (dense && queries.form == vectors::QuerySet::Form::Dense && dense->dim > 0) {
    const uint64_t dim = dense->dim;
    QV_ASSERT(queries.dim == dim, "queries and codes differ in width");
    return tiled_top_k(*dense, queries.values, n_queries, candidates, excluded, k, L, std::move(out), level,
                       [&](uint64_t q, uint64_t position) {
                         return items.score(candidates[position],
                                            vectors::Query::dense(queries.values.subspan(q * dim, dim)));
                       });
  }
  return detail::per_query(store, items, queries, n_queries, candidates, excluded, k, L, std::move(out));
}

}  // namespace qv::quantized
