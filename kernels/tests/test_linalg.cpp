// The triangle mirror across tile edges, and the physical-memory refusal.
#include <gtest/gtest.h>

#include <new>
#include <random>
#include <vector>

#include "linalg/memory.hpp"
#include "linalg/mirror.hpp"
#include "parallel/pool.hpp"

namespace qv::linalg {
namespace {

class Mirror : public ::testing::TestWithParam<size_t> {};

TEST_P(Mirror, CopiesTheSourceTriangleOntoTheOther) {
  const size_t n = GetParam();
  std::mt19937_64 gen(n);
  std::vector<double> a(n * n);
  for (auto& x : a) x = static_cast<double>(gen() % 1000);
  std::string error;
  auto pool = parallel::Pool::create(3, &error);
  ASSERT_TRUE(pool) << error;
  for (Triangle source : {Triangle::lower, Triangle::upper}) {
    std::vector<double> m = a;
    pool->install([&] { mirror(m.data(), n, source); });
    for (size_t r = 0; r < n; ++r)
      for (size_t c = 0; c < n; ++c) {
        const bool from_source = source == Triangle::lower ? c <= r : c >= r;
        ASSERT_EQ(m[r * n + c], from_source ? a[r * n + c] : a[c * n + r]) << r << "," << c;
      }
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, Mirror, ::testing::Values(0, 1, 2, 63, 64, 65, 130));

TEST(Memory, MoreThanThePhysicalMemoryIsRefused) {
  EXPECT_THROW(require_memory(UINT64_MAX), std::bad_alloc);
  EXPECT_NO_THROW(require_memory(1 << 20));
}

}  // namespace
}  // namespace qv::linalg
