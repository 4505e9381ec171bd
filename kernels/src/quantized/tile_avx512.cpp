// The AVX-512 tile scorer. Each lane keeps its own fused chain over the dimensions in
// ascending order, exactly as the portable loop, so the bits agree. With many lanes in use
// only the registers that hold them are computed, and several candidates go through
// together, which gives the multiply-add units enough independent chains to hide their
// latency; with few, the candidates fill the registers instead.
#include <immintrin.h>

#include <algorithm>

// GCC 12's AVX-512 integer intrinsics start from an "undefined" register and warn about it
// when inlined; the value is always overwritten.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "quantized/tile.hpp"
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

// The BITS bytes of codes 8g .. 8g + 7 of a run, in the low end of a word.
template <unsigned BITS>
[[gnu::always_inline]] inline long long group_word(const uint8_t* run, uint64_t g) {
  uint64_t word = 0;
  __builtin_memcpy(&word, run + g * BITS, BITS);
  return static_cast<long long>(word);
}

// With few lanes in use a lane register would sit mostly idle, so the candidates take the
// register lanes instead: 8R candidates, register lane i of acc[r][q] being query lane q's
// chain for candidate 8r + i. Each chain still runs the fused multiply-adds of tile_row
// in dimension order, so the bits are the same. A short block repeats its last candidate.
template <unsigned BITS, int R, int Q>
[[gnu::always_inline]] inline void across(const uint8_t* codes, uint64_t row_bytes, uint64_t dim,
                                          const uint64_t* items, size_t n, const double* tile, double* acc) {
  constexpr int W = 8;
  const uint8_t* run[R * W];
  for (size_t i = 0; i < R * W; ++i) run[i] = codes + items[std::min(i, n - 1)] * row_bytes;
  const __m512i mask = _mm512_set1_epi64((1 << BITS) - 1);
  __m512d a[R][Q];
  for (int r = 0; r < R; ++r)
    for (int q = 0; q < Q; ++q) a[r][q] = _mm512_setzero_pd();
  const auto step = [&](const __m512d (&x)[R], uint64_t d) {
    for (int q = 0; q < Q; ++q) {
      const __m512d t = _mm512_set1_pd(tile[kLanes * d + q]);
      for (int r = 0; r < R; ++r) a[r][q] = _mm512_fmadd_pd(t, x[r], a[r][q]);
    }
  };
  const uint64_t groups = dim / 8;
  for (uint64_t g = 0; g < groups; ++g) {
    __m512i word[R];
    for (int r = 0; r < R; ++r) {
      const uint8_t* const* p = run + W * r;
      word[r] = _mm512_set_epi64(group_word<BITS>(p[7], g), group_word<BITS>(p[6], g), group_word<BITS>(p[5], g),
                                 group_word<BITS>(p[4], g), group_word<BITS>(p[3], g), group_word<BITS>(p[2], g),
                                 group_word<BITS>(p[1], g), group_word<BITS>(p[0], g));
    }
    for (unsigned j = 0; j < 8; ++j) {
      const __m512i shift = _mm512_set1_epi64(j * BITS);
      __m512d x[R];
      for (int r = 0; r < R; ++r) x[r] = _mm512_cvtepi64_pd(_mm512_and_si512(_mm512_srlv_epi64(word[r], shift), mask));
      step(x, 8 * g + j);
    }
  }
  for (uint64_t d = 8 * groups; d < dim; ++d) {
    __m512d x[R];
    for (int r = 0; r < R; ++r) {
      alignas(64) double c[W];
      for (int i = 0; i < W; ++i) c[i] = static_cast<double>(code_at<BITS>(run[W * r + i], d));
      x[r] = _mm512_load_pd(c);
    }
    step(x, d);
  }
  for (int r = 0; r < R; ++r)
    for (int q = 0; q < Q; ++q) {
      alignas(64) double v[W];
      _mm512_store_pd(v, a[r][q]);
      for (size_t i = 0; i < W && W * r + i < n; ++i) acc[kLanes * (W * r + i) + q] = v[i];
    }
}

template <unsigned BITS, int R, int Q>
void across_all(const uint8_t* codes, uint64_t row_bytes, uint64_t dim, const uint64_t* items, size_t n,
                const double* tile, double* acc) {
  for (size_t i = 0; i < n; i += 8 * R)
    across<BITS, R, Q>(codes, row_bytes, dim, items + i, std::min<size_t>(8 * R, n - i), tile, acc + kLanes * i);
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
    for (size_t i = 0; i < m; ++i) unpack8<BITS>(codes + items[s + i] * row_bytes, dim, unpacked + i * dim);
    if (lanes <= 8)
      groups<1, 8>(unpacked, dim, m, tile, acc + kLanes * s);
    else
      groups<2, 4>(unpacked, dim, m, tile, acc + kLanes * s);
  }
}

}  // namespace

TileScorer tile_scorer(uint32_t bits) {
  return with_width(bits, [](auto w) -> TileScorer { return block<decltype(w)::value>; });
}

}  // namespace qv::quantized::avx512
