#include "vectors/dot_x86.hpp"

#include "vectors/dot.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
// GCC 12's AVX-512 intrinsics pass an undefined vector as their masked-off source, and
// its flow analysis reports that as uninitialised wherever they are inlined.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#define QV_X86 1
#endif

namespace qv::vectors::x86 {

#ifdef QV_X86

bool avx2_available() {
  static const bool ok = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return ok;
}

bool avx512_available() {
  static const bool ok = avx2_available() && __builtin_cpu_supports("avx512f");
  return ok;
}

namespace {

#define QV_AVX2 __attribute__((target("avx2,fma"), always_inline)) inline
#define QV_AVX512 __attribute__((target("avx512f,avx2,fma"), always_inline)) inline

// The 4-lane stage, the lane combination, the reduction and the tail, shared by both
// widths; acc_lo..acc_hi3 hold lanes 0-3, 4-7, 8-11 and 12-15.
QV_AVX2 double finish(const double* a, const double* b, size_t n, __m256d a0, __m256d a1, __m256d a2, __m256d a3) {
  const size_t r0 = n & ~size_t{15};
  const size_t r4 = n & ~size_t{3};
  __m256d s = _mm256_setzero_pd();
  for (size_t i = r0; i < r4; i += 4) s = _mm256_fmadd_pd(_mm256_loadu_pd(a + i), _mm256_loadu_pd(b + i), s);
  const __m256d v = _mm256_add_pd(_mm256_add_pd(a3, a1), _mm256_add_pd(a2, _mm256_add_pd(s, a0)));
  // (v0 + v2, v1 + v3), then their sum.
  const __m128d w = _mm_add_pd(_mm256_castpd256_pd128(v), _mm256_extractf128_pd(v, 1));
  __m128d r = _mm_add_sd(w, _mm_unpackhi_pd(w, w));
  for (size_t i = r4; i < n; ++i) r = _mm_fmadd_sd(_mm_load_sd(a + i), _mm_load_sd(b + i), r);
  return _mm_cvtsd_f64(r);
}

QV_AVX2 double dot2(const double* a, const double* b, size_t n) {
  __m256d a0 = _mm256_setzero_pd(), a1 = a0, a2 = a0, a3 = a0;
  const size_t r0 = n & ~size_t{15};
  for (size_t i = 0; i < r0; i += 16) {
    a0 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i), _mm256_loadu_pd(b + i), a0);
    a1 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i + 4), _mm256_loadu_pd(b + i + 4), a1);
    a2 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i + 8), _mm256_loadu_pd(b + i + 8), a2);
    a3 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i + 12), _mm256_loadu_pd(b + i + 12), a3);
  }
  return finish(a, b, n, a0, a1, a2, a3);
}

QV_AVX512 __m256d upper_half(__m512d v) { return _mm512_extractf64x4_pd(v, 1); }

QV_AVX512 double dot512(const double* a, const double* b, size_t n) {
  __m512d lo = _mm512_setzero_pd(), hi = lo;
  const size_t r0 = n & ~size_t{15};
  for (size_t i = 0; i < r0; i += 16) {
    lo = _mm512_fmadd_pd(_mm512_loadu_pd(a + i), _mm512_loadu_pd(b + i), lo);
    hi = _mm512_fmadd_pd(_mm512_loadu_pd(a + i + 8), _mm512_loadu_pd(b + i + 8), hi);
  }
  return finish(a, b, n, _mm512_castpd512_pd256(lo), upper_half(lo), _mm512_castpd512_pd256(hi), upper_half(hi));
}

// Requests a row's cache lines (up to 512 bytes, the widths that matter for graph search).
QV_AVX2 void prefetch_row(const double* p, size_t dim) {
  const char* c = reinterpret_cast<const char*>(p);
  const size_t bytes = dim * sizeof(double);
  for (size_t off = 0; off < bytes && off < 512; off += 64) _mm_prefetch(c + off, _MM_HINT_T0);
}

}  // namespace

__attribute__((target("avx2,fma"))) double dot_avx2(const double* a, const double* b, size_t n) {
  return dot2(a, b, n);
}

__attribute__((target("avx512f,avx2,fma"))) double dot_avx512(const double* a, const double* b, size_t n) {
  return dot512(a, b, n);
}

__attribute__((target("avx2,fma"))) void dot_rows_avx2(const double* q, const double* base, size_t dim,
                                                       const uint32_t* ids, size_t n, double* out) {
  if (n > 0) prefetch_row(base + static_cast<size_t>(ids[0]) * dim, dim);
  for (size_t i = 0; i < n; ++i) {
    if (i + 1 < n) prefetch_row(base + static_cast<size_t>(ids[i + 1]) * dim, dim);
    out[i] = dot2(q, base + static_cast<size_t>(ids[i]) * dim, dim);
  }
}

__attribute__((target("avx512f,avx2,fma"))) void dot_rows_avx512(const double* q, const double* base, size_t dim,
                                                                 const uint32_t* ids, size_t n, double* out) {
  if (n > 0) prefetch_row(base + static_cast<size_t>(ids[0]) * dim, dim);
  for (size_t i = 0; i < n; ++i) {
    if (i + 1 < n) prefetch_row(base + static_cast<size_t>(ids[i + 1]) * dim, dim);
    out[i] = dot512(q, base + static_cast<size_t>(ids[i]) * dim, dim);
  }
}

#else

bool avx2_available() { return false; }
bool avx512_available() { return false; }
double dot_avx2(const double* a, const double* b, size_t n) { return dot_portable(a, b, n); }
double dot_avx512(const double* a, const double* b, size_t n) { return dot_portable(a, b, n); }
void dot_rows_avx2(const double* q, const double* base, size_t dim, const uint32_t* ids, size_t n, double* out) {
  for (size_t i = 0; i < n; ++i) out[i] = dot_portable(q, base + static_cast<size_t>(ids[i]) * dim, dim);
}
void dot_rows_avx512(const double* q, const double* base, size_t dim, const uint32_t* ids, size_t n, double* out) {
  dot_rows_avx2(q, base, dim, ids, n, out);
}

#endif

}  // namespace qv::vectors::x86
