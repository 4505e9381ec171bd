#include <pthread.h>
#include <unistd.h>

#include <mutex>
#include <unordered_map>

#include "parallel/pool.hpp"

namespace qv::parallel {

namespace {

struct Registry {
  std::mutex mutex;
  pid_t pid = getpid();
  std::shared_ptr<Pool> default_pool;
  std::unordered_map<uint64_t, std::shared_ptr<Pool>> by_count;
};

// Never destroyed: pools outlive interpreter shutdown and static destructors.
Registry& registry() {
  static Registry* r = [] {
    auto* made = new Registry();
    // A fork while another thread holds the mutex must not leave the child's copy locked.
    pthread_atfork([] { registry().mutex.lock(); }, [] { registry().mutex.unlock(); },
                   [] { registry().mutex.unlock(); });
    return made;
  }();
  return *r;
}

// Called with the mutex held. Pools inherited from the parent have no threads here;
// dropping them would wait for those threads forever, so their handles are leaked.
void forget_inherited(Registry& r) {
  const pid_t pid = getpid();
  if (r.pid == pid) return;
  if (r.default_pool) new std::shared_ptr<Pool>(std::move(r.default_pool));
  for (auto& [count, pool] : r.by_count) new std::shared_ptr<Pool>(std::move(pool));
  r.by_count.clear();
  r.pid = pid;
}

}  // namespace

std::shared_ptr<Pool> default_pool(std::string* error) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  forget_inherited(r);
  if (!r.default_pool) {
    std::string err;
    r.default_pool = Pool::create(0, &err);
    if (!r.default_pool && error) *error = err;
  }
  return r.default_pool;
}

std::shared_ptr<Pool> cached_pool(uint64_t n_threads, std::string* error) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  forget_inherited(r);
  if (auto it = r.by_count.find(n_threads); it != r.by_count.end()) return it->second;
  std::string err;
  auto built = Pool::create(static_cast<size_t>(n_threads), &err);
  if (!built) {
    if (error) *error = err;
    return nullptr;
  }
  r.by_count.emplace(n_threads, built);
  return built;
}

}  // namespace qv::parallel
