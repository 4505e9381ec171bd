#pragma once
// The blocked inner product of vectors/dot.hpp, compiled once per level by dot.cpp,
// dot_avx2.cpp and dot_avx512.cpp. The vector levels hold the sixteen lanes in four
// 256-bit or two 512-bit registers; the four-lane stage, the combination and the tail are
// shared.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "core/isa.hpp"
#include "vectors/dot.hpp"

#if defined(__AVX2__) && defined(__FMA__)
#if defined(__AVX512F__) && defined(__GNUC__) && !defined(__clang__)
// GCC 12's AVX-512 intrinsics pass an undefined vector as their masked-off source, and
// its flow analysis reports that as uninitialised wherever they are inlined.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#endif

namespace qv::vectors::QV_ISA_NS {

namespace {

#if defined(__AVX2__) && defined(__FMA__)

// The four-lane stage, the lane combination, the reduction and the tail; a0..a3 hold
// lanes 0-3, 4-7, 8-11 and 12-15.
inline double finish(const double* a, const double* b, size_t n, __m256d a0, __m256d a1, __m256d a2, __m256d a3) {
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

#if defined(__AVX512F__)
inline double dot_one(const double* a, const double* b, size_t n) {
  __m512d lo = _mm512_setzero_pd(), hi = lo;
  const size_t r0 = n & ~size_t{15};
  for (size_t i = 0; i < r0; i += 16) {
    lo = _mm512_fmadd_pd(_mm512_loadu_pd(a + i), _mm512_loadu_pd(b + i), lo);
    hi = _mm512_fmadd_pd(_mm512_loadu_pd(a + i + 8), _mm512_loadu_pd(b + i + 8), hi);
  }
  return finish(a, b, n, _mm512_castpd512_pd256(lo), _mm512_extractf64x4_pd(lo, 1), _mm512_castpd512_pd256(hi),
                _mm512_extractf64x4_pd(hi, 1));
}
#else
inline double dot_one(const double* a, const double* b, size_t n) {
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
#endif

#else

inline double dot_one(const double* a, const double* b, size_t n) {
  double acc[16] = {};
  const size_t blocks16 = n / 16;
  for (size_t j = 0; j < blocks16; ++j)
    for (size_t l = 0; l < 16; ++l) acc[l] = std::fma(a[16 * j + l], b[16 * j + l], acc[l]);
  double s[4] = {};
  const size_t r0 = 16 * blocks16, blocks4 = (n - r0) / 4;
  for (size_t t = 0; t < blocks4; ++t)
    for (size_t l = 0; l < 4; ++l) s[l] = std::fma(a[r0 + 4 * t + l], b[r0 + 4 * t + l], s[l]);
  double v[4];
  for (size_t l = 0; l < 4; ++l) v[l] = (acc[12 + l] + acc[4 + l]) + (acc[8 + l] + (s[l] + acc[l]));
  double r = (v[0] + v[2]) + (v[1] + v[3]);
  for (size_t i = 4 * (n / 4); i < n; ++i) r = std::fma(a[i], b[i], r);
  return r;
}

#endif

// Requests a row's cache lines (its first 512 bytes: the widths that matter in a graph walk).
inline void prefetch_row(const double* p, size_t dim) {
  const char* c = reinterpret_cast<const char*>(p);
  const size_t bytes = dim * sizeof(double);
  for (size_t off = 0; off < bytes && off < 512; off += 64) __builtin_prefetch(c + off);
}

}  // namespace

double dot(const double* a, const double* b, size_t n) { return dot_one(a, b, n); }

// Rows requested ahead of the one being scored. A graph walk's rows are scattered, so
// each is a cache miss that takes far longer than its dot; one row ahead leaves most of
// that wait exposed, and six were the fastest at 64 dimensions (a batch of searches over
// 100k items ran about a tenth faster than with one).
constexpr size_t kRowsAhead = 6;

void dot_rows(const double* q, const double* base, size_t dim, const uint32_t* ids, size_t n, double* out) {
  for (size_t j = 0; j < kRowsAhead && j < n; ++j) prefetch_row(base + static_cast<size_t>(ids[j]) * dim, dim);
  for (size_t i = 0; i < n; ++i) {
    if (i + kRowsAhead < n) prefetch_row(base + static_cast<size_t>(ids[i + kRowsAhead]) * dim, dim);
    out[i] = dot_one(q, base + static_cast<size_t>(ids[i]) * dim, dim);
  }
}

}  // namespace qv::vectors::QV_ISA_NS
