// The AVX-512 scorer of tiles with more than four lanes in use (tile_wide_impl.hpp):
// eight lanes per register. Few lanes in use go to tile_few_*.cpp instead.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

// GCC 12's AVX-512 integer intrinsics start from an "undefined" register and warn about it
// when inlined; the value is always overwritten.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "quantized/codes.hpp"
#include "quantized/tile.hpp"

namespace qv::quantized::avx512 {
namespace {

constexpr size_t kWidth = 8;

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
[[gnu::always_inline]] inline void unpack_codes(const uint8_t* run, uint64_t dim, double* out) {
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

}  // namespace
}  // namespace qv::quantized::avx512

#include "quantized/tile_wide_impl.hpp"
