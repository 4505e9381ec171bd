#pragma once
// What the per-query and the tiled scans share: the shortlist length, the exclusion rows,
// the bounded shortlist, the shortfall test and the exact rescoring of one query.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "core/invariant.hpp"
#include "ranking/candidate.hpp"
#include "ranking/heap.hpp"
#include "ranking/rows.hpp"

namespace qv::quantized {

using ranking::Candidate;
using ranking::TooFewEligible;

// The k best positions of every query, row-major, and their exact scores.
using Ranked = ranking::RankedRows;
using Result = std::variant<Ranked, TooFewEligible>;

// One row of excluded candidate positions per query, strictly ascending (checked by the
// caller), so a forward cursor meets each in position order.
struct Excluded {
  std::span<const uint64_t> indptr;
  std::span<const int64_t> indices;

  std::span<const int64_t> row(uint64_t q) const {
    QV_ASSERT(q + 1 < indptr.size() && indptr[q] <= indptr[q + 1] && indptr[q + 1] <= indices.size(),
              "exclusion row out of range");
    return indices.subspan(indptr[q], indptr[q + 1] - indptr[q]);
  }
};

// What rank_one rescores into: one exact score per shortlisted candidate.
inline constexpr const char* kRescoredShortlist = "the shortlist's exact scores";

// oversample x k (saturating), never below k and never above max(k, n_candidates).
inline uint64_t shortlist_length(uint64_t k, uint64_t oversample, uint64_t n_candidates) {
  uint64_t wanted;
  if (__builtin_mul_overflow(oversample, k, &wanted)) wanted = UINT64_MAX;
  return std::min(std::max(wanted, k), std::max(k, n_candidates));
}

// Every eligible candidate reaches the shortlist of L >= k, so a query is short exactly when
// its candidates minus its exclusions number fewer than k. Deciding that from the counts
// before anything k-sized is allocated keeps an impossible k from costing memory.
inline std::optional<TooFewEligible> first_short_query(uint64_t n_queries, uint64_t n_candidates,
                                                       const Excluded& excluded, uint64_t k) {
  for (uint64_t q = 0; q < n_queries; ++q) {
    const uint64_t eligible = n_candidates - excluded.row(q).size();
    if (eligible < k) return TooFewEligible{q, eligible};
  }
  return std::nullopt;
}

// The L best coarse scores of one query. Positions are offered in ascending order, so a
// newcomer enters a full shortlist only with a score strictly above the worst kept one
// (a NaN never displaces), and among equal scores the lower positions stay. A newcomer
// that enters a full shortlist pops the root, then is pushed: with NaN coarse scores held
// that decides which candidates stay, and every scan form must keep the same ones.
class Shortlist : public ranking::TopK<ranking::CandidateOrder> {
 public:
  explicit Shortlist(uint64_t length) : TopK(length, length, "a shortlist heap of oversample * k") {}
  void offer(double score, uint64_t index) { offer_by_pop(score, index); }
};

inline Ranked make_outputs(uint64_t n_queries, uint64_t k) {
  return ranking::ranked_rows(n_queries, k, "an (n_queries, k) result");
}

// Drains one query's shortlist (in the heap's storage order), rescores every entry exactly
// with exact(position), sorts best first and writes the k best into the query's output row.
template <class Exact>
void rank_one(Shortlist& shortlist, std::vector<Candidate>& rescored, uint64_t k, Exact&& exact,
              uint64_t* positions, double* scores) {
  rescored.clear();
  for (const Candidate& c : shortlist.held()) rescored.push_back({exact(c.index), c.index});
  shortlist.clear();
  ranking::sort_best_first(rescored);
  QV_ASSERT(rescored.size() >= k, "shortlist shorter than k");
  for (uint64_t j = 0; j < k; ++j) {
    positions[j] = rescored[j].index;
    scores[j] = rescored[j].score;
  }
}

}  // namespace qv::quantized
