#include "recommend/dense_rows.hpp"

#include <cmath>

#include "core/isa.hpp"
#include "recommend/factors.hpp"
#include "recommend/scoring.hpp"

namespace qv::recommend {

namespace {

struct Scratch {
  std::vector<double> scores;
  std::vector<uint64_t> excluded;  // a query's list when the request keeps none
  Best best;
  std::vector<Candidate> ranked;
};

}  // namespace

Result top_k_from_dense_rows(const sparse::CsrView& users, std::span<const double> weights, uint64_t n_items,
                             std::span<const uint64_t> rows, const CandidateSet& candidates,
                             const Exclusions& exclusions, uint64_t k) {
  ExcludedLists excluded;
  if (auto shortfall = precheck(rows, candidates, exclusions, k, excluded)) return *shortfall;
  Outputs out = make_outputs(rows.size(), k);
  if (k == 0 || rows.empty()) return out;
  QV_ASSERT(weights.size() == checked_mul(n_items, n_items), "weights shape");
  QV_ASSERT(candidates.has_ids ? (candidates.ids.empty() || candidates.ids.back() < n_items)
                               : candidates.n_candidates <= n_items,
            "candidate out of range");
  const auto fma_row = QV_ISA_PICK(portable::fma_row, avx2::fma_row);
  const size_t n = static_cast<size_t>(n_items);
  run_chunks(
      out, 1, k, rows.size(),
      [&] {
        Scratch s{{}, {}, Best(k, candidates.n_candidates), {}};
        resize_as("a per-thread row of scores", s.scores, n_items, 0.0);
        return s;
      },
      [&](Scratch& s, size_t q, std::span<uint64_t> positions, std::span<double> scores) {
        const auto skip = excluded.of(q, s.excluded);
        std::fill(s.scores.begin(), s.scores.end(), 0.0);
        const sparse::CsrView::Entries row = users.entries(rows[q]);
        for (size_t e = 0; e < row.indices.size(); ++e) {
          const uint64_t j = row.indices[e];
          QV_ASSERT(j < n_items, "user item out of range");
          fma_row(row.data[e], weights.data() + j * n, s.scores.data(), n);
        }
        offer_dense(s.scores.data(), candidates, skip, s.best);
        s.best.drain_sorted(s.ranked);
        write_ranked(s.ranked, k, positions.data(), scores.data());
      });
  return out;
}

}  // namespace qv::recommend
