// The AVX2 scorer of tiles with more than four lanes in use (tile_wide_impl.hpp): four
// lanes per register. Few lanes in use go to tile_few_*.cpp instead.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "quantized/codes.hpp"
#include "quantized/tile.hpp"

namespace qv::quantized::avx2 {
namespace {

constexpr size_t kWidth = 4;

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

// Eight codes at a time (BITS bytes hold eight), so every shift is a constant, then the
// last dim mod 8 one by one.
template <unsigned BITS>
[[gnu::always_inline]] inline void unpack_codes(const uint8_t* run, uint64_t dim, double* out) {
  const uint64_t groups = dim / 8;
  for (uint64_t g = 0; g < groups; ++g) {
    const uint8_t* bytes = run + g * BITS;
    for (unsigned j = 0; j < 8; ++j) out[8 * g + j] = static_cast<double>(code_at<BITS>(bytes, j));
  }
  for (uint64_t d = 8 * groups; d < dim; ++d) out[d] = static_cast<double>(code_at<BITS>(run, d));
}

}  // namespace
}  // namespace qv::quantized::avx2

#include "quantized/tile_wide_impl.hpp"
