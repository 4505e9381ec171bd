#pragma once
// The greedy descent through the upper levels, shared by insertion, repair and search.
#include <cstdint>
#include <vector>

#include "hnsw/heaps.hpp"

namespace qv::hnsw {

// Scratch of one walk: a copy of a neighbour list and the scores of its entries.
struct WalkScratch {
  std::vector<uint32_t> ids;
  std::vector<double> scores;
};

// From (cur, best) on level `from`, down to level `to` + 1: walks cur's list on each
// level, moving to every entry that ranks better than the current pair, and repeats the
// level while it moved. `score_many(ids, n, out)` scores list entries.
//
// With NaN scores the move rule is not an order and the walk could cycle; a NaN-free walk
// never revisits a node, so capping the moves of one level at n changes no NaN-free
// result and always ends.
template <class Links, class ScoreMany>
void descend(const Links& links, uint64_t& cur, double& best, uint64_t from, uint64_t to, uint64_t n,
             WalkScratch& w, ScoreMany&& score_many) {
  for (uint64_t level = from; level > to; --level) {
    uint64_t moves = 0;
    bool moved = true;
    while (moved && moves < n) {
      moved = false;
      w.ids.clear();
      links.neighbors(cur, level, w.ids);
      if (w.ids.empty()) break;
      w.scores.resize(w.ids.size());
      score_many(w.ids.data(), w.ids.size(), w.scores.data());
      for (size_t i = 0; i < w.ids.size(); ++i) {
        if (better(w.scores[i], w.ids[i], best, cur)) {
          cur = w.ids[i];
          best = w.scores[i];
          moved = true;
          if (++moves >= n) break;
        }
      }
    }
  }
}

}  // namespace qv::hnsw
