#include "parallel/pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace qv::parallel {

namespace detail {
std::atomic<long> fail_thread_starts_after{-1};

size_t auto_chunk(size_t n, size_t threads) {
  // About eight chunks per thread: enough to even out uneven rows, few enough that the
  // cursor is not contended.
  size_t pieces = threads * 8;
  size_t c = (n + pieces - 1) / pieces;
  return c ? c : 1;
}
}  // namespace detail

namespace {
thread_local Pool* tl_current = nullptr;

inline void pause_cpu() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

std::string os_error_text(int code) {
  return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")";
}
}  // namespace

Pool* Pool::current() { return tl_current; }

Pool* detail::exchange_current(Pool* pool) { return std::exchange(tl_current, pool); }

std::shared_ptr<Pool> Pool::create(size_t n, std::string* error) {
  const char* asked_by = "n_threads";
  if (n == 0) n = default_thread_count(&asked_by);
  // Far more threads than processors only cost memory and scheduling; an absurd count
  // would start threads until the system refuses, which under a memory limit ends the
  // process, and without per-user limits exhausts process ids machine-wide.
  const size_t limit = max_threads();
  if (n > limit) {
    if (error)
      *error = std::string(asked_by) + " value " + std::to_string(n) + " out of range [0, " + std::to_string(limit + 1) +
               ").";
    return nullptr;
  }
  std::shared_ptr<Pool> pool(new Pool());
  pool->n_threads_ = n;
  pool->workers_.reserve(n < 1024 ? n : 1024);
  for (size_t i = 0; i < n; ++i) {
    try {
      long limit = detail::fail_thread_starts_after.load();
      if (limit >= 0 && static_cast<long>(i) >= limit)
        throw std::system_error(EAGAIN, std::generic_category());
      Pool* raw = pool.get();
      pool->workers_.emplace_back([raw] { raw->worker_main(); });
    } catch (const std::system_error& e) {
      if (error) *error = os_error_text(e.code().value());
      return nullptr;  // the destructor stops and joins the threads that did start
    }
  }
  // A worker's thread-local storage is allocated at its first use, and the C library ends
  // the process when that allocation fails. Started late, a worker would make it while the
  // call that asked for the pool fills memory; waiting here has every worker make it now.
  detail::spin_then_wait(pool->running_, [n](size_t r) { return r == n; }, detail::kOutsideSpinUs);
  return pool;
}

Pool::~Pool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    stop_hint_.store(true, std::memory_order_relaxed);
  }
  wake_.notify_all();
  for (auto& t : workers_) t.join();
}

void Pool::submit(const std::shared_ptr<Job>& job, size_t copies) {
  if (copies == 0) return;
  size_t sleeping;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(Entry{job, copies});
    unclaimed_.fetch_add(copies, std::memory_order_release);
    sleeping = sleepers_;
  }
  // Spinning workers see the entries without a wake-up; a blocked one found nothing to
  // claim under the mutex before it slept, so it is counted here and woken. A spinner
  // that stops before claiming takes the mutex and claims then, so when enough of them
  // poll, waking a sleeper would only cost the caller a system call.
  if (sleeping == 0 || spinning_.load(std::memory_order_acquire) >= copies) return;
  if (copies == 1) wake_.notify_one(); else wake_.notify_all();
}

bool Pool::try_claim() {
  size_t n = unclaimed_.load(std::memory_order_acquire);
  while (n != 0)
    if (unclaimed_.compare_exchange_weak(n, n - 1, std::memory_order_acq_rel, std::memory_order_acquire)) return true;
  return false;
}

// Waking a blocked thread costs tens to hundreds of microseconds on a virtual machine,
// as much as a whole small request. Requests tend to come in bursts (a serving loop, a
// loop nested in another), so an idle worker keeps polling for a short while before it
// blocks.
bool Pool::spin_for_work() {
  bool claimed = false;
  auto test = [&] {
    if (try_claim()) return claimed = true;
    return stop_hint_.load(std::memory_order_relaxed);
  };
  spinning_.fetch_add(1, std::memory_order_acq_rel);
  detail::spin_until(test, detail::kWorkerSpinUs);
  spinning_.fetch_sub(1, std::memory_order_acq_rel);
  return claimed;
}

namespace detail {
bool spin_until_impl(bool (*test)(const void*), const void* ctx, unsigned budget_us) {
  // No sched_yield here: on a virtual machine a yield can cost as much as the wake-up
  // this loop avoids.
  using clock = std::chrono::steady_clock;
  const auto budget = std::chrono::microseconds(budget_us);
  const auto start = clock::now();
  for (;;) {
    if (test(ctx)) return true;
    if (clock::now() - start > budget) return false;
    for (int i = 0; i < 16; ++i) pause_cpu();
  }
}
}  // namespace detail

void Pool::worker_main() {
  tl_current = this;
  if (running_.fetch_add(1, std::memory_order_acq_rel) + 1 == n_threads_) running_.notify_all();
  for (;;) {
    bool claimed = spin_for_work();
    std::shared_ptr<Job> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      while (!claimed) {
        if (try_claim()) break;
        if (stopping_) return;  // every entry left is claimed by a worker that will run it
        ++sleepers_;
        wake_.wait(lock);
        --sleepers_;
      }
      Entry& front = queue_.front();
      if (--front.copies == 0) {
        job = std::move(front.job);
        queue_.pop_front();
      } else {
        job = front.job;
      }
    }
    job->run();
  }
}

namespace {
size_t positive_env(const char* name) {
  const char* v = std::getenv(name);
  if (!v || !*v) return 0;
  char* end = nullptr;
  errno = 0;
  unsigned long long x = std::strtoull(v, &end, 10);
  if (errno || *end || v[0] == '-' || v[0] == '+') return 0;
  return static_cast<size_t>(x);
}

size_t online_processors() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    int c = CPU_COUNT(&set);
    if (c > 0) return static_cast<size_t>(c);
  }
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<size_t>(n) : 1;
}
}  // namespace

size_t default_thread_count(const char** source) {
  const char* v = std::getenv("RAYON_NUM_THREADS");
  if (v && *v) {
    if (std::strcmp(v, "0") == 0) return online_processors();
    if (size_t n = positive_env("RAYON_NUM_THREADS")) {
      if (source) *source = "RAYON_NUM_THREADS";
      return n;
    }
  }
  if (size_t n = positive_env("RAYON_RS_NUM_CPUS")) {
    if (source) *source = "RAYON_RS_NUM_CPUS";
    return n;
  }
  return online_processors();
}

size_t max_threads() {
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return std::max<size_t>(256, 4 * static_cast<size_t>(online > 0 ? online : 1));
}

Pool& loop_pool() {
  if (Pool* p = Pool::current()) return *p;
  std::string err;
  auto pool = default_pool(&err);
  if (!pool) throw std::system_error(EAGAIN, std::generic_category(), err);
  return *pool;  // kept alive by the leaked process-wide handle
}

}  // namespace qv::parallel
