#pragma once
// The loops of tune/mixture.hpp, compiled once per level by mixture.cpp and mixture_avx2.cpp.
#include <cmath>
#include <limits>

#include "core/isa.hpp"
#include "tune/mixture.hpp"

namespace qv::tune::QV_ISA_NS {
namespace {

constexpr double kSqrtHalf = 0.7071067811865476;
constexpr double kMinNormal = 2.2250738585072014e-308;
// Half of the double nearest -ln(2 pi); exact, so adding it is the fused 0.5 * c + e.
constexpr double kHalfMinusLn2Pi = 0.5 * -1.8378770664093453;
constexpr double kLn2 = 0.6931471805599453;

// An exponential times a polynomial (its value at 0 is 1.00000003, not exactly 1): the C
// library's erfc differs between libraries, this one gives the same bits everywhere.
//
// Tails without the exp call, with the same bits: for |x| >= 6, t <= 1/4 keeps t * p
// under 0.3, so the exponent is below -36.9 and r = t * exp(e) below 2.4e-17. Then 2 - r
// rounds to 2 (r is under half the spacing of doubles below 2), and past |x| = 28 the
// exponent is below -780, where exp is exactly 0.
constexpr double kTinyTail = 6.0;

double erfc_fixed(double x) {
  const double s = std::fabs(x);
  if (x <= -kTinyTail) return 2.0;
  if (s >= 28.0) return 0.0;
  const double t = 1.0 / std::fma(0.5, s, 1.0);
  double p = std::fma(t, 0.17087277, -0.82215223);
  p = std::fma(t, p, 1.48851587);
  p = std::fma(t, p, -1.13520398);
  p = std::fma(t, p, 0.27886807);
  p = std::fma(t, p, -0.18628806);
  p = std::fma(t, p, 0.09678418);
  p = std::fma(t, p, 0.37409196);
  p = std::fma(t, p, 1.00002368);
  const double e = std::fma(t, p, std::fma(-s, s, -1.26551223));
  const double r = t * std::exp(e);
  return x < 0 ? 2.0 - r : r;
}

// The largest term that is not NaN, or -inf. Four running maxima break the chain of
// dependent comparisons; they can only disagree with one left-to-right pass on which of
// +0.0 and -0.0 comes out, so a zero maximum is taken again in order.
double max_term(const double* terms, size_t n) {
  constexpr double kNegInf = -std::numeric_limits<double>::infinity();
  double lane[4] = {kNegInf, kNegInf, kNegInf, kNegInf};
  size_t i = 0;
  for (; i + 4 <= n; i += 4)
    for (size_t k = 0; k < 4; ++k)
      if (terms[i + k] > lane[k]) lane[k] = terms[i + k];
  double m = kNegInf;
  for (double v : lane)
    if (v > m) m = v;
  for (; i < n; ++i)
    if (terms[i] > m) m = terms[i];
  if (m == 0.0) {
    m = kNegInf;
    for (i = 0; i < n; ++i)
      if (terms[i] > m) m = terms[i];
  }
  return m;
}

// exp(d) summed left to right from -0.0, skipping the terms that cannot change the sum.
struct Sum {
  double s = -0.0;
  double skip_below = -746.0;
  double next_power = 0.0;  // s at or above it raises skip_below

  void add(double d) {
    if (d < skip_below) return;
    s += std::exp(d);
    if (s >= next_power && s > 0x1p-900 && std::isfinite(s)) {
      const int k = std::ilogb(s);
      skip_below = std::fmax(-746.0, (k - 53) * kLn2 - 1e-3);
      next_power = std::ldexp(1.0, k + 1);
    }
  }
};

}  // namespace

void log_masses(const double* mus, const double* sigmas, size_t n, double low, double high, double* log_norm) {
  for (size_t i = 0; i < n; ++i) {
    const double a = (low - mus[i]) / sigmas[i];
    const double b = (high - mus[i]) / sigmas[i];
    // Above the centre the upper tails are subtracted, which keeps precision far out.
    double z;
    if (a > 0) {
      z = 0.5 * erfc_fixed(a * kSqrtHalf) - 0.5 * erfc_fixed(b * kSqrtHalf);
    } else {
      const double upper = 0.5 * erfc_fixed(b * -kSqrtHalf);
      // With both bounds 6 / sqrt(1/2) bandwidths away the lower tail (under 1.2e-17 once
      // halved) cannot move 1 - tail off 1: most components of a long history lie there.
      const double lower_arg = a * -kSqrtHalf;
      z = upper == 1.0 && lower_arg >= kTinyTail ? 1.0 : upper - 0.5 * erfc_fixed(lower_arg);
    }
    // ln(max(z, smallest normal)), the maximum taking the normal for a NaN z.
    log_norm[i] = z == 1.0 ? 0.0 : std::log(z > kMinNormal ? z : kMinNormal);
  }
}

double log_density(const Components& c, double x, double* terms) {
  for (size_t i = 0; i < c.n; ++i) {
    const double z = (x - c.mus[i]) / c.sigmas[i];
    const double h = z * 0.5;
    const double e = std::fma(-h, z, c.log_weights[i]) - c.log_sigmas[i] + kHalfMinusLn2Pi;
    terms[i] = e - c.log_norm[i];
  }
  const double m = max_term(terms, c.n);
  if (m == -std::numeric_limits<double>::infinity()) return m;
  // Left to right from -0.0. A term that cannot move the running sum is skipped: one below
  // -746 has exp exactly 0, and once the sum s is positive with exponent k, one whose exp
  // stays under half an ulp of s (2^(k-53); the bound keeps a margin for exp's own error
  // of under one ulp) leaves s unchanged. Most components lie far from x, so most exp calls
  // go, and the sum keeps every bit.
  Sum sum;
  size_t i = 0;
  for (; i < c.n && !(sum.s >= 0x1p-10); ++i) sum.add(terms[i] - m);
  // From here the threshold is at least (-10 - 53) ln 2 and only rises, so the remaining
  // terms below it are dropped in one branch-free pass before any exp is taken. A NaN
  // difference is kept, so that it still reaches the sum.
  const double drop_below = sum.skip_below;
  size_t kept = 0;
  for (; i < c.n; ++i) {
    const double d = terms[i] - m;
    terms[kept] = d;
    kept += !(d < drop_below);
  }
  for (size_t k = 0; k < kept; ++k) sum.add(terms[k]);
  const double s = sum.s;
  return m + std::log(s);
}

}  // namespace qv::tune::QV_ISA_NS
