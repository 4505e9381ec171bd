// Candidate order, the heap's exact push/pop, and the tie rules of its two bounded orders.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "knn/implicit_top_k.hpp"
#include "ranking/candidate.hpp"
#include "ranking/heap.hpp"
#include "sparse/sparse.hpp"

using qv::ranking::Candidate;
using CandidateHeap = qv::ranking::TopK<qv::ranking::CandidateOrder>;

TEST(Candidate, SortsBestFirstWithIndexTieBreak) {
  std::vector<Candidate> v{{1.0, 4}, {2.0, 9}, {1.0, 2}, {0.0, 7}, {-0.0, 3}};
  qv::ranking::sort_best_first(v);
  std::vector<uint64_t> order;
  for (auto& c : v) order.push_back(c.index);
  EXPECT_EQ(order, (std::vector<uint64_t>{9, 2, 4, 3, 7}));
}

TEST(Candidate, LongListsWithNaNSortToAPermutation) {
  std::mt19937_64 gen(5);
  std::vector<Candidate> v;
  for (uint64_t i = 0; i < 500; ++i) v.push_back({i % 7 == 0 ? NAN : double(gen() % 10), i});
  qv::ranking::sort_best_first(v);
  std::vector<int> seen(500, 0);
  for (auto& c : v) seen[c.index]++;
  for (int s : seen) EXPECT_EQ(s, 1);
  for (size_t i = 1; i < v.size(); ++i) {
    if (!std::isnan(v[i].score) && !std::isnan(v[i - 1].score)) {
      EXPECT_GE(v[i - 1].score, v[i].score);
    }
  }
}

TEST(CandidateHeap, PopsWorstFirst) {
  CandidateHeap h(UINT64_MAX, 300);
  EXPECT_FALSE(h.pop().has_value());
  h.push({3.0, 1});
  auto one = h.pop();
  ASSERT_TRUE(one);
  EXPECT_EQ(one->index, 1u);
  EXPECT_TRUE(h.empty());
  std::mt19937_64 gen(1);
  std::vector<Candidate> all;
  for (uint64_t i = 0; i < 300; ++i) {
    Candidate c{double(gen() % 20), i};
    all.push_back(c);
    h.push(c);
  }
  qv::ranking::sort_best_first(all);
  for (size_t i = all.size(); i-- > 0;) {
    auto c = h.pop();
    ASSERT_TRUE(c);
    EXPECT_EQ(c->index, all[i].index);
  }
}

// The held indices, emptying the heap.
template <class Heap>
std::vector<uint64_t> held_indices(Heap& h) {
  std::vector<uint64_t> out;
  for (const Candidate& c : h.held()) out.push_back(c.index);
  h.clear();
  return out;
}

TEST(ImplicitTopK, TiesGoToArrival) {
  qv::knn::ImplicitTopK t(2, 10);
  t.offer(1.0, 5);
  t.offer(1.0, 3);
  t.offer(1.0, 9);  // equal to the lowest held: discarded
  t.offer(2.0, 7);  // evicts (3, 1.0), the lowest index among the lowest scores
  std::vector<uint64_t> kept = held_indices(t);
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(kept, (std::vector<uint64_t>{5, 7}));
  EXPECT_EQ(t.size(), 0u);
}

TEST(ImplicitTopK, ZeroKHoldsNothingAndNaNNeverEntersAFullHolder) {
  qv::knn::ImplicitTopK none(0, 10);
  none.offer(5.0, 1);
  EXPECT_EQ(none.size(), 0u);
  qv::knn::ImplicitTopK t(1, 10);
  t.offer(0.5, 1);
  t.offer(NAN, 2);
  EXPECT_EQ(held_indices(t), (std::vector<uint64_t>{1}));
}

TEST(ImplicitTopK, HugeKReservesOnlyWhatCanBePushed) {
  qv::knn::ImplicitTopK t(UINT64_MAX, 10);
  for (uint64_t i = 0; i < 10; ++i) t.offer(double(i), i);
  EXPECT_EQ(t.size(), 10u);
}

TEST(Accumulator, ResetClearsOnlyTouched) {
  qv::sparse::Accumulator a(10);
  a.add(5, 2.0);
  a.add(5, -2.0);
  a.add(1, 0.0);
  EXPECT_EQ(std::vector<uint64_t>(a.touched().begin(), a.touched().end()), (std::vector<uint64_t>{5, 1}));
  EXPECT_EQ(a.value(5), 0.0);
  EXPECT_TRUE(a.is_touched(1));
  a.reset();
  EXPECT_TRUE(a.touched().empty());
  EXPECT_FALSE(a.is_touched(5));
  EXPECT_THROW(a.add(10, 1.0), qv::InternalError);
}

TEST(CsrOwned, BuildIsIndependentOfThePoolSize) {
  std::vector<std::vector<uint64_t>> results;
  for (size_t threads : {1, 3, 8}) {
    std::string err;
    auto pool = qv::parallel::Pool::create(threads, &err);
    auto m = pool->install([] {
      return qv::sparse::CsrOwned::build(
          100, [] { return 0; },
          [](int&, uint64_t r, qv::sparse::RowEntries& out) {
            for (uint64_t j = 0; j < r % 5; ++j) out.emplace_back(r + j, double(j));
          });
    });
    EXPECT_EQ(m.indptr.size(), 101u);
    results.push_back(m.indices);
  }
  EXPECT_EQ(results[0], results[1]);
  EXPECT_EQ(results[0], results[2]);
}

TEST(Csc, TransposeKeepsRowsAscendingAndRepeats) {
  std::vector<uint64_t> indptr{0, 2, 3}, indices{3, 3, 0};
  std::vector<double> data{1.0, 2.0, 3.0};
  qv::sparse::CsrView v{indptr, indices, data, 2, 4};
  auto c = qv::sparse::Csc::from_csr(v);
  EXPECT_EQ(c.indptr, (std::vector<uint64_t>{0, 1, 1, 1, 3}));
  EXPECT_EQ(c.indices, (std::vector<uint64_t>{1, 0, 0}));
  EXPECT_EQ(c.data, (std::vector<double>{3.0, 1.0, 2.0}));
}
