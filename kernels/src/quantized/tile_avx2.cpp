// The AVX2 tile scorer. Each lane keeps its own fused chain over the dimensions in
// ascending order, exactly as the portable loop, so the bits agree; the speed comes from
// scoring two candidates at once, which gives the multiply-add units enough independent
// chains to hide their latency.
#include <immintrin.h>

#include "quantized/tile.hpp"
#include "quantized/tile_unpack.hpp"

namespace qv::quantized::avx2 {

namespace {

// ---- AVX2: four registers per candidate, two candidates at a time ----

void chains_2(const double* xa, const double* xb, const double* tile, uint64_t dim, double* acc_a,
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
void block(const uint8_t* codes, uint64_t row_bytes, uint64_t dim, const uint64_t* items, size_t n,
           const double* tile, double* unpacked, double* acc) {
  for (size_t i = 0; i < n; ++i) unpack<BITS>(codes + items[i] * row_bytes, dim, unpacked + i * dim);
  size_t i = 0;
  for (; i + 2 <= n; i += 2)
    chains_2(unpacked + i * dim, unpacked + (i + 1) * dim, tile, dim, acc + kLanes * i, acc + kLanes * (i + 1));
  if (i < n) {
    double spare[kLanes];
    chains_2(unpacked + i * dim, unpacked + i * dim, tile, dim, acc + kLanes * i, spare);
  }
}

}  // namespace

TileScorer tile_scorer(uint32_t bits) {
  return with_width(bits, [](auto w) -> TileScorer { return block<decltype(w)::value>; });
}

}  // namespace qv::quantized::avx2
