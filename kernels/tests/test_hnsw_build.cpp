// The HNSW build's repair: stopping once the graph repeats must leave the arrays that
// running every pass leaves.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "hnsw/build.hpp"
#include "parallel/pool.hpp"

namespace qv::hnsw {
namespace {

// Rows of lognormal norms: a few large-norm hubs take every root, so passes repeat.
std::vector<double> varied_rows(uint64_t n, uint64_t dim, double sigma, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> d;
  std::lognormal_distribution<double> norm(0.0, sigma);
  std::vector<double> x(n * dim);
  for (uint64_t i = 0; i < n; ++i) {
    const double s = norm(rng);
    for (uint64_t j = 0; j < dim; ++j) x[i * dim + j] = d(rng) * s;
  }
  return x;
}

struct Case {
  uint64_t n, dim, m, ef;
  double sigma;
};

class RepairStop : public ::testing::TestWithParam<Case> {};

TEST_P(RepairStop, GivesTheArraysOfEveryPass) {
  const auto [n, dim, m, ef, sigma] = GetParam();
  const std::vector<double> rows = varied_rows(n, dim, sigma, n + dim);
  const vectors::DenseItems items{rows, dim};
  std::string err;
  auto one = parallel::Pool::create(1, &err);
  ASSERT_TRUE(one) << err;
  auto run = [&](bool every_pass) {
    detail::repair_every_pass = every_pass;
    Graph g = one->install([&] { return build(items, HnswParams{m, ef, 5}); });
    detail::repair_every_pass = false;
    return std::pair{std::move(g), detail::repair_passes_run.load()};
  };
  const auto [all, all_passes] = run(true);
  const auto [stopped, stopped_passes] = run(false);
  EXPECT_EQ(all_passes, 8);
  EXPECT_LT(stopped_passes, 8) << "the case should repeat before the last pass";
  EXPECT_EQ(stopped.node_level, all.node_level);
  EXPECT_EQ(stopped.links_indptr, all.links_indptr);
  EXPECT_EQ(stopped.links_indices, all.links_indices);
  EXPECT_EQ(stopped.entry_point, all.entry_point);
}

INSTANTIATE_TEST_SUITE_P(Shapes, RepairStop,
                         ::testing::Values(Case{3000, 8, 4, 40, 1.0}, Case{2000, 16, 8, 60, 0.7},
                                           Case{1500, 4, 2, 20, 1.5}, Case{2500, 32, 16, 100, 0.5}));

}  // namespace
}  // namespace qv::hnsw
