#include "recommend/factors.hpp"

#include <immintrin.h>

#include <array>
#include <cmath>
#include <limits>

namespace qv::recommend {

namespace detail {
std::atomic<bool> force_portable{false};

bool simd_available() {
  static const bool ok = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return ok;
}
}  // namespace detail

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Four candidates scored together; a short last group repeats its last member.
struct Group {
  const double* v[4];
  double bias[4];
};

// ---- single scan: eight partial chains, a fixed tree, the tail, then the bias ----

inline double scan_finish(double t, const double* user, const double* v, size_t from, size_t dim, double bias) {
  for (size_t j = from; j < dim; ++j) t = std::fma(user[j], v[j], t);
  return t + bias;
}

void scan_scores_portable(const double* user, size_t dim, const Group& g, double out[4]) {
  const size_t blocks = dim / 8;
  for (int i = 0; i < 4; ++i) {
    const double* v = g.v[i];
    double s[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    for (size_t m = 0; m < blocks; ++m)
      for (int l = 0; l < 8; ++l) s[l] = std::fma(v[8 * m + l], user[8 * m + l], s[l]);
    const double t = ((s[7] + s[3]) + (s[5] + s[1])) + ((s[6] + s[2]) + (s[4] + s[0]));
    out[i] = scan_finish(t, user, v, blocks * 8, dim, g.bias[i]);
  }
}

__attribute__((target("avx2,fma"))) inline double tree_sum(__m256d lo, __m256d hi) {
  // (s4+s0, s5+s1, s6+s2, s7+s3), then ((s6+s2)+(s4+s0), (s7+s3)+(s5+s1)), then high + low.
  const __m256d v = _mm256_add_pd(hi, lo);
  const __m128d w = _mm_add_pd(_mm256_extractf128_pd(v, 1), _mm256_castpd256_pd128(v));
  return _mm_cvtsd_f64(_mm_add_sd(_mm_unpackhi_pd(w, w), w));
}

__attribute__((target("avx2,fma"))) void scan_scores_avx2(const double* user, size_t dim, const Group& g,
                                                          double out[4]) {
  const size_t blocks = dim / 8;
  __m256d lo0 = _mm256_setzero_pd(), hi0 = lo0, lo1 = lo0, hi1 = lo0, lo2 = lo0, hi2 = lo0, lo3 = lo0, hi3 = lo0;
  const double *v0 = g.v[0], *v1 = g.v[1], *v2 = g.v[2], *v3 = g.v[3];
  for (size_t m = 0; m < blocks; ++m) {
    const size_t o = 8 * m;
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
  const size_t from = blocks * 8;
  out[0] = scan_finish(tree_sum(lo0, hi0), user, v0, from, dim, g.bias[0]);
  out[1] = scan_finish(tree_sum(lo1, hi1), user, v1, from, dim, g.bias[1]);
  out[2] = scan_finish(tree_sum(lo2, hi2), user, v2, from, dim, g.bias[2]);
  out[3] = scan_finish(tree_sum(lo3, hi3), user, v3, from, dim, g.bias[3]);
}

// ---- tile: per lane, one chain seeded with the bias over the components in order ----
//
// `users` holds component j of lane l at 8*j + l. Scores land in out[i][l]. Returns false
// when every score is below its lane's threshold, so the group need not be offered.

bool tile_scores_portable(const double* users, size_t dim, const Group& g, const double thr[8], double out[4][8]) {
  for (int i = 0; i < 4; ++i) {
    double acc[8];
    for (int l = 0; l < 8; ++l) acc[l] = g.bias[i];
    const double* v = g.v[i];
    for (size_t j = 0; j < dim; ++j) {
      const double x = v[j];
      for (int l = 0; l < 8; ++l) acc[l] = std::fma(users[8 * j + l], x, acc[l]);
    }
    for (int l = 0; l < 8; ++l) out[i][l] = acc[l];
  }
  for (int i = 0; i < 4; ++i)
    for (int l = 0; l < 8; ++l)
      if (!(out[i][l] < thr[l])) return true;
  return false;
}

__attribute__((target("avx2,fma"), always_inline)) inline bool tile_scores_avx2(const double* users, size_t dim, const Group& g,
                                                          const double thr[8], double out[4][8]) {
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

struct Kernels {
  void (*scan)(const double*, size_t, const Group&, double[4]);
  bool (*tile)(const double*, size_t, const Group&, const double[8], double[4][8]);
};

Kernels pick_kernels() {
  if (detail::simd_available() && !detail::force_portable.load(std::memory_order_relaxed))
    return {scan_scores_avx2, tile_scores_avx2};
  return {scan_scores_portable, tile_scores_portable};
}

// The item vector and bias of the candidate at position p.
inline void load_member(const FactorModel& m, const CandidateSet& c, uint64_t p, Group& g, int i) {
  const uint64_t item = c.item(p);
  g.v[i] = m.item_factors.data() + item * m.dim;
  g.bias[i] = m.has_item_bias ? m.item_bias[item] : 0.0;
}

inline Group load_group(const FactorModel& m, const CandidateSet& c, uint64_t p, uint64_t last) {
  Group g;
  for (int i = 0; i < 4; ++i) load_member(m, c, std::min<uint64_t>(p + i, last), g, i);
  return g;
}

// Item vectors are streamed from memory once per pass and the scorers touch four at a
// time in interleaved order, which the hardware prefetcher follows poorly: a scan from
// memory ran at under half the speed of a plain read of the same bytes. So each step asks
// for the vectors of a group a few steps ahead. Inline assembly, because the compiler
// deletes a loop of __builtin_prefetch calls as a loop without effects.
inline void prefetch_bytes(const void* from, size_t bytes) {
  const uintptr_t b = reinterpret_cast<uintptr_t>(from) & ~uintptr_t{63};
  const uintptr_t e = reinterpret_cast<uintptr_t>(from) + bytes;
  for (uintptr_t a = b; a < e; a += 64) asm volatile("prefetcht0 %0" : : "m"(*reinterpret_cast<const char*>(a)));
}

// Positions ahead of the current group whose vectors are requested: about 4 KiB of item
// data, far enough to cover the memory latency at the scorers' pace.
inline uint64_t prefetch_ahead(uint64_t dim) {
  const uint64_t bytes = std::max<uint64_t>(dim, 1) * sizeof(double);
  return std::clamp<uint64_t>((4096 / bytes + 3) & ~uint64_t{3}, 4, 64);
}

// Requests the vectors of the four positions from p on (none past `last`).
inline void prefetch_group(const FactorModel& m, const CandidateSet& c, uint64_t p, uint64_t last) {
  if (p > last || m.dim == 0) return;
  const uint64_t top = std::min<uint64_t>(p + 3, last);
  const size_t bytes = static_cast<size_t>(m.dim) * sizeof(double);
  if (!c.has_ids) {
    prefetch_bytes(m.item_factors.data() + p * m.dim, static_cast<size_t>(top - p + 1) * bytes);
    return;
  }
  for (uint64_t q = p; q <= top; ++q) prefetch_bytes(m.item_factors.data() + c.ids[q] * m.dim, bytes);
}

// Moves a cursor past the excluded positions up to `last`, for a group nobody looks at.
inline void skip_to(std::span<const uint64_t> ex, size_t& cursor, uint64_t last) {
  while (cursor < ex.size() && ex[cursor] <= last) ++cursor;
}

// The single scan with the AVX2+FMA code inlined: the four candidates' lane sums are
// formed together (the same additions, operands in the same order, as tree_sum), and so
// are their tails, biases and the threshold test.
__attribute__((target("avx2,fma"))) bool scan_range_avx2(const FactorModel& m, const CandidateSet& c,
                                                         const double* user, std::span<const uint64_t> ex,
                                                         Best& best, uint64_t start, uint64_t end, bool prefetch) {
  bool nan = false;
  size_t cursor = static_cast<size_t>(std::lower_bound(ex.begin(), ex.end(), start) - ex.begin());
  const uint64_t last = end - 1;
  const uint64_t ahead = prefetch_ahead(m.dim), final = c.n_candidates - 1;
  const size_t dim = static_cast<size_t>(m.dim), blocks = dim / 8, from = blocks * 8;
  const double* base = m.item_factors.data();
  alignas(32) double sc[4];
  for (uint64_t p = start; p < end; p += 4) {
    if (prefetch) prefetch_group(m, c, p + ahead, final);
    uint64_t it[4];
    for (int i = 0; i < 4; ++i) it[i] = c.item(std::min<uint64_t>(p + i, last));
    const double *v0 = base + it[0] * dim, *v1 = base + it[1] * dim, *v2 = base + it[2] * dim,
                 *v3 = base + it[3] * dim;
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
    if (m.has_item_bias) {
      const double* b = m.item_bias.data();
      t = _mm256_add_pd(t, _mm256_set_pd(b[it[3]], b[it[2]], b[it[1]], b[it[0]]));
    } else {
      t = _mm256_add_pd(t, _mm256_setzero_pd());
    }
    const uint64_t top = std::min<uint64_t>(p + 3, last);
    // Ordered less-than: a NaN score is never below, so it is always offered.
    if (_mm256_movemask_pd(_mm256_cmp_pd(t, _mm256_set1_pd(best.threshold()), _CMP_LT_OQ)) == 0xF) {
      skip_to(ex, cursor, top);
      continue;
    }
    nan |= _mm256_movemask_pd(_mm256_cmp_pd(t, t, _CMP_UNORD_Q)) != 0;
    _mm256_store_pd(sc, t);
    for (uint64_t q = p; q <= top; ++q) {
      if (cursor < ex.size() && ex[cursor] == q) {
        ++cursor;
        continue;
      }
      best.push(sc[q - p], q);
    }
  }
  return nan;
}

// `prefetch`: the first pass over a stretch of items, which reads them from memory; later
// passes over the same stretch find them in cache. Returns true when a NaN score may have
// been offered (see run_split).
bool scan_with(const Kernels& kn, const FactorModel& m, const CandidateSet& c, const double* user,
               std::span<const uint64_t> ex, Best& best, uint64_t start, uint64_t end, bool prefetch = false) {
  if (end <= start) return false;
  if (kn.scan == scan_scores_avx2) return scan_range_avx2(m, c, user, ex, best, start, end, prefetch);
  bool nan = false;
  size_t cursor = static_cast<size_t>(std::lower_bound(ex.begin(), ex.end(), start) - ex.begin());
  const uint64_t last = end - 1;
  const uint64_t ahead = prefetch_ahead(m.dim), final = c.n_candidates - 1;
  double sc[4];
  for (uint64_t p = start; p < end; p += 4) {
    if (prefetch) prefetch_group(m, c, p + ahead, final);
    const Group g = load_group(m, c, p, last);
    kn.scan(user, m.dim, g, sc);
    const uint64_t top = std::min<uint64_t>(p + 3, last);
    const double t = best.threshold();
    if (sc[0] < t && sc[1] < t && sc[2] < t && sc[3] < t) {
      skip_to(ex, cursor, top);
      continue;
    }
    for (uint64_t q = p; q <= top; ++q) {
      if (cursor < ex.size() && ex[cursor] == q) {
        ++cursor;
        continue;
      }
      nan |= std::isnan(sc[q - p]);
      best.push(sc[q - p], q);
    }
  }
  return nan;
}

// The scratch of one chunk of up to 8 queries.
struct Tile {
  Tile(uint64_t k, uint64_t n_candidates, uint64_t dim) : users(checked_len<double>(checked_mul(dim, 8)), 0.0) {
    best.reserve(8);
    for (int l = 0; l < 8; ++l) best.emplace_back(k, n_candidates);
  }

  std::vector<double> users;
  std::array<std::vector<uint64_t>, 8> excluded;
  std::vector<Best> best;
  std::array<size_t, 8> cursor{};
  alignas(32) double thr[8];
  uint64_t q0 = 0;
  bool nan = false;  // a NaN score may have been offered since `prepare`
  size_t lanes = 0;
};

struct Request {
  const FactorModel& m;
  std::span<const uint64_t> rows;
  const CandidateSet& c;
  const Exclusions& ex;
  uint64_t k;
  Kernels kn;
};

// Loads the chunk of queries q0 onward into a tile whose scan starts at position `start`.
void prepare(const Request& r, Tile& t, uint64_t q0, uint64_t start) {
  t.q0 = q0;
  t.nan = false;
  t.lanes = static_cast<size_t>(std::min<uint64_t>(r.rows.size() - q0, 8));
  for (size_t i = 0; i < t.lanes; ++i) r.ex.collect(q0 + i, r.rows[q0 + i], r.c, t.excluded[i]);
  if (t.lanes < 4) return;
  const size_t dim = static_cast<size_t>(r.m.dim);
  std::fill(t.users.begin(), t.users.end(), 0.0);
  for (size_t i = 0; i < t.lanes; ++i) {
    const double* u = r.m.user(r.rows[q0 + i]);
    for (size_t j = 0; j < dim; ++j) t.users[8 * j + i] = u[j];
  }
  for (size_t i = 0; i < t.lanes; ++i) {
    const auto& ex = t.excluded[i];
    t.cursor[i] = static_cast<size_t>(std::lower_bound(ex.begin(), ex.end(), start) - ex.begin());
  }
}

// The tile loop below with the AVX2+FMA scores inlined.
__attribute__((target("avx2,fma"))) void tile_range_avx2(const Request& r, Tile& t, uint64_t start, uint64_t end,
                                                         bool prefetch) {
  const size_t lanes = t.lanes;
  const uint64_t last = r.c.n_candidates - 1;
  const uint64_t ahead = prefetch_ahead(r.m.dim);
  const size_t dim = static_cast<size_t>(r.m.dim);
  for (size_t l = 0; l < 8; ++l) t.thr[l] = l < lanes ? t.best[l].threshold() : kInf;
  alignas(32) double sc[4][8];
  for (uint64_t p = start; p < end; p += 4) {
    if (prefetch) prefetch_group(r.m, r.c, p + ahead, last);
    const Group g = load_group(r.m, r.c, p, last);
    const uint64_t top = std::min<uint64_t>(p + 3, end - 1);
    if (!tile_scores_avx2(t.users.data(), dim, g, t.thr, sc)) {
      for (size_t l = 0; l < lanes; ++l) skip_to(t.excluded[l], t.cursor[l], top);
      continue;
    }
    for (uint64_t q = p; q <= top; ++q) {
      for (size_t l = 0; l < lanes; ++l) {
        const auto& ex = t.excluded[l];
        if (t.cursor[l] < ex.size() && ex[t.cursor[l]] == q) {
          ++t.cursor[l];
          continue;
        }
        t.nan |= std::isnan(sc[q - p][l]);
        t.best[l].push(sc[q - p][l], q);
      }
    }
    for (size_t l = 0; l < lanes; ++l) t.thr[l] = t.best[l].threshold();
  }
}

// Scores the positions [start, end) for every lane of a chunk; `prefetch` as for scan_with.
void score_range(const Request& r, Tile& t, uint64_t start, uint64_t end, bool prefetch) {
  if (t.lanes < 4) {
    for (size_t i = 0; i < t.lanes; ++i)
      t.nan |= scan_with(r.kn, r.m, r.c, r.m.user(r.rows[t.q0 + i]), t.excluded[i], t.best[i], start, end,
                         prefetch && i == 0);
    return;
  }
  if (r.kn.tile == tile_scores_avx2) return tile_range_avx2(r, t, start, end, prefetch);
  const size_t lanes = t.lanes;
  const uint64_t last = r.c.n_candidates - 1;
  const uint64_t ahead = prefetch_ahead(r.m.dim);
  for (size_t l = 0; l < 8; ++l) t.thr[l] = l < lanes ? t.best[l].threshold() : kInf;
  alignas(32) double sc[4][8];
  for (uint64_t p = start; p < end; p += 4) {
    if (prefetch) prefetch_group(r.m, r.c, p + ahead, last);
    const Group g = load_group(r.m, r.c, p, last);
    const uint64_t top = std::min<uint64_t>(p + 3, end - 1);
    if (!r.kn.tile(t.users.data(), static_cast<size_t>(r.m.dim), g, t.thr, sc)) {
      for (size_t l = 0; l < lanes; ++l) skip_to(t.excluded[l], t.cursor[l], top);
      continue;
    }
    for (uint64_t q = p; q <= top; ++q) {
      for (size_t l = 0; l < lanes; ++l) {
        const auto& ex = t.excluded[l];
        if (t.cursor[l] < ex.size() && ex[t.cursor[l]] == q) {
          ++t.cursor[l];
          continue;
        }
        t.nan |= std::isnan(sc[q - p][l]);
        t.best[l].push(sc[q - p][l], q);
      }
    }
    for (size_t l = 0; l < lanes; ++l) t.thr[l] = t.best[l].threshold();
  }
}

void drain(const Request& r, Tile& t, std::vector<Candidate>& ranked, Outputs& out) {
  for (size_t i = 0; i < t.lanes; ++i) {
    const uint64_t q = t.q0 + i;
    const double offset = r.m.offset(r.rows[q]);
    t.best[i].drain_sorted(ranked);
    write_ranked(ranked, r.k, out.positions.data() + q * r.k, out.scores.data() + q * r.k, offset);
  }
}

// The shortest candidate segment worth a piece of work of its own.
constexpr uint64_t kMinSegment = 4096;

// Positions per pass over the items: the item vectors of one pass stay in the core's
// cache while every chunk of a group is scored against them.
uint64_t item_block(uint64_t dim) {
  const uint64_t bytes = std::max<uint64_t>(dim, 1) * sizeof(double);
  return std::max<uint64_t>(64, (256 * 1024 / bytes) & ~uint64_t{3});
}

// Chunks of 8 queries; a piece of work takes a group of chunks and one segment of the
// candidates, and scores them block by block of items that stay in cache. When there are
// too few groups to occupy the pool, the candidates are cut into segments whose
// survivors are merged per query, as the split path does. Every score is computed in
// the order of its query's chunk, and without NaN scores every collector keeps the best
// under the same strict total order, so neither the grouping nor the segments change
// the result; a segmented run that offered a NaN is redone without segments.
void run_tiled(const Request& r, Outputs& out) {
  const uint64_t nq = r.rows.size();
  const uint64_t n_chunks = (nq + 7) / 8;
  const bool par = nq >= 9 && running_threads() > 1;
  const uint64_t threads = par ? running_threads() : 1;
  // Up to 8 chunks (64 queries) share each pass over the items, balanced across groups:
  // the item matrix is read from memory once per group.
  const uint64_t per_group = (n_chunks + (n_chunks + 7) / 8 - 1) / ((n_chunks + 7) / 8);
  const uint64_t n_groups = (n_chunks + per_group - 1) / per_group;
  const uint64_t block = item_block(r.m.dim);
  const uint64_t n = r.c.n_candidates;
  uint64_t n_segments = 1;
  if (par && n_groups < 4 * threads)
    n_segments = std::min((4 * threads + n_groups - 1) / n_groups, std::max<uint64_t>(n / kMinSegment, 1));
  uint64_t seg_len = (n + n_segments - 1) / n_segments;
  // Survivors of each (query, segment) when the candidates are segmented.
  std::vector<std::vector<Candidate>> kept;
  if (n_segments > 1) kept.resize(checked_len<std::vector<Candidate>>(checked_mul(nq, n_segments)));
  std::atomic<bool> nan{false};

  struct State {
    std::vector<Tile> tiles;
    std::vector<Candidate> ranked;
  };
  auto init = [&] {
    State s;
    s.tiles.reserve(per_group);
    s.ranked.reserve(static_cast<size_t>(std::min(r.k, n)));
    return s;
  };
  auto body = [&](State& s, size_t task) {
    const uint64_t g = task / n_segments, seg = task % n_segments;
    const uint64_t lo = std::min(n, seg * seg_len), hi = std::min(n, lo + seg_len);
    const uint64_t c0 = g * per_group, c1 = std::min(n_chunks, c0 + per_group);
    while (s.tiles.size() < c1 - c0) s.tiles.emplace_back(r.k, n, r.m.dim);
    for (uint64_t c = c0; c < c1; ++c) prepare(r, s.tiles[c - c0], c * 8, lo);
    for (uint64_t b = lo; b < hi; b += block) {
      const uint64_t e = std::min(hi, b + block);
      for (uint64_t c = c0; c < c1; ++c) score_range(r, s.tiles[c - c0], b, e, c == c0);
    }
    for (uint64_t c = c0; c < c1; ++c) {
      Tile& t = s.tiles[c - c0];
      if (n_segments == 1) {
        drain(r, t, s.ranked, out);
      } else {
        if (t.nan) nan.store(true, std::memory_order_relaxed);
        for (size_t i = 0; i < t.lanes; ++i) t.best[i].drain_unsorted(kept[(t.q0 + i) * n_segments + seg]);
      }
    }
  };
  auto run = [&] {
    const uint64_t n_tasks = n_groups * n_segments;
    if (par) {
      parallel::for_each_with(static_cast<size_t>(n_tasks), init, body, 1);
    } else {
      State s = init();
      for (uint64_t t = 0; t < n_tasks; ++t) body(s, t);
    }
  };
  run();
  if (n_segments == 1) return;
  if (nan.load(std::memory_order_relaxed)) {
    // Which of several NaN offers a collector keeps depends on what else it was offered;
    // only one collector per query over all the candidates gives what a single pass would.
    n_segments = 1;
    seg_len = n;
    run();
    return;
  }
  std::vector<Candidate> merged;
  for (uint64_t q = 0; q < nq; ++q) {
    merged.clear();
    for (uint64_t seg = 0; seg < n_segments; ++seg) {
      auto& part = kept[q * n_segments + seg];
      merged.insert(merged.end(), part.begin(), part.end());
    }
    ranking::sort_best_first(merged);
    write_ranked(merged, r.k, out.positions.data() + q * r.k, out.scores.data() + q * r.k, r.m.offset(r.rows[q]));
  }
}

// At most this many pieces per block of the split path.
constexpr uint64_t kSplitPieces = 8;

// The survivors of every (query, piece) when the candidates [0, n) are cut into pieces of
// `len` positions scored in parallel; `nan[q]` is set when query q may have offered a NaN.
std::vector<std::vector<Candidate>> score_pieces(const Request& r, const std::vector<std::vector<uint64_t>>& excluded,
                                                 const std::vector<const double*>& users, uint64_t len,
                                                 std::vector<uint8_t>& nan) {
  const uint64_t nq = r.rows.size(), n = r.c.n_candidates;
  const uint64_t n_pieces = (n + len - 1) / len;
  std::vector<std::vector<Candidate>> kept(checked_len<std::vector<Candidate>>(checked_mul(nq, n_pieces)));
  std::vector<std::atomic<bool>> saw(nq);
  const uint64_t sub = item_block(r.m.dim);
  parallel::for_each(
      static_cast<size_t>(n_pieces),
      [&](size_t b) {
        const uint64_t lo = b * len, hi = std::min(n, lo + len);
        std::vector<Best> best;
        best.reserve(nq);
        for (uint64_t q = 0; q < nq; ++q) best.emplace_back(r.k, hi - lo);
        // Every query takes the same cached stretch of items before the next is loaded.
        for (uint64_t s = lo; s < hi; s += sub) {
          const uint64_t e = std::min(hi, s + sub);
          for (uint64_t q = 0; q < nq; ++q)
            if (scan_with(r.kn, r.m, r.c, users[q], excluded[q], best[q], s, e, q == 0))
              saw[q].store(true, std::memory_order_relaxed);
        }
        for (uint64_t q = 0; q < nq; ++q) best[q].drain_unsorted(kept[q * n_pieces + b]);
      },
      1);
  nan.assign(nq, 0);
  for (uint64_t q = 0; q < nq; ++q) nan[q] = saw[q].load(std::memory_order_relaxed);
  return kept;
}

// A few queries over a large catalogue: the candidates are cut into blocks of kSplitBlock
// scored on the pool, each with its own collector per query, and the blocks' survivors
// are merged. When the blocks are too few to occupy the pool, each is scored in smaller
// pieces instead. Without NaN scores the collectors keep the best under a strict total
// order, so the merged pieces hold exactly what the merged blocks would; a NaN makes the
// outcome depend on which offers share a collector, so when any query offered one the
// request is scored again in whole blocks.
void run_split(const Request& r, Outputs& out) {
  const uint64_t nq = r.rows.size();
  const uint64_t n = r.c.n_candidates;
  const uint64_t n_blocks = (n + kSplitBlock - 1) / kSplitBlock;
  std::vector<std::vector<uint64_t>> excluded(nq);
  std::vector<const double*> users(nq);
  for (uint64_t q = 0; q < nq; ++q) {
    r.ex.collect(q, r.rows[q], r.c, excluded[q]);
    users[q] = r.m.user(r.rows[q]);
  }
  const uint64_t threads = running_threads();
  // Pieces of 16,384 / per_block positions; the result never depends on the choice.
  uint64_t per_block = 1;
  while (per_block < kSplitPieces && n_blocks * per_block < 4 * threads) per_block *= 2;
  std::vector<uint8_t> nan;
  auto kept = score_pieces(r, excluded, users, kSplitBlock / per_block, nan);
  uint64_t n_pieces = (n + kSplitBlock / per_block - 1) / (kSplitBlock / per_block);
  if (per_block > 1 && std::find(nan.begin(), nan.end(), 1) != nan.end()) {
    kept = score_pieces(r, excluded, users, kSplitBlock, nan);
    n_pieces = n_blocks;
  }
  std::vector<Candidate> merged;
  for (uint64_t q = 0; q < nq; ++q) {
    merged.clear();
    for (uint64_t b = 0; b < n_pieces; ++b) {
      auto& part = kept[q * n_pieces + b];
      merged.insert(merged.end(), part.begin(), part.end());
    }
    ranking::sort_best_first(merged);
    write_ranked(merged, r.k, out.positions.data() + q * r.k, out.scores.data() + q * r.k, r.m.offset(r.rows[q]));
  }
}

// Every read the scorers make without a check is covered here, once per request.
void check_model(const FactorModel& m, const CandidateSet& c) {
  QV_ASSERT(m.user_factors.size() == checked_mul(m.n_users, m.dim), "user factor shape");
  QV_ASSERT(m.item_factors.size() == checked_mul(m.n_items, m.dim), "item factor shape");
  QV_ASSERT(!m.has_item_bias || m.item_bias.size() == m.n_items, "item bias length");
  QV_ASSERT(!m.has_user_offset || m.user_offset.size() == m.n_users, "user offset length");
  if (c.has_ids) {
    QV_ASSERT(c.ids.size() == c.n_candidates, "candidate count");
    QV_ASSERT(c.ids.empty() || c.ids.back() < m.n_items, "candidate out of range");
  } else {
    QV_ASSERT(c.n_candidates <= m.n_items, "candidate count");
  }
}

}  // namespace

void scan_single(const FactorModel& model, const CandidateSet& candidates, const double* user,
                 std::span<const uint64_t> excluded, Best& best, uint64_t start, uint64_t end) {
  scan_with(pick_kernels(), model, candidates, user, excluded, best, start, end, true);
}

Result top_k_from_factors(const FactorModel& model, std::span<const uint64_t> rows, const CandidateSet& candidates,
                          const Exclusions& exclusions, uint64_t k) {
  if (auto shortfall = precheck(rows, candidates, exclusions, k)) return *shortfall;
  Outputs out = make_outputs(rows.size(), k);
  if (k == 0 || rows.empty()) return out;
  check_model(model, candidates);
  const Request r{model, rows, candidates, exclusions, k, pick_kernels()};
  if (rows.size() <= 8 && large_catalogue(candidates.n_candidates, model.dim) && running_threads() >= 2)
    run_split(r, out);
  else
    run_tiled(r, out);
  return out;
}

}  // namespace qv::recommend
