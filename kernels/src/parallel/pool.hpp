#pragma once
// A pool of worker threads with self-scheduled parallel loops.
//
// Why not OpenMP or TBB: a forked child must get working pools (libgomp hangs there), a
// pool must own exactly the threads it was asked for, and a thread that cannot start must
// be an error the caller can report and retry, never std::terminate.
//
// Loops cut an index range into chunks handed out by an atomic cursor. The thread that
// starts a loop drains the cursor too, so a loop nested inside a chunk never waits for
// work that has not started: every chunk it waits for is already running on a live
// thread, which cannot deadlock.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <algorithm>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace qv::parallel {

// One unit of queued work. A loop is queued once per helper it wants; a stale entry
// (the loop already finished) is harmless because the queue holds a shared reference.
struct Job {
  virtual ~Job() = default;
  virtual void run() = 0;
};

class Pool {
 public:
  // Starts `n` workers (0: the default size). When a thread cannot start, the started
  // ones are stopped and joined, `error` receives "<description> (os error N)" and
  // nullptr is returned. A size above max_threads() starts nothing and gets
  // "<n_threads or the variable> value N out of range [0, max + 1)." instead.
  static std::shared_ptr<Pool> create(size_t n, std::string* error);
  ~Pool();
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  size_t threads() const { return n_threads_; }

  // The pool whose worker runs the calling thread, or nullptr.
  static Pool* current();

  // Runs `f` on a worker of this pool while the caller blocks; directly when the caller
  // already is one of its workers. An exception thrown by `f` reaches the caller.
  template <class F>
  decltype(auto) install(F&& f);

  // Runs `f` on the calling thread, which counts as one of this pool's threads until `f`
  // returns: loops started inside queue threads() - 1 helpers and drain their chunks on
  // the caller too. A request that is over in a millisecond cannot afford install's
  // hand-over (the caller would block while a worker wakes only to queue more helpers);
  // here the caller starts scoring at once and late helpers just find fewer chunks.
  template <class F>
  decltype(auto) join(F&& f);

  // Queues `copies` references to `job`; each is run by whichever worker takes it. Either
  // all are queued or, when memory runs out, none (std::bad_alloc).
  void submit(const std::shared_ptr<Job>& job, size_t copies);

 private:
  Pool() = default;
  void worker_main();

  // Claims one queued entry: only claimants take the mutex to pop, so idle workers do not
  // queue up on it when work arrives.
  bool try_claim();
  // True when an entry was claimed within the spin budget; false when it is time to sleep.
  bool spin_for_work();

  size_t n_threads_ = 0;
  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable wake_;
  // One entry per submit, however many copies it asked for: a single allocation either
  // queues all of them or none, so the claim count below never disagrees with the queue
  // (a partly queued loop would leave workers taking entries that are not there, and its
  // initiator waiting for helpers that never come).
  struct Entry {
    std::shared_ptr<Job> job;
    size_t copies;
  };
  std::deque<Entry> queue_;
  bool stopping_ = false;
  // Queued entries not yet claimed by a worker; raised under mutex_.
  std::atomic<size_t> unclaimed_{0};
  std::atomic<bool> stop_hint_{false};
  size_t sleepers_ = 0;  // workers blocked on wake_ (under mutex_)
  std::atomic<size_t> spinning_{0};  // workers polling for entries
  std::atomic<size_t> running_{0};  // workers past their set-up
};

namespace detail {
// Makes `pool` the calling thread's pool and returns the one it replaces.
Pool* exchange_current(Pool* pool);

// Polls `done()` with pause instructions for up to `budget_us` microseconds; true once it
// held.
bool spin_until_impl(bool (*test)(const void*), const void* ctx, unsigned budget_us);
template <class Done>
bool spin_until(Done& done, unsigned budget_us) {
  return spin_until_impl([](const void* c) { return (*static_cast<const Done*>(c))(); }, &done, budget_us);
}

// Polling budgets. A pool's own threads poll longer: they have nothing else to run. A
// thread outside the pool polls briefly, since while the pool is busy it would take a
// processor from a worker.
inline constexpr unsigned kWorkerSpinUs = 200;
inline constexpr unsigned kOutsideSpinUs = 20;
}  // namespace detail

// The default size: RAYON_NUM_THREADS when it holds a positive integer (0 there means
// the online processors), else RAYON_RS_NUM_CPUS when positive, else the processors.
// `source`, when given, receives the name of the variable the size came from (left as
// it was when the size is the processor count).
size_t default_thread_count(const char** source = nullptr);

// The most threads one pool may have: max(256, 4 x online processors). Pool::create
// refuses more, naming `n_threads` or the environment variable that asked for them.
size_t max_threads();

// The process-wide pools (registry.cpp): the default pool, and one pool per requested
// thread count (0 is a count of its own, the default size), each built on first use.
// A forked child forgets the inherited ones and builds its own. Both return nullptr with
// `error` set when the threads cannot start; nothing is kept then.
std::shared_ptr<Pool> default_pool(std::string* error);
std::shared_ptr<Pool> cached_pool(uint64_t n_threads, std::string* error);

// The pool a loop started here would run on: the current pool, else the default one.
Pool& loop_pool();

// Threads of the pool a loop started here would run on.
inline size_t current_threads() { return loop_pool().threads(); }

namespace detail {

// Waits until done(value of a) holds. Polls first, for a bounded time: the end of a loop
// or of an installed call is often a few microseconds away, and a blocked thread takes far
// longer than that to wake up again.
template <class T, class Done>
void spin_then_wait(const std::atomic<T>& a, Done done, unsigned budget_us) {
  auto ready = [&] { return done(a.load(std::memory_order_acquire)); };
  if (ready() || spin_until(ready, budget_us)) return;
  for (;;) {
    const T v = a.load(std::memory_order_acquire);
    if (done(v)) return;
    a.wait(v, std::memory_order_acquire);
  }
}

// Test hook: when non-negative, thread starts beyond this many fail as if the system
// refused them.
extern std::atomic<long> fail_thread_starts_after;

// Shared state of one loop: chunks are [i*chunk, min(n, (i+1)*chunk)).
class LoopBase : public Job {
 public:
  LoopBase(size_t n, size_t chunk)
      : n_(n), chunk_(chunk), n_chunks_((n + chunk - 1) / chunk), remaining_(n_chunks_) {}

  size_t n_chunks() const { return n_chunks_; }

  // Blocks until every chunk has finished, then rethrows the first exception.
  void wait_and_rethrow() {
    spin_then_wait(remaining_, [](size_t r) { return r == 0; },
                   Pool::current() ? kWorkerSpinUs : kOutsideSpinUs);
    if (error_) std::rethrow_exception(error_);
  }

 protected:
  // Next chunk or false; after a stop request, remaining chunks are retired unrun.
  bool next(size_t& lo, size_t& hi) {
    for (;;) {
      size_t c = cursor_.fetch_add(1, std::memory_order_relaxed);
      if (c >= n_chunks_) return false;
      if (!should_run(c)) {
        finish_chunk();
        continue;
      }
      lo = c * chunk_;
      hi = lo + chunk_ < n_ ? lo + chunk_ : n_;
      return true;
    }
  }
  virtual bool should_run(size_t /*chunk*/) { return !stopped_.load(std::memory_order_relaxed); }
  void finish_chunk() {
    if (remaining_.fetch_sub(1, std::memory_order_acq_rel) == 1) remaining_.notify_all();
  }
  // Counts every chunk not yet taken as done; only called once the loop is stopped.
  void retire_rest() {
    size_t lo, hi;
    while (next(lo, hi)) finish_chunk();
  }
  void fail(std::exception_ptr e) {
    std::lock_guard<std::mutex> lock(error_mutex_);
    if (!error_) error_ = e;
    stopped_.store(true, std::memory_order_relaxed);
  }

  const size_t n_;
  const size_t chunk_;
  const size_t n_chunks_;
  std::atomic<size_t> cursor_{0};
  std::atomic<size_t> remaining_;
  std::atomic<bool> stopped_{false};
  std::mutex error_mutex_;
  std::exception_ptr error_;
};

template <class Init, class Body>
class Loop final : public LoopBase {
 public:
  Loop(size_t n, size_t chunk, Init& init, Body& body)
      : LoopBase(n, chunk), init_(init), body_(body) {}

  // One piece of work: the chunks this thread takes in one go, sharing one state.
  void run() override {
    size_t lo, hi;
    if (!next(lo, hi)) return;
    try {
      auto state = init_();
      do {
        try {
          for (size_t i = lo; i < hi; ++i) body_(state, i);
        } catch (...) {
          fail(std::current_exception());
        }
        finish_chunk();
      } while (next(lo, hi));
    } catch (...) {
      // The state could not be made (most often memory ran out). The chunk taken counts
      // as done, and so must every chunk not yet taken: no other piece may ever come for
      // them (a loop of one thread has none, and the others fail the same way), and the
      // initiator waits until all are counted.
      fail(std::current_exception());
      finish_chunk();
      retire_rest();
    }
  }

 private:
  Init& init_;
  Body& body_;
};

size_t auto_chunk(size_t n, size_t threads);

template <class Init, class Body>
void run_loop(Pool& pool, size_t n, size_t chunk, Init& init, Body& body) {
  if (n == 0) return;
  if (chunk == 0) chunk = auto_chunk(n, pool.threads());
  auto loop = std::make_shared<Loop<Init, Body>>(n, chunk, init, body);
  const bool inside = Pool::current() == &pool;
  // A thread outside the pool only waits, so the pool's thread count is honoured.
  size_t helpers = inside ? std::min(loop->n_chunks() - 1, pool.threads() - 1)
                          : std::min(loop->n_chunks(), pool.threads());
  if (helpers) pool.submit(loop, helpers);
  if (inside) loop->run();
  loop->wait_and_rethrow();
}

struct NoState {};

}  // namespace detail

// Runs body(state, i) for every i in [0, n) on the current pool (or the default pool),
// with state = init() once per piece of work. `chunk` 0 picks a size from n and threads.
template <class Init, class Body>
void for_each_with(size_t n, Init&& init, Body&& body, size_t chunk = 0) {
  detail::run_loop(loop_pool(), n, chunk, init, body);
}

// Stateless form: body(i).
template <class Body>
void for_each(size_t n, Body&& body, size_t chunk = 0) {
  auto init = [] { return detail::NoState{}; };
  auto wrapped = [&body](detail::NoState&, size_t i) { body(i); };
  detail::run_loop(loop_pool(), n, chunk, init, wrapped);
}

// ---- install ----

namespace detail {
template <class R>
struct InstallJob final : Job {
  explicit InstallJob(std::function<R()> f) : fn(std::move(f)) {}
  std::function<R()> fn;
  std::optional<std::conditional_t<std::is_void_v<R>, char, R>> result;
  std::exception_ptr error;
  std::atomic<bool> done{false};
  void run() override {
    try {
      if constexpr (std::is_void_v<R>) {
        fn();
        result.emplace(0);
      } else {
        result.emplace(fn());
      }
    } catch (...) {
      error = std::current_exception();
    }
    done.store(true, std::memory_order_release);
    done.notify_all();
  }
};
}  // namespace detail

template <class F>
decltype(auto) Pool::install(F&& f) {
  using R = std::invoke_result_t<F&>;
  if (current() == this) return f();
  auto job = std::make_shared<detail::InstallJob<R>>(std::function<R()>(std::ref(f)));
  submit(job, 1);
  detail::spin_then_wait(job->done, [](bool d) { return d; }, detail::kOutsideSpinUs);
  if (job->error) std::rethrow_exception(job->error);
  if constexpr (std::is_void_v<R>) {
    return;
  } else {
    return R(std::move(*job->result));
  }
}

template <class F>
decltype(auto) Pool::join(F&& f) {
  struct Member {
    Pool* previous;
    ~Member() { detail::exchange_current(previous); }
  } member{detail::exchange_current(this)};
  return f();
}

}  // namespace qv::parallel
