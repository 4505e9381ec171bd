// The dense factorisation and inversion: tiles on our own pool, each tile step one call
// of OpenBLAS's single-threaded BLAS or LAPACK.
//
// OpenBLAS's own threads meet at spinning barriers: when another process takes a core
// from one of them, the others spin until it is scheduled again, and a call that takes a
// second on a quiet machine takes minutes on a busy one. Tiles handed out by our pool's
// cursor need no barrier inside a step: a thread that loses its core delays only the
// tile it holds.
//
// The row-major n x n buffer is seen column-major, as its transpose; the names below are
// column-major. The factor L of A = L L^T overwrites A's lower triangle. Column block j
// of P = A^-1, from its diagonal down, is L22^-T L22^-1 E (L22 the factor's trailing
// part from block j on, E the block's first columns of the identity), so the blocks are
// independent tasks; each writes its part below the diagonal block into the free upper
// triangle, and the diagonal blocks, which still hold L, are written once all tasks end.
// P ends up in the row-major lower triangle.
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>

#include "core/invariant.hpp"
#include "ease/inverse.hpp"
#include "linalg/memory.hpp"
#include "linalg/mirror.hpp"
#include "parallel/pool.hpp"

#ifndef QV_LAPACK_PREFIX
#define QV_LAPACK_PREFIX
#endif
#define QV_CAT2(a, b) a##b
#define QV_CAT(a, b) QV_CAT2(a, b)
#define QV_LAPACK(name) QV_CAT(QV_LAPACK_PREFIX, name)

extern "C" {
void QV_LAPACK(dpotrf_)(const char* uplo, const int* n, double* a, const int* lda, int* info);
void QV_LAPACK(dtrsm_)(const char* side, const char* uplo, const char* trans, const char* diag, const int* m,
                       const int* n, const double* alpha, const double* a, const int* lda, double* b, const int* ldb);
void QV_LAPACK(dsyrk_)(const char* uplo, const char* trans, const int* n, const int* k, const double* alpha,
                       const double* a, const int* lda, const double* beta, double* c, const int* ldc);
void QV_LAPACK(dgemm_)(const char* transa, const char* transb, const int* m, const int* n, const int* k,
                       const double* alpha, const double* a, const int* lda, const double* b, const int* ldb,
                       const double* beta, double* c, const int* ldc);
void QV_LAPACK(openblas_set_num_threads)(int n);
int QV_LAPACK(openblas_get_num_threads)(void);
}

namespace qv::ease {

namespace {

// OpenBLAS keeps one process-wide thread count and this build has no per-thread setter:
// each call holds it at one, so that every tile step runs on the thread that called it,
// and puts the previous count back. Concurrent calls take turns.
pthread_mutex_t g_lapack_mutex = PTHREAD_MUTEX_INITIALIZER;

void lock() { pthread_mutex_lock(&g_lapack_mutex); }
void unlock() { pthread_mutex_unlock(&g_lapack_mutex); }

// OpenBLAS's own fork handler stops its threads in the parent, and a LAPACK step that is
// waiting on them then waits forever. So a fork first waits for the step in flight by
// taking the lock, and releases it on both sides. Prepare handlers run in the reverse
// order of registration, and OpenBLAS registers its own when it loads, before this
// library's initialisers run (a dependency is initialised first), so this one runs
// first. Registering it at load rather than on the first step also leaves no window in
// which a fork already past this handler meets the first step.
[[maybe_unused]] const int g_fork_handler = pthread_atfork(lock, unlock, unlock);

class LapackSection {
 public:
  LapackSection() {
    lock();
    saved_ = QV_LAPACK(openblas_get_num_threads)();
    QV_LAPACK(openblas_set_num_threads)(1);
  }
  ~LapackSection() {
    QV_LAPACK(openblas_set_num_threads)(saved_);
    unlock();
  }
  LapackSection(const LapackSection&) = delete;
  LapackSection& operator=(const LapackSection&) = delete;

 private:
  int saved_ = 1;
};

constexpr int kTile = 256;

// Column-major view of the row-major buffer.
struct Dense {
  double* a;
  int n;
  double* at(int i, int j) const { return a + static_cast<size_t>(j) * static_cast<size_t>(n) + static_cast<size_t>(i); }
};

// A = L L^T in place, tile column by tile column: the diagonal tile, then the tiles below
// it, then the trailing columns, each step's tiles in parallel. False when a pivot is not
// greater than zero.
bool cholesky(const Dense& m) {
  const int n = m.n, tiles = (n + kTile - 1) / kTile;
  const double one = 1.0, minus_one = -1.0;
  for (int k = 0; k < tiles; ++k) {
    const int k0 = k * kTile, kb = std::min(kTile, n - k0);
    int info = 0;
    QV_LAPACK(dpotrf_)("L", &kb, m.at(k0, k0), &n, &info);
    QV_ASSERT(info >= 0, "dpotrf rejected its arguments");
    if (info > 0) return false;
    const int below = tiles - k - 1;
    parallel::for_each(static_cast<size_t>(below), [&](size_t t) {
      const int i0 = k0 + kb + static_cast<int>(t) * kTile, ib = std::min(kTile, n - i0);
      QV_LAPACK(dtrsm_)("R", "L", "T", "N", &ib, &kb, &one, m.at(k0, k0), &n, m.at(i0, k0), &n);
    }, 1);
    // Column panel j of the trailing matrix: its diagonal tile and everything below.
    parallel::for_each(static_cast<size_t>(below), [&](size_t t) {
      const int j0 = k0 + kb + static_cast<int>(t) * kTile, jb = std::min(kTile, n - j0);
      QV_LAPACK(dsyrk_)("L", "N", &jb, &kb, &minus_one, m.at(j0, k0), &n, &one, m.at(j0, j0), &n);
      const int rest = n - j0 - jb;
      if (rest > 0)
        QV_LAPACK(dgemm_)("N", "T", &rest, &jb, &kb, &minus_one, m.at(j0 + jb, k0), &n, m.at(j0, k0), &n, &one,
                          m.at(j0 + jb, j0), &n);
    }, 1);
  }
  return true;
}

// P = A^-1 from the factor in the lower triangle, into the upper one (and the diagonal
// blocks): see the head of this file.
void inverse_from_factor(const Dense& m) {
  const int n = m.n, tiles = (n + kTile - 1) / kTile;
  const double one = 1.0;
  std::vector<std::vector<double>> diagonal(static_cast<size_t>(tiles));
  // The largest blocks come first so that the last ones to start are short.
  parallel::for_each(static_cast<size_t>(tiles), [&](size_t t) {
    const int j0 = static_cast<int>(t) * kTile, jb = std::min(kTile, n - j0), rows = n - j0;
    std::vector<double> x(static_cast<size_t>(rows) * static_cast<size_t>(jb), 0.0);
    for (int c = 0; c < jb; ++c) x[static_cast<size_t>(c) * rows + c] = 1.0;
    QV_LAPACK(dtrsm_)("L", "L", "N", "N", &rows, &jb, &one, m.at(j0, j0), &n, x.data(), &rows);
    QV_LAPACK(dtrsm_)("L", "L", "T", "N", &rows, &jb, &one, m.at(j0, j0), &n, x.data(), &rows);
    // x(r, c) = P(j0 + r, j0 + c); rows past the diagonal block go to P(j0 + c, j0 + r).
    for (int r = jb; r < rows; ++r)
      for (int c = 0; c < jb; ++c) *m.at(j0 + c, j0 + r) = x[static_cast<size_t>(c) * rows + r];
    std::vector<double>& d = diagonal[t];
    d.resize(static_cast<size_t>(jb) * jb);
    for (int c = 0; c < jb; ++c)
      for (int r = 0; r < jb; ++r) d[static_cast<size_t>(c) * jb + r] = x[static_cast<size_t>(c) * rows + r];
  }, 1);
  parallel::for_each(static_cast<size_t>(tiles), [&](size_t t) {
    const int j0 = static_cast<int>(t) * kTile, jb = std::min(kTile, n - j0);
    const std::vector<double>& d = diagonal[t];
    // the upper triangle of the block, diagonal included: P(j0 + c, j0 + r) with c <= r
    for (int r = 0; r < jb; ++r)
      for (int c = 0; c <= r; ++c) *m.at(j0 + c, j0 + r) = d[static_cast<size_t>(c) * jb + r];
  }, 1);
}

// The lower triangle (row-major) of P, or failure. The upper triangle is left as garbage.
bool invert_lower(core::RawVector<double>& g, size_t n, double l2_reg) {
  double* a = g.data();
  for (size_t i = 0; i < n; ++i) a[i * n + i] += l2_reg;
  const Dense m{a, static_cast<int>(n)};
  LapackSection section;
  if (!cholesky(m)) return false;
  // LAPACK's pivot test is `<= 0`, which lets NaN and infinity through: an overflowing or
  // infinite Gram matrix (or l2_reg) would come out as zeros or NaN weights.
  for (size_t i = 0; i < n; ++i)
    if (!(std::isfinite(a[i * n + i]) && a[i * n + i] > 0.0)) return false;
  inverse_from_factor(m);
  return true;
}

}  // namespace

size_t dense_len(uint64_t n) {
  require_allocatable(static_cast<unsigned __int128>(n) * n, sizeof(double), "n_cols", n,
                      "an n_cols x n_cols float64 matrix");
  // Whatever fits in memory is far below this; the solver's sizes are 32-bit.
  if (n > static_cast<uint64_t>(INT_MAX)) throw std::bad_alloc();
  return checked_len<double>(checked_mul(n, n));
}

std::variant<core::RawVector<double>, NotPositiveDefinite> inverse(core::RawVector<double>&& g, uint64_t n,
                                                                  double l2_reg) {
  core::RawVector<double> p(std::move(g));
  QV_ASSERT(p.size() == n * n, "Gram matrix has the wrong size");
  if (n == 0) return p;
  if (!invert_lower(p, n, l2_reg)) return NotPositiveDefinite{};
  linalg::mirror(p.data(), n, linalg::Triangle::lower);
  return p;
}

std::variant<core::RawVector<double>, NotPositiveDefinite> weights(core::RawVector<double>&& g, uint64_t n,
                                                                  double l2_reg) {
  core::RawVector<double> p(std::move(g));
  QV_ASSERT(p.size() == n * n, "Gram matrix has the wrong size");
  if (n == 0) return p;
  if (!invert_lower(p, n, l2_reg)) return NotPositiveDefinite{};
  // The weights read only the lower triangle, so no mirror is needed first.
  weights_in_place(p, n);
  return p;
}

}  // namespace qv::ease
