#pragma once
// The result every ranking search returns: the k best of each query, row-major.
#include <cstdint>
#include <vector>

#include "core/invariant.hpp"

namespace qv::ranking {

struct RankedRows {
  std::vector<uint64_t> positions;
  std::vector<double> scores;
};

// Zero-filled rows for n_queries x k entries, allocated as `what`. A size past the
// machine's memory is refused naming `k`, before the allocator is asked.
inline RankedRows ranked_rows(uint64_t n_queries, uint64_t k, const char* what) {
  constexpr size_t entry = sizeof(uint64_t) + sizeof(double);
  require_allocatable(static_cast<unsigned __int128>(n_queries) * k, entry, "k", k, what);
  const uint64_t n = n_queries * k;
  return allocating(what, n, entry, [&] {
    RankedRows out;
    out.positions.assign(checked_len<uint64_t>(n), 0);
    out.scores.assign(checked_len<double>(n), 0.0);
    return out;
  });
}

}  // namespace qv::ranking
