#include "slim/slim.hpp"

#include <atomic>
#include <cmath>

#include "core/isa.hpp"
#include "knn/keep_best.hpp"
#include "slim/axpy.hpp"

namespace qv::slim {

namespace {

// The coefficient updates of the level chosen for this call.
struct Updates {
  decltype(&portable::axpy) axpy;
  decltype(&portable::replace) replace;
};

Updates pick_updates() {
  return {QV_ISA_PICK(portable::axpy, avx2::axpy), QV_ISA_PICK(portable::replace, avx2::replace)};
}

inline double sgn(double x) { return std::isnan(x) ? x : std::copysign(1.0, x); }

struct Penalties {
  double l1, l2;
};

// Returns whether target j converged; w and Gw hold its last coefficients.
bool solve(Solver& s, const Updates& up, const double* g, size_t n, size_t j, const SlimParams& p, Penalties pen) {
  const double* gj = g + j * n;
  const double yty = gj[j];
  const double tol_abs = yty * p.tol;
  double* w = s.w.data();
  double* gw = s.gw.data();
  for (uint64_t sweep = 1;; ++sweep) {
    double d_w_max = 0.0, w_max = 0.0;
    for (size_t m = 0; m < n; ++m) {
      const double gmm = g[m * n + m];
      if (m == j || gmm == 0.0) continue;
      const double* gm = g + m * n;
      const double w_old = w[m];
      // Gw[m] without the old contribution; the rest of Gw follows below.
      const double gw_m = w_old != 0.0 ? std::fma(-w_old, gm[m], gw[m]) : gw[m];
      const double tmp = gj[m] - gw_m;
      double w_new;
      if (p.positive && tmp <= 0.0)
        w_new = 0.0;
      else
        w_new = (sgn(tmp) * std::fmax(std::fabs(tmp) - pen.l1, 0.0)) / (pen.l2 + gmm);
      w[m] = w_new;
      if (w_old != 0.0 && w_new != 0.0)
        up.replace(w_old, w_new, gm, gw, n);
      else if (w_old != 0.0)
        up.axpy(-w_old, gm, gw, n);
      else if (w_new != 0.0)
        up.axpy(w_new, gm, gw, n);
      d_w_max = std::fmax(d_w_max, std::fabs(w_new - w_old));
      w_max = std::fmax(w_max, std::fabs(w_new));
    }
    const bool last = sweep == p.max_iter;
    if (w_max != 0.0 && !(d_w_max / w_max < p.tol)) {
      if (last) return s.duality_gap(gj, n, j, p.positive, pen.l1, pen.l2, yty) < tol_abs;
      continue;
    }
    if (s.duality_gap(gj, n, j, p.positive, pen.l1, pen.l2, yty) < tol_abs) return true;
    if (last) return false;
  }
}

void warm_start(Solver& s, const Updates& up, const double* g, size_t n, size_t j, const sparse::CsrView& warm, size_t r) {
  auto [b, e] = warm.row(r);
  for (size_t q = b; q < e; ++q) {
    const uint64_t c = warm.column(q);
    QV_ASSERT(c < n, "warm-start column out of range");
    if (c != j && g[c * n + c] != 0.0) s.w[c] = warm.value(q);
  }
  // Gw = G * w, each distinct column once, in order of first appearance.
  for (size_t q = b; q < e; ++q) {
    const uint64_t c = warm.column(q);
    if (s.seen[c]) continue;
    s.seen[c] = 1;
    if (s.w[c] != 0.0) up.axpy(s.w[c], g + c * n, s.gw.data(), n);
  }
  for (size_t q = b; q < e; ++q) s.seen[warm.column(q)] = 0;
}

}  // namespace

double Solver::duality_gap(const double* gj, uint64_t n, uint64_t j, bool positive, double l1, double l2,
                           double yty) const {
  double qw = 0.0, wgw = 0.0, l1n = 0.0, ww = 0.0, dual = 0.0;
  for (size_t m = 0; m < n; ++m) {
    if (m == j) continue;
    const double wm = w[m];
    qw = std::fma(gj[m], wm, qw);
    wgw = std::fma(gw[m], wm, wgw);
    l1n = l1n + std::fabs(wm);
    ww = std::fma(wm, wm, ww);
    const double r = std::fma(-l2, wm, gj[m] - gw[m]);
    dual = std::fmax(dual, positive ? r : std::fabs(r));
  }
  const double r2 = std::fma(qw, -2.0, wgw + yty);
  double c = 1.0, a = r2;
  if (dual > l1) {
    c = l1 / dual;
    a = 0.5 * std::fma(c * r2, c, r2);
  }
  double t = l1 * l1n;
  t = std::fma(-c, yty, t);
  t = std::fma(c, qw, t);
  t = a + t;
  return std::fma((l2 * 0.5) * std::fma(c, c, 1.0), ww, t);
}

SlimResult similarity_from_gram(std::span<const double> g, uint64_t n,
                                std::optional<std::span<const uint64_t>> targets,
                                const sparse::CsrView* warm, uint64_t k, const SlimParams& params,
                                double n_rows) {
  QV_ASSERT(g.size() == checked_mul(n, n), "Gram matrix has the wrong size");
  const Penalties pen{n_rows * (params.alpha * params.l1_ratio), n_rows * (params.alpha * (1.0 - params.l1_ratio))};
  const size_t n_targets = targets ? targets->size() : n;
  if (warm) QV_ASSERT(warm->n_rows == n_targets, "warm start has the wrong number of rows");
  std::atomic<uint64_t> unconverged{0};
  const Updates up = pick_updates();
  const double* gd = g.data();
  auto fill = [&](Solver& s, uint64_t r, sparse::RowEntries& out) {
    const size_t j = targets ? (*targets)[r] : r;
    QV_ASSERT(j < n, "target out of range");
    std::fill(s.w.begin(), s.w.end(), 0.0);
    std::fill(s.gw.begin(), s.gw.end(), 0.0);
    if (warm) warm_start(s, up, gd, n, j, *warm, r);
    if (gd[j * n + j] != 0.0 && params.max_iter != 0 && !solve(s, up, gd, n, j, params, pen))
      unconverged.fetch_add(1, std::memory_order_relaxed);
    const size_t start = out.size();
    for (size_t m = 0; m < n; ++m)
      if (m != j && s.w[m] != 0.0) out.emplace_back(m, s.w[m]);
    if (out.size() - start > k) knn::keep_best(out, start, k);
  };
  sparse::CsrOwned csr = sparse::CsrOwned::build(n_targets, [n] { return Solver(n); }, fill);
  return {std::move(csr), unconverged.load()};
}

}  // namespace qv::slim
