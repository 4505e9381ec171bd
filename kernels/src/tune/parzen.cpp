#include "tune/parzen.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

#include "core/invariant.hpp"
#include "core/isa.hpp"
#include "core/total_order.hpp"

namespace qv::tune {
namespace {

constexpr double kHalfMax = 8.988465674311579e307;
// ln of each value, taking it once for a run of equal values: bandwidths at the floor and
// the flat recency weights repeat, and equal doubles have equal logarithms.
void logs(const std::vector<double>& v, std::vector<double>& out) {
  out.resize(v.size());
  for (size_t i = 0; i < v.size(); ++i) out[i] = i > 0 && v[i] == v[i - 1] ? out[i - 1] : std::log(v[i]);
}

}  // namespace

double midpoint(double low, double high) {
  if (std::fabs(low) <= kHalfMax && std::fabs(high) <= kHalfMax) return (low + high) * 0.5;
  return low * 0.5 + high * 0.5;
}

Parzen::Parzen(std::span<const double> values, std::span<const double> weights, double low, double high,
               double prior_weight)
    : log_density_(QV_ISA_PICK(portable::log_density, avx2::log_density)) {
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
    // The larger gap; a NaN gap gives way to the other one.
    const double gap_left = mus_[c] - left, gap_right = right - mus_[c];
    double d = gap_left != gap_left || gap_right > gap_left ? gap_right : gap_left;
    if (d < min_sigma) d = min_sigma;
    if (d > width) d = width;
    sigmas_[c] = d;
  }
  sigmas_[n - 1] = width;

  double total = -0.0;
  for (double w : weights_) total += w;
  for (double& w : weights_) w /= total;
  logs(weights_, log_weights_);
  logs(sigmas_, log_sigmas_);
  log_norm_.resize(n);
  QV_ISA_PICK(portable::log_masses, avx2::log_masses)(mus_.data(), sigmas_.data(), n, low, high, log_norm_.data());
  terms_.resize(n);
}

double Parzen::log_pdf(double x) {
  const Components c{mus_.data(), sigmas_.data(), log_weights_.data(), log_sigmas_.data(), log_norm_.data(),
                     mus_.size()};
  return log_density_(c, x, terms_.data());
}

}  // namespace qv::tune
