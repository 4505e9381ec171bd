#pragma once
// HNSW construction over an item store (vectors/items.hpp): levels drawn from the seed,
// insertions in level order (in parallel on a pool of more than one thread), then a
// repair that links most nodes the level-0 links leave unreachable from the entry point
// back in.
#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

#include "hnsw/graph.hpp"
#include "ranking/candidate.hpp"
#include "vectors/items.hpp"

namespace qv::hnsw {

struct HnswParams {
  uint64_t m = 16;                // link cap above level 0; 2m on level 0
  uint64_t ef_construction = 200;  // candidate-list size of an insertion
  uint64_t seed = 0;
};

// Node i's level, from the seed and i alone; r = 1 / ln(max(m, 2)).
uint64_t draw_level(uint64_t seed, uint64_t i, double r);
std::vector<uint64_t> draw_levels(uint64_t n, uint64_t m, uint64_t seed);

// Runs on the current pool: sequential insertions on a pool of one thread (then the
// result is reproducible), concurrent ones otherwise.
template <class Items>
Graph build(const Items& items, const HnswParams& params);

extern template Graph build<vectors::DenseItems>(const vectors::DenseItems&, const HnswParams&);
extern template Graph build<vectors::SparseItems>(const vectors::SparseItems&, const HnswParams&);

namespace detail {
// Test hooks of the repair: when set, it runs every pass even after the graph repeats
// (the result must not change); and the passes the last repair searched.
extern std::atomic<bool> repair_every_pass;
extern std::atomic<int> repair_passes_run;
}  // namespace detail

}  // namespace qv::hnsw
