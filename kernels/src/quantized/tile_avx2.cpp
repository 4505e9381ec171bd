// The AVX2 tile scorer. Each lane keeps its own fused chain over the dimensions in
// ascending order, exactly as the portable loop, so the bits agree. With many lanes in use
// only the registers that hold them are computed, and several candidates go through
// together, which gives the multiply-add units enough independent chains to hide their
// latency. Few lanes in use go to tile_few_*.cpp instead.
#include <immintrin.h>

#include <algorithm>

#include "quantized/tile.hpp"
#include "quantized/tile_layout.hpp"
#include "quantized/tile_unpack.hpp"

namespace qv::quantized::avx2 {

namespace {

// M candidates with R registers of four lanes each.
template <int R, int M>
[[gnu::always_inline]] inline void chains(const double* const* x, const double* tile, uint64_t dim, double* const* out) {
  __m256d acc[M][R];
  for (int m = 0; m < M; ++m)
    for (int r = 0; r < R; ++r) acc[m][r] = _mm256_setzero_pd();
  for (uint64_t d = 0; d < dim; ++d) {
    __m256d t[R];
    for (int r = 0; r < R; ++r) t[r] = _mm256_loadu_pd(tile + kLanes * d + 4 * r);
    for (int m = 0; m < M; ++m) {
      const __m256d b = _mm256_broadcast_sd(x[m] + d);
      for (int r = 0; r < R; ++r) acc[m][r] = _mm256_fmadd_pd(t[r], b, acc[m][r]);
    }
  }
  for (int m = 0; m < M; ++m)
    for (int r = 0; r < R; ++r) _mm256_storeu_pd(out[m] + 4 * r, acc[m][r]);
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
    for (size_t i = 0; i < m; ++i) unpack<BITS>(codes + items[s + i] * row_bytes, dim, unpacked + i * dim);
    if (lanes <= 4)
      groups<8, chains<1, 8>>(unpacked, dim, m, tile, rows + kLanes * s);
    else if (lanes <= 8)
      groups<4, chains<2, 4>>(unpacked, dim, m, tile, rows + kLanes * s);
    else
      groups<2, chains<4, 2>>(unpacked, dim, m, tile, rows + kLanes * s);
  }
  to_lane_major(rows, n, lanes, acc);
}
}  // namespace

TileScorer tile_scorer(uint32_t bits) {
  return with_width(bits, [](auto w) -> TileScorer { return block<decltype(w)::value>; });
}

}  // namespace qv::quantized::avx2
