#pragma once
// The TPE proposal of the next value of one hyperparameter from its history: uniform draws
// during start-up, then candidates drawn from the density of the best trials and ranked by
// the log-ratio of that density to the density of the rest.
#include <cstdint>
#include <span>
#include <vector>

namespace qv::tune {

enum class Kind : uint8_t { Float = 0, Int = 1, Categorical = 2 };

// Float and Int: finite low <= high (Int: both whole), a log-scaled Float has low at least
// the smallest normal double and a log-scaled Int has low >= 1. Categorical: n_choices >= 1.
struct Domain {
  Kind kind = Kind::Float;
  double low = 0.0;
  double high = 0.0;
  bool log = false;
  uint64_t n_choices = 0;
};

struct TpeSettings {
  uint64_t n_startup_trials = 0;
  uint64_t n_ei_candidates = 0;
  double prior_weight = 1.0;
};

// The interval in which densities are fitted and candidates drawn.
struct Range {
  double lo;
  double hi;
};
Range internal_range(const Domain& d);

// `observed` and `scores` have equal lengths and finite values. Returns a value in
// [low, high] (Int: a whole one), or a choice index for a Categorical.
double suggest(const Domain& d, std::span<const double> observed, std::span<const double> scores,
               const TpeSettings& settings, uint64_t seed);

// The building blocks, exposed for the tests.
struct Split {
  std::vector<uint64_t> good;  // ascending trial indices
  std::vector<uint64_t> bad;
};
Split split(std::span<const double> scores);
std::vector<double> recency_weights(uint64_t n);
std::vector<double> categorical(std::span<const double> values, std::span<const double> weights,
                                uint64_t n_choices, double prior_weight);
double to_internal(const Domain& d, double v);
double to_external(const Domain& d, double x);

}  // namespace qv::tune
