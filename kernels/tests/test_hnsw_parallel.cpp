// Concurrent HNSW construction and search on a pool of several workers: the lock-free
// list reads race with the list writers, so this suite is meant to run under TSan too.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "hnsw/build.hpp"
#include "hnsw/graph.hpp"
#include "hnsw/search.hpp"
#include "parallel/pool.hpp"

namespace qv::hnsw {
namespace {

using parallel::Pool;

std::shared_ptr<Pool> make_pool(size_t n) {
  std::string err;
  auto p = Pool::create(n, &err);
  EXPECT_TRUE(p) << err;
  return p;
}

std::vector<double> random_rows(uint64_t n, uint64_t dim, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> d;
  std::vector<double> x(n * dim);
  for (double& v : x) v = d(rng);
  return x;
}

// Every list within its cap, without its owner or repeats, naming only nodes that exist
// on that level.
void expect_sound(const Graph& g, uint64_t n, uint64_t m) {
  ASSERT_EQ(g.node_level.size(), n);
  auto view = GraphView::make(g.node_level, g.links_indptr, g.links_indices, g.entry_point, n);
  ASSERT_TRUE(view);
  for (uint64_t i = 0; i < n; ++i) {
    EXPECT_LE(view->level_of(i), view->top()) << "the entry point holds the top level";
    for (uint64_t l = 0; l <= view->level_of(i); ++l) {
      auto list = view->list(i, l);
      ASSERT_LE(list.size(), level_cap(m, l)) << "node " << i << " level " << l;
      std::vector<uint32_t> sorted(list.begin(), list.end());
      std::sort(sorted.begin(), sorted.end());
      EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << "duplicate in " << i;
      for (uint32_t v : list) {
        EXPECT_NE(v, i) << "self link at level " << l;
        EXPECT_GE(view->level_of(v), l) << "link from " << i << " to " << v << " below level " << l;
      }
    }
  }
}

Ranked search_all(const vectors::DenseItems& items, const Graph& g, const std::vector<double>& queries, uint64_t k,
                  uint64_t ef) {
  const uint64_t n = items.n_items(), nq = queries.size() / items.dim;
  auto view = GraphView::make(g.node_level, g.links_indptr, g.links_indices, g.entry_point, n);
  EXPECT_TRUE(view);
  std::vector<uint64_t> candidates(n);
  for (uint64_t i = 0; i < n; ++i) candidates[i] = i;
  std::vector<uint64_t> indptr(nq + 1, 0);
  SearchRequest r;
  r.n_candidates = n;
  r.excluded_indptr = indptr;
  r.k = k;
  r.ef_search = ef;
  r.every_item = true;
  auto out = top_k(items, *view, vectors::QuerySet::dense(queries, items.dim), r);
  EXPECT_TRUE(std::holds_alternative<Ranked>(out));
  // The same list through the map: the same bits.
  const PositionMap map(candidates, n);
  r.every_item = false;
  r.candidates = candidates;
  r.position_of = map.view();
  auto mapped = top_k(items, *view, vectors::QuerySet::dense(queries, items.dim), r);
  EXPECT_TRUE(std::holds_alternative<Ranked>(mapped));
  EXPECT_EQ(std::get<Ranked>(out).positions, std::get<Ranked>(mapped).positions);
  EXPECT_EQ(std::get<Ranked>(out).scores, std::get<Ranked>(mapped).scores);
  return std::get<Ranked>(std::move(out));
}

struct Case {
  uint64_t n, dim, m;
  double min_recall;
};

class ParallelBuild : public ::testing::TestWithParam<Case> {};

TEST_P(ParallelBuild, KeepsTheGraphSoundAndSearchesAgreeAcrossThreadCounts) {
  const auto [n, dim, m, min_recall] = GetParam();
  const std::vector<double> rows = random_rows(n, dim, 7 + n);
  const vectors::DenseItems items{rows, dim};
  const HnswParams params{m, 40, 3};
  auto four = make_pool(4), one = make_pool(1);
  const Graph g = four->install([&] { return build(items, params); });
  expect_sound(g, n, m);

  const std::vector<double> queries = random_rows(200, dim, 99);
  const uint64_t k = 10;
  const Ranked par = four->install([&] { return search_all(items, g, queries, k, 32); });
  const Ranked seq = one->install([&] { return search_all(items, g, queries, k, 32); });
  EXPECT_EQ(par.positions, seq.positions);
  EXPECT_EQ(par.scores, seq.scores);

  // The beam of a sound graph finds most of the true best items (inner products in two
  // dimensions with m = 2 are a hard case: only a floor there).
  uint64_t hits = 0;
  for (uint64_t q = 0; q < 200; ++q) {
    std::vector<std::pair<double, uint64_t>> all(n);
    for (uint64_t i = 0; i < n; ++i) all[i] = {-items.dot_fn(queries.data() + q * dim, items.row(i), dim), i};
    std::partial_sort(all.begin(), all.begin() + k, all.end());
    for (uint64_t j = 0; j < k; ++j)
      hits += std::count(par.positions.begin() + q * k, par.positions.begin() + (q + 1) * k, all[j].second);
  }
  EXPECT_GE(static_cast<double>(hits), min_recall * 200 * k);
}

// Few dimensions make hub nodes that every insertion reads and rewrites; m = 2 keeps
// the lists full so nearly every link triggers a trim.
INSTANTIATE_TEST_SUITE_P(Shapes, ParallelBuild,
                         ::testing::Values(Case{3000, 8, 8, 0.8}, Case{2000, 2, 2, 0.5}, Case{1500, 16, 16, 0.8}));

}  // namespace
}  // namespace qv::hnsw
