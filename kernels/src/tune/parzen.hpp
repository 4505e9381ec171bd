#pragma once
// The density model of the TPE proposal: a weighted mixture of normal distributions, each
// truncated to [low, high], one component per observation plus a broad prior centred on
// the interval. Every rounding step is fixed so that proposals are the same bits on every
// machine with the same C library.
#include <cstddef>
#include <span>
#include <vector>

#include "tune/mixture.hpp"

namespace qv::tune {

// The midpoint of [low, high] that cannot overflow for bounds near the largest double.
double midpoint(double low, double high);

class Parzen {
 public:
  // `values` lie in [low, high] (or are NaN), one per observation in trial order, with
  // `weights` of the same length; the prior component is appended last.
  Parzen(std::span<const double> values, std::span<const double> weights, double low, double high,
         double prior_weight);

  // The natural logarithm of the mixture density at x; -inf where no component is defined.
  double log_pdf(double x);

  size_t size() const { return mus_.size(); }
  const std::vector<double>& mus() const { return mus_; }
  const std::vector<double>& sigmas() const { return sigmas_; }
  const std::vector<double>& weights() const { return weights_; }
  const std::vector<double>& log_norm() const { return log_norm_; }

 private:
  std::vector<double> mus_;
  std::vector<double> sigmas_;
  std::vector<double> weights_;
  std::vector<double> log_weights_;
  std::vector<double> log_norm_;
  // ln(sigma) per component: a pure function of the bandwidth, so computing it once gives
  // the bits of computing it per evaluation and halves the logarithms of a proposal.
  std::vector<double> log_sigmas_;
  std::vector<double> terms_;  // scratch of log_pdf
  double (*log_density_)(const Components&, double, double*);
};

}  // namespace qv::tune
