// Best-k row selection and the column index the item-item kernels walk.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "core/total_order.hpp"
#include "knn/keep_best.hpp"
#include "parallel/pool.hpp"
#include "sparse/columns.hpp"

namespace qv {
namespace {

using sparse::RowEntries;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

std::vector<uint64_t> columns(const RowEntries& e, size_t from = 0) {
  std::vector<uint64_t> out;
  for (size_t i = from; i < e.size(); ++i) out.push_back(e[i].first);
  return out;
}

TEST(KeepBest, CutsToTheBestAndSortsByColumn) {
  const RowEntries row = {{7, 1.0}, {2, 3.0}, {5, 1.0}, {9, 2.0}};
  struct Case {
    uint64_t k;
    RowEntries expected;
  };
  for (const Case& c : {Case{2, {{2, 3.0}, {9, 2.0}}}, Case{3, {{2, 3.0}, {5, 1.0}, {9, 2.0}}},
                        Case{4, {{2, 3.0}, {5, 1.0}, {7, 1.0}, {9, 2.0}}},
                        Case{100, {{2, 3.0}, {5, 1.0}, {7, 1.0}, {9, 2.0}}}, Case{0, {}}}) {
    RowEntries e = row;
    knn::keep_best(e, 0, c.k);
    EXPECT_EQ(e, c.expected) << "k = " << c.k;
  }
}

TEST(KeepBest, RanksByTotalOrder) {
  RowEntries e = {{1, -0.0}, {4, 0.0}};
  knn::keep_best(e, 0, 1);
  EXPECT_EQ(columns(e), std::vector<uint64_t>{4});

  const double neg_nan = -kNaN;
  ASSERT_TRUE(std::signbit(neg_nan));
  e = {{0, kInf}, {1, kNaN}, {2, -kInf}, {3, neg_nan}, {4, 5.0}};
  knn::keep_best(e, 0, 1);
  EXPECT_EQ(columns(e), std::vector<uint64_t>{1});
  e = {{0, kInf}, {1, kNaN}, {2, -kInf}, {3, neg_nan}, {4, 5.0}};
  knn::keep_best(e, 0, 4);
  EXPECT_EQ(columns(e), (std::vector<uint64_t>{0, 1, 2, 4}));  // -NaN goes first
}

TEST(KeepBest, LeavesEarlierRowsAlone) {
  RowEntries e = {{9, 0.5}, {3, 7.0}, {8, 1.0}, {1, 2.0}, {6, 2.0}};
  knn::keep_best(e, 2, 1);
  EXPECT_EQ(e, (RowEntries{{9, 0.5}, {3, 7.0}, {1, 2.0}}));
  knn::keep_best(e, 3, 5);  // nothing from start on
  EXPECT_EQ(e.size(), 3u);
}

// Against a full stable sort, on rows with many ties, signed zeros and NaNs.
TEST(KeepBest, MatchesFullSort) {
  std::mt19937_64 gen(11);
  const double pool[] = {0.0, -0.0, 1.0, -1.0, 2.0, kInf, -kInf, kNaN, -kNaN, 0.5};
  for (int round = 0; round < 500; ++round) {
    const size_t n = gen() % 40;
    std::vector<uint64_t> cols(200);
    for (size_t i = 0; i < cols.size(); ++i) cols[i] = i;
    std::shuffle(cols.begin(), cols.end(), gen);
    RowEntries row;
    for (size_t i = 0; i < n; ++i) row.emplace_back(cols[i], pool[gen() % std::size(pool)]);
    const uint64_t k = gen() % 45;
    RowEntries expected = row;
    std::stable_sort(expected.begin(), expected.end(), [](const auto& a, const auto& b) {
      const int64_t ka = total_order_key(a.second), kb = total_order_key(b.second);
      return ka != kb ? ka > kb : a.first < b.first;
    });
    expected.resize(std::min<size_t>(k, n));
    std::sort(expected.begin(), expected.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    RowEntries got = {{999, 1.0}};
    got.insert(got.end(), row.begin(), row.end());
    knn::keep_best(got, 1, k);
    ASSERT_EQ(got.size(), expected.size() + 1);
    for (size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(got[i + 1].first, expected[i].first);
      EXPECT_EQ(std::bit_cast<uint64_t>(got[i + 1].second), std::bit_cast<uint64_t>(expected[i].second));
    }
  }
}

// The column index lists what a counting transpose lists, in the same order, whether
// it counts (in row chunks on several threads) or sorts (far more columns than entries).
TEST(ColumnIndex, MatchesCountingTranspose) {
  std::mt19937_64 gen(3);
  std::string error;
  auto pool = parallel::Pool::create(4, &error);
  ASSERT_TRUE(pool) << error;
  for (uint64_t n_cols : {uint64_t{1}, uint64_t{7}, uint64_t{50}, uint64_t{5'000'000}}) {
    std::vector<uint64_t> indptr = {0}, indices;
    std::vector<double> data;
    for (int r = 0; r < 300; ++r) {
      const size_t len = gen() % 12;
      for (size_t i = 0; i < len; ++i) {
        indices.push_back(n_cols > 100 ? gen() % 64 * 77'777 : gen() % n_cols);  // repeats included
        data.push_back(static_cast<double>(indices.size()));
      }
      indptr.push_back(indices.size());
    }
    const sparse::CsrView m{indptr, indices, data, indptr.size() - 1, n_cols};
    const sparse::Csc csc = sparse::Csc::from_csr(m);
    pool->install([&] {
      const sparse::ColumnIndex index(m, sparse::ColumnCopy(m));
      std::vector<uint64_t> probe;
      for (uint64_t j = 0; j < std::min<uint64_t>(n_cols, 100); ++j) probe.push_back(j);
      if (n_cols > 100)
        for (uint64_t g = 0; g < 64; ++g) probe.insert(probe.end(), {g * 77'777, g * 77'777 + 1});
      for (uint64_t j : probe) {
        auto refs = index.column(j);
        auto [b, e] = csc.column(j);
        ASSERT_EQ(refs.size(), e - b) << "column " << j;
        for (size_t q = 0; q < refs.size(); ++q) {
          EXPECT_EQ(refs[q].row, csc.indices[b + q]);
          EXPECT_EQ(data[refs[q].pos], csc.data[b + q]);
          EXPECT_EQ(indices[refs[q].pos], j);
        }
      }
    });
  }
}

TEST(Accumulator, TouchesInFirstTouchOrderAndResetsClean) {
  sparse::Accumulator acc(8);
  const uint32_t cols[] = {5, 2, 5, 7, 2};
  acc.add_run(cols, 0, 5, 2.0);
  acc.add(5, -6.0);
  acc.add(0, 0.0);
  EXPECT_EQ(std::vector<uint64_t>(acc.touched().begin(), acc.touched().end()), (std::vector<uint64_t>{5, 2, 7, 0}));
  EXPECT_EQ(acc.value(5), -2.0);
  EXPECT_EQ(acc.value(2), 4.0);
  EXPECT_EQ(std::bit_cast<uint64_t>(acc.value(0)), 0u);  // +0.0 + 0.0 stays +0.0
  acc.reset();
  EXPECT_TRUE(acc.touched().empty());
  for (uint64_t j = 0; j < 8; ++j) EXPECT_EQ(acc.value(j), 0.0);
  // every column touched, then repeats: the spare slot absorbs the writes past the end
  const uint64_t all[] = {0, 1, 2, 3, 4, 5, 6, 7, 7, 0};
  acc.add_run(all, 0, 10, 1.0);
  EXPECT_EQ(acc.touched().size(), 8u);
  EXPECT_EQ(acc.value(7), 2.0);
}

// The branching record of first touches must give the branch-free one's order and sums,
// however the two are interleaved within one row.
TEST(Accumulator, BothTouchRecordsAgree) {
  std::mt19937_64 gen(3);
  const uint64_t n = 300;
  sparse::Accumulator each(n), mixed(n);
  for (int row = 0; row < 40; ++row) {
    const size_t users = 1 + gen() % 60;
    for (size_t u = 0; u < users; ++u) {
      std::vector<uint32_t> cols(gen() % 50);
      std::vector<double> data(cols.size());
      for (size_t p = 0; p < cols.size(); ++p) {
        // squared: low columns are popular, so later users bring few new ones
        const double x = static_cast<double>(gen() % 1000) / 1000.0;
        cols[p] = static_cast<uint32_t>(x * x * n);
        data[p] = static_cast<double>(static_cast<int>(gen() % 7) - 3) / 4.0;
      }
      each.add_products(cols.data(), data.data(), 0, cols.size(), 1.5);
      if (gen() % 2) mixed.add_products<sparse::Accumulator::Track::rare>(cols.data(), data.data(), 0, cols.size(), 1.5);
      else mixed.add_products(cols.data(), data.data(), 0, cols.size(), 1.5);
    }
    ASSERT_EQ(std::vector<uint64_t>(mixed.touched().begin(), mixed.touched().end()),
              std::vector<uint64_t>(each.touched().begin(), each.touched().end()));
    for (uint64_t j = 0; j < n; ++j)
      ASSERT_EQ(std::bit_cast<uint64_t>(mixed.value(j)), std::bit_cast<uint64_t>(each.value(j)));
    each.reset();
    mixed.reset();
  }
}

}  // namespace
}  // namespace qv
