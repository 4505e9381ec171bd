#pragma once
// The scan and tile loops of scoring.hpp, written once and compiled per level by
// scoring.cpp and scoring_avx2.cpp. The including file first defines, in its level's
// namespace, how a group of four candidates is scored:
//   void scan_scores(const double* user, size_t dim, const Group& g, double out[4]);
//   bool tile_scores(const double* users, size_t dim, const Group& g, const double thr[8],
//                    double out[4][8]);
// (tile_scores returns false when every score is below its lane's threshold).
#include "core/isa.hpp"
#include "recommend/scoring.hpp"

namespace qv::recommend::QV_ISA_NS {

bool scan_range(const FactorModel& m, const CandidateSet& c, const double* user, std::span<const uint64_t> ex,
                Best& best, uint64_t start, uint64_t end, bool prefetch) {
  if (end <= start) return false;
  bool nan = false;
  size_t cursor = static_cast<size_t>(std::lower_bound(ex.begin(), ex.end(), start) - ex.begin());
  const uint64_t last = end - 1;
  const uint64_t ahead = prefetch_ahead(m.dim), final = c.n_candidates - 1;
  alignas(32) double sc[4];
  for (uint64_t p = start; p < end; p += 4) {
    if (prefetch) prefetch_group(m, c, p + ahead, final);
    const Group g = load_group(m, c, p, last);
    scan_scores(user, m.dim, g, sc);
    const uint64_t top = std::min<uint64_t>(p + 3, last);
    const double t = best.threshold();
    if (sc[0] < t && sc[1] < t && sc[2] < t && sc[3] < t) {
      skip_to(ex, cursor, top);
      continue;
    }
    for (uint64_t q = p; q <= top; ++q) {
      if (cursor < ex.size() && ex[cursor] == q) {
        ++cursor;
        continue;
      }
      nan |= std::isnan(sc[q - p]);
      best.offer(sc[q - p], q);
    }
  }
  return nan;
}

void tile_range(const FactorModel& m, const CandidateSet& c, Tile& t, uint64_t start, uint64_t end, bool prefetch) {
  const size_t lanes = t.lanes;
  const uint64_t last = c.n_candidates - 1;
  const uint64_t ahead = prefetch_ahead(m.dim);
  for (size_t l = 0; l < 8; ++l) t.thr[l] = l < lanes ? t.best[l].threshold() : kInf;
  alignas(32) double sc[4][8];
  for (uint64_t p = start; p < end; p += 4) {
    if (prefetch) prefetch_group(m, c, p + ahead, last);
    const Group g = load_group(m, c, p, last);
    const uint64_t top = std::min<uint64_t>(p + 3, end - 1);
    if (!tile_scores(t.users.data(), static_cast<size_t>(m.dim), g, t.thr, sc)) {
      for (size_t l = 0; l < lanes; ++l) skip_to(t.excluded[l], t.cursor[l], top);
      continue;
    }
    for (uint64_t q = p; q <= top; ++q) {
      for (size_t l = 0; l < lanes; ++l) {
        const auto& ex = t.excluded[l];
        if (t.cursor[l] < ex.size() && ex[t.cursor[l]] == q) {
          ++t.cursor[l];
          continue;
        }
        t.nan |= std::isnan(sc[q - p][l]);
        t.best[l].offer(sc[q - p][l], q);
      }
    }
    for (size_t l = 0; l < lanes; ++l) t.thr[l] = t.best[l].threshold();
  }
}

}  // namespace qv::recommend::QV_ISA_NS
