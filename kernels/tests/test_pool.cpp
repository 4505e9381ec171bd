// The worker pool: nested loops, concurrent callers, early stop, failed starts.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <numeric>
#include <set>
#include <thread>
#include <vector>

#include "parallel/pool.hpp"

using qv::parallel::Pool;

namespace {
std::shared_ptr<Pool> make(size_t n) {
  std::string err;
  auto p = Pool::create(n, &err);
  EXPECT_TRUE(p) << err;
  return p;
}
}  // namespace

TEST(Pool, InstallRunsOnAWorkerAndReturnsTheValue) {
  auto pool = make(3);
  EXPECT_EQ(Pool::current(), nullptr);
  int v = pool->install([&] {
    EXPECT_EQ(Pool::current(), pool.get());
    // installing again from a worker runs directly
    return pool->install([] { return 41; }) + 1;
  });
  EXPECT_EQ(v, 42);
}

// A joined caller is one of the pool's threads for the call only: its loops use at most
// threads() threads in all (itself included), and afterwards, or after an exception, it
// belongs to no pool again.
TEST(Pool, JoinRunsOnTheCallerAsOneOfThePoolsThreads) {
  for (size_t n : {1, 3}) {
    auto pool = make(n);
    const auto caller = std::this_thread::get_id();
    std::mutex m;
    std::set<std::thread::id> ran;
    std::vector<std::atomic<int>> hits(500);
    pool->join([&] {
      EXPECT_EQ(std::this_thread::get_id(), caller);
      EXPECT_EQ(Pool::current(), pool.get());
      EXPECT_EQ(pool->install([] { return 5; }), 5);  // directly, on the caller
      qv::parallel::for_each(500, [&](size_t i) {
        hits[i].fetch_add(1);
        std::lock_guard<std::mutex> lock(m);
        ran.insert(std::this_thread::get_id());
      }, 1);
    });
    EXPECT_EQ(Pool::current(), nullptr);
    for (auto& h : hits) EXPECT_EQ(h.load(), 1);
    EXPECT_LE(ran.size(), n);
    if (n == 1) EXPECT_EQ(ran, std::set<std::thread::id>{caller});
    EXPECT_THROW(pool->join([] {
      qv::parallel::for_each(100, [](size_t i) {
        if (i == 57) throw std::runtime_error("boom");
      });
    }), std::runtime_error);
    EXPECT_EQ(Pool::current(), nullptr);
  }
}

TEST(Pool, NestedLoopsVisitEveryIndexOnce) {
  auto pool = make(4);
  std::vector<std::atomic<int>> hits(200 * 50);
  pool->install([&] {
    qv::parallel::for_each(200, [&](size_t i) {
      qv::parallel::for_each(50, [&](size_t j) { hits[i * 50 + j].fetch_add(1); }, 3);
    }, 1);
  });
  for (auto& h : hits) EXPECT_EQ(h.load(), 1);
}

// Six callers that each run 20 loops on one pool of 3, handed over (install) or joined:
// they share the workers and each gets its own sums.
TEST(Pool, ConcurrentCallersShareOnePool) {
  for (bool joined : {false, true}) {
    auto pool = make(3);
    std::vector<std::thread> callers;
    std::atomic<long> total{0};
    auto sum = [&] {
      std::atomic<long> local{0};
      qv::parallel::for_each(1000, [&](size_t i) { local += static_cast<long>(i); });
      total += local.load();
    };
    for (int c = 0; c < 6; ++c)
      callers.emplace_back([&] {
        for (int rep = 0; rep < 20; ++rep) joined ? pool->join(sum) : pool->install(sum);
      });
    for (auto& t : callers) t.join();
    EXPECT_EQ(total.load(), 6L * 20 * (999L * 1000 / 2));
  }
}

TEST(Pool, ExceptionsReachTheCaller) {
  auto pool = make(2);
  EXPECT_THROW(pool->install([] {
    qv::parallel::for_each(100, [](size_t i) {
      if (i == 57) throw std::runtime_error("boom");
    });
  }), std::runtime_error);
  // the pool still works afterwards
  EXPECT_EQ(pool->install([] { return 7; }), 7);
}

TEST(Pool, OneStatePerPieceOfWork) {
  auto pool = make(4);
  std::atomic<int> states{0};
  std::vector<int> seen(1000, 0);
  pool->install([&] {
    qv::parallel::for_each_with(
        1000, [&] { states++; return std::vector<int>(); },
        [&](std::vector<int>& s, size_t i) { s.push_back(1); seen[i] = 1; }, 10);
  });
  EXPECT_LE(states.load(), 4);
  EXPECT_EQ(std::accumulate(seen.begin(), seen.end(), 0), 1000);
}

TEST(Pool, FailedStartStopsTheStartedThreadsAndReportsTheSystemError) {
  qv::parallel::detail::fail_thread_starts_after = 2;
  std::string err;
  auto p = Pool::create(5, &err);
  qv::parallel::detail::fail_thread_starts_after = -1;
  EXPECT_EQ(p, nullptr);
  EXPECT_NE(err.find("(os error 11)"), std::string::npos) << err;
  auto again = make(5);
  EXPECT_EQ(again->threads(), 5u);
}

TEST(Pool, OneCachedPoolPerThreadCount) {
  std::string err;
  auto a = qv::parallel::cached_pool(3, &err), b = qv::parallel::cached_pool(3, &err);
  auto c = qv::parallel::cached_pool(2, &err);
  ASSERT_TRUE(a && c) << err;
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  EXPECT_EQ(c->threads(), 2u);
  EXPECT_NE(qv::parallel::default_pool(&err), qv::parallel::cached_pool(0, &err));
}
