#pragma once
// The loop of bpr/trainer.hpp, compiled once per level by trainer.cpp and trainer_avx2.cpp.
#include <algorithm>
#include <atomic>
#include <cmath>
#if defined(__AVX2__)
#include <immintrin.h>
#endif

#include "bpr/bpr.hpp"
#include "bpr/trainer.hpp"
#include "core/invariant.hpp"
#include "core/isa.hpp"

namespace qv::bpr::QV_ISA_NS {

namespace {

// Workers share the working copies without locks. Every element is still read and
// written whole, through relaxed atomic accesses, so a lost update is the worst outcome
// of a collision (plain loads and stores would make it undefined behaviour).
inline double load(double& x) { return std::atomic_ref<double>(x).load(std::memory_order_relaxed); }
inline void store(double& x, double v) { std::atomic_ref<double>(x).store(v, std::memory_order_relaxed); }
#if defined(__AVX2__)
// Four neighbouring elements in one instruction. Each aligned 8-byte element of a vector
// access is still read or written whole on x86, the guarantee the relaxed atomics above
// give; asm keeps the compiler from treating these shared accesses as private ones.
inline __m256d load4(const double* p) {
  __m256d v;
  asm volatile("vmovupd %1, %0" : "=x"(v) : "m"(*reinterpret_cast<const double(*)[4]>(p)));
  return v;
}
inline void store4(double* p, __m256d v) {
  asm volatile("vmovupd %1, %0" : "=m"(*reinterpret_cast<double(*)[4]>(p)) : "x"(v));
}
#endif

// Asks for the cache lines of n values about to be written, in exclusive state, so the
// stores that follow need no second trip to the other cores holding a copy.
[[gnu::always_inline]] inline void claim(const double* row, size_t n) {
  const char* p = reinterpret_cast<const char*>(row);
  for (size_t off = 0; off < n * sizeof(double); off += 64) {
#if defined(__AVX2__)
    // Every processor with AVX2 takes prefetchw (older ones treat its encoding as a no-op);
    // the baseline build would only emit a read prefetch for the builtin.
    asm volatile("prefetchw %0" ::"m"(p[off]));
#else
    __builtin_prefetch(p + off, 1);
#endif
  }
}

template <class Index>
struct Pipeline : Trainer<Index> {
  using T = Trainer<Index>;
  using T::indptr, T::indices, T::owner, T::sample_pool, T::nnz, T::n_cols, T::n_samples, T::n_factors, T::user,
      T::item, T::item_stride, T::lr, T::reg, T::seed, T::use_bias, T::popularity;

  // One sample on its way through the pipeline below.
  struct Slot {
    uint64_t k;    // position in the sample pool (or the stored entry without a pool)
    uint64_t neg;  // stored entry of the negative (popularity draws) or the negative item
    uint64_t entry, u, i, j;
  };

  [[gnu::always_inline]] inline void stage_draw(Slot& t, uint64_t epoch, uint64_t s) const {
    const auto [r1, r2] = draws(seed, epoch, n_samples, s);
    t.k = r1 % n_samples;
    t.neg = popularity ? r2 % nnz : r2 % n_cols;
    if (sample_pool) {
      __builtin_prefetch(sample_pool + t.k);
    } else {
      __builtin_prefetch(owner + t.k);
      __builtin_prefetch(indices + t.k);
    }
    if (popularity) __builtin_prefetch(indices + t.neg);
  }
  [[gnu::always_inline]] inline void stage_entry(Slot& t) const {
    t.entry = t.k;
    if (sample_pool) {
      t.entry = sample_pool[t.k];
      __builtin_prefetch(owner + t.entry);
      __builtin_prefetch(indices + t.entry);
    }
  }
  [[gnu::always_inline]] inline double* item_row(uint64_t i) const { return item + i * item_stride; }
  [[gnu::always_inline]] inline void stage_rows(Slot& t) const {
    t.u = owner[t.entry];
    t.i = indices[t.entry];
    t.j = popularity ? indices[t.neg] : t.neg;
    __builtin_prefetch(indptr + t.u);
    // Another worker seldom wants the same user, so the row can be owned this early.
    claim(user + t.u * n_factors, n_factors);
  }
  // The item rows (bias included) are claimed only a couple of samples ahead: popular
  // items are wanted by every worker, and a row claimed long before its use has mostly
  // been taken back by then, to be fetched again at the worst moment.
  [[gnu::always_inline]] inline void stage_items(const Slot& t) const {
    claim(item_row(t.i), n_factors + 1);
    claim(item_row(t.j), n_factors + 1);
  }
  // The user's row, where the rejection search looks (its first lines).
  [[gnu::always_inline]] inline void stage_search(const Slot& t) const {
    const uint64_t b = indptr[t.u], e = indptr[t.u + 1];
    for (uint64_t p = b; p < e && p < b + 64; p += 8) __builtin_prefetch(indices + p);
  }

  // A sample whose score is known and whose update is still to be made.
  struct Sample {
    double* uu;
    double* vi;
    double* vj;
    uint64_t u, i, j;
    double z;
  };
  // Factor f of the score: the sum runs over f in ascending order, one rounding per step.
  [[gnu::always_inline]] inline double score_one(const Sample& a, size_t f, double x) const {
    return std::fma(load(a.uu[f]), load(a.vi[f]) - load(a.vj[f]), x);
  }
  // The values are read again rather than reused from the score: another worker's change
  // in between is kept.
  [[gnu::always_inline]] inline void update_one(const Sample& a, size_t f) const {
    const double z = a.z;
    const double uf = load(a.uu[f]), vi = load(a.vi[f]), vj = load(a.vj[f]);
    store(a.uu[f], std::fma(lr, std::fma(-reg, uf, z * (vi - vj)), uf));
    store(a.vi[f], std::fma(lr, std::fma(-reg, vi, z * uf), vi));
    store(a.vj[f], std::fma(lr, std::fma(-reg, vj, (-z) * uf), vj));
  }

#if defined(__AVX2__)
  // Four factors at a time: the same operations on each lane as update_one and score_one,
  // so the same bits. The score's sum stays a chain of one fma per factor; only its
  // operands are loaded and subtracted four at a time.
  static constexpr size_t kLanes = 4;
  [[gnu::always_inline]] inline double score_block(const Sample& a, size_t f, double x) const {
    alignas(32) double u[kLanes], d[kLanes];
    _mm256_store_pd(u, load4(a.uu + f));
    _mm256_store_pd(d, _mm256_sub_pd(load4(a.vi + f), load4(a.vj + f)));
    for (size_t l = 0; l < kLanes; ++l) x = std::fma(u[l], d[l], x);
    return x;
  }
  [[gnu::always_inline]] inline void update_block(const Sample& a, size_t f) const {
    const __m256d rate = _mm256_set1_pd(lr), decay = _mm256_set1_pd(-reg);
    const __m256d z = _mm256_set1_pd(a.z), neg_z = _mm256_set1_pd(-a.z);
    const __m256d uf = load4(a.uu + f), vi = load4(a.vi + f), vj = load4(a.vj + f);
    store4(a.uu + f, _mm256_fmadd_pd(rate, _mm256_fmadd_pd(decay, uf, _mm256_mul_pd(z, _mm256_sub_pd(vi, vj))), uf));
    store4(a.vi + f, _mm256_fmadd_pd(rate, _mm256_fmadd_pd(decay, vi, _mm256_mul_pd(z, uf)), vi));
    store4(a.vj + f, _mm256_fmadd_pd(rate, _mm256_fmadd_pd(decay, vj, _mm256_mul_pd(neg_z, uf)), vj));
  }
#else
  static constexpr size_t kLanes = 1;
  [[gnu::always_inline]] inline double score_block(const Sample& a, size_t f, double x) const {
    return score_one(a, f, x);
  }
  [[gnu::always_inline]] inline void update_block(const Sample& a, size_t f) const { update_one(a, f); }
#endif

  [[gnu::always_inline]] inline double score(const Sample& a) const {
    double x = use_bias ? load(a.vi[n_factors]) - load(a.vj[n_factors]) : 0.0;
    size_t f = 0;
    for (; f + kLanes <= n_factors; f += kLanes) x = score_block(a, f, x);
    for (; f < n_factors; ++f) x = score_one(a, f, x);
    return x;
  }
  [[gnu::always_inline]] inline void update(const Sample& a) const {
    size_t f = 0;
    for (; f + kLanes <= n_factors; f += kLanes) update_block(a, f);
    for (; f < n_factors; ++f) update_one(a, f);
  }
  // The held sample's update and the next sample's score in one pass over the factors,
  // for rows that do not overlap: the score's serial fma chain then runs in the shadow of
  // the update instead of after it, and the values read are the same either way.
  [[gnu::always_inline]] inline double update_and_score(const Sample& held, const Sample& next) const {
    double x = use_bias ? load(next.vi[n_factors]) - load(next.vj[n_factors]) : 0.0;
    size_t f = 0;
    for (; f + kLanes <= n_factors; f += kLanes) {
      update_block(held, f);
      x = score_block(next, f, x);
    }
    for (; f < n_factors; ++f) {
      update_one(held, f);
      x = score_one(next, f, x);
    }
    return x;
  }

  [[gnu::always_inline]] inline void finish(const Sample& a, Counts& counts) const {
    if (use_bias) {
      const double bi = load(a.vi[n_factors]), bj = load(a.vj[n_factors]);
      store(a.vi[n_factors], std::fma(lr, std::fma(-reg, bi, a.z), bi));
      store(a.vj[n_factors], std::fma(lr, std::fma(-reg, bj, -a.z), bj));
    }
    if (a.z < 0.5) ++counts.correct;
  }

  [[gnu::always_inline]] inline void run(uint64_t epoch, size_t lo, size_t hi, Counts& counts) const {
    // Random rows dominate the cost, and a sample's rows follow from its counter alone, so
    // each sample goes through a pipeline while earlier ones train: its draws kDraw steps
    // ahead, its stored entry kEntry steps ahead, its user row kRows steps ahead, its
    // user's row of items kSearch steps ahead and its item rows kItems steps ahead. Every
    // stage prefetches what the next one reads.
    constexpr size_t kDraw = 24, kEntry = 16, kRows = 8, kSearch = 4, kItems = 2, kRing = 32;
    static_assert(kDraw < kRing && kEntry < kDraw && kRows < kEntry && kSearch < kRows && kItems < kSearch);
    Slot ring[kRing];
    for (size_t s = lo; s < hi && s < lo + kDraw; ++s) stage_draw(ring[s % kRing], epoch, s);
    for (size_t s = lo; s < hi && s < lo + kEntry; ++s) stage_entry(ring[s % kRing]);
    for (size_t s = lo; s < hi && s < lo + kRows; ++s) stage_rows(ring[s % kRing]);
    for (size_t s = lo; s < hi && s < lo + kSearch; ++s) stage_search(ring[s % kRing]);
    for (size_t s = lo; s < hi && s < lo + kItems; ++s) stage_items(ring[s % kRing]);
    const size_t F = n_factors;
    double* const U = user;
    Sample held{};
    bool active = false;
    for (size_t s = lo; s < hi; ++s) {
      if (s + kDraw < hi) stage_draw(ring[(s + kDraw) % kRing], epoch, s + kDraw);
      if (s + kEntry < hi) stage_entry(ring[(s + kEntry) % kRing]);
      if (s + kRows < hi) stage_rows(ring[(s + kRows) % kRing]);
      if (s + kSearch < hi) stage_search(ring[(s + kSearch) % kRing]);
      if (s + kItems < hi) stage_items(ring[(s + kItems) % kRing]);
      const Slot& d = ring[s % kRing];
      const uint64_t u = d.u, i = d.i, j = d.j;
      QV_ASSERT(j <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()), "item index fits i64");
      // Rows ascend strictly, so a binary search rejects every known item, i included.
      if (std::binary_search(indices + indptr[u], indices + indptr[u + 1], j)) {
        ++counts.skipped;
        continue;
      }
      Sample next{U + u * F, item_row(i), item_row(j), u, i, j, 0.0};
      // Its rows are written one step from now: claim them again in case another worker
      // took one since its stage.
      claim(next.uu, F);
      claim(next.vi, F + 1);
      claim(next.vj, F + 1);
      double x;
      if (!active) {
        x = score(next);
      } else if (held.u != u && held.i != i && held.i != j && held.j != i && held.j != j) {
        x = update_and_score(held, next);
        finish(held, counts);
      } else {
        update(held);
        finish(held, counts);
        x = score(next);
      }
      next.z = 1.0 / (std::exp(x) + 1.0);
      held = next;
      active = true;
    }
    if (active) {
      update(held);
      finish(held, counts);
    }
  }
};

// A local copy of the trainer: the factor stores cannot alias it, so its fields stay in
// registers.
template <class Index>
void run_piece(const Trainer<Index>& t, uint64_t epoch, size_t lo, size_t hi, Counts& c) {
  const Pipeline<Index> local{t};
  local.run(epoch, lo, hi, c);
}

}  // namespace

void run(const Trainer<uint32_t>& t, uint64_t epoch, size_t lo, size_t hi, Counts& c) {
  run_piece(t, epoch, lo, hi, c);
}
void run(const Trainer<uint64_t>& t, uint64_t epoch, size_t lo, size_t hi, Counts& c) {
  run_piece(t, epoch, lo, hi, c);
}

}  // namespace qv::bpr::QV_ISA_NS
