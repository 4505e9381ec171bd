#include "pools.hpp"

#include <string>

#include "py/errors.hpp"

namespace qv::pools {

std::shared_ptr<parallel::Pool> pool(uint64_t n_threads) {
  std::string error;
  if (auto p = parallel::cached_pool(n_threads, &error)) return p;
  py::value_error(error);
}

std::shared_ptr<parallel::Pool> default_pool() {
  std::string error;
  if (auto p = parallel::default_pool(&error)) return p;
  py::value_error(error);
}

}  // namespace qv::pools
