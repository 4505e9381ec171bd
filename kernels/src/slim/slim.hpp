#pragma once
// Sparse linear item weights: one elastic-net regression per target item, solved in Gram
// form by cyclic coordinate descent.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "sparse/sparse.hpp"

namespace qv::slim {

struct SlimParams {
  double alpha = 0.0;
  double l1_ratio = 0.0;
  uint64_t max_iter = 0;
  double tol = 0.0;
  bool positive = false;
};

// Per-task scratch, reused from target to target: coefficients w and Gw = G * w.
class Solver {
 public:
  explicit Solver(uint64_t n) : w(checked_len<double>(n), 0.0), gw(checked_len<double>(n), 0.0), seen(n, 0) {}

  // The elastic-net duality gap of target j at the current w (Gram form).
  double duality_gap(const double* g_row_j, uint64_t n, uint64_t j, bool positive, double l1, double l2,
                     double yty) const;

  std::vector<double> w;
  std::vector<double> gw;
  std::vector<uint8_t> seen;  // warm-start columns already applied to Gw
};

struct SlimResult {
  sparse::CsrOwned weights;  // one row per target, (column, weight) by column
  uint64_t unconverged = 0;
};

// Solves every target (or `targets`, strictly ascending) of the row-major n x n Gram
// matrix `g`. `warm`, when given, has one row per target: its starting coefficients.
// Results do not depend on the pool size. Runs on the current pool.
SlimResult similarity_from_gram(std::span<const double> g, uint64_t n,
                                std::optional<std::span<const uint64_t>> targets,
                                const sparse::CsrView* warm, uint64_t k, const SlimParams& params,
                                double n_rows);

}  // namespace qv::slim
