#pragma once
// The tiled scan of dense queries over a dense code store: queries go through in tiles of
// sixteen lanes, every candidate's codes are unpacked once per tile and scored for all
// lanes, each lane keeps its own shortlist, and each shortlist is rescored exactly.
//
// Its coarse score is C + A rounded once, C and A being fused chains in dimension order of
// q[d] * offset[d] and w[d] * code[d] (w[d] = q[d] * scale[d] rounded), both from +0.0:
// the same products as the per-query pass, summed in another order.
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "quantized/codes.hpp"
#include "quantized/shortlist.hpp"
#include "quantized/tile.hpp"

namespace qv::quantized {

// exact(q, position) is the exact score of candidate `position` for query q. `out` holds
// n_queries x k zeros; L >= k >= 1 and store.dim >= 1.
template <class Exact>
Result tiled_top_k(const DenseCodes& store, std::span<const double> queries, uint64_t n_queries,
                   std::span<const uint64_t> candidates, const Excluded& excluded, uint64_t k, uint64_t L,
                   Ranked out, isa::Level level, Exact&& exact) {
  const uint64_t dim = store.dim;
  QV_ASSERT(dim >= 1 && k >= 1 && L >= k, "tiled scan outside its domain");
  QV_ASSERT(queries.size() / dim >= n_queries, "fewer query rows than queries");
  QV_ASSERT(store.scale.size() == dim && store.offset.size() == dim, "scale or offset of the wrong width");
  QV_ASSERT(candidates.empty() || (candidates.back() + 1) * store.row_bytes <= store.codes.size(),
            "candidate outside the codes");

  std::vector<double> tile, unpacked;
  resize_as("the code weights of a tile of queries (16 per dimension)", tile, checked_mul(kLanes, dim));
  // Only tiles of more than kFewLanes lanes unpack codes, and only the first tile can
  // have more lanes than the last.
  const size_t most_lanes = static_cast<size_t>(std::min<uint64_t>(kLanes, n_queries));
  if (most_lanes > kFewLanes)
    resize_as("the unpacked codes of a block of candidates", unpacked, checked_mul(kTileBlock, dim));
  double acc[kTileBlock * kLanes];
  double c[kLanes];
  size_t cursor[kLanes];
  std::span<const int64_t> rows[kLanes];
  std::vector<Shortlist> heaps;
  heaps.reserve(most_lanes);
  for (size_t l = 0; l < most_lanes; ++l) heaps.emplace_back(L);
  std::vector<Candidate> rescored;
  reserve_as(kRescoredShortlist, rescored, L);
  const uint64_t n_candidates = candidates.size();

  for (uint64_t s = 0; s < n_queries; s += kLanes) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kLanes, n_queries - s));
    std::fill(tile.begin(), tile.end(), 0.0);
    for (size_t l = 0; l < n; ++l) {
      const double* x = queries.data() + (s + l) * dim;
      double cl = 0.0;
      for (uint64_t d = 0; d < dim; ++d) {
        tile[kLanes * d + l] = x[d] * store.scale[d];
        cl = std::fma(x[d], store.offset[d], cl);
      }
      c[l] = cl;
      cursor[l] = 0;
      rows[l] = excluded.row(s + l);
      heaps[l].clear();
    }
    const Tile t{tile.data(), dim, n, finite_lanes(tile.data(), dim, n)};
    const TileScorer score_block = tile_scorer(store.bits, level, n);
    for (uint64_t p0 = 0; p0 < n_candidates; p0 += kTileBlock) {
      const size_t m = static_cast<size_t>(std::min<uint64_t>(kTileBlock, n_candidates - p0));
      score_block(store.codes.data(), store.row_bytes, candidates.data() + p0, m, t, unpacked.data(), acc);
      // Lane by lane: each lane offers its candidates in position order to its own heap,
      // and its exclusion test is one comparison with its next excluded position. A block
      // whose scores are all below the heap's threshold, which offer() turns away one by
      // one, is passed over whole.
      for (size_t l = 0; l < n; ++l) {
        Shortlist& heap = heaps[l];
        const std::span<const int64_t> row = rows[l];
        size_t at = cursor[l];
        const auto next_excluded = [&] { return at < row.size() ? static_cast<uint64_t>(row[at]) : UINT64_MAX; };
        uint64_t next = next_excluded();
        double score[kTileBlock];
        bool any = false;
        const double threshold = heap.threshold();
        for (size_t i = 0; i < m; ++i) {
          score[i] = c[l] + acc[kTileBlock * l + i];
          any |= !(score[i] < threshold);
        }
        if (!any) {
          while (next < p0 + m) {
            ++at;
            next = next_excluded();
          }
        } else {
          for (size_t i = 0; i < m; ++i) {
            const uint64_t p = p0 + i;
            if (p == next) {
              ++at;
              next = next_excluded();
            } else {
              heap.offer(score[i], p);
            }
          }
        }
        cursor[l] = at;
      }
    }
    for (size_t l = 0; l < n; ++l) {
      const uint64_t q = s + l;
      if (heaps[l].size() < k) return TooFewEligible{q, heaps[l].size()};
      rank_one(heaps[l], rescored, k, [&](uint64_t position) { return exact(q, position); },
               out.positions.data() + q * k, out.scores.data() + q * k);
    }
  }
  return out;
}

}  // namespace qv::quantized
