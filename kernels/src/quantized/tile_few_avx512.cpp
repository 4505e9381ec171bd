// The AVX-512 scorer of tiles with one to four lanes in use: the candidates take the eight
// register lanes, each register lane one candidate's fused chain over the dimensions in
// ascending order, so the bits are tile_row's. A query lane's register is R x 8
// candidates wide; each code is widened once and serves every lane in use.
//
// A step takes one 64-bit word of each of eight candidates' runs (64 / BITS codes), from
// a transpose of eight words of eight runs (a gather per word is several times slower),
// and widens code j of all eight with as few instructions as the width
// allows: at 8, 4 and 2 bits the word is first split into bytes that each hold one code
// (a mask, or a shift and a mask, per plane of codes), then one byte shuffle moves code j
// to the bottom of its 64-bit lane and one conversion makes it a double; at 1 bit a test
// of bit j gives the lane mask directly, and with finite weights that mask selects which
// chains add the weight (tile.hpp says why the bits agree), else it selects 1.0 or 0.0 as
// the code. Then one fused multiply-add per lane in use.
#include <immintrin.h>

#include <algorithm>
#include <utility>

// GCC 12's AVX-512 integer intrinsics start from an "undefined" register and warn about it
// when inlined; the value is always overwritten.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "quantized/codes.hpp"
#include "quantized/tile.hpp"

namespace qv::quantized::avx512 {

namespace {

constexpr int kWidth = 8;  // candidates per register

// Planes of a word at 8, 4 and 2 bits: bytes that each hold one code, code j of the word
// being byte j / kPlanes of plane j % kPlanes.
template <unsigned BITS>
constexpr unsigned kPlanes = 8 / BITS;

template <unsigned BITS>
[[gnu::always_inline]] inline void split(__m512i word, __m512i* plane) {
  if constexpr (BITS == 8) {
    plane[0] = word;
  } else {
    const __m512i mask = _mm512_set1_epi8(static_cast<char>((1u << BITS) - 1));
    for (unsigned s = 0; s < kPlanes<BITS>; ++s) plane[s] = _mm512_and_si512(_mm512_srli_epi64(word, s * BITS), mask);
  }
}

// Code J of a split word, as a double in every candidate lane.
template <unsigned BITS, unsigned J>
[[gnu::always_inline]] inline __m512d code(const __m512i* plane) {
  constexpr unsigned byte = J / kPlanes<BITS>;
  // Byte `byte` of each 64-bit lane to the bottom of that lane, the rest zero.
  constexpr long long low = static_cast<long long>(0x8080808080808000ull | byte);
  constexpr long long high = static_cast<long long>(0x8080808080808000ull | (8 + byte));
  const __m512i pick = _mm512_set4_epi64(high, low, high, low);
  return _mm512_cvtepi64_pd(_mm512_shuffle_epi8(plane[J % kPlanes<BITS>], pick));
}

// Bit J of a 1-bit word, as a lane mask.
template <unsigned J>
[[gnu::always_inline]] inline __mmask8 bit(__m512i word) {
  return _mm512_test_epi64_mask(word, _mm512_set1_epi64(static_cast<long long>(1ull << J)));
}

// One chain step of every query lane for code index d, whose widened code is x (or, at 1
// bit, whose lane mask is k).
template <int R, int Q>
[[gnu::always_inline]] inline void step(__m512d (&a)[R][Q], const __m512d (&x)[R], const double* w) {
  for (int q = 0; q < Q; ++q) {
    const __m512d t = _mm512_set1_pd(w[q]);
    for (int r = 0; r < R; ++r) a[r][q] = _mm512_fmadd_pd(t, x[r], a[r][q]);
  }
}

template <int R, int Q, bool FINITE>
[[gnu::always_inline]] inline void step_bits(__m512d (&a)[R][Q], const __mmask8 (&k)[R], const double* w) {
  if constexpr (FINITE) {
    for (int q = 0; q < Q; ++q) {
      const __m512d t = _mm512_set1_pd(w[q]);
      for (int r = 0; r < R; ++r) a[r][q] = _mm512_mask_add_pd(a[r][q], k[r], a[r][q], t);
    }
  } else {
    __m512d x[R];
    for (int r = 0; r < R; ++r) x[r] = _mm512_maskz_mov_pd(k[r], _mm512_set1_pd(1.0));
    step<R, Q>(a, x, w);
  }
}

// All 64 / BITS codes of a word, for code indices base, base + 1, ...
template <unsigned BITS, int R, int Q, bool FINITE, unsigned... J>
[[gnu::always_inline]] inline void full_word(__m512d (&a)[R][Q], const __m512i (&word)[R], const double* tile,
                                             std::integer_sequence<unsigned, J...>) {
  if constexpr (BITS == 1) {
    const auto one = [&]<unsigned j>(std::integral_constant<unsigned, j>) {
      __mmask8 k[R];
      for (int r = 0; r < R; ++r) k[r] = bit<j>(word[r]);
      step_bits<R, Q, FINITE>(a, k, tile + kLanes * j);
    };
    (one(std::integral_constant<unsigned, J>{}), ...);
  } else {
    __m512i plane[R][kPlanes<BITS>];
    for (int r = 0; r < R; ++r) split<BITS>(word[r], plane[r]);
    const auto one = [&]<unsigned j>(std::integral_constant<unsigned, j>) {
      __m512d x[R];
      for (int r = 0; r < R; ++r) x[r] = code<BITS, j>(plane[r]);
      step<R, Q>(a, x, tile + kLanes * j);
    };
    (one(std::integral_constant<unsigned, J>{}), ...);
  }
}

// The first `count` codes of a word (the run's last word, which dim may end inside).
template <unsigned BITS, int R, int Q>
[[gnu::always_inline]] inline void part_word(__m512d (&a)[R][Q], const __m512i (&word)[R], const double* tile,
                                             unsigned count) {
  const __m512i mask = _mm512_set1_epi64((1 << BITS) - 1);
  for (unsigned j = 0; j < count; ++j) {
    const __m512i shift = _mm512_set1_epi64(j * BITS);
    __m512d x[R];
    for (int r = 0; r < R; ++r) x[r] = _mm512_cvtepi64_pd(_mm512_and_si512(_mm512_srlv_epi64(word[r], shift), mask));
    step<R, Q>(a, x, tile + kLanes * j);
  }
}

// Bytes [at, at + bytes) of eight runs (bytes <= 8), each in the low end of its lane,
// read one by one so nothing past a run's last byte is touched.
inline __m512i short_words(const uint8_t* const* run, uint64_t at, unsigned bytes) {
  alignas(64) uint64_t w[kWidth];
  for (int i = 0; i < kWidth; ++i) {
    uint64_t v = 0;
    for (unsigned b = 0; b < bytes; ++b) v |= static_cast<uint64_t>(run[i][at + b]) << (8 * b);
    w[i] = v;
  }
  return _mm512_load_si512(w);
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

// 8R candidates (a short block repeats its last one) for Q query lanes.
template <unsigned BITS, int R, int Q, bool FINITE>
[[gnu::always_inline]] inline void few(const uint8_t* codes, uint64_t row_bytes, const uint64_t* items, size_t n,
                                       const Tile& tile, double* acc) {
  constexpr unsigned kPerWord = 64 / BITS;
  const uint64_t dim = tile.dim;
  const uint8_t* run[R * kWidth];
  for (int i = 0; i < R * kWidth; ++i) run[i] = codes + items[std::min<size_t>(i, n - 1)] * row_bytes;
  __m512d a[R][Q];
  for (int r = 0; r < R; ++r)
    for (int q = 0; q < Q; ++q) a[r][q] = _mm512_setzero_pd();

  // Whole words whose every code is below dim, eight at a time, then what is left: a word
  // that dim ends inside, or the bytes after the last whole word.
  const uint64_t whole_words = row_bytes / 8;
  const uint64_t full = std::min<uint64_t>(whole_words, dim / kPerWord);
  const double* w = tile.weights;
  for (uint64_t c = 0; 8 * c < full; ++c) {
    const unsigned count = static_cast<unsigned>(std::min<uint64_t>(8, full - 8 * c));
    __m512i words[R][8];
    for (int r = 0; r < R; ++r) transposed_words(run + kWidth * r, c, count, words[r]);
    for (unsigned k = 0; k < count; ++k) {
      __m512i word[R];
      for (int r = 0; r < R; ++r) word[r] = words[r][k];
      full_word<BITS, R, Q, FINITE>(a, word, w + kLanes * kPerWord * (8 * c + k),
                                    std::make_integer_sequence<unsigned, kPerWord>{});
    }
  }
  if (full * kPerWord < dim) {
    const unsigned bytes = full < whole_words ? 8 : static_cast<unsigned>(row_bytes % 8);
    __m512i word[R];
    for (int r = 0; r < R; ++r) word[r] = short_words(run + kWidth * r, 8 * full, bytes);
    part_word<BITS, R, Q>(a, word, w + kLanes * kPerWord * full, static_cast<unsigned>(dim - full * kPerWord));
  }

  for (int r = 0; r < R; ++r) {
    const size_t first = kWidth * r;
    if (first >= n) break;
    const __mmask8 real = static_cast<__mmask8>(n - first >= kWidth ? 0xFF : (1u << (n - first)) - 1);
    for (int q = 0; q < Q; ++q) _mm512_mask_storeu_pd(acc + kTileBlock * q + first, real, a[r][q]);
  }
}

template <unsigned BITS, int R, int Q, bool FINITE>
void few_all(const uint8_t* codes, uint64_t row_bytes, const uint64_t* items, size_t n, const Tile& tile,
             double* acc) {
  for (size_t i = 0; i < n; i += kWidth * R)
    few<BITS, R, Q, FINITE>(codes, row_bytes, items + i, std::min<size_t>(kWidth * R, n - i), tile, acc + i);
}

// Four registers of candidates keep enough chains in flight for one or two lanes; with
// three or four lanes two registers do.
template <unsigned BITS, bool FINITE>
void block_as(const uint8_t* codes, uint64_t row_bytes, const uint64_t* items, size_t n, const Tile& tile,
              double* acc) {
  switch (tile.lanes) {
    case 1: return few_all<BITS, 8, 1, FINITE>(codes, row_bytes, items, n, tile, acc);
    case 2: return few_all<BITS, 4, 2, FINITE>(codes, row_bytes, items, n, tile, acc);
    case 3: return few_all<BITS, 2, 3, FINITE>(codes, row_bytes, items, n, tile, acc);
    default: return few_all<BITS, 2, 4, FINITE>(codes, row_bytes, items, n, tile, acc);
  }
}

template <unsigned BITS>
void block(const uint8_t* codes, uint64_t row_bytes, const uint64_t* items, size_t n, const Tile& tile, double*,
           double* acc) {
  // Only the 1-bit path uses the finiteness of the weights.
  if (BITS == 1 && tile.finite) return block_as<BITS, true>(codes, row_bytes, items, n, tile, acc);
  block_as<BITS, false>(codes, row_bytes, items, n, tile, acc);
}

}  // namespace

TileScorer few_lanes_scorer(uint32_t bits) {
  return with_width(bits, [](auto w) -> TileScorer { return block<decltype(w)::value>; });
}

}  // namespace qv::quantized::avx512
