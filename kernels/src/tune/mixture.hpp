#pragma once
// The two loops of a Parzen mixture that dominate a proposal, once per instruction-set
// level (core/isa.hpp). They use only IEEE basic operations, fused multiply-adds and the C
// library's exp and log, so every level gives the same bits.
//   log_masses:  ln of each component's probability mass inside [low, high], floored at
//                the smallest normal double.
//   log_density: ln of the mixture density at x, from per-component constants; `terms` is
//                scratch of n entries.
#include <cstddef>

namespace qv::tune {

struct Components {
  const double* mus;
  const double* sigmas;
  const double* log_weights;
  const double* log_sigmas;
  const double* log_norm;
  size_t n;
};

namespace portable {
void log_masses(const double* mus, const double* sigmas, size_t n, double low, double high, double* log_norm);
double log_density(const Components& c, double x, double* terms);
}  // namespace portable

namespace avx2 {
void log_masses(const double* mus, const double* sigmas, size_t n, double low, double high, double* log_norm);
double log_density(const Components& c, double x, double* terms);
}  // namespace avx2

// The fixed erfc approximation used for the masses, for the tests.
double erfc_approx(double x);

}  // namespace qv::tune
