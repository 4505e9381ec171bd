// The dense factorisation and inversion, done by OpenBLAS's LAPACK.
//
// The row-major n x n buffer is handed to LAPACK as it is, so LAPACK sees the transpose:
// its upper triangle (column-major) is our lower triangle (row-major). Everything happens
// in that one buffer: the Cholesky factor overwrites the regularised Gram matrix, and the
// inverse overwrites the factor.
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <mutex>

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
void QV_LAPACK(dtrtri_)(const char* uplo, const char* diag, const int* n, double* a, const int* lda, int* info);
void QV_LAPACK(dlauum_)(const char* uplo, const int* n, double* a, const int* lda, int* info);
void QV_LAPACK(openblas_set_num_threads)(int n);
int QV_LAPACK(openblas_get_num_threads)(void);
}

namespace qv::ease {

namespace {

// OpenBLAS keeps one process-wide thread count and this build has no per-thread setter,
// so calls that want different counts take turns: each sets its pool's count, runs, and
// puts the previous count back.
pthread_mutex_t g_lapack_mutex = PTHREAD_MUTEX_INITIALIZER;

void init_fork_handler() {
  // A child forked while another thread held the lock starts with a fresh one; that
  // thread does not exist there.
  pthread_atfork(nullptr, nullptr, [] { pthread_mutex_init(&g_lapack_mutex, nullptr); });
}

class LapackSection {
 public:
  explicit LapackSection(size_t threads) {
    static std::once_flag once;
    std::call_once(once, init_fork_handler);
    pthread_mutex_lock(&g_lapack_mutex);
    saved_ = QV_LAPACK(openblas_get_num_threads)();
    QV_LAPACK(openblas_set_num_threads)(static_cast<int>(std::clamp<size_t>(threads, 1, 256)));
  }
  ~LapackSection() {
    QV_LAPACK(openblas_set_num_threads)(saved_);
    pthread_mutex_unlock(&g_lapack_mutex);
  }
  LapackSection(const LapackSection&) = delete;
  LapackSection& operator=(const LapackSection&) = delete;

 private:
  int saved_ = 1;
};

// The lower triangle (row-major) of P, or failure. The upper triangle is left as garbage.
bool invert_lower(std::vector<double>& g, size_t n, double l2_reg) {
  const int ni = static_cast<int>(n);
  double* a = g.data();
  for (size_t i = 0; i < n; ++i) a[i * n + i] += l2_reg;
  LapackSection section(parallel::current_threads());
  int info = 0;
  const char uplo = 'U', diag = 'N';
  QV_LAPACK(dpotrf_)(&uplo, &ni, a, &ni, &info);
  QV_ASSERT(info >= 0, "dpotrf rejected its arguments");
  if (info > 0) return false;
  // LAPACK's pivot test is `<= 0`, which lets a NaN through.
  for (size_t i = 0; i < n; ++i)
    if (!(a[i * n + i] > 0.0)) return false;
  QV_LAPACK(dtrtri_)(&uplo, &diag, &ni, a, &ni, &info);
  QV_ASSERT(info >= 0, "dtrtri rejected its arguments");
  if (info > 0) return false;
  QV_LAPACK(dlauum_)(&uplo, &ni, a, &ni, &info);
  QV_ASSERT(info == 0, "dlauum rejected its arguments");
  return true;
}

}  // namespace

size_t dense_len(uint64_t n) {
  if (n > static_cast<uint64_t>(INT_MAX)) throw std::bad_alloc();
  const size_t len = checked_len<double>(checked_mul(n, n));
  linalg::require_memory(checked_mul(len, sizeof(double)));
  return len;
}

std::variant<std::vector<double>, NotPositiveDefinite> inverse(std::vector<double>&& g, uint64_t n,
                                                               double l2_reg) {
  std::vector<double> p(std::move(g));
  QV_ASSERT(p.size() == n * n, "Gram matrix has the wrong size");
  if (n == 0) return p;
  if (!invert_lower(p, n, l2_reg)) return NotPositiveDefinite{};
  linalg::mirror(p.data(), n, linalg::Triangle::lower);
  return p;
}

std::variant<std::vector<double>, NotPositiveDefinite> weights(std::vector<double>&& g, uint64_t n,
                                                               double l2_reg) {
  std::vector<double> p(std::move(g));
  QV_ASSERT(p.size() == n * n, "Gram matrix has the wrong size");
  if (n == 0) return p;
  if (!invert_lower(p, n, l2_reg)) return NotPositiveDefinite{};
  // The weights read only the lower triangle, so no mirror is needed first.
  weights_in_place(p, n);
  return p;
}

}  // namespace qv::ease
