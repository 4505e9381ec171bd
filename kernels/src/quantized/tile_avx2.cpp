// The AVX2 tile scorer. Each lane keeps its own fused chain over the dimensions in
// ascending order, exactly as the portable loop, so the bits agree. With many lanes in use
// only the registers that hold them are computed, and several candidates go through
// together, which gives the multiply-add units enough independent chains to hide their
// latency; with few, the candidates fill the registers instead.
#include <immintrin.h>

#include <algorithm>

#include "quantized/tile.hpp"
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

template <int R, int M>
[[gnu::always_inline]] inline void groups(const double* unpacked, uint64_t dim, size_t n, const double* tile,
                                          double* acc) {
  double spare[kLanes];
  for (size_t i = 0; i < n; i += M) {
    // A short last group repeats its last candidate into a spare accumulator.
    const double* x[M];
    double* out[M];
    for (size_t j = 0; j < M; ++j) {
      const bool real = i + j < n;
      x[j] = unpacked + (real ? i + j : n - 1) * dim;
      out[j] = real ? acc + kLanes * (i + j) : spare;
    }
    chains<R, M>(x, tile, dim, out);
  }
}

// The BITS bytes of codes 8g .. 8g + 7 of a run, in the low end of a word.
template <unsigned BITS>
[[gnu::always_inline]] inline long long group_word(const uint8_t* run, uint64_t g) {
  uint64_t word = 0;
  __builtin_memcpy(&word, run + g * BITS, BITS);
  return static_cast<long long>(word);
}

// With few lanes in use the candidates take the register lanes instead (see
// tile_avx512.cpp): 4R candidates, register lane i of acc[r][q] being query lane q's
// chain for candidate 4r + i. A code placed in the mantissa of 2^52, less 2^52, is that
// code exactly as a double.
template <unsigned BITS, int R, int Q>
[[gnu::always_inline]] inline void across(const uint8_t* codes, uint64_t row_bytes, uint64_t dim,
                                          const uint64_t* items, size_t n, const double* tile, double* acc) {
  constexpr int W = 4;
  const uint8_t* run[R * W];
  for (size_t i = 0; i < R * W; ++i) run[i] = codes + items[std::min(i, n - 1)] * row_bytes;
  const __m256i mask = _mm256_set1_epi64x((1 << BITS) - 1);
  const __m256i two52_bits = _mm256_set1_epi64x(0x4330000000000000);
  const __m256d two52 = _mm256_castsi256_pd(two52_bits);
  __m256d a[R][Q];
  for (int r = 0; r < R; ++r)
    for (int q = 0; q < Q; ++q) a[r][q] = _mm256_setzero_pd();
  const auto step = [&](const __m256d (&x)[R], uint64_t d) {
    for (int q = 0; q < Q; ++q) {
      const __m256d t = _mm256_broadcast_sd(tile + kLanes * d + q);
      for (int r = 0; r < R; ++r) a[r][q] = _mm256_fmadd_pd(t, x[r], a[r][q]);
    }
  };
  const uint64_t groups = dim / 8;
  for (uint64_t g = 0; g < groups; ++g) {
    __m256i word[R];
    for (int r = 0; r < R; ++r) {
      const uint8_t* const* p = run + W * r;
      word[r] = _mm256_set_epi64x(group_word<BITS>(p[3], g), group_word<BITS>(p[2], g), group_word<BITS>(p[1], g),
                                  group_word<BITS>(p[0], g));
    }
    for (unsigned j = 0; j < 8; ++j) {
      const __m256i shift = _mm256_set1_epi64x(j * BITS);
      __m256d x[R];
      for (int r = 0; r < R; ++r) {
        const __m256i code = _mm256_and_si256(_mm256_srlv_epi64(word[r], shift), mask);
        x[r] = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(code, two52_bits)), two52);
      }
      step(x, 8 * g + j);
    }
  }
  for (uint64_t d = 8 * groups; d < dim; ++d) {
    __m256d x[R];
    for (int r = 0; r < R; ++r) {
      alignas(32) double c[W];
      for (int i = 0; i < W; ++i) c[i] = static_cast<double>(code_at<BITS>(run[W * r + i], d));
      x[r] = _mm256_load_pd(c);
    }
    step(x, d);
  }
  for (int r = 0; r < R; ++r)
    for (int q = 0; q < Q; ++q) {
      alignas(32) double v[W];
      _mm256_store_pd(v, a[r][q]);
      for (size_t i = 0; i < W && W * r + i < n; ++i) acc[kLanes * (W * r + i) + q] = v[i];
    }
}

template <unsigned BITS, int R, int Q>
void across_all(const uint8_t* codes, uint64_t row_bytes, uint64_t dim, const uint64_t* items, size_t n,
                const double* tile, double* acc) {
  for (size_t i = 0; i < n; i += 4 * R)
    across<BITS, R, Q>(codes, row_bytes, dim, items + i, std::min<size_t>(4 * R, n - i), tile, acc + kLanes * i);
}

template <unsigned BITS>
void block(const uint8_t* codes, uint64_t row_bytes, uint64_t dim, const uint64_t* items, size_t n, size_t lanes,
           const double* tile, double* unpacked, double* acc) {
  switch (lanes) {
    case 1: return across_all<BITS, 4, 1>(codes, row_bytes, dim, items, n, tile, acc);
    case 2: return across_all<BITS, 4, 2>(codes, row_bytes, dim, items, n, tile, acc);
    case 3: return across_all<BITS, 2, 3>(codes, row_bytes, dim, items, n, tile, acc);
    case 4: return across_all<BITS, 2, 4>(codes, row_bytes, dim, items, n, tile, acc);
    default: break;
  }
  // Eight candidates at a time, so their unpacked codes stay in the first-level cache
  // next to the tile.
  for (size_t s = 0; s < n; s += 8) {
    const size_t m = std::min<size_t>(8, n - s);
    for (size_t i = 0; i < m; ++i) unpack<BITS>(codes + items[s + i] * row_bytes, dim, unpacked + i * dim);
    if (lanes <= 4)
      groups<1, 8>(unpacked, dim, m, tile, acc + kLanes * s);
    else if (lanes <= 8)
      groups<2, 4>(unpacked, dim, m, tile, acc + kLanes * s);
    else
      groups<4, 2>(unpacked, dim, m, tile, acc + kLanes * s);
  }
}

}  // namespace

TileScorer tile_scorer(uint32_t bits) {
  return with_width(bits, [](auto w) -> TileScorer { return block<decltype(w)::value>; });
}

}  // namespace qv::quantized::avx2
