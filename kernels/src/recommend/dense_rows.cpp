#include "recommend/dense_rows.hpp"

#include <immintrin.h>

#include <cmath>

#include "recommend/factors.hpp"

namespace qv::recommend {

namespace {

// s[c] = fma(x, w[c], s[c]) for every c. Columns are independent, so the vector width
// does not change a single bit.
void fma_row_portable(double x, const double* w, double* s, size_t n) {
  for (size_t c = 0; c < n; ++c) s[c] = std::fma(x, w[c], s[c]);
}

__attribute__((target("avx2,fma"))) void fma_row_avx2(double x, const double* w, double* s, size_t n) {
  const __m256d xv = _mm256_set1_pd(x);
  size_t c = 0;
  for (; c + 16 <= n; c += 16) {
    __m256d a = _mm256_fmadd_pd(xv, _mm256_loadu_pd(w + c), _mm256_loadu_pd(s + c));
    __m256d b = _mm256_fmadd_pd(xv, _mm256_loadu_pd(w + c + 4), _mm256_loadu_pd(s + c + 4));
    __m256d d = _mm256_fmadd_pd(xv, _mm256_loadu_pd(w + c + 8), _mm256_loadu_pd(s + c + 8));
    __m256d e = _mm256_fmadd_pd(xv, _mm256_loadu_pd(w + c + 12), _mm256_loadu_pd(s + c + 12));
    _mm256_storeu_pd(s + c, a);
    _mm256_storeu_pd(s + c + 4, b);
    _mm256_storeu_pd(s + c + 8, d);
    _mm256_storeu_pd(s + c + 12, e);
  }
  for (; c + 4 <= n; c += 4)
    _mm256_storeu_pd(s + c, _mm256_fmadd_pd(xv, _mm256_loadu_pd(w + c), _mm256_loadu_pd(s + c)));
  for (; c < n; ++c) s[c] = std::fma(x, w[c], s[c]);
}

struct Scratch {
  std::vector<double> scores;
  std::vector<uint64_t> excluded;
  Best best;
  std::vector<Candidate> ranked;
};

}  // namespace

Result top_k_from_dense_rows(const sparse::CsrView& users, std::span<const double> weights, uint64_t n_items,
                             std::span<const uint64_t> rows, const CandidateSet& candidates,
                             const Exclusions& exclusions, uint64_t k) {
  if (auto shortfall = precheck(rows, candidates, exclusions, k)) return *shortfall;
  Outputs out = make_outputs(rows.size(), k);
  if (k == 0 || rows.empty()) return out;
  QV_ASSERT(weights.size() == checked_mul(n_items, n_items), "weights shape");
  QV_ASSERT(candidates.has_ids ? (candidates.ids.empty() || candidates.ids.back() < n_items)
                               : candidates.n_candidates <= n_items,
            "candidate out of range");
  auto fma_row = detail::simd_available() && !detail::force_portable.load(std::memory_order_relaxed)
                     ? fma_row_avx2
                     : fma_row_portable;
  const size_t n = static_cast<size_t>(n_items);
  run_chunks(
      out, 1, k, rows.size(),
      [&] {
        return Scratch{std::vector<double>(checked_len<double>(n_items), 0.0), {}, Best(k, candidates.n_candidates),
                       {}};
      },
      [&](Scratch& s, size_t q, std::span<uint64_t> positions, std::span<double> scores) {
        exclusions.collect(q, rows[q], candidates, s.excluded);
        std::fill(s.scores.begin(), s.scores.end(), 0.0);
        const sparse::CsrView::Entries row = users.entries(rows[q]);
        for (size_t e = 0; e < row.indices.size(); ++e) {
          const uint64_t j = row.indices[e];
          QV_ASSERT(j < n_items, "user item out of range");
          fma_row(row.data[e], weights.data() + j * n, s.scores.data(), n);
        }
        offer_dense(s.scores.data(), candidates, s.excluded, s.best);
        s.best.drain_sorted(s.ranked);
        write_ranked(s.ranked, k, positions.data(), scores.data());
      });
  return out;
}

}  // namespace qv::recommend
