// The AVX-512 tile scorer. Each lane keeps its own fused chain over the dimensions in
// ascending order, exactly as the portable loop, so the bits agree; the speed comes from
// scoring four candidates at once, which gives the multiply-add units enough independent
// chains to hide their latency.
#include <immintrin.h>

#include "quantized/tile.hpp"
#include "quantized/tile_unpack.hpp"

namespace qv::quantized::avx512 {

namespace {

// ---- AVX-512: two registers per candidate, four candidates at a time ----

void chains_4(const double* const x[4], const double* tile, uint64_t dim, double* const out[4]) {
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
void block(const uint8_t* codes, uint64_t row_bytes, uint64_t dim, const uint64_t* items, size_t n,
           const double* tile, double* unpacked, double* acc) {
  for (size_t i = 0; i < n; ++i) unpack<BITS>(codes + items[i] * row_bytes, dim, unpacked + i * dim);
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
    chains_4(x, tile, dim, out);
  }
}

}  // namespace

TileScorer tile_scorer(uint32_t bits) {
  return with_width(bits, [](auto w) -> TileScorer { return block<decltype(w)::value>; });
}

}  // namespace qv::quantized::avx512
