#pragma once
// Top-k serving from latent factors: score(u, j) = bias[j] + <user_u, item_j> + offset[u].
//
// Three scoring paths, each with its own fixed floating-point order (so the last bits of
// a score depend on the path, never on the CPU):
//  - the tile, for chunks of 4 to 8 queries: one fused chain per (user, item), seeded
//    with the item bias, components in ascending order;
//  - the single scan, for chunks of 1 to 3 queries and the split path: eight partial
//    fused chains over blocks of 8 components, summed in a fixed tree, then the tail
//    components fused in order, then the bias added;
//  - the split path: a few queries over a large catalogue, cut into blocks of 16,384
//    candidates scored by the single scan on the pool.
// Both the AVX2+FMA code and the portable code follow these orders exactly.
#include <cstdint>
#include <span>

#include "recommend/frame.hpp"

namespace qv::recommend {

struct FactorModel {
  std::span<const double> user_factors;  // n_users x dim, row-major
  std::span<const double> item_factors;  // n_items x dim, row-major
  uint64_t n_users = 0;
  uint64_t n_items = 0;
  uint64_t dim = 0;
  std::span<const double> item_bias;  // n_items values, when has_item_bias
  std::span<const double> user_offset;  // n_users values, when has_user_offset
  bool has_item_bias = false;
  bool has_user_offset = false;

  const double* user(uint64_t u) const {
    QV_ASSERT(u < n_users, "user out of range");
    return user_factors.data() + u * dim;
  }
  double offset(uint64_t u) const {
    QV_ASSERT(u < n_users, "user out of range");
    return has_user_offset ? user_offset[u] : 0.0;
  }
};

// Candidate blocks of the split path, and the product n_candidates * max(dim, 1) from
// which a catalogue counts as large.
inline constexpr uint64_t kSplitBlock = 16384;
inline constexpr uint64_t kLargeCatalogue = uint64_t{1} << 21;

// Whether a request is worth a pool: many queries, or a large catalogue to split.
inline bool wants_pool(uint64_t n_queries, uint64_t n_candidates, uint64_t dim) {
  uint64_t r;
  return n_queries > kFewQueries || __builtin_mul_overflow(n_candidates, dim ? dim : 1, &r) || r >= kLargeCatalogue;
}

Result top_k_from_factors(const FactorModel& model, std::span<const uint64_t> rows, const CandidateSet& candidates,
                          const Exclusions& exclusions, uint64_t k);

}  // namespace qv::recommend
