#include "recommend/frame.hpp"

namespace qv::recommend {

void collect_items(std::span<const int64_t> indptr, std::span<const int64_t> indices, uint64_t row,
                   const CandidateSet& candidates, std::vector<uint64_t>& out) {
  QV_ASSERT(row < indptr.size() && row + 1 < indptr.size(), "seen row out of range");
  const uint64_t b = static_cast<uint64_t>(indptr[row]), e = static_cast<uint64_t>(indptr[row + 1]);
  QV_ASSERT(b <= e && e <= indices.size(), "seen index pointer malformed");
  if (candidates.has_ids) {
    for (uint64_t i = b; i < e; ++i) {
      const uint64_t p = candidates.position(static_cast<uint64_t>(indices[i]));
      if (p != kNotCandidate) out.push_back(p);
    }
  } else {
    for (uint64_t i = b; i < e; ++i) {
      const uint64_t item = static_cast<uint64_t>(indices[i]);
      if (item < candidates.n_candidates) out.push_back(item);
    }
  }
}

void Exclusions::collect(uint64_t q, uint64_t user, const CandidateSet& candidates,
                         std::vector<uint64_t>& out) const {
  out.clear();
  if (has_seen()) collect_items(seen_indptr, seen_indices, user, candidates, out);
  if (has_extra()) {
    QV_ASSERT(q + 1 < extra_indptr.size(), "exclusion row out of range");
    const uint64_t b = extra_indptr[q], e = extra_indptr[q + 1];
    QV_ASSERT(b <= e && e <= extra_indices.size(), "exclusion index pointer malformed");
    for (uint64_t i = b; i < e; ++i) {
      // checked when the call began, but the caller's array may have been written since
      const uint64_t p = read_once(extra_indices[i]);
      QV_ASSERT(p < candidates.n_candidates, "excluded position out of range");
      out.push_back(p);
    }
  }
  // Scorers walk the list with a forward cursor, so it must ascend without repeats.
  if (std::adjacent_find(out.begin(), out.end(), std::greater_equal<uint64_t>()) != out.end()) {
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
  }
}

std::optional<TooFewEligible> precheck(std::span<const uint64_t> rows, const CandidateSet& candidates,
                                       const Exclusions& exclusions, uint64_t k, ExcludedLists& lists) {
  lists = ExcludedLists{};
  lists.source_ = &exclusions;
  lists.candidates_ = &candidates;
  lists.rows_ = rows;
  const uint64_t n = candidates.n_candidates;
  if (exclusions.kind == Exclusions::Kind::None) {
    if (!rows.empty() && n < k) return TooFewEligible{0, n};
    return std::nullopt;
  }
  // Kept while they take no more than twice the caller's own exclusion arrays (or 32 MiB).
  const uint64_t budget = std::max<uint64_t>(
      uint64_t{1} << 22, 2 * (uint64_t{exclusions.seen_indices.size()} + exclusions.extra_indices.size()));
  lists.kept_ = true;
  lists.offsets_.reserve(rows.size() + 1);
  lists.offsets_.push_back(0);
  std::vector<uint64_t> excluded;
  for (uint64_t q = 0; q < rows.size(); ++q) {
    exclusions.collect(q, rows[q], candidates, excluded);
    const uint64_t eligible = excluded.size() < n ? n - excluded.size() : 0;
    if (eligible < k) return TooFewEligible{q, eligible};
    if (!lists.kept_) continue;
    if (lists.positions_.size() + excluded.size() > budget) {
      lists.kept_ = false;
      lists.offsets_ = {};
      lists.positions_ = {};
      continue;
    }
    lists.positions_.insert(lists.positions_.end(), excluded.begin(), excluded.end());
    lists.offsets_.push_back(lists.positions_.size());
  }
  return std::nullopt;
}

Outputs make_outputs(uint64_t n_queries, uint64_t k) {
  return ranking::ranked_rows(n_queries, k, "(len(rows), k) positions and scores");
}

}  // namespace qv::recommend
