#include "pools.hpp"

#include <pthread.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "py/errors.hpp"

namespace qv::pools {

namespace {
struct Cache {
  std::unordered_map<uint64_t, std::shared_ptr<parallel::Pool>> pools;
  pid_t pid = 0;
};

std::mutex* g_mutex = nullptr;
Cache* g_cache = nullptr;

void init_cache() {
  g_mutex = new std::mutex();  // never destroyed: pools outlive interpreter shutdown
  g_cache = new Cache();
  g_cache->pid = getpid();
  // Keeps the mutex usable in a child forked while another thread held it.
  pthread_atfork([] { g_mutex->lock(); }, [] { g_mutex->unlock(); }, [] { g_mutex->unlock(); });
}
}  // namespace

std::shared_ptr<parallel::Pool> pool(uint64_t n_threads) {
  static std::once_flag once;
  const pid_t pid = getpid();
  std::call_once(once, init_cache);
  std::string error;
  {
    std::lock_guard<std::mutex> lock(*g_mutex);
    Cache& c = *g_cache;
    if (c.pid != pid) {
      // The inherited pools have no threads in this process. Forget them without
      // dropping a handle: shutting them down would wait for threads that do not exist.
      for (auto& [key, p] : c.pools) new std::shared_ptr<parallel::Pool>(std::move(p));
      c.pools.clear();
      c.pid = pid;
    }
    if (auto it = c.pools.find(n_threads); it != c.pools.end()) return it->second;
    auto built = parallel::Pool::create(static_cast<size_t>(n_threads), &error);
    if (built) {
      c.pools.emplace(n_threads, built);
      return built;
    }
  }
  py::value_error(error);
}

std::shared_ptr<parallel::Pool> default_pool() {
  std::string error;
  auto p = parallel::default_pool(&error);
  if (!p) py::value_error(error);
  return p;
}

}  // namespace qv::pools
