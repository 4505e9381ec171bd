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

// The columns of a caller's matrix copied once and checked (`copy_columns`), as 32-bit
// values when n_cols allows: the item-item kernels read every column several times, and
// only their own copy cannot change between two reads.
class ColumnCopy {
 public:
  explicit ColumnCopy(const CsrView& m);

  // f(const uint32_t*) or f(const uint64_t*), whichever width the copy has.
  template <class F>
  decltype(auto) visit(F&& f) const {
    if (narrow_) return f(static_cast<const uint32_t*>(narrow_.get()));
    return f(static_cast<const uint64_t*>(wide_.get()));
  }
  // The 32-bit copy, or null when n_cols does not fit.
  const uint32_t* narrow() const { return narrow_.get(); }

  // Replaces every column c by slot[c], on the current pool; `slot` maps [0, n_cols)
  // into itself.
  void remap(std::span<const uint64_t> slot);

 private:
  std::unique_ptr<uint32_t[]> narrow_;
  std::unique_ptr<uint64_t[]> wide_;
  size_t size_ = 0;
};

// For every column, its stored entries as (row, position) pairs: rows ascending, and a
// row that repeats the column keeps its storage order (the order of a counting
// transpose). A column count far beyond the stored entries costs nothing per column.
class ColumnIndex {
 public:
  struct Ref {
    uint64_t row;
    uint64_t pos;
  };

  // The columns are read from `cols`, the checked copy of m's.
  ColumnIndex(const CsrView& m, const ColumnCopy& cols);

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
  template <class Idx>
  void build(const CsrView& m, const Idx* cols);

  uint64_t n_cols_ = 0;
  bool sparse_ = false;
  std::vector<uint64_t> ptr_;      // offsets per column (or per present column), plus one
  std::vector<uint64_t> present_;  // when sparse: the columns that hold entries, ascending
  std::unique_ptr<Ref[]> refs_;  // not value-initialised: the parallel fill touches it first
};

// 1 for a non-empty row whose stored values are all the same bits: such a row's products
// with one factor are all the same product, so it can be computed once.
std::vector<uint8_t> constant_rows(const CsrView& m);


}  // namespace qv::sparse
