#pragma once
// The shared first step of the item-item row functions: scatter, for item i, the rows of
// the users that hold it into a dense accumulator, users ascending, each row in stored
// order. Sums start at +0.0 and every addition rounds on its own.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "sparse/columns.hpp"

namespace qv::knn {

class Walk {
 public:
  explicit Walk(const sparse::CsrView& w)
      : w_(w), columns_(w), users_(w, columns_), constant_(sparse::constant_rows(w)) {}

  // Adds w_ui * w_uj (the product rounded, then added) to column j.
  void products(uint64_t i, sparse::Accumulator& acc) const {
    with_columns([&](const auto* cols) {
      walk(i, cols, [&](const sparse::ColumnIndex::Ref& ref, size_t s, size_t e) {
        const double w_ui = w_.data[ref.pos];
        if (constant_[ref.row]) acc.add_run(cols, s, e, w_ui * w_.data[s]);
        else acc.add_products(cols, w_.data.data(), s, e, w_ui);
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
  // at unpredictable places, so their index pointer, value and first columns are fetched
  // a few users ahead.
  template <class Idx, class F>
  void walk(uint64_t i, const Idx* cols, F&& f) const {
    const auto users = users_.column(i);
    const uint64_t* indptr = w_.indptr.data();
    const size_t n = users.size();
    constexpr size_t kFar = 8, kNear = 4;
    for (size_t q = 0; q < n; ++q) {
      if (q + kFar < n) {
        __builtin_prefetch(indptr + users[q + kFar].row);
        __builtin_prefetch(w_.data.data() + users[q + kFar].pos);
      }
      if (q + kNear < n) {
        const size_t s = indptr[users[q + kNear].row];
        __builtin_prefetch(cols + s);
        __builtin_prefetch(w_.data.data() + s);
      }
      const auto& ref = users[q];
      f(ref, indptr[ref.row], indptr[ref.row + 1]);
    }
  }

  template <class F>
  void with_columns(F&& f) const {
    columns_.visit(f);
  }

  const sparse::CsrView& w_;
  sparse::ColumnCopy columns_;
  sparse::ColumnIndex users_;
  std::vector<uint8_t> constant_;
};

// Output rows for every item, or for the given items, with about 16 bytes per row of
// bookkeeping that must fit before any work starts.
template <class Init, class Fill>
sparse::CsrOwned build_rows(uint64_t n_cols, std::optional<std::span<const uint64_t>> rows, Init&& init,
                            Fill&& fill) {
  const uint64_t n_out = rows ? rows->size() : n_cols;
  require_allocatable(static_cast<unsigned __int128>(n_out) + 1, 16, "n_cols", n_cols, "row bookkeeping");
  if (rows) return sparse::CsrOwned::build_rows(*rows, init, fill);
  return sparse::CsrOwned::build(n_cols, init, fill);
}

}  // namespace qv::knn
