// The AVX2 scorer of tiles with one to four lanes in use (tile_few_impl.hpp): four
// candidates per register. Code j of a split word is widened by one byte shuffle (8, 4
// and 2 bits) or one test of bit j (1 bit) and made a double by placing it in the
// mantissa of 2^52 and subtracting 2^52, which is exact.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "quantized/tile.hpp"

namespace qv::quantized::avx2 {
namespace {

using VI = __m256i;
using VD = __m256d;
constexpr int kWidth = 4;
constexpr unsigned kChunk = 4;
constexpr int kRegsOne = 4;

[[gnu::always_inline]] inline VD zero() { return _mm256_setzero_pd(); }
[[gnu::always_inline]] inline VD fma(VD w, VD x, VD a) { return _mm256_fmadd_pd(w, x, a); }
[[gnu::always_inline]] inline VD broadcast(const double* p) { return _mm256_broadcast_sd(p); }
[[gnu::always_inline]] inline VI load_words(const uint64_t* w) {
  return _mm256_load_si256(reinterpret_cast<const VI*>(w));
}
[[gnu::always_inline]] inline void store(double* out, VD v, size_t count) {
  if (count >= 4) return _mm256_storeu_pd(out, v);
  alignas(32) double lanes[4];
  _mm256_store_pd(lanes, v);
  for (size_t i = 0; i < count; ++i) out[i] = lanes[i];
}

// Words [4c, 4c + count) of four runs (count <= 4), word k into out[k] with run i's in
// lane i: four 32-byte loads masked to the words asked for, and a 4 x 4 transpose.
inline void transposed_words(const uint8_t* const* run, uint64_t c, unsigned count, __m256i* out) {
  const __m256i lane = _mm256_set_epi64x(3, 2, 1, 0);
  const __m256i m = _mm256_cmpgt_epi64(_mm256_set1_epi64x(count), lane);
  __m256i z[4];
  for (int i = 0; i < 4; ++i) z[i] = _mm256_maskload_epi64(reinterpret_cast<const long long*>(run[i] + 32 * c), m);
  const __m256i t0 = _mm256_unpacklo_epi64(z[0], z[1]), t1 = _mm256_unpackhi_epi64(z[0], z[1]);
  const __m256i t2 = _mm256_unpacklo_epi64(z[2], z[3]), t3 = _mm256_unpackhi_epi64(z[2], z[3]);
  out[0] = _mm256_permute2x128_si256(t0, t2, 0x20);
  out[1] = _mm256_permute2x128_si256(t1, t3, 0x20);
  out[2] = _mm256_permute2x128_si256(t0, t2, 0x31);
  out[3] = _mm256_permute2x128_si256(t1, t3, 0x31);
}

[[gnu::always_inline]] inline VD exact_double(VI small) {
  const VI two52 = _mm256_set1_epi64x(0x4330000000000000);
  return _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(small, two52)), _mm256_castsi256_pd(two52));
}

template <unsigned BITS>
[[gnu::always_inline]] inline void split(VI word, VI* plane) {
  if constexpr (BITS == 8) {
    plane[0] = word;
  } else {
    const VI mask = _mm256_set1_epi8(static_cast<char>((1u << BITS) - 1));
    for (unsigned s = 0; s < 8 / BITS; ++s) plane[s] = _mm256_and_si256(_mm256_srli_epi64(word, s * BITS), mask);
  }
}

// Code J of a split word: byte J / planes of plane J % planes.
template <unsigned BITS, unsigned J>
[[gnu::always_inline]] inline VD code(const VI* plane) {
  constexpr unsigned planes = 8 / BITS, byte = J / planes;
  constexpr long long low = static_cast<long long>(0x8080808080808000ull | byte);
  constexpr long long high = static_cast<long long>(0x8080808080808000ull | (8 + byte));
  return exact_double(_mm256_shuffle_epi8(plane[J % planes], _mm256_set_epi64x(high, low, high, low)));
}

template <unsigned BITS>
[[gnu::always_inline]] inline VD shifted_code(VI word, unsigned j) {
  return exact_double(_mm256_and_si256(_mm256_srlv_epi64(word, _mm256_set1_epi64x(j * BITS)),
                                       _mm256_set1_epi64x((1 << BITS) - 1)));
}

// Without mask registers a selected add costs what the multiply-add by 1.0 or 0.0 does.
template <int R, int Q, bool, unsigned J>
[[gnu::always_inline]] inline void bit_steps(VD (&a)[R][Q], const VI (&word)[R], const double* w) {
  const VI b = _mm256_set1_epi64x(static_cast<long long>(1ull << J));
  VD x[R];
  for (int r = 0; r < R; ++r)
    x[r] = _mm256_and_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(_mm256_and_si256(word[r], b), b)),
                         _mm256_set1_pd(1.0));
  for (int q = 0; q < Q; ++q) {
    const VD t = _mm256_broadcast_sd(w + q);
    for (int r = 0; r < R; ++r) a[r][q] = _mm256_fmadd_pd(t, x[r], a[r][q]);
  }
}

}  // namespace
}  // namespace qv::quantized::avx2

#include "quantized/tile_few_impl.hpp"
