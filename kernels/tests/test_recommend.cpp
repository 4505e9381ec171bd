// The exact floating-point orders of the recommendation scorers, on both the AVX2+FMA and
// the portable code, and the collector's tie rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <random>
#include <vector>

#include "isa_levels.hpp"
#include "parallel/pool.hpp"
#include "recommend/dense_rows.hpp"
#include "recommend/factors.hpp"
#include "recommend/similarity.hpp"

namespace qv::recommend {
namespace {

std::vector<double> normals(size_t n, uint32_t seed) {
  std::mt19937_64 g(seed);
  std::normal_distribution<double> d;
  std::vector<double> v(n);
  for (auto& x : v) x = d(g);
  return v;
}

// Tile order: bias, then one fused chain over the components.
double tile_score(const double* u, const double* v, size_t dim, double bias) {
  double acc = bias;
  for (size_t j = 0; j < dim; ++j) acc = std::fma(u[j], v[j], acc);
  return acc;
}

// Single-scan order: eight partial chains, a fixed tree, the tail, then the bias.
double scan_score(const double* u, const double* v, size_t dim, double bias) {
  double s[8] = {};
  const size_t blocks = dim / 8;
  for (size_t m = 0; m < blocks; ++m)
    for (size_t l = 0; l < 8; ++l) s[l] = std::fma(v[8 * m + l], u[8 * m + l], s[l]);
  double t = ((s[7] + s[3]) + (s[5] + s[1])) + ((s[6] + s[2]) + (s[4] + s[0]));
  for (size_t j = blocks * 8; j < dim; ++j) t = std::fma(u[j], v[j], t);
  return t + bias;
}

struct Model {
  std::vector<double> users, items, bias, offset;
  FactorModel view;
  Model(uint64_t n_users, uint64_t n_items, uint64_t dim)
      : users(normals(n_users * dim, 1)), items(normals(n_items * dim, 2)), bias(normals(n_items, 3)),
        offset(normals(n_users, 4)) {
    view = FactorModel{users, items, n_users, n_items, dim, bias, offset, true, true};
  }
};

// Every candidate ranked (k = n_items), so each score can be compared bit for bit.
void expect_order(const Model& m, const std::vector<uint64_t>& rows, bool tile_for_all, bool first8_tile) {
  const uint64_t n = m.view.n_items, dim = m.view.dim;
  CandidateSet c{{}, false, n, {}};
  Exclusions ex;
  auto result = top_k_from_factors(m.view, rows, c, ex, n);
  ASSERT_TRUE(std::holds_alternative<Outputs>(result));
  const Outputs& out = std::get<Outputs>(result);
  for (size_t q = 0; q < rows.size(); ++q) {
    const bool tile = tile_for_all || (first8_tile && q < 8);
    const double* u = m.users.data() + rows[q] * dim;
    std::vector<Candidate> want;
    for (uint64_t j = 0; j < n; ++j) {
      const double s = tile ? tile_score(u, m.items.data() + j * dim, dim, m.bias[j])
                            : scan_score(u, m.items.data() + j * dim, dim, m.bias[j]);
      want.push_back({s, j});
    }
    ranking::sort_best_first(want);
    for (uint64_t i = 0; i < n; ++i) {
      ASSERT_EQ(out.positions[q * n + i], want[i].index) << "query " << q << " rank " << i;
      ASSERT_EQ(std::bit_cast<uint64_t>(out.scores[q * n + i]),
                std::bit_cast<uint64_t>(m.offset[rows[q]] + want[i].score));
    }
  }
}

class FactorOrders : public testing_isa::LevelTest {};

TEST_P(FactorOrders, TileChunksFuseOneChainSeededWithTheBias) {
  for (uint64_t dim : {0, 1, 7, 8, 13, 64}) {
    Model m(10, 37, dim);
    expect_order(m, {3, 1, 4, 1, 5}, true, false);
    expect_order(m, {0, 1, 2, 3, 4, 5, 6, 7}, true, false);
  }
}

TEST_P(FactorOrders, ShortChunksUseTheSingleScanOrder) {
  for (uint64_t dim : {0, 3, 8, 19, 64}) {
    Model m(6, 41, dim);
    expect_order(m, {2}, false, false);
    expect_order(m, {5, 0, 2}, false, false);
    // Nine queries: a tile of eight, then one query scanned.
    expect_order(m, {0, 1, 2, 3, 4, 5, 0, 1, 2}, false, true);
  }
}

TEST_P(FactorOrders, SplitPathUsesTheSingleScanOrderOnThePool) {
  // 32,773 x 64 reaches the large-catalogue size; with two threads the candidates are
  // cut into blocks of 16,384 whose survivors are merged.
  Model m(4, 32773, 64);
  std::string error;
  auto pool = parallel::Pool::create(2, &error);
  ASSERT_TRUE(pool) << error;
  pool->install([&] { expect_order(m, {1, 3}, false, false); });
  // Nine queries on the same pool: chunks stay in their tile or scan order even when the
  // candidates are cut into segments to occupy the threads.
  pool->install([&] { expect_order(m, {0, 1, 2, 3, 0, 1, 2, 3, 2}, false, true); });
}

INSTANTIATE_TEST_SUITE_P(Level, FactorOrders, QV_ALL_LEVELS, testing_isa::level_name);

TEST(FactorOrders, EveryLevelGivesThePortableBits) {
  Model m(20, 1001, 29);
  std::vector<uint64_t> rows{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18};
  CandidateSet c{{}, false, m.view.n_items, {}};
  Exclusions ex;
  testing_isa::at_every_level([&] { return std::get<Outputs>(top_k_from_factors(m.view, rows, c, ex, 50)); },
                              [](const Outputs& a, const Outputs& b) {
                                EXPECT_EQ(a.positions, b.positions);
                                for (size_t i = 0; i < a.scores.size(); ++i)
                                  ASSERT_EQ(std::bit_cast<uint64_t>(a.scores[i]), std::bit_cast<uint64_t>(b.scores[i]));
                              });
}

class DenseRows : public testing_isa::LevelTest {};

TEST_P(DenseRows, EachScoreFusesItsTermsInStoredOrder) {
  const uint64_t n = 23;
  std::vector<double> w = normals(n * n, 7), x = normals(3, 8);
  std::vector<uint64_t> indptr{0, 3}, indices{5, 0, 17};
  sparse::CsrView users{indptr, indices, x, 1, n};
  CandidateSet c{{}, false, n, {}};
  Exclusions ex;
  std::vector<uint64_t> rows{0};
  {
    auto out = std::get<Outputs>(top_k_from_dense_rows(users, w, n, rows, c, ex, n));
    std::vector<Candidate> want;
    for (uint64_t col = 0; col < n; ++col) {
      double s = 0.0;
      for (size_t e = 0; e < 3; ++e) s = std::fma(x[e], w[indices[e] * n + col], s);
      want.push_back({s, col});
    }
    ranking::sort_best_first(want);
    for (uint64_t i = 0; i < n; ++i) {
      ASSERT_EQ(out.positions[i], want[i].index);
      ASSERT_EQ(std::bit_cast<uint64_t>(out.scores[i]), std::bit_cast<uint64_t>(want[i].score));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Level, DenseRows, QV_ALL_LEVELS, testing_isa::level_name);

TEST(Similarity, SparsePathRoundsProductsDensePathFusesThem) {
  // Two user items reaching column 0 of a 4-item matrix: reach 2 >= 4 / 4 takes the dense
  // path; with 16 items the same entries take the sparse path.
  const double x0 = 0.1, x1 = 0.7, s0 = 0.3, s1 = 1.0 / 3.0;
  for (uint64_t n : {4, 16}) {
    std::vector<uint64_t> uptr{0, 2}, uidx{1, 2};
    std::vector<double> udata{x0, x1};
    std::vector<uint64_t> sptr(n + 1, 2), sidx{0, 0};
    std::vector<double> sdata{s0, s1};
    sptr[0] = 0;
    sptr[1] = 0;
    sptr[2] = 1;
    sparse::CsrView users{uptr, uidx, udata, 1, n}, sim{sptr, sidx, sdata, n, n};
    CandidateSet c{{}, false, n, {}};
    std::vector<uint64_t> rows{0};
    auto out = std::get<Outputs>(top_k_from_similarity(users, sim, rows, c, Exclusions{}, 1, false));
    const double want = n == 4 ? std::fma(x1, s1, std::fma(x0, s0, 0.0)) : (0.0 + x0 * s0) + x1 * s1;
    EXPECT_EQ(out.positions[0], 0u);
    EXPECT_EQ(std::bit_cast<uint64_t>(out.scores[0]), std::bit_cast<uint64_t>(want)) << n;
  }
}

TEST(Best, KeepsTheLowestPositionsAmongEqualScoresWhateverTheOfferOrder) {
  Best best(3, 10);
  for (uint64_t p : {9, 2, 7, 4, 0, 5}) best.offer(1.0, p);
  best.offer(0.5, 1);
  std::vector<Candidate> out;
  best.drain_sorted(out);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].index, 0u);
  EXPECT_EQ(out[1].index, 2u);
  EXPECT_EQ(out[2].index, 4u);
  EXPECT_EQ(best.threshold(), -INFINITY);
  Best none(0, 10);
  none.offer(1.0, 0);
  none.drain_sorted(out);
  EXPECT_TRUE(out.empty());
}

}  // namespace
}  // namespace qv::recommend
