#include "tune/tpe.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/invariant.hpp"
#include "core/total_order.hpp"
#include "tune/parzen.hpp"
#include "tune/xoshiro.hpp"

namespace qv::tune {
namespace {

constexpr double kNegInf = -std::numeric_limits<double>::infinity();
constexpr int kAttempts = 64;

// Truncation toward zero that saturates: NaN and negatives give 0, values past the range
// give the largest count.
uint64_t saturating_u64(double x) {
  if (!(x > 0.0)) return 0;
  if (x >= 0x1p64) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(x);
}

double clamp(double v, double lo, double hi) {
  if (v < lo) v = lo;
  if (v > hi) v = hi;
  return v;
}

// The bounds before any logarithm.
Range linear_range(const Domain& d) {
  switch (d.kind) {
    case Kind::Float: return {d.low, d.high};
    case Kind::Int: return {d.low - 0.5, d.high + 0.5};
    case Kind::Categorical: break;
  }
  return {0.0, static_cast<double>(d.n_choices) - 1.0};
}

// A uniform point of [lo, hi]. Bounds whose difference overflows take the convex
// combination instead, which stays finite where the fused form would give inf or NaN.
double uniform_in(double lo, double hi, double u) {
  const double width = hi - lo;
  if (std::isfinite(width)) return std::fma(width, u, lo);
  return lo * (1.0 - u) + hi * u;
}

// The index that `target` falls into when the weights are laid end to end; a target past
// the end (rounding) takes the last index.
size_t pick(const std::vector<double>& weights, double target) {
  for (size_t c = 0; c < weights.size(); ++c) {
    if (target < weights[c]) return c;
    target -= weights[c];
  }
  return weights.size() - 1;
}

double sum(const std::vector<double>& v) {
  double total = -0.0;
  for (double x : v) total += x;
  return total;
}

struct Group {
  std::vector<double> values;
  std::vector<double> weights;
};

Group group(const Domain& d, std::span<const double> observed, const std::vector<uint64_t>& trials) {
  Group g;
  g.values.reserve(trials.size());
  for (uint64_t t : trials) g.values.push_back(to_internal(d, observed[t]));
  g.weights = recency_weights(trials.size());
  return g;
}

double suggest_categorical(const Domain& d, const Group& good, const Group& bad, const TpeSettings& s,
                           Xoshiro256& rng) {
  const std::vector<double> l = categorical(good.values, good.weights, d.n_choices, s.prior_weight);
  const std::vector<double> g = categorical(bad.values, bad.weights, d.n_choices, s.prior_weight);
  const double total = sum(l);
  uint64_t answer = 0;
  double best = kNegInf;
  for (uint64_t k = 0; k < s.n_ei_candidates; ++k) {
    const size_t c = pick(l, total * rng.uniform());
    const double score = std::log(l[c]) - std::log(g[c]);
    if (score > best) {
      best = score;
      answer = c;
    }
  }
  return static_cast<double>(answer);
}

double suggest_numeric(const Domain& d, const Group& good, const Group& bad, const TpeSettings& s,
                       Xoshiro256& rng) {
  const auto [lo, hi] = internal_range(d);
  Parzen l(good.values, good.weights, lo, hi, s.prior_weight);
  Parzen g(bad.values, bad.weights, lo, hi, s.prior_weight);
  const double total = sum(l.weights());
  double answer = midpoint(lo, hi);
  double best = kNegInf;
  for (uint64_t k = 0; k < s.n_ei_candidates; ++k) {
    const size_t c = pick(l.weights(), total * rng.uniform());
    const double mu = l.mus()[c];
    const double sigma = l.sigmas()[c];
    double x = 0.0;
    bool inside = false;
    for (int attempt = 0; attempt < kAttempts && !inside; ++attempt) {
      const double u1 = rng.uniform();
      const double u2 = rng.uniform();
      const double r = std::sqrt(std::log(1.0 - u1) * -2.0);
      const double theta = u2 * 6.283185307179586;
      x = std::fma(sigma, r * std::cos(theta), mu);
      inside = lo <= x && x <= hi;
    }
    if (!inside) x = uniform_in(lo, hi, rng.uniform());
    const double score = l.log_pdf(x) - g.log_pdf(x);
    if (score > best) {
      best = score;
      answer = x;
    }
  }
  return to_external(d, answer);
}

}  // namespace

Range internal_range(const Domain& d) {
  Range r = linear_range(d);
  if (d.kind != Kind::Categorical && d.log) r = {std::log(r.lo), std::log(r.hi)};
  return r;
}

double to_internal(const Domain& d, double v) {
  const Range linear = linear_range(d);
  // Clamping before the logarithm keeps a zero or negative observation of a log-scaled
  // parameter from becoming -inf or NaN, which would poison every later score.
  v = clamp(v, linear.lo, linear.hi);
  if (d.kind == Kind::Categorical || !d.log) return v;
  const Range r = internal_range(d);
  return clamp(std::log(v), r.lo, r.hi);
}

double to_external(const Domain& d, double x) {
  double y = d.log ? std::exp(x) : x;
  if (d.kind == Kind::Int) y = std::round(y);
  return clamp(y, d.low, d.high);
}

Split split(std::span<const double> scores) {
  const uint64_t n = scores.size();
  const uint64_t n_good = std::min<uint64_t>(n / 10 + (n % 10 != 0), 25);
  std::vector<int64_t> keys(n);
  for (uint64_t i = 0; i < n; ++i) keys[i] = total_order_key(scores[i]);
  std::vector<uint64_t> order(n);
  for (uint64_t i = 0; i < n; ++i) order[i] = i;
  std::partial_sort(order.begin(), order.begin() + static_cast<ptrdiff_t>(n_good), order.end(),
                    [&](uint64_t a, uint64_t b) { return keys[a] > keys[b] || (keys[a] == keys[b] && a < b); });
  Split s;
  s.good.assign(order.begin(), order.begin() + static_cast<ptrdiff_t>(n_good));
  std::sort(s.good.begin(), s.good.end());
  s.bad.reserve(n - n_good);
  size_t next_good = 0;
  for (uint64_t i = 0; i < n; ++i) {
    if (next_good < s.good.size() && s.good[next_good] == i) {
      ++next_good;
    } else {
      s.bad.push_back(i);
    }
  }
  return s;
}

std::vector<double> recency_weights(uint64_t n) {
  constexpr uint64_t kFlat = 25;
  std::vector<double> w(n, 1.0);
  if (n < kFlat) return w;
  const uint64_t m = n - kFlat;
  const double first = 1.0 / static_cast<double>(n);
  if (m == 1) w[0] = first;
  if (m >= 2) {
    const double rise = 1.0 - first;
    const double steps = static_cast<double>(n - 26);
    for (uint64_t i = 0; i < m; ++i) w[i] = first + (static_cast<double>(i) * rise) / steps;
  }
  return w;
}

std::vector<double> categorical(std::span<const double> values, std::span<const double> weights,
                                uint64_t n_choices, double prior_weight) {
  QV_ASSERT(values.size() == weights.size(), "categorical values and weights differ in length");
  QV_ASSERT(n_choices >= 1, "categorical domain without choices");
  std::vector<double> counts;
  resize_as("one weight per choice", counts, n_choices, prior_weight / static_cast<double>(n_choices));
  for (size_t i = 0; i < values.size(); ++i) {
    const uint64_t c = std::min(saturating_u64(values[i]), n_choices - 1);
    counts[c] = weights[i] + counts[c];
  }
  const double total = sum(counts);
  for (double& c : counts) c /= total;
  return counts;
}

double suggest(const Domain& d, std::span<const double> observed, std::span<const double> scores,
               const TpeSettings& settings, uint64_t seed) {
  QV_ASSERT(observed.size() == scores.size(), "observed and scores differ in length");
  const uint64_t n = observed.size();
  Xoshiro256 rng(seed);
  if (n < std::max<uint64_t>(settings.n_startup_trials, 1) || settings.n_ei_candidates == 0) {
    const double u = rng.uniform();
    if (d.kind == Kind::Categorical)
      return static_cast<double>(std::min(d.n_choices - 1, saturating_u64(u * static_cast<double>(d.n_choices))));
    const auto [lo, hi] = internal_range(d);
    return to_external(d, uniform_in(lo, hi, u));
  }
  const Split s = split(scores);
  const Group good = group(d, observed, s.good);
  const Group bad = group(d, observed, s.bad);
  if (d.kind == Kind::Categorical) return suggest_categorical(d, good, bad, settings, rng);
  return suggest_numeric(d, good, bad, settings, rng);
}

}  // namespace qv::tune
