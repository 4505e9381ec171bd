// The AVX-512 scorer of tiles with one to four lanes in use (tile_few_impl.hpp): eight
// candidates per register. At 8, 4 and 2 bits one byte shuffle moves code j of a split
// word to the bottom of its 64-bit lane and one conversion makes it a double; at 1 bit a
// test of bit j gives the lane mask directly, and with finite weights that mask picks the
// chains that add their weight (tile.hpp says why the bits agree), else it picks 1.0 or
// 0.0 as the code.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

// GCC 12's AVX-512 integer intrinsics start from an "undefined" register and warn about it
// when inlined; the value is always overwritten.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "quantized/tile.hpp"

namespace qv::quantized::avx512 {
namespace {

using VI = __m512i;
using VD = __m512d;
constexpr int kWidth = 8;
constexpr unsigned kChunk = 8;
// One lane is bound by the widening, not by the chains' latency: eight registers hold
// enough chains for the multiply-add units either way.
constexpr int kRegsOne = 8;

[[gnu::always_inline]] inline VD zero() { return _mm512_setzero_pd(); }
[[gnu::always_inline]] inline VD fma(VD w, VD x, VD a) { return _mm512_fmadd_pd(w, x, a); }
[[gnu::always_inline]] inline VD broadcast(const double* p) { return _mm512_set1_pd(*p); }
[[gnu::always_inline]] inline VI load_words(const uint64_t* w) { return _mm512_load_si512(w); }
[[gnu::always_inline]] inline void store(double* out, VD v, size_t count) {
  _mm512_mask_storeu_pd(out, static_cast<__mmask8>(count >= 8 ? 0xFF : (1u << count) - 1), v);
}

// Words [8c, 8c + count) of eight runs (count <= 8), word k of them into out[k] with run
// i's in lane i: eight 64-byte loads, masked to the words asked for, and a transpose of
// the 8 x 8 words in three rounds of two-register permutes, each round computing only
// the registers that lead to the words asked for (7 permutes for one word, 24 for eight).
inline void transposed_words(const uint8_t* const* run, uint64_t c, unsigned count, __m512i* out) {
  const __mmask8 m = static_cast<__mmask8>((1u << count) - 1);
  __m512i z[8], a[8], b[8];
  for (int i = 0; i < 8; ++i) z[i] = _mm512_maskz_loadu_epi64(m, run[i] + 64 * c);
  const __m512i lo1 = _mm512_set_epi64(14, 6, 12, 4, 10, 2, 8, 0), hi1 = _mm512_set_epi64(15, 7, 13, 5, 11, 3, 9, 1);
  const __m512i lo2 = _mm512_set_epi64(13, 12, 5, 4, 9, 8, 1, 0), hi2 = _mm512_set_epi64(15, 14, 7, 6, 11, 10, 3, 2);
  const __m512i lo3 = _mm512_set_epi64(11, 10, 9, 8, 3, 2, 1, 0), hi3 = _mm512_set_epi64(15, 14, 13, 12, 7, 6, 5, 4);
  // a[2p + u]: words u, u + 2, u + 4, u + 6 of runs 2p and 2p + 1.
  for (unsigned u = 0; u < 2 && u < count; ++u)
    for (int p = 0; p < 4; ++p) a[2 * p + u] = _mm512_permutex2var_epi64(z[2 * p], u ? hi1 : lo1, z[2 * p + 1]);
  // b[4h + t]: words t and t + 4 of runs 4h .. 4h + 3.
  for (unsigned t = 0; t < 4 && t < count; ++t)
    for (int h = 0; h < 2; ++h)
      b[4 * h + t] = _mm512_permutex2var_epi64(a[4 * h + t % 2], t < 2 ? lo2 : hi2, a[4 * h + 2 + t % 2]);
  for (unsigned t = 0; t < 4 && t < count; ++t) {
    out[t] = _mm512_permutex2var_epi64(b[t], lo3, b[4 + t]);
    if (t + 4 < count) out[t + 4] = _mm512_permutex2var_epi64(b[t], hi3, b[4 + t]);
  }
}

template <unsigned BITS>
[[gnu::always_inline]] inline void split(VI word, VI* plane) {
  if constexpr (BITS == 8) {
    plane[0] = word;
  } else {
    const VI mask = _mm512_set1_epi8(static_cast<char>((1u << BITS) - 1));
    for (unsigned s = 0; s < 8 / BITS; ++s) plane[s] = _mm512_and_si512(_mm512_srli_epi64(word, s * BITS), mask);
  }
}

// Code J of a split word: byte J / planes of plane J % planes.
template <unsigned BITS, unsigned J>
[[gnu::always_inline]] inline VD code(const VI* plane) {
  constexpr unsigned planes = 8 / BITS, byte = J / planes;
  constexpr long long low = static_cast<long long>(0x8080808080808000ull | byte);
  constexpr long long high = static_cast<long long>(0x8080808080808000ull | (8 + byte));
  return _mm512_cvtepi64_pd(_mm512_shuffle_epi8(plane[J % planes], _mm512_set4_epi64(high, low, high, low)));
}

template <unsigned BITS>
[[gnu::always_inline]] inline VD shifted_code(VI word, unsigned j) {
  const VI code = _mm512_and_si512(_mm512_srlv_epi64(word, _mm512_set1_epi64(j * BITS)),
                                   _mm512_set1_epi64((1 << BITS) - 1));
  return _mm512_cvtepi64_pd(code);
}

template <int R, int Q, bool FINITE, unsigned J>
[[gnu::always_inline]] inline void bit_steps(VD (&a)[R][Q], const VI (&word)[R], const double* w) {
  __mmask8 k[R];
  for (int r = 0; r < R; ++r) k[r] = _mm512_test_epi64_mask(word[r], _mm512_set1_epi64(static_cast<long long>(1ull << J)));
  for (int q = 0; q < Q; ++q) {
    const VD t = _mm512_set1_pd(w[q]);
    for (int r = 0; r < R; ++r)
      a[r][q] = FINITE ? _mm512_mask_add_pd(a[r][q], k[r], a[r][q], t)
                       : _mm512_fmadd_pd(t, _mm512_maskz_mov_pd(k[r], _mm512_set1_pd(1.0)), a[r][q]);
  }
}

}  // namespace
}  // namespace qv::quantized::avx512

#include "quantized/tile_few_impl.hpp"
