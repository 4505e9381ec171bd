#pragma once
// What the item-item kernels need of a users x items matrix besides the matrix itself:
// for every item the stored entries that hold it, the columns as 32-bit indices when
// they fit, and which user rows store one value throughout. All are built in parallel on
// the current pool.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "sparse/sparse.hpp"

namespace qv::sparse {

// For every column, its stored entries as (row, position) pairs: rows ascending, and a
// row that repeats the column keeps its storage order (the order of a counting
// transpose). A column count far beyond the stored entries costs nothing per column.
class ColumnIndex {
 public:
  struct Ref {
    uint64_t row;
    uint64_t pos;
  };

  explicit ColumnIndex(const CsrView& m);

  std::span<const Ref> column(uint64_t j) const {
    QV_ASSERT(j < n_cols_, "column out of range");
    size_t slot = j;
    if (sparse_) {
      slot = locate(j);
      if (slot == SIZE_MAX) return {};
    }
    return {refs_.get() + ptr_[slot], refs_.get() + ptr_[slot + 1]};
  }

 private:
  size_t locate(uint64_t j) const;

  uint64_t n_cols_ = 0;
  bool sparse_ = false;
  std::vector<uint64_t> ptr_;      // offsets per column (or per present column), plus one
  std::vector<uint64_t> present_;  // when sparse: the columns that hold entries, ascending
  std::unique_ptr<Ref[]> refs_;  // not value-initialised: the parallel fill touches it first
};

// 1 for a non-empty row whose stored values are all the same bits: such a row's products
// with one factor are all the same product, so it can be computed once.
std::vector<uint8_t> constant_rows(const CsrView& m);

// The column indices as 32-bit values; null when n_cols does not fit.
std::unique_ptr<uint32_t[]> narrow_columns(const CsrView& m);

}  // namespace qv::sparse
