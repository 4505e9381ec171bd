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

#include "bpr/trainer.hpp"
#include "core/invariant.hpp"
#include "core/isa.hpp"
#include "parallel/pool.hpp"

namespace qv::bpr {

namespace {

constexpr size_t kLine = 64;

// A buffer for rows that are read at random: on 2 MiB pages where the system grants
// them, so that most row accesses find their page in the TLB, and on a cache line
// boundary in any case.
template <class T>
class RandomAccessBuffer {
 public:
  explicit RandomAccessBuffer(size_t n) : n_(n) {
    constexpr size_t kHuge = size_t{1} << 21;
    const size_t bytes = checked_mul(checked_len<T>(n), sizeof(T));
    if (bytes == 0) return;
    const size_t align = bytes >= kHuge ? kHuge : kLine;
    const size_t rounded = (bytes + align - 1) / align * align;
    void* p = std::aligned_alloc(align, rounded);
    if (!p) allocation_failed("a working copy of the factors or interactions", n, sizeof(T));
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
  require_allocatable(p.n_iter, sizeof(double), "n_iter", p.n_iter, "one statistic per epoch");
  reserve_as("one statistic per epoch", shares, p.n_iter);
  if (p.n_iter == 0) return shares;

  const uint64_t n_samples = sample_pool ? sample_pool->size() : nnz;
  if (sample_pool)
    for (uint64_t e : *sample_pool) QV_ASSERT(e < nnz, "sample pool offset out of range");

  // Popular items are updated by every worker in turn, so each update moves the item's
  // lines between cores. The working copy gives every item whole cache lines of its own,
  // with its bias after its factors: no two items share a line, and the bias moves with
  // the row it is updated beside rather than on a line that eight other items write too.
  constexpr size_t kPerLine = kLine / sizeof(double);
  const size_t item_stride = checked_add(F, kPerLine) / kPerLine * kPerLine;  // F + 1 values in whole lines
  RandomAccessBuffer<double> user(user_factors.size()), item(checked_mul(m.n_cols, item_stride));
  std::copy(user_factors.begin(), user_factors.end(), user.data());
  for (size_t r = 0; r < m.n_cols; ++r) {
    double* row = item.data() + r * item_stride;
    std::copy_n(item_factors.begin() + r * F, F, row);
    row[F] = item_bias[r];
  }

  // Pieces of at least 256 samples (so one piece below 512), about eight per thread.
  const size_t n_pieces =
      std::max<size_t>(1, std::min<size_t>(8 * parallel::current_threads(), n_samples / 256));
  auto train = [&](const auto& t) {
    using Index = std::remove_cvref_t<decltype(*t.owner)>;
    using Run = void (*)(const Trainer<Index>&, uint64_t, size_t, size_t, Counts&);
    const Run run = QV_ISA_PICK(static_cast<Run>(portable::run), static_cast<Run>(avx2::run));
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
                          nnz, m.n_cols, n_samples, F, user.data(), item.data(), item_stride,
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
  for (size_t r = 0; r < m.n_cols; ++r) {
    const double* row = item.data() + r * item_stride;
    std::copy_n(row, F, item_factors.begin() + r * F);
    item_bias[r] = row[F];
  }
  return shares;
}

}  // namespace qv::bpr
