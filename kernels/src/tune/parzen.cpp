#include "tune/parzen.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <utility>

#include "core/invariant.hpp"
#include "core/total_order.hpp"

namespace qv::tune {
namespace {

constexpr double kHalfMax = 8.988465674311579e307;
constexpr double kSqrtHalf = 0.7071067811865476;
constexpr double kMinNormal = 2.2250738585072014e-308;
constexpr double kMinusLn2Pi = -1.8378770664093453;

// Mass of N(0, 1) inside [a, b]. When the whole interval lies above the centre the upper
// tails are subtracted instead of the lower ones, which keeps precision far out.
double mass(double a, double b) {
  if (a > 0) return 0.5 * erfc_approx(a * kSqrtHalf) - 0.5 * erfc_approx(b * kSqrtHalf);
  return 0.5 * erfc_approx(b * -kSqrtHalf) - 0.5 * erfc_approx(a * -kSqrtHalf);
}

}  // namespace

double midpoint(double low, double high) {
  if (std::fabs(low) <= kHalfMax && std::fabs(high) <= kHalfMax) return (low + high) * 0.5;
  return low * 0.5 + high * 0.5;
}

double erfc_approx(double x) {
  const double s = std::fabs(x);
  const double t = 1.0 / std::fma(0.5, s, 1.0);
  double p = std::fma(t, 0.17087277, -0.82215223);
  for (double c : {1.48851587, -1.13520398, 0.27886807, -0.18628806, 0.09678418, 0.37409196, 1.00002368})
    p = std::fma(t, p, c);
  const double e = std::fma(t, p, std::fma(-s, s, -1.26551223));
  const double r = t * std::exp(e);
  return x < 0 ? 2.0 - r : r;
}

Parzen::Parzen(std::span<const double> values, std::span<const double> weights, double low, double high,
               double prior_weight)
    : low_(low), high_(high) {
  QV_ASSERT(values.size() == weights.size(), "parzen values and weights differ in length");
  const size_t n = values.size() + 1;
  mus_.reserve(n);
  mus_.assign(values.begin(), values.end());
  mus_.push_back(midpoint(low, high));
  weights_.reserve(n);
  weights_.assign(weights.begin(), weights.end());
  weights_.push_back(prior_weight);

  const double width = high - low;
  // Ranking by the totalOrder key with the index as tie-break is a stable sort by centre
  // that stays a strict weak order even with NaN centres.
  std::vector<std::pair<int64_t, size_t>> order(n);
  for (size_t i = 0; i < n; ++i) order[i] = {total_order_key(mus_[i]), i};
  std::sort(order.begin(), order.end());

  const double min_sigma = width / std::min(static_cast<double>(n) + 1.0, 100.0);
  sigmas_.assign(n, width);
  for (size_t j = 0; j < n; ++j) {
    const size_t c = order[j].second;
    const double left = j == 0 ? low : mus_[order[j - 1].second];
    const double right = j + 1 == n ? high : mus_[order[j + 1].second];
    double d = std::fmax(mus_[c] - left, right - mus_[c]);
    if (d < min_sigma) d = min_sigma;
    if (d > width) d = width;
    sigmas_[c] = d;
  }
  sigmas_[n - 1] = width;

  double total = -0.0;
  for (double w : weights_) total += w;
  log_weights_.resize(n);
  for (size_t i = 0; i < n; ++i) {
    weights_[i] /= total;
    log_weights_[i] = std::log(weights_[i]);
  }

  log_norm_.resize(n);
  log_sigmas_.resize(n);
  for (size_t i = 0; i < n; ++i) {
    const double mu = mus_[i];
    const double sigma = sigmas_[i];
    const double z = mass((low - mu) / sigma, (high - mu) / sigma);
    log_norm_[i] = std::log(std::fmax(z, kMinNormal));
    log_sigmas_[i] = std::log(sigma);
  }
  terms_.resize(n);
}

double Parzen::log_pdf(double x) {
  const size_t n = mus_.size();
  double m = -std::numeric_limits<double>::infinity();
  for (size_t i = 0; i < n; ++i) {
    const double z = (x - mus_[i]) / sigmas_[i];
    const double h = z * 0.5;
    double e = std::fma(-h, z, log_weights_[i]);
    e = e - log_sigmas_[i];
    e = std::fma(0.5, kMinusLn2Pi, e);
    const double term = e - log_norm_[i];
    terms_[i] = term;
    if (term > m) m = term;
  }
  if (m == -std::numeric_limits<double>::infinity()) return m;
  double s = -0.0;
  for (size_t i = 0; i < n; ++i) s += std::exp(terms_[i] - m);
  return m + std::log(s);
}

}  // namespace qv::tune
