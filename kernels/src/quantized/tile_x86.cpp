// The x86 vector paths of the tile scorers. Each lane keeps its own fused chain over the
// dimensions in ascending order, exactly as the portable loop, so the bits agree; the
// speed comes from scoring several candidates at once, which gives the multiply-add
// units enough independent chains to hide their latency.
#include "quantized/tile.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define QV_X86 1
#endif

namespace qv::quantized::x86 {

#if QV_X86

namespace {

#define QV_AVX2 __attribute__((target("avx2,fma")))
#define QV_AVX512 __attribute__((target("avx512f,avx2,fma")))

// Codes to doubles, eight at a time (BITS bytes hold eight codes) so every shift is a
// constant, then the last dim mod 8 one by one.
template <unsigned BITS>
[[gnu::always_inline]] inline void unpack(const uint8_t* run, uint64_t dim, double* out) {
  const uint64_t groups = dim / 8;
  for (uint64_t g = 0; g < groups; ++g) {
    const uint8_t* bytes = run + g * BITS;
    for (unsigned j = 0; j < 8; ++j) out[8 * g + j] = static_cast<double>(code_at<BITS>(bytes, j));
  }
  for (uint64_t d = 8 * groups; d < dim; ++d) out[d] = static_cast<double>(code_at<BITS>(run, d));
}

// ---- AVX2: four registers per candidate, two candidates at a time ----

QV_AVX2 void chains_avx2_2(const double* xa, const double* xb, const double* tile, uint64_t dim, double* acc_a,
                           double* acc_b) {
  __m256d a0 = _mm256_setzero_pd(), a1 = a0, a2 = a0, a3 = a0;
  __m256d b0 = a0, b1 = a0, b2 = a0, b3 = a0;
  for (uint64_t d = 0; d < dim; ++d) {
    const double* w = tile + kLanes * d;
    const __m256d t0 = _mm256_loadu_pd(w), t1 = _mm256_loadu_pd(w + 4), t2 = _mm256_loadu_pd(w + 8),
                  t3 = _mm256_loadu_pd(w + 12);
    const __m256d u = _mm256_broadcast_sd(xa + d);
    const __m256d v = _mm256_broadcast_sd(xb + d);
    a0 = _mm256_fmadd_pd(t0, u, a0);
    a1 = _mm256_fmadd_pd(t1, u, a1);
    a2 = _mm256_fmadd_pd(t2, u, a2);
    a3 = _mm256_fmadd_pd(t3, u, a3);
    b0 = _mm256_fmadd_pd(t0, v, b0);
    b1 = _mm256_fmadd_pd(t1, v, b1);
    b2 = _mm256_fmadd_pd(t2, v, b2);
    b3 = _mm256_fmadd_pd(t3, v, b3);
  }
  _mm256_storeu_pd(acc_a, a0);
  _mm256_storeu_pd(acc_a + 4, a1);
  _mm256_storeu_pd(acc_a + 8, a2);
  _mm256_storeu_pd(acc_a + 12, a3);
  _mm256_storeu_pd(acc_b, b0);
  _mm256_storeu_pd(acc_b + 4, b1);
  _mm256_storeu_pd(acc_b + 8, b2);
  _mm256_storeu_pd(acc_b + 12, b3);
}

template <unsigned BITS>
QV_AVX2 void block_avx2(const DenseCodes& store, const uint64_t* items, size_t n, const double* tile,
                        double* unpacked, double* acc) {
  const uint64_t dim = store.dim;
  for (size_t i = 0; i < n; ++i) unpack<BITS>(store.codes.data() + items[i] * store.row_bytes, dim, unpacked + i * dim);
  size_t i = 0;
  for (; i + 2 <= n; i += 2)
    chains_avx2_2(unpacked + i * dim, unpacked + (i + 1) * dim, tile, dim, acc + kLanes * i, acc + kLanes * (i + 1));
  if (i < n) {
    double spare[kLanes];
    chains_avx2_2(unpacked + i * dim, unpacked + i * dim, tile, dim, acc + kLanes * i, spare);
  }
}

// ---- AVX-512: two registers per candidate, four candidates at a time ----

QV_AVX512 void chains_avx512_4(const double* const x[4], const double* tile, uint64_t dim, double* const out[4]) {
  __m512d a0 = _mm512_setzero_pd(), a1 = a0, b0 = a0, b1 = a0, c0 = a0, c1 = a0, e0 = a0, e1 = a0;
  const double *xa = x[0], *xb = x[1], *xc = x[2], *xe = x[3];
  for (uint64_t d = 0; d < dim; ++d) {
    const double* w = tile + kLanes * d;
    const __m512d t0 = _mm512_loadu_pd(w), t1 = _mm512_loadu_pd(w + 8);
    const __m512d u = _mm512_set1_pd(xa[d]), v = _mm512_set1_pd(xb[d]);
    const __m512d y = _mm512_set1_pd(xc[d]), z = _mm512_set1_pd(xe[d]);
    a0 = _mm512_fmadd_pd(t0, u, a0);
    a1 = _mm512_fmadd_pd(t1, u, a1);
    b0 = _mm512_fmadd_pd(t0, v, b0);
    b1 = _mm512_fmadd_pd(t1, v, b1);
    c0 = _mm512_fmadd_pd(t0, y, c0);
    c1 = _mm512_fmadd_pd(t1, y, c1);
    e0 = _mm512_fmadd_pd(t0, z, e0);
    e1 = _mm512_fmadd_pd(t1, z, e1);
  }
  _mm512_storeu_pd(out[0], a0);
  _mm512_storeu_pd(out[0] + 8, a1);
  _mm512_storeu_pd(out[1], b0);
  _mm512_storeu_pd(out[1] + 8, b1);
  _mm512_storeu_pd(out[2], c0);
  _mm512_storeu_pd(out[2] + 8, c1);
  _mm512_storeu_pd(out[3], e0);
  _mm512_storeu_pd(out[3] + 8, e1);
}

template <unsigned BITS>
QV_AVX512 void block_avx512(const DenseCodes& store, const uint64_t* items, size_t n, const double* tile,
                            double* unpacked, double* acc) {
  const uint64_t dim = store.dim;
  for (size_t i = 0; i < n; ++i) unpack<BITS>(store.codes.data() + items[i] * store.row_bytes, dim, unpacked + i * dim);
  double spare[kLanes];
  for (size_t i = 0; i < n; i += 4) {
    // A short last group repeats its last candidate into a spare accumulator.
    const double* x[4];
    double* out[4];
    for (size_t j = 0; j < 4; ++j) {
      const bool real = i + j < n;
      x[j] = unpacked + (real ? i + j : n - 1) * dim;
      out[j] = real ? acc + kLanes * (i + j) : spare;
    }
    chains_avx512_4(x, tile, dim, out);
  }
}

}  // namespace

TileScorer avx2_scorer(uint32_t bits) {
  return with_width(bits, [](auto w) -> TileScorer { return block_avx2<decltype(w)::value>; });
}

TileScorer avx512_scorer(uint32_t bits) {
  return with_width(bits, [](auto w) -> TileScorer { return block_avx512<decltype(w)::value>; });
}

#else

TileScorer avx2_scorer(uint32_t bits) { return tile_scorer(bits, vectors::Path::Portable); }
TileScorer avx512_scorer(uint32_t bits) { return tile_scorer(bits, vectors::Path::Portable); }

#endif

}  // namespace qv::quantized::x86
