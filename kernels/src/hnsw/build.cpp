#include "hnsw/build.hpp"

#include <cmath>
#include <numeric>

#include "core/splitmix.hpp"
#include "hnsw/builder.hpp"
#include "parallel/pool.hpp"

namespace qv::hnsw {

uint64_t draw_level(uint64_t seed, uint64_t i, double r) {
  constexpr uint64_t G = 0x9E3779B97F4A7C15ULL;
  const uint64_t z = splitmix64_mix((seed ^ (i * G)) + G);
  const double u = static_cast<double>((z >> 11) + 1) * 0x1p-53;
  const double t = -(std::log(u) * r);
  const uint64_t level = static_cast<uint64_t>(t);
  return std::min<uint64_t>(level, kMaxLevel);
}

std::vector<uint64_t> draw_levels(uint64_t n, uint64_t m, uint64_t seed) {
  const double r = 1.0 / std::log(static_cast<double>(std::max<uint64_t>(m, 2)));
  std::vector<uint64_t> levels;
  resize_as("a level per node", levels, n);
  for (uint64_t i = 0; i < n; ++i) levels[i] = draw_level(seed, i, r);
  return levels;
}

template <class Items>
Graph build(const Items& items, const HnswParams& params) {
  const uint64_t n = items.n_items();
  if (n > kMaxItems) invariant_failed("HNSW item count exceeds the i32 node index format", __FILE__, __LINE__);
  std::vector<uint64_t> levels = draw_levels(n, params.m, params.seed);
  // Highest level first, then lowest index: the first node is the entry point.
  std::vector<uint32_t> order;
  resize_as("an insertion order of the nodes", order, n);
  std::iota(order.begin(), order.end(), 0u);
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    return levels[a] != levels[b] ? levels[a] > levels[b] : a < b;
  });
  BuildLinks links(levels, params.m);
  if (n == 0) return links.freeze(0);
  const uint64_t entry = order[0];
  const Builder<Items> b(items, links, params, entry);
  if (parallel::current_threads() == 1) {
    BuildScratch s = b.scratch();
    for (uint64_t i = 1; i < n; ++i) b.insert(order[i], s);
  } else {
    // Short contiguous runs: the first nodes (the high levels) form the graph every later
    // insertion walks, so they should not wait behind one long run.
    parallel::for_each_with(
        n - 1, [&] { return b.scratch(); }, [&](BuildScratch& s, size_t i) { b.insert(order[i + 1], s); }, 16);
  }
  repair(b);
  return links.freeze(entry);
}

template Graph build<vectors::DenseItems>(const vectors::DenseItems&, const HnswParams&);
template Graph build<vectors::SparseItems>(const vectors::SparseItems&, const HnswParams&);

}  // namespace qv::hnsw
