#pragma once
// The shared first step of the item-item row functions: scatter, for item i, the rows of
// the users that hold it into a dense accumulator, users ascending, each row in stored
// order. Sums start at +0.0 and every addition rounds on its own.
#include <algorithm>
#include <cstdint>
#include <numeric>
#include <optional>
#include <span>
#include <vector>

#include "sparse/columns.hpp"

namespace qv::knn {

class Walk {
 public:
  // Which accumulator slot an item's sums go to. By popularity, slot 0 is the item the
  // most users hold, and so on: the columns most rows reach then share cache lines
  // instead of spreading over the whole accumulator. Sums and first-touch order are the
  // same either way; item() names the item of a slot. A column count beyond the stored
  // entries keeps slots = items, so the accumulator still costs only what rows reach.
  enum class Slots { items, by_popularity };

  explicit Walk(const sparse::CsrView& w, Slots slots = Slots::items)
      : w_(w), columns_(w), users_(w, columns_), constant_(sparse::constant_rows(w)) {
    if (slots == Slots::by_popularity && w.n_cols <= w.indices.size()) order_by_popularity();
  }

  uint64_t item(uint64_t slot) const { return item_of_.empty() ? slot : item_of_[slot]; }
  // The item of every slot, or null when slots are items.
  const uint64_t* items() const { return item_of_.empty() ? nullptr : item_of_.data(); }

  // Adds w_ui * w_uj (the product rounded, then added) to the slot of item j.
  void products(uint64_t i, sparse::Accumulator& acc) const {
    using Track = sparse::Accumulator::Track;
    with_columns([&](const auto* cols) {
      auto scatter = [&]<Track T>(const sparse::ColumnIndex::Ref& ref, size_t s, size_t e) {
        const double w_ui = w_.data[ref.pos];
        if (constant_[ref.row]) acc.add_run<T>(cols, s, e, w_ui * w_.data[s]);
        else acc.add_products<T>(cols, w_.data.data(), s, e, w_ui);
      };
      // A user's share of new columns predicts the next user's: a popular item's walk
      // soon reaches columns that are nearly all touched, where a rarely taken branch is
      // cheaper than bookkeeping on every addition.
      bool rare = false;
      walk(i, cols, [&](const sparse::ColumnIndex::Ref& ref, size_t s, size_t e) {
        const size_t before = acc.touched().size();
        if (rare) scatter.template operator()<Track::rare>(ref, s, e);
        else scatter.template operator()<Track::each>(ref, s, e);
        rare = (acc.touched().size() - before) * 16 < e - s;
      });
    });
  }

  // Adds w_uj to column j: only which users hold item i matters, not their value at i.
  void sums(uint64_t i, sparse::Accumulator& acc) const {
    with_columns([&](const auto* cols) {
      walk(i, cols, [&](const sparse::ColumnIndex::Ref& ref, size_t s, size_t e) {
        if (constant_[ref.row]) acc.add_run(cols, s, e, w_.data[s]);
        else acc.add_values(cols, w_.data.data(), s, e);
      });
    });
  }

  const sparse::CsrView& matrix() const { return w_; }

 private:
  // Calls f(ref, begin, end) for the users of item i in order. The next users' rows start
  // at unpredictable places, so their index pointer and value are fetched a few users
  // ahead, and then the head of their row: a typical row is a few hundred bytes, over
  // before the hardware's stream detection would have fetched it.
  template <class Idx, class F>
  void walk(uint64_t i, const Idx* cols, F&& f) const {
    const auto users = users_.column(i);
    const uint64_t* indptr = w_.indptr.data();
    const size_t n = users.size();
    constexpr size_t kFar = 8, kNear = 4, kHead = 128;
    for (size_t q = 0; q < n; ++q) {
      if (q + kFar < n) {
        __builtin_prefetch(indptr + users[q + kFar].row);
        __builtin_prefetch(w_.data.data() + users[q + kFar].pos);
      }
      if (q + kNear < n) {
        const uint64_t r = users[q + kNear].row;
        const size_t s = indptr[r], e = std::min<size_t>(indptr[r + 1], s + kHead);
        for (size_t p = s; p < e; p += 64 / sizeof(Idx)) __builtin_prefetch(cols + p);
        const size_t e_data = constant_[r] ? s + 1 : e;
        for (size_t p = s; p < e_data; p += 8) __builtin_prefetch(w_.data.data() + p);
      }
      const auto& ref = users[q];
      f(ref, indptr[ref.row], indptr[ref.row + 1]);
    }
  }

  template <class F>
  void with_columns(F&& f) const {
    columns_.visit(f);
  }

  void order_by_popularity() {
    const uint64_t n = w_.n_cols;
    std::vector<uint64_t> holders(n);
    for (uint64_t j = 0; j < n; ++j) holders[j] = users_.column(j).size();
    item_of_.resize(n);
    std::iota(item_of_.begin(), item_of_.end(), uint64_t{0});
    std::stable_sort(item_of_.begin(), item_of_.end(),
                     [&](uint64_t a, uint64_t b) { return holders[a] > holders[b]; });
    std::vector<uint64_t>& slot_of = holders;  // reused: the counts are no longer needed
    for (uint64_t s = 0; s < n; ++s) slot_of[item_of_[s]] = s;
    columns_.remap(slot_of);
  }

  const sparse::CsrView& w_;
  sparse::ColumnCopy columns_;
  sparse::ColumnIndex users_;
  std::vector<uint8_t> constant_;
  std::vector<uint64_t> item_of_;  // by slot; empty when slots are items
};

// Output rows for every item, or for the given items, with about 16 bytes per row of
// bookkeeping that must fit before any work starts. A popular item's row costs thousands
// of times a rare one's, so the rows go out in many small blocks: a worker that drew
// heavy ones is not left finishing alone.
template <class Init, class Fill>
sparse::CsrOwned build_rows(uint64_t n_cols, std::optional<std::span<const uint64_t>> rows, Init&& init,
                            Fill&& fill) {
  const uint64_t n_out = rows ? rows->size() : n_cols;
  require_allocatable(static_cast<unsigned __int128>(n_out) + 1, 16, "n_cols", n_cols, "row bookkeeping");
  constexpr size_t kBlocksPerThread = 32;
  if (rows) return sparse::CsrOwned::build_rows(*rows, init, fill, kBlocksPerThread);
  return sparse::CsrOwned::build(n_cols, init, fill, kBlocksPerThread);
}

}  // namespace qv::knn
