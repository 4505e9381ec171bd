#pragma once
// The worker pools of parallel/ as the bindings take them: a pool that cannot start is a
// ValueError.
#include <cstdint>
#include <memory>

#include "parallel/pool.hpp"
#include "py/gil.hpp"

// What n_threads = 0 means, for the docstring of every function that takes a pool size:
// one wording everywhere, the README's.
#define QV_DOC_DEFAULT_POOL                                                          \
  "`n_threads == 0` uses the default pool size: `RAYON_NUM_THREADS`, else\n"          \
  "`RAYON_RS_NUM_CPUS`, else the online processors."

namespace qv::pools {

// The cached pool for `n_threads` (0 is a key of its own), built on first request. A pool
// whose threads cannot all start raises ValueError "<description> (os error N)" and
// nothing is cached. Call with the interpreter lock held.
std::shared_ptr<parallel::Pool> pool(uint64_t n_threads);

// The process-wide default pool (never the cache's), with the same error.
std::shared_ptr<parallel::Pool> default_pool();

// Releases the interpreter lock and runs `f` inside `pool`.
template <class F>
decltype(auto) run(parallel::Pool& pool, F&& f) {
  return py::without_gil([&]() -> decltype(auto) { return pool.install(f); });
}

}  // namespace qv::pools
