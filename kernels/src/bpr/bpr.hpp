#pragma once
// Bayesian personalized ranking: stochastic gradient ascent on ln sigma(x_ui - x_uj) over
// triplets (user, interacted item, negative item) drawn from a seed.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/splitmix.hpp"
#include "sparse/sparse.hpp"

namespace qv::bpr {

struct BprParams {
  uint64_t n_factors = 0;
  double learning_rate = 0.0;
  double regularization = 0.0;
  uint64_t n_iter = 0;
  uint64_t seed = 0;
  bool use_bias = false;
  bool popularity_negatives = false;
};

// The draws of sample `s` of epoch `epoch` over `n_samples` samples: sample s takes the
// counter c = epoch * n_samples + s, and its two draws are mix(seed ^ mix(2c)) and
// mix(seed ^ mix(2c + 1)). Nothing else feeds them, so they never depend on scheduling.
struct Draws {
  uint64_t r1, r2;
};
inline Draws draws(uint64_t seed, uint64_t epoch, uint64_t n_samples, uint64_t s) {
  const uint64_t c = epoch * n_samples + s;
  return {splitmix64_mix(seed ^ splitmix64_mix(2 * c)), splitmix64_mix(seed ^ splitmix64_mix(2 * c + 1))};
}

// Trains on working copies of the three model arrays and writes them back once, after the
// last epoch. `m` holds the interactions (columns strictly ascending within each row; no
// values needed); `sample_pool` optionally restricts the positives to those entry offsets.
// Every epoch runs on the current pool without locks: workers may overwrite each other's
// update of a shared row, which the method tolerates. Returns, per epoch, the share of
// non-rejected triplets the model ranked correctly before updating on them.
std::vector<double> fit(const sparse::CsrView& m, std::optional<std::span<const uint64_t>> sample_pool,
                        std::span<double> user_factors, std::span<double> item_factors,
                        std::span<double> item_bias, const BprParams& p);

}  // namespace qv::bpr
