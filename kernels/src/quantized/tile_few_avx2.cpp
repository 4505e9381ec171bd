// The AVX2 scorer of tiles with one to four lanes in use, laid out as tile_few_avx512.cpp:
// four candidates per register, one fused chain per candidate and lane in dimension order,
// so the bits are tile_row's; the words of four runs come from a 4 x 4 transpose. Code j of four candidates' words is widened by one byte
// shuffle of its plane (8, 4 and 2 bits) or one test of bit j (1 bit), and made a double
// by placing it in the mantissa of 2^52 and subtracting 2^52, which is exact.
#include <immintrin.h>

#include <algorithm>
#include <utility>

#include "quantized/codes.hpp"
#include "quantized/tile.hpp"

namespace qv::quantized::avx2 {

namespace {

constexpr int kWidth = 4;  // candidates per register

template <unsigned BITS>
constexpr unsigned kPlanes = BITS == 1 ? 1 : 8 / BITS;

template <unsigned BITS>
[[gnu::always_inline]] inline void split(__m256i word, __m256i* plane) {
  if constexpr (BITS == 8 || BITS == 1) {
    plane[0] = word;
  } else {
    const __m256i mask = _mm256_set1_epi8(static_cast<char>((1u << BITS) - 1));
    for (unsigned s = 0; s < kPlanes<BITS>; ++s) plane[s] = _mm256_and_si256(_mm256_srli_epi64(word, s * BITS), mask);
  }
}

[[gnu::always_inline]] inline __m256d exact_double(__m256i small) {
  const __m256i two52 = _mm256_set1_epi64x(0x4330000000000000);
  return _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(small, two52)), _mm256_castsi256_pd(two52));
}

// Code J of a split word, as a double in every candidate lane.
template <unsigned BITS, unsigned J>
[[gnu::always_inline]] inline __m256d code(const __m256i* plane) {
  if constexpr (BITS == 1) {
    const __m256i b = _mm256_set1_epi64x(static_cast<long long>(1ull << J));
    const __m256i set = _mm256_cmpeq_epi64(_mm256_and_si256(plane[0], b), b);
    return _mm256_and_pd(_mm256_castsi256_pd(set), _mm256_set1_pd(1.0));
  } else {
    constexpr unsigned byte = J / kPlanes<BITS>;
    constexpr long long low = static_cast<long long>(0x8080808080808000ull | byte);
    constexpr long long high = static_cast<long long>(0x8080808080808000ull | (8 + byte));
    const __m256i pick = _mm256_set_epi64x(high, low, high, low);
    return exact_double(_mm256_shuffle_epi8(plane[J % kPlanes<BITS>], pick));
  }
}

template <int R, int Q>
[[gnu::always_inline]] inline void step(__m256d (&a)[R][Q], const __m256d (&x)[R], const double* w) {
  for (int q = 0; q < Q; ++q) {
    const __m256d t = _mm256_broadcast_sd(w + q);
    for (int r = 0; r < R; ++r) a[r][q] = _mm256_fmadd_pd(t, x[r], a[r][q]);
  }
}

template <unsigned BITS, int R, int Q, unsigned... J>
[[gnu::always_inline]] inline void full_word(__m256d (&a)[R][Q], const __m256i (&word)[R], const double* tile,
                                             std::integer_sequence<unsigned, J...>) {
  __m256i plane[R][kPlanes<BITS>];
  for (int r = 0; r < R; ++r) split<BITS>(word[r], plane[r]);
  const auto one = [&]<unsigned j>(std::integral_constant<unsigned, j>) {
    __m256d x[R];
    for (int r = 0; r < R; ++r) x[r] = code<BITS, j>(plane[r]);
    step<R, Q>(a, x, tile + kLanes * j);
  };
  (one(std::integral_constant<unsigned, J>{}), ...);
}

template <unsigned BITS, int R, int Q>
[[gnu::always_inline]] inline void part_word(__m256d (&a)[R][Q], const __m256i (&word)[R], const double* tile,
                                             unsigned count) {
  const __m256i mask = _mm256_set1_epi64x((1 << BITS) - 1);
  for (unsigned j = 0; j < count; ++j) {
    const __m256i shift = _mm256_set1_epi64x(j * BITS);
    __m256d x[R];
    for (int r = 0; r < R; ++r) x[r] = exact_double(_mm256_and_si256(_mm256_srlv_epi64(word[r], shift), mask));
    step<R, Q>(a, x, tile + kLanes * j);
  }
}

// Bytes [at, at + bytes) of four runs (bytes <= 8), each in the low end of its lane,
// read one by one so nothing past a run's last byte is touched.
inline __m256i short_words(const uint8_t* const* run, uint64_t at, unsigned bytes) {
  alignas(32) uint64_t w[kWidth];
  for (int i = 0; i < kWidth; ++i) {
    uint64_t v = 0;
    for (unsigned b = 0; b < bytes; ++b) v |= static_cast<uint64_t>(run[i][at + b]) << (8 * b);
    w[i] = v;
  }
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(w));
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

template <unsigned BITS, int R, int Q>
[[gnu::always_inline]] inline void few(const uint8_t* codes, uint64_t row_bytes, const uint64_t* items, size_t n,
                                       const Tile& tile, double* acc) {
  constexpr unsigned kPerWord = 64 / BITS;
  const uint64_t dim = tile.dim;
  const uint8_t* run[R * kWidth];
  for (int i = 0; i < R * kWidth; ++i) run[i] = codes + items[std::min<size_t>(i, n - 1)] * row_bytes;
  __m256d a[R][Q];
  for (int r = 0; r < R; ++r)
    for (int q = 0; q < Q; ++q) a[r][q] = _mm256_setzero_pd();

  const uint64_t whole_words = row_bytes / 8;
  const uint64_t full = std::min<uint64_t>(whole_words, dim / kPerWord);
  const double* w = tile.weights;
  for (uint64_t c = 0; 4 * c < full; ++c) {
    const unsigned count = static_cast<unsigned>(std::min<uint64_t>(4, full - 4 * c));
    __m256i words[R][4];
    for (int r = 0; r < R; ++r) transposed_words(run + kWidth * r, c, count, words[r]);
    for (unsigned k = 0; k < count; ++k) {
      __m256i word[R];
      for (int r = 0; r < R; ++r) word[r] = words[r][k];
      full_word<BITS, R, Q>(a, word, w + kLanes * kPerWord * (4 * c + k),
                            std::make_integer_sequence<unsigned, kPerWord>{});
    }
  }
  if (full * kPerWord < dim) {
    const unsigned bytes = full < whole_words ? 8 : static_cast<unsigned>(row_bytes % 8);
    __m256i word[R];
    for (int r = 0; r < R; ++r) word[r] = short_words(run + kWidth * r, 8 * full, bytes);
    part_word<BITS, R, Q>(a, word, w + kLanes * kPerWord * full, static_cast<unsigned>(dim - full * kPerWord));
  }

  for (int r = 0; r < R; ++r)
    for (int q = 0; q < Q; ++q) {
      if (static_cast<size_t>(kWidth * (r + 1)) <= n) {
        _mm256_storeu_pd(acc + kTileBlock * q + kWidth * r, a[r][q]);
        continue;
      }
      alignas(32) double v[kWidth];
      _mm256_store_pd(v, a[r][q]);
      for (size_t i = kWidth * r; i < n; ++i) acc[kTileBlock * q + i] = v[i - kWidth * r];
    }
}

template <unsigned BITS, int R, int Q>
void few_all(const uint8_t* codes, uint64_t row_bytes, const uint64_t* items, size_t n, const Tile& tile,
             double* acc) {
  for (size_t i = 0; i < n; i += kWidth * R)
    few<BITS, R, Q>(codes, row_bytes, items + i, std::min<size_t>(kWidth * R, n - i), tile, acc + i);
}

template <unsigned BITS>
void block(const uint8_t* codes, uint64_t row_bytes, const uint64_t* items, size_t n, const Tile& tile, double*,
           double* acc) {
  switch (tile.lanes) {
    case 1: return few_all<BITS, 4, 1>(codes, row_bytes, items, n, tile, acc);
    case 2: return few_all<BITS, 4, 2>(codes, row_bytes, items, n, tile, acc);
    case 3: return few_all<BITS, 2, 3>(codes, row_bytes, items, n, tile, acc);
    default: return few_all<BITS, 2, 4>(codes, row_bytes, items, n, tile, acc);
  }
}

}  // namespace

TileScorer few_lanes_scorer(uint32_t bits) {
  return with_width(bits, [](auto w) -> TileScorer { return block<decltype(w)::value>; });
}

}  // namespace qv::quantized::avx2
