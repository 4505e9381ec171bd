#pragma once
// What the three recommendation scorers share: the candidate list, the per-query excluded
// positions, the bounded best-k collector, the eligibility pre-check and the chunk driver.
//
// Fitted data (seen patterns, user and similarity matrices) arrives with only its shape
// checked, so every index read from it is checked here; a failed check throws
// InternalError, which the bindings report as a malformed model.
#include <algorithm>
#include <cmath>
#include <functional>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "core/invariant.hpp"
#include "parallel/pool.hpp"
#include "ranking/candidate.hpp"
#include "ranking/heap.hpp"
#include "ranking/rows.hpp"
#include "sparse/sparse.hpp"

namespace qv::recommend {

using ranking::Candidate;
using ranking::TooFewEligible;

inline constexpr uint64_t kNotCandidate = std::numeric_limits<uint64_t>::max();

// The candidate items of a request. Without `ids` every item is a candidate and a
// position is the item itself.
struct CandidateSet {
  std::span<const uint64_t> ids;  // strictly ascending item indices, when `has_ids`
  bool has_ids = false;
  uint64_t n_candidates = 0;
  // item -> position, or kNotCandidate; with ids only, and left empty when the candidates
  // are few next to the catalogue, which a request should not have to fill item by item.
  std::span<const uint64_t> map;

  uint64_t item(uint64_t p) const { return has_ids ? ids[p] : p; }

  // The position of `item`, or kNotCandidate (also for items outside the catalogue).
  uint64_t position(uint64_t item) const {
    if (!has_ids) return item < n_candidates ? item : kNotCandidate;
    if (!map.empty()) return item < map.size() ? map[item] : kNotCandidate;
    const auto it = std::lower_bound(ids.begin(), ids.end(), item);
    return it != ids.end() && *it == item ? static_cast<uint64_t>(it - ids.begin()) : kNotCandidate;
  }
};

// Appends the candidate positions of the items in row `row` of a seen pattern. Items
// that are not candidates, or lie outside the catalogue, are skipped.
void collect_items(std::span<const int64_t> indptr, std::span<const int64_t> indices, uint64_t row,
                   const CandidateSet& candidates, std::vector<uint64_t>& out);

struct Exclusions {
  enum class Kind { None, Extra, Seen, SeenAndExtra };
  Kind kind = Kind::None;
  // The caller's per-query positions (checked by the binding, and again as they are read).
  std::span<const uint64_t> extra_indptr;
  std::span<const uint64_t> extra_indices;
  // Per-user items never to be served (unchecked).
  std::span<const int64_t> seen_indptr;
  std::span<const int64_t> seen_indices;

  bool has_seen() const { return kind == Kind::Seen || kind == Kind::SeenAndExtra; }
  bool has_extra() const { return kind == Kind::Extra || kind == Kind::SeenAndExtra; }

  // The excluded positions of query q (user `user`), ascending and distinct.
  void collect(uint64_t q, uint64_t user, const CandidateSet& candidates, std::vector<uint64_t>& out) const;
};

// The k best offers of one query under the Candidate order (equal scores to the lower
// position, whatever the order of the offers).
using Best = ranking::TopK<ranking::CandidateOrder>;

// The result buffers of a request: n_queries x k entries each, query q at [q*k, q*k+k).
using Outputs = ranking::RankedRows;
using Result = std::variant<Outputs, TooFewEligible>;

// Every query's excluded positions, collected once per request by the pre-check and read
// by the scorers. A request whose lists would take far more memory than its own arrays
// (one heavy user's seen items repeated over many queries) keeps none, and each query's
// list is collected again where it is scored.
class ExcludedLists {
 public:
  // Query q's list, ascending and distinct: the kept one, or collected into `scratch`.
  std::span<const uint64_t> of(uint64_t q, std::vector<uint64_t>& scratch) const {
    if (kept_) {
      QV_ASSERT(q + 1 < offsets_.size(), "query out of range");
      return {positions_.data() + offsets_[q], static_cast<size_t>(offsets_[q + 1] - offsets_[q])};
    }
    if (!source_ || source_->kind == Exclusions::Kind::None) return {};
    source_->collect(q, rows_[q], *candidates_, scratch);
    return scratch;
  }

 private:
  friend std::optional<TooFewEligible> precheck(std::span<const uint64_t>, const CandidateSet&, const Exclusions&,
                                                uint64_t, ExcludedLists&);
  const Exclusions* source_ = nullptr;
  const CandidateSet* candidates_ = nullptr;
  std::span<const uint64_t> rows_;
  bool kept_ = false;
  std::vector<uint64_t> offsets_;  // n_queries + 1 when kept
  std::vector<uint64_t> positions_;
};

// Tests every query, in order, for at least k eligible candidates before anything is
// scored, so the shortfall reported is always the lowest query whatever the thread count;
// `lists` receives the exclusions it collected on the way.
std::optional<TooFewEligible> precheck(std::span<const uint64_t> rows, const CandidateSet& candidates,
                                       const Exclusions& exclusions, uint64_t k, ExcludedLists& lists);

// Zero-filled outputs for n_queries x k entries.
Outputs make_outputs(uint64_t n_queries, uint64_t k);

// Threads of the pool running this kernel; 1 off any pool (a small request never
// consults one).
inline size_t running_threads() {
  parallel::Pool* p = parallel::Pool::current();
  return p ? p->threads() : 1;
}

// Writes the first min(k, ranked) entries of a ranked list, scores as held.
inline void write_ranked(const std::vector<Candidate>& ranked, uint64_t k, uint64_t* positions, double* scores) {
  const size_t n = std::min<size_t>(ranked.size(), k);
  for (size_t i = 0; i < n; ++i) {
    positions[i] = ranked[i].index;
    scores[i] = ranked[i].score;
  }
}

// The same, with `offset` added to each score (offset + score, so -0.0 comes out +0.0
// when the offset is +0.0).
inline void write_ranked(const std::vector<Candidate>& ranked, uint64_t k, uint64_t* positions, double* scores,
                         double offset) {
  const size_t n = std::min<size_t>(ranked.size(), k);
  for (size_t i = 0; i < n; ++i) {
    positions[i] = ranked[i].index;
    scores[i] = offset + ranked[i].score;
  }
}

// Offers every candidate position in ascending order with the dense score of its item,
// skipping the ascending `excluded` positions with a forward cursor.
inline void offer_dense(const double* scores, const CandidateSet& c, std::span<const uint64_t> excluded, Best& best) {
  size_t cursor = 0;
  const uint64_t n = c.n_candidates;
  uint64_t next = excluded.empty() ? n : excluded[0];
  for (uint64_t p = 0; p < n; ++p) {
    if (p == next) {
      ++cursor;
      next = cursor < excluded.size() ? excluded[cursor] : n;
      continue;
    }
    best.offer(scores[c.item(p)], p);
  }
}

// Requests of more queries than this are worth a pool of their own; fewer are scored on
// the calling thread unless each query is large.
inline constexpr uint64_t kFewQueries = 8;

// Drives a scorer over chunks of queries_per_chunk queries: body(state, chunk, positions,
// scores) with the chunk's slices of the outputs. Parallel beyond kFewQueries queries on a
// pool of several threads; one state per piece of work.
template <class Init, class Body>
void run_chunks(Outputs& out, size_t queries_per_chunk, uint64_t k, uint64_t n_queries, Init&& init, Body&& body) {
  const size_t n_chunks = (n_queries + queries_per_chunk - 1) / queries_per_chunk;
  const size_t chunk_len = queries_per_chunk * k;
  auto run = [&](auto& state, size_t c) {
    const size_t lo = c * chunk_len;
    const size_t hi = std::min(out.positions.size(), lo + chunk_len);
    body(state, c, std::span<uint64_t>(out.positions.data() + lo, hi - lo),
         std::span<double>(out.scores.data() + lo, hi - lo));
  };
  if (n_queries > kFewQueries && running_threads() > 1) {
    parallel::for_each_with(n_chunks, init, run);
  } else {
    auto state = init();
    for (size_t c = 0; c < n_chunks; ++c) run(state, c);
  }
}

}  // namespace qv::recommend
