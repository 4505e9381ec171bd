// The worker pool: nested loops, concurrent callers, early stop, failed starts.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <mutex>
#include <new>
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

// Runs `f` on a thread of its own and gives it `seconds` to return: a loop that never ends
// cannot be joined, so the process ends with a failure instead of hanging the suite.
template <class F>
void within(int seconds, F f) {
  std::packaged_task<void()> task(f);
  auto done = task.get_future();
  std::thread(std::move(task)).detach();
  if (done.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
    ADD_FAILURE() << "the call did not return";
    std::_Exit(1);
  }
  done.get();
}

// Scratch that cannot be made (memory exhausted) fails the loop with that error however
// many pieces fail and whichever thread starts the loop: handed over, joined, nested, on
// one thread or several, with a piece that did get its state still running. The chunks
// the failed pieces never reached must count as done, or the initiator waits for ever.
TEST(Pool, AStateThatCannotBeMadeEndsTheLoopWithItsError) {
  for (size_t threads : {1, 2, 4}) {
    auto pool = make(threads);
    for (int failing : {1, 2, 1000}) {  // pieces whose state fails: the first, two, all
      std::atomic<int> made{0};
      std::atomic<size_t> visited{0};
      auto init = [&] {
        if (made.fetch_add(1) < failing) throw std::bad_alloc();
        return 0;
      };
      auto body = [&](int&, size_t) {
        visited.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      };
      auto loop = [&] { qv::parallel::for_each_with(400, init, body, 1); };
      within(20, [&] {
        EXPECT_THROW(pool->install(loop), std::bad_alloc);
        made = 0;
        EXPECT_THROW(pool->join(loop), std::bad_alloc);
        made = 0;
        EXPECT_THROW(pool->install([&] { qv::parallel::for_each(3, [&](size_t) { loop(); }, 1); }),
                     std::bad_alloc);
      });
      EXPECT_LT(visited.load(), 3u * 400u);
      // the pool then serves the next loop in full
      std::atomic<size_t> sum{0};
      within(20, [&] { pool->install([&] { qv::parallel::for_each(1000, [&](size_t i) { sum += i; }); }); });
      EXPECT_EQ(sum.load(), 999u * 1000u / 2u);
    }
  }
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
