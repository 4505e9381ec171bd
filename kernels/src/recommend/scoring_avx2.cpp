#include <immintrin.h>

#include "recommend/scoring.hpp"

namespace qv::recommend::avx2 {

namespace {

[[gnu::always_inline]] inline bool tile_scores(const double* users, size_t dim, const Group& g, const double thr[8],
                                               double out[4][8]) {
  __m256d a0l = _mm256_set1_pd(g.bias[0]), a0h = a0l;
  __m256d a1l = _mm256_set1_pd(g.bias[1]), a1h = a1l;
  __m256d a2l = _mm256_set1_pd(g.bias[2]), a2h = a2l;
  __m256d a3l = _mm256_set1_pd(g.bias[3]), a3h = a3l;
  const double *v0 = g.v[0], *v1 = g.v[1], *v2 = g.v[2], *v3 = g.v[3];
  for (size_t j = 0; j < dim; ++j) {
    const __m256d ul = _mm256_loadu_pd(users + 8 * j), uh = _mm256_loadu_pd(users + 8 * j + 4);
    __m256d x = _mm256_broadcast_sd(v0 + j);
    a0l = _mm256_fmadd_pd(ul, x, a0l);
    a0h = _mm256_fmadd_pd(uh, x, a0h);
    x = _mm256_broadcast_sd(v1 + j);
    a1l = _mm256_fmadd_pd(ul, x, a1l);
    a1h = _mm256_fmadd_pd(uh, x, a1h);
    x = _mm256_broadcast_sd(v2 + j);
    a2l = _mm256_fmadd_pd(ul, x, a2l);
    a2h = _mm256_fmadd_pd(uh, x, a2h);
    x = _mm256_broadcast_sd(v3 + j);
    a3l = _mm256_fmadd_pd(ul, x, a3l);
    a3h = _mm256_fmadd_pd(uh, x, a3h);
  }
  _mm256_storeu_pd(out[0], a0l);
  _mm256_storeu_pd(out[0] + 4, a0h);
  _mm256_storeu_pd(out[1], a1l);
  _mm256_storeu_pd(out[1] + 4, a1h);
  _mm256_storeu_pd(out[2], a2l);
  _mm256_storeu_pd(out[2] + 4, a2h);
  _mm256_storeu_pd(out[3], a3l);
  _mm256_storeu_pd(out[3] + 4, a3h);
  // Ordered less-than: a NaN score is never below, so it is always offered.
  const __m256d tl = _mm256_loadu_pd(thr), th = _mm256_loadu_pd(thr + 4);
  __m256d below = _mm256_and_pd(_mm256_cmp_pd(a0l, tl, _CMP_LT_OQ), _mm256_cmp_pd(a0h, th, _CMP_LT_OQ));
  below = _mm256_and_pd(below, _mm256_and_pd(_mm256_cmp_pd(a1l, tl, _CMP_LT_OQ), _mm256_cmp_pd(a1h, th, _CMP_LT_OQ)));
  below = _mm256_and_pd(below, _mm256_and_pd(_mm256_cmp_pd(a2l, tl, _CMP_LT_OQ), _mm256_cmp_pd(a2h, th, _CMP_LT_OQ)));
  below = _mm256_and_pd(below, _mm256_and_pd(_mm256_cmp_pd(a3l, tl, _CMP_LT_OQ), _mm256_cmp_pd(a3h, th, _CMP_LT_OQ)));
  return _mm256_movemask_pd(below) != 0xF;
}

// The single-scan order for four candidates at once: their lane sums are formed together
// (the same additions, operands in the same order, as the portable tree), and so are
// their tails and biases.
[[gnu::always_inline]] inline void scan_scores(const double* user, size_t dim, const Group& g, double out[4]) {
  const size_t blocks = dim / 8, from = blocks * 8;
  const double *v0 = g.v[0], *v1 = g.v[1], *v2 = g.v[2], *v3 = g.v[3];
  __m256d lo0 = _mm256_setzero_pd(), hi0 = lo0, lo1 = lo0, hi1 = lo0, lo2 = lo0, hi2 = lo0, lo3 = lo0, hi3 = lo0;
  for (size_t mb = 0; mb < blocks; ++mb) {
    const size_t o = 8 * mb;
    const __m256d ul = _mm256_loadu_pd(user + o), uh = _mm256_loadu_pd(user + o + 4);
    lo0 = _mm256_fmadd_pd(_mm256_loadu_pd(v0 + o), ul, lo0);
    hi0 = _mm256_fmadd_pd(_mm256_loadu_pd(v0 + o + 4), uh, hi0);
    lo1 = _mm256_fmadd_pd(_mm256_loadu_pd(v1 + o), ul, lo1);
    hi1 = _mm256_fmadd_pd(_mm256_loadu_pd(v1 + o + 4), uh, hi1);
    lo2 = _mm256_fmadd_pd(_mm256_loadu_pd(v2 + o), ul, lo2);
    hi2 = _mm256_fmadd_pd(_mm256_loadu_pd(v2 + o + 4), uh, hi2);
    lo3 = _mm256_fmadd_pd(_mm256_loadu_pd(v3 + o), ul, lo3);
    hi3 = _mm256_fmadd_pd(_mm256_loadu_pd(v3 + o + 4), uh, hi3);
  }
  // Per candidate a = (s4+s0, s5+s1, s6+s2, s7+s3); w = (a2+a0, a3+a1); t = w1 + w0.
  const __m256d a0 = _mm256_add_pd(hi0, lo0), a1 = _mm256_add_pd(hi1, lo1);
  const __m256d a2 = _mm256_add_pd(hi2, lo2), a3 = _mm256_add_pd(hi3, lo3);
  const __m256d w01 = _mm256_add_pd(_mm256_permute2f128_pd(a0, a1, 0x31), _mm256_permute2f128_pd(a0, a1, 0x20));
  const __m256d w23 = _mm256_add_pd(_mm256_permute2f128_pd(a2, a3, 0x31), _mm256_permute2f128_pd(a2, a3, 0x20));
  // (w1 + w0) for candidates 0, 2, 1, 3, then put back in order.
  __m256d t = _mm256_add_pd(_mm256_unpackhi_pd(w01, w23), _mm256_unpacklo_pd(w01, w23));
  t = _mm256_permute4x64_pd(t, 0xD8);
  for (size_t j = from; j < dim; ++j)
    t = _mm256_fmadd_pd(_mm256_set1_pd(user[j]), _mm256_set_pd(v3[j], v2[j], v1[j], v0[j]), t);
  t = _mm256_add_pd(t, _mm256_loadu_pd(g.bias));
  _mm256_storeu_pd(out, t);
}

}  // namespace

}  // namespace qv::recommend::avx2

#include "recommend/scoring_impl.hpp"

namespace qv::recommend::avx2 {

void fma_row(double x, const double* w, double* s, size_t n) {
  const __m256d xv = _mm256_set1_pd(x);
  size_t c = 0;
  for (; c + 16 <= n; c += 16) {
    __m256d a = _mm256_fmadd_pd(xv, _mm256_loadu_pd(w + c), _mm256_loadu_pd(s + c));
    __m256d b = _mm256_fmadd_pd(xv, _mm256_loadu_pd(w + c + 4), _mm256_loadu_pd(s + c + 4));
    __m256d d = _mm256_fmadd_pd(xv, _mm256_loadu_pd(w + c + 8), _mm256_loadu_pd(s + c + 8));
    __m256d e = _mm256_fmadd_pd(xv, _mm256_loadu_pd(w + c + 12), _mm256_loadu_pd(s + c + 12));
    _mm256_storeu_pd(s + c, a);
    _mm256_storeu_pd(s + c + 4, b);
    _mm256_storeu_pd(s + c + 8, d);
    _mm256_storeu_pd(s + c + 12, e);
  }
  for (; c + 4 <= n; c += 4)
    _mm256_storeu_pd(s + c, _mm256_fmadd_pd(xv, _mm256_loadu_pd(w + c), _mm256_loadu_pd(s + c)));
  for (; c < n; ++c) s[c] = std::fma(x, w[c], s[c]);
}

}  // namespace qv::recommend::avx2
