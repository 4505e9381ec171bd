// The AVX-512 tile scorer. Each lane keeps its own fused chain over the dimensions in
// ascending order, exactly as the portable loop, so the bits agree. With many lanes in use
// only the registers that hold them are computed, and several candidates go through
// together, which gives the multiply-add units enough independent chains to hide their
// latency. Few lanes in use go to tile_few_*.cpp instead.
#include <immintrin.h>

#include <algorithm>

// GCC 12's AVX-512 integer intrinsics start from an "undefined" register and warn about it
// when inlined; the value is always overwritten.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "quantized/tile.hpp"
#include "quantized/tile_layout.hpp"
#include "quantized/codes.hpp"

namespace qv::quantized::avx512 {

namespace {

// M candidates with R registers of eight lanes each.
template <int R, int M>
[[gnu::always_inline]] inline void chains(const double* const* x, const double* tile, uint64_t dim, double* const* out) {
  __m512d acc[M][R];
  for (int m = 0; m < M; ++m)
    for (int r = 0; r < R; ++r) acc[m][r] = _mm512_setzero_pd();
  for (uint64_t d = 0; d < dim; ++d) {
    __m512d t[R];
    for (int r = 0; r < R; ++r) t[r] = _mm512_loadu_pd(tile + kLanes * d + 8 * r);
    for (int m = 0; m < M; ++m) {
      const __m512d b = _mm512_set1_pd(x[m][d]);
      for (int r = 0; r < R; ++r) acc[m][r] = _mm512_fmadd_pd(t[r], b, acc[m][r]);
    }
  }
  for (int m = 0; m < M; ++m)
    for (int r = 0; r < R; ++r) _mm512_storeu_pd(out[m] + 8 * r, acc[m][r]);
}

// Eight codes at a time: their BITS bytes spread over eight 64-bit lanes, each shifted to
// its own code and masked, then converted; the tail as the scalar unpack.
template <unsigned BITS>
[[gnu::always_inline]] inline void unpack8(const uint8_t* run, uint64_t dim, double* out) {
  const __m512i shifts = _mm512_set_epi64(7 * BITS, 6 * BITS, 5 * BITS, 4 * BITS, 3 * BITS, 2 * BITS, BITS, 0);
  const __m512i mask = _mm512_set1_epi64((1 << BITS) - 1);
  const uint64_t groups = dim / 8;
  for (uint64_t g = 0; g < groups; ++g) {
    uint64_t word = 0;
    __builtin_memcpy(&word, run + g * BITS, BITS);
    const __m512i spread = _mm512_set1_epi64(static_cast<long long>(word));
    const __m512i codes = _mm512_and_si512(_mm512_srlv_epi64(spread, shifts), mask);
    _mm512_storeu_pd(out + 8 * g, _mm512_cvtepi64_pd(codes));
  }
  for (uint64_t d = 8 * groups; d < dim; ++d) out[d] = static_cast<double>(code_at<BITS>(run, d));
}

template <unsigned BITS>
void block(const uint8_t* codes, uint64_t row_bytes, const uint64_t* items, size_t n, const Tile& t,
           double* unpacked, double* acc) {
  const uint64_t dim = t.dim;
  const size_t lanes = t.lanes;
  const double* tile = t.weights;
  // Item-major here, as the lanes of one item leave a register together.
  double rows[kTileBlock * kLanes];
  // Eight candidates at a time, so their unpacked codes stay in the first-level cache
  // next to the tile.
  for (size_t s = 0; s < n; s += 8) {
    const size_t m = std::min<size_t>(8, n - s);
    for (size_t i = 0; i < m; ++i) unpack8<BITS>(codes + items[s + i] * row_bytes, dim, unpacked + i * dim);
    if (lanes <= 8)
      groups<8, chains<1, 8>>(unpacked, dim, m, tile, rows + kLanes * s);
    else
      groups<4, chains<2, 4>>(unpacked, dim, m, tile, rows + kLanes * s);
  }
  to_lane_major(rows, n, lanes, acc);
}
}  // namespace

TileScorer tile_scorer(uint32_t bits) {
  return with_width(bits, [](auto w) -> TileScorer { return block<decltype(w)::value>; });
}

}  // namespace qv::quantized::avx512
