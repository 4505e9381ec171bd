// BPR on a multi-worker pool; under ThreadSanitizer this shows that the lock-free updates
// race only through relaxed atomics.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "bpr/bpr.hpp"
#include "parallel/pool.hpp"

namespace {

struct Interactions {
  std::vector<uint64_t> indptr{0};
  std::vector<uint64_t> indices;
};

Interactions make(uint64_t users, uint64_t items, std::mt19937_64& rng) {
  Interactions m;
  std::bernoulli_distribution keep(0.3);
  for (uint64_t u = 0; u < users; ++u) {
    for (uint64_t i = 0; i < items; ++i)
      if (keep(rng)) m.indices.push_back(i);
    m.indptr.push_back(m.indices.size());
  }
  return m;
}

TEST(Bpr, ManyWorkersShareTheFactors) {
  std::mt19937_64 rng(5);
  const uint64_t users = 200, items = 50, F = 8;
  Interactions m = make(users, items, rng);
  std::normal_distribution<double> init(0.0, 0.1);
  std::vector<double> U(users * F), V(items * F), b(items, 0.0);
  for (double& x : U) x = init(rng);
  for (double& x : V) x = init(rng);
  std::string error;
  auto pool = qv::parallel::Pool::create(4, &error);
  ASSERT_TRUE(pool) << error;
  qv::sparse::CsrView view{m.indptr, m.indices, {}, users, items};
  qv::bpr::BprParams p{F, 0.05, 0.01, 5, 11, true, false};
  auto shares = pool->install([&] { return qv::bpr::fit(view, std::nullopt, U, V, b, p); });
  ASSERT_EQ(shares.size(), 5u);
  for (double s : shares) EXPECT_TRUE(s > 0.0 && s <= 1.0);
  for (double x : U) ASSERT_TRUE(std::isfinite(x));
  for (double x : V) ASSERT_TRUE(std::isfinite(x));
}

}  // namespace
