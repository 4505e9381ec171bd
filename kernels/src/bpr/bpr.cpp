#include "bpr/bpr.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include <type_traits>

#include <sys/mman.h>

#include "core/invariant.hpp"
#include "parallel/pool.hpp"

namespace qv::bpr {

namespace {

// Workers share the working copies without locks. Every element is still read and
// written whole, through relaxed atomic accesses, so a lost update is the worst outcome
// of a collision (plain loads and stores would make it undefined behaviour).
inline double load(double& x) { return std::atomic_ref<double>(x).load(std::memory_order_relaxed); }
inline void store(double& x, double v) { std::atomic_ref<double>(x).store(v, std::memory_order_relaxed); }

// A buffer for rows that are read at random: on 2 MiB pages where the system grants
// them, so that most row accesses find their page in the TLB.
template <class T>
class RandomAccessBuffer {
 public:
  explicit RandomAccessBuffer(size_t n) : n_(n) {
    constexpr size_t kHuge = size_t{1} << 21;
    const size_t bytes = checked_mul(checked_len<T>(n), sizeof(T));
    if (bytes == 0) return;
    const size_t rounded = (bytes + kHuge - 1) / kHuge * kHuge;
    void* p = bytes >= kHuge ? std::aligned_alloc(kHuge, rounded) : std::malloc(bytes);
    if (!p) throw std::bad_alloc();
    if (bytes >= kHuge) madvise(p, rounded, MADV_HUGEPAGE);  // advice only; failure is harmless
    data_.reset(static_cast<T*>(p));
  }
  T* data() const { return data_.get(); }
  size_t size() const { return n_; }

 private:
  struct Free {
    void operator()(T* p) const { std::free(p); }
  };
  std::unique_ptr<T, Free> data_;
  size_t n_;
};

struct Counts {
  uint64_t correct = 0;
  uint64_t skipped = 0;
};

// Index is the width of the item and owner copies: 32 bits whenever every user and item
// number fits, which halves the bytes the random entry lookups and searches touch.
template <class Index>
struct Trainer {
  const uint64_t* indptr;
  const Index* indices;
  const Index* owner;
  const uint64_t* sample_pool;  // null: every stored entry is a positive
  uint64_t nnz;
  uint64_t n_cols;
  uint64_t n_samples;
  size_t n_factors;
  double* user;
  double* item;
  double* bias;
  double lr;
  double reg;
  uint64_t seed;
  bool use_bias;
  bool popularity;

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
  [[gnu::always_inline]] inline void stage_rows(Slot& t) const {
    t.u = owner[t.entry];
    t.i = indices[t.entry];
    t.j = popularity ? indices[t.neg] : t.neg;
    __builtin_prefetch(indptr + t.u);
    const size_t row_bytes = n_factors * sizeof(double);
    for (size_t off = 0; off < row_bytes; off += 64) {
      __builtin_prefetch(reinterpret_cast<const char*>(user + t.u * n_factors) + off, 1);
      __builtin_prefetch(reinterpret_cast<const char*>(item + t.i * n_factors) + off, 1);
      __builtin_prefetch(reinterpret_cast<const char*>(item + t.j * n_factors) + off, 1);
    }
    if (use_bias) {
      __builtin_prefetch(bias + t.i, 1);
      __builtin_prefetch(bias + t.j, 1);
    }
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
  [[gnu::always_inline]] inline double score(const Sample& a) const {
    double x = use_bias ? load(bias[a.i]) - load(bias[a.j]) : 0.0;
    for (size_t f = 0; f < n_factors; ++f) x = std::fma(load(a.uu[f]), load(a.vi[f]) - load(a.vj[f]), x);
    return x;
  }

  // The values are read again rather than reused from the score: another worker's change
  // in between is kept.
  [[gnu::always_inline]] inline void update_factor(const Sample& a, size_t f) const {
    const double z = a.z;
    const double uf = load(a.uu[f]), vi = load(a.vi[f]), vj = load(a.vj[f]);
    store(a.uu[f], std::fma(lr, std::fma(-reg, uf, z * (vi - vj)), uf));
    store(a.vi[f], std::fma(lr, std::fma(-reg, vi, z * uf), vi));
    store(a.vj[f], std::fma(lr, std::fma(-reg, vj, (-z) * uf), vj));
  }

  [[gnu::always_inline]] inline void finish(const Sample& a, Counts& counts) const {
    if (use_bias) {
      const double bi = load(bias[a.i]), bj = load(bias[a.j]);
      store(bias[a.i], std::fma(lr, std::fma(-reg, bi, a.z), bi));
      store(bias[a.j], std::fma(lr, std::fma(-reg, bj, -a.z), bj));
    }
    if (a.z < 0.5) ++counts.correct;
  }

  [[gnu::always_inline]] inline void run(uint64_t epoch, size_t lo, size_t hi, Counts& counts) const {
    // Random rows dominate the cost, and a sample's rows follow from its counter alone, so
    // each sample goes through a pipeline while earlier ones train: its draws kDraw steps
    // ahead, its stored entry kEntry steps ahead, its three factor rows kRows steps ahead
    // and its user's row of items kSearch steps ahead. Every stage prefetches what the
    // next one reads.
    constexpr size_t kDraw = 24, kEntry = 16, kRows = 8, kSearch = 4, kRing = 32;
    static_assert(kDraw < kRing && kEntry < kDraw && kRows < kEntry && kSearch < kRows);
    Slot ring[kRing];
    for (size_t s = lo; s < hi && s < lo + kDraw; ++s) stage_draw(ring[s % kRing], epoch, s);
    for (size_t s = lo; s < hi && s < lo + kEntry; ++s) stage_entry(ring[s % kRing]);
    for (size_t s = lo; s < hi && s < lo + kRows; ++s) stage_rows(ring[s % kRing]);
    for (size_t s = lo; s < hi && s < lo + kSearch; ++s) stage_search(ring[s % kRing]);
    const size_t F = n_factors;
    double* const U = user;
    double* const V = item;
    double* const B = bias;
    const bool with_bias = use_bias;
    Sample held{};
    bool active = false;
    for (size_t s = lo; s < hi; ++s) {
      if (s + kDraw < hi) stage_draw(ring[(s + kDraw) % kRing], epoch, s + kDraw);
      if (s + kEntry < hi) stage_entry(ring[(s + kEntry) % kRing]);
      if (s + kRows < hi) stage_rows(ring[(s + kRows) % kRing]);
      if (s + kSearch < hi) stage_search(ring[(s + kSearch) % kRing]);
      const Slot& d = ring[s % kRing];
      const uint64_t u = d.u, i = d.i, j = d.j;
      QV_ASSERT(j <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()), "item index fits i64");
      // Rows ascend strictly, so a binary search rejects every known item, i included.
      if (std::binary_search(indices + indptr[u], indices + indptr[u + 1], j)) {
        ++counts.skipped;
        continue;
      }
      Sample next{U + u * F, V + i * F, V + j * F, u, i, j, 0.0};
      double x;
      if (!active) {
        x = score(next);
      } else if (held.u != u && held.i != i && held.i != j && held.j != i && held.j != j) {
        // The held sample's update and this sample's score touch different rows, so they
        // can share one pass: the score's serial fma chain then runs in the shadow of the
        // update instead of after it, and the values read are the same either way.
        x = with_bias ? load(B[i]) - load(B[j]) : 0.0;
        for (size_t f = 0; f < F; ++f) {
          update_factor(held, f);
          x = std::fma(load(next.uu[f]), load(next.vi[f]) - load(next.vj[f]), x);
        }
        finish(held, counts);
      } else {
        for (size_t f = 0; f < F; ++f) update_factor(held, f);
        finish(held, counts);
        x = score(next);
      }
      next.z = 1.0 / (std::exp(x) + 1.0);
      held = next;
      active = true;
    }
    if (active) {
      for (size_t f = 0; f < F; ++f) update_factor(held, f);
      finish(held, counts);
    }
  }
};

// The same code twice: the build targets baseline x86-64, where every fma is a library
// call; on a processor with FMA the hardware instruction gives the same bits far faster.
// A local copy of the trainer: the factor stores cannot alias it, so its fields stay in
// registers.
template <class Index>
[[gnu::target("avx2,fma")]] void run_fma(const Trainer<Index>& t, uint64_t epoch, size_t lo, size_t hi, Counts& c) {
  const Trainer<Index> local = t;
  local.run(epoch, lo, hi, c);
}
template <class Index>
void run_base(const Trainer<Index>& t, uint64_t epoch, size_t lo, size_t hi, Counts& c) {
  const Trainer<Index> local = t;
  local.run(epoch, lo, hi, c);
}

bool has_fma() {
  static const bool yes = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return yes;
}

// The start of piece k of n cut into `pieces` near-equal contiguous pieces.
size_t bound(uint64_t n, size_t k, size_t pieces) {
  return static_cast<size_t>(static_cast<unsigned __int128>(n) * k / pieces);
}

}  // namespace

std::vector<double> fit(const sparse::CsrView& m, std::optional<std::span<const uint64_t>> sample_pool,
                        std::span<double> user_factors, std::span<double> item_factors,
                        std::span<double> item_bias, const BprParams& p) {
  const uint64_t nnz = m.indices.size();
  const size_t F = static_cast<size_t>(p.n_factors);
  QV_ASSERT(m.indptr.size() == m.n_rows + 1 && m.indptr.back() == nnz, "interaction index pointer");
  QV_ASSERT(user_factors.size() == checked_mul(m.n_rows, F), "user factor shape");
  QV_ASSERT(item_factors.size() == checked_mul(m.n_cols, F), "item factor shape");
  QV_ASSERT(item_bias.size() == m.n_cols, "item bias length");

  std::vector<double> shares;
  shares.reserve(checked_len<double>(p.n_iter));
  if (p.n_iter == 0) return shares;

  const uint64_t n_samples = sample_pool ? sample_pool->size() : nnz;
  if (sample_pool)
    for (uint64_t e : *sample_pool) QV_ASSERT(e < nnz, "sample pool offset out of range");

  RandomAccessBuffer<double> user(user_factors.size()), item(item_factors.size()), bias(item_bias.size());
  std::copy(user_factors.begin(), user_factors.end(), user.data());
  std::copy(item_factors.begin(), item_factors.end(), item.data());
  std::copy(item_bias.begin(), item_bias.end(), bias.data());

  // Pieces of at least 256 samples (so one piece below 512), about eight per thread.
  const size_t n_pieces =
      std::max<size_t>(1, std::min<size_t>(8 * parallel::current_threads(), n_samples / 256));
  auto train = [&](const auto& t) {
    auto* run = has_fma() ? run_fma<typename std::remove_cvref_t<decltype(*t.owner)>>
                          : run_base<typename std::remove_cvref_t<decltype(*t.owner)>>;
    for (uint64_t epoch = 0; epoch < p.n_iter; ++epoch) {
      std::atomic<uint64_t> correct{0}, skipped{0};
      parallel::for_each(n_pieces, [&](size_t k) {
        Counts c;
        const size_t lo = bound(n_samples, k, n_pieces), hi = bound(n_samples, k + 1, n_pieces);
        run(t, epoch, lo, hi, c);
        correct.fetch_add(c.correct, std::memory_order_relaxed);
        skipped.fetch_add(c.skipped, std::memory_order_relaxed);
      }, 1);
      const uint64_t sk = skipped.load(), co = correct.load();
      shares.push_back(sk == n_samples ? 0.0 : static_cast<double>(co) / static_cast<double>(n_samples - sk));
    }
  };
  auto trainer = [&](const auto* indices, const auto* owner) {
    using Index = std::remove_cvref_t<decltype(*owner)>;
    return Trainer<Index>{m.indptr.data(), indices, owner, sample_pool ? sample_pool->data() : nullptr,
                          nnz, m.n_cols, n_samples, F, user.data(), item.data(), bias.data(),
                          p.learning_rate, p.regularization, p.seed, p.use_bias, p.popularity_negatives};
  };
  constexpr uint64_t kNarrow = std::numeric_limits<uint32_t>::max();
  if (m.n_rows <= kNarrow && m.n_cols <= kNarrow) {
    RandomAccessBuffer<uint32_t> owner(nnz), items(nnz);
    for (uint64_t r = 0; r < m.n_rows; ++r)
      for (uint64_t e = m.indptr[r]; e < m.indptr[r + 1]; ++e) owner.data()[e] = static_cast<uint32_t>(r);
    sparse::copy_columns(m, items.data());
    train(trainer(items.data(), owner.data()));
  } else {
    RandomAccessBuffer<uint64_t> owner(nnz), items(nnz);
    for (uint64_t r = 0; r < m.n_rows; ++r)
      for (uint64_t e = m.indptr[r]; e < m.indptr[r + 1]; ++e) owner.data()[e] = r;
    sparse::copy_columns(m, items.data());
    train(trainer(items.data(), owner.data()));
  }

  std::copy(user.data(), user.data() + user.size(), user_factors.begin());
  std::copy(item.data(), item.data() + item.size(), item_factors.begin());
  std::copy(bias.data(), bias.data() + bias.size(), item_bias.begin());
  return shares;
}

}  // namespace qv::bpr
