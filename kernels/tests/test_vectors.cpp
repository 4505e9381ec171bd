// Exact bits of the item scorers: the blocked dot at every instruction-set level against
// the portable code, and the gather and merge orders with their signed zeros.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "vectors/dot.hpp"
#include "vectors/items.hpp"

namespace qv::vectors {
namespace {

uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }

std::vector<double> normals(size_t n, uint32_t seed) {
  std::mt19937_64 g(seed);
  std::normal_distribution<double> d(0.0, 3.0);
  std::vector<double> v(n);
  for (auto& x : v) x = d(g);
  return v;
}

// Every instruction-set level this processor runs, portable first.
std::vector<isa::Level> paths() {
  std::vector<isa::Level> out;
  for (isa::Level l : {isa::Level::portable, isa::Level::avx2, isa::Level::avx512})
    if (l <= isa::cpu()) out.push_back(l);
  return out;
}

// dot and dot_rows at one level.
struct Capped {
  isa::Level saved = isa::cap();
  explicit Capped(isa::Level l) { isa::set_cap(l); }
  ~Capped() { isa::set_cap(saved); }
};
using Path = isa::Level;
double dot_on(Path p, const double* a, const double* b, size_t n) {
  Capped c(p);
  return dot(a, b, n);
}
void dot_rows_on(Path p, const double* q, const double* base, size_t dim, const uint32_t* ids, size_t n, double* out) {
  Capped c(p);
  dot_rows(q, base, dim, ids, n, out);
}

TEST(Dot, ShortLengthsAreOneFusedChainFromPositiveZero) {
  const std::vector<double> a = {1e16, -3.0, 1.0 / 3}, b = {1.0 + 0x1p-52, 7.0, 3.0};
  for (Path p : paths()) {
    EXPECT_EQ(bits(dot_on(p, a.data(), b.data(), 0)), bits(0.0));
    for (size_t n = 1; n <= 3; ++n) {
      double r = 0.0;
      for (size_t i = 0; i < n; ++i) r = std::fma(a[i], b[i], r);
      EXPECT_EQ(bits(dot_on(p, a.data(), b.data(), n)), bits(r)) << n;
    }
  }
}

TEST(Dot, FourLaneStageAddsEachLaneToPositiveZero) {
  const std::vector<double> a = {-0.0, 0.0, -1.0, 0.0}, b = {1.0, -1.0, 0.0, 2.0};
  for (Path p : paths()) EXPECT_EQ(bits(dot_on(p, a.data(), b.data(), 4)), bits(0.0));
}

TEST(Dot, LaneGroupingAndTail) {
  for (size_t n : {19u, 20u, 35u, 36u}) {
    const auto a = normals(n, 1), b = normals(n, 2);
    double acc[16] = {}, s[4] = {};
    const size_t r0 = n / 16 * 16;
    for (size_t i = 0; i < r0; ++i) acc[i % 16] = std::fma(a[i], b[i], acc[i % 16]);
    for (size_t i = r0; i < n / 4 * 4; ++i) s[i % 4] = std::fma(a[i], b[i], s[i % 4]);
    double v[4];
    for (int l = 0; l < 4; ++l) v[l] = (acc[12 + l] + acc[4 + l]) + (acc[8 + l] + (s[l] + acc[l]));
    double r = (v[0] + v[2]) + (v[1] + v[3]);
    for (size_t i = n / 4 * 4; i < n; ++i) r = std::fma(a[i], b[i], r);
    for (Path p : paths()) EXPECT_EQ(bits(dot_on(p, a.data(), b.data(), n)), bits(r)) << n;
  }
}

TEST(Dot, EveryPathGivesThePortableBits) {
  const auto base = normals(200 * 97, 3);
  auto q = normals(97, 4);
  q[5] = -0.0;
  for (size_t n = 0; n <= 97; ++n) {
    std::vector<uint32_t> ids = {7, 0, 199, 42, 42, 13};
    std::vector<double> want(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) want[i] = portable::dot(q.data(), base.data() + ids[i] * n, n);
    for (Path p : paths()) {
      for (size_t i = 0; i < ids.size(); ++i)
        ASSERT_EQ(bits(dot_on(p, q.data(), base.data() + ids[i] * n, n)), bits(want[i])) << n;
      std::vector<double> got(ids.size());
      dot_rows_on(p, q.data(), base.data(), n, ids.data(), ids.size(), got.data());
      for (size_t i = 0; i < ids.size(); ++i) ASSERT_EQ(bits(got[i]), bits(want[i])) << n;
    }
  }
}

TEST(Dot, NonFiniteValuesFlowThrough) {
  std::vector<double> a(37, 1.0), b(37, 2.0);
  const double inf = std::numeric_limits<double>::infinity();
  a[3] = inf;
  for (Path p : paths()) EXPECT_EQ(dot_on(p, a.data(), b.data(), 37), inf);
  a[20] = -inf;
  for (Path p : paths()) EXPECT_TRUE(std::isnan(dot_on(p, a.data(), b.data(), 37)));
}

struct Csr {
  std::vector<uint64_t> indptr, indices;
  std::vector<double> data;
  sparse::CsrView view(uint64_t n_cols) const { return {indptr, indices, data, indptr.size() - 1, n_cols}; }
};

TEST(Gathers, StartAtNegativeZeroAndAddRoundedProducts) {
  const std::vector<double> rows = {1e16, 1.0, -0.0, 1.0 + 0x1p-52};
  const DenseItems dense{rows, 4};
  const std::vector<uint64_t> cols = {0, 3, 3};
  const std::vector<double> vals = {1.0, 1.0 + 0x1p-52, 1.0};
  // Duplicate columns each contribute; every product is rounded before it is added.
  double want = -0.0;
  want = want + 1.0 * 1e16;
  want = want + (1.0 + 0x1p-52) * (1.0 + 0x1p-52);
  want = want + 1.0 * (1.0 + 0x1p-52);
  EXPECT_EQ(bits(dense.score(0, Query::sparse(cols, vals))), bits(want));
  EXPECT_EQ(bits(dense.score(0, Query::sparse({}, {}))), bits(-0.0));

  const Csr items{{0, 2, 2}, {1, 3}, {2.0, 0.5}};
  const SparseItems store{items.view(4)};
  const std::vector<double> x = {9.0, -0.0, 5.0, 0.0};
  EXPECT_EQ(bits(store.score(1, Query::dense(x))), bits(-0.0));
  EXPECT_EQ(bits(store.score(0, Query::dense(x))), bits((-0.0 + 2.0 * -0.0) + 0.5 * 0.0));
  // A scatter buffer that ends before an item's column reads it as zero.
  const std::vector<double> short_buf = {1.0, 4.0};
  EXPECT_EQ(bits(store.score(0, Query::scattered(short_buf))), bits((-0.0 + 2.0 * 4.0) + 0.5 * 0.0));
}

TEST(Merge, FusedFromPositiveZeroAndEachMatchConsumesBothEntries) {
  // Row 0: columns (3, 3); row 1: column (3); row 2: empty; row 3: columns (1, 3, 5).
  const Csr items{{0, 2, 3, 3, 6}, {3, 3, 3, 1, 3, 5}, {2.0, 100.0, 3.0, -1.0, -0.0, 1.0}};
  const SparseItems store{items.view(6)};
  EXPECT_EQ(store.similarity(0, 1), 6.0);
  EXPECT_EQ(store.similarity(1, 0), 6.0);
  EXPECT_EQ(bits(store.similarity(2, 0)), bits(0.0));
  EXPECT_EQ(bits(store.similarity(3, 1)), bits(std::fma(-0.0, 3.0, 0.0)));
  const std::vector<uint64_t> qc = {0, 3};
  const std::vector<double> qv = {7.0, -2.0};
  EXPECT_EQ(store.score(3, Query::sparse(qc, qv)), 0.0);
  EXPECT_EQ(store.score(0, Query::sparse(qc, qv)), -4.0);
  EXPECT_EQ(bits(store.score(2, Query::sparse(qc, qv))), bits(0.0));
}

TEST(QuerySets, ScatterAssignsLastValueAndLeavesZeros) {
  const Csr q{{0, 2, 2, 3}, {3, 3, 1}, {1.0, 2.0, 5.0}};
  const QuerySet set = QuerySet::scattered(q.view(8));
  ASSERT_EQ(set.n_queries(), 3u);
  ASSERT_EQ(set.scatter_len(), 4u);
  std::vector<double> buf(set.scatter_len(), 0.0);
  const std::vector<double> row = {0, 0, 0, 10.0, 0, 0, 0, 0};
  const DenseItems dense{row, 8};
  const Csr items{{0, 1}, {3}, {10.0}};
  const SparseItems store{items.view(8)};
  double seen = set.with_query(0, buf, [&](const Query& query) {
    EXPECT_EQ(query.form, Query::Form::Scattered);
    return store.score(0, query);
  });
  EXPECT_EQ(seen, 20.0);
  EXPECT_EQ(buf, std::vector<double>(4, 0.0));
  EXPECT_EQ(bits(set.with_query(1, buf, [&](const Query& query) { return store.score(0, query); })), bits(-0.0 + 0.0));
  // The same row as a sparse query: both duplicates contribute.
  const QuerySet gathered = QuerySet::sparse_rows(q.view(8));
  EXPECT_EQ(gathered.with_query(0, {}, [&](const Query& query) { return dense.score(0, query); }), 30.0);
}

TEST(QuerySets, WidthZeroHoldsNothing) {
  const std::vector<double> v = {1.0, 2.0};
  EXPECT_EQ(QuerySet::dense(v, 0).n_queries(), 0u);
  EXPECT_EQ((DenseItems{v, 0}).n_items(), 0u);
  EXPECT_EQ((DenseItems{v, 2}).n_items(), 1u);
}

}  // namespace
}  // namespace qv::vectors
