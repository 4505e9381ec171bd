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

// Refuses a buffer larger than the machine's physical memory before any of it is
// touched: such a request could only end with the process killed, never with a result.
void require_memory(uint64_t bytes);

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

// A dense scatter target over n columns whose storage is zero pages until touched, so an
// accumulator over a huge column count costs only what a row actually reaches.
class Scatter {
 public:
  explicit Scatter(uint64_t n)
      : values_(zeroed<double>(n)), flags_(zeroed<uint8_t>(n)), touched_(zeroed<uint64_t>(n)), n_(n) {}

  void add(uint64_t j, double x) { add_run(&j, 0, 1, x); }

  // values[cols[p]] += x for p in [s, e), in that order.
  template <class Idx>
  void add_run(const Idx* cols, size_t s, size_t e, double x) {
    add_each(cols, s, e, [x](size_t) { return x; });
  }

  // values[cols[p]] += x * data[p] (the product rounded, then added) for p in [s, e).
  template <class Idx>
  void add_products(const Idx* cols, const double* data, size_t s, size_t e, double x) {
    add_each(cols, s, e, [x, data](size_t p) { return x * data[p]; });
  }

  // values[cols[p]] += data[p] for p in [s, e).
  template <class Idx>
  void add_values(const Idx* cols, const double* data, size_t s, size_t e) {
    add_each(cols, s, e, [data](size_t p) { return data[p]; });
  }

  double value(uint64_t j) const { return values_[j]; }
  // The touched columns in first-touch order.
  std::span<const uint64_t> touched() const { return {touched_.get(), count_}; }
  uint64_t size() const { return n_; }
  void reset() {
    for (uint64_t j : touched()) {
      values_[j] = 0.0;
      flags_[j] = 0;
    }
    count_ = 0;
  }

 private:
  // values[cols[p]] += term(p) for p in [s, e), recording first touches without a branch.
  template <class Idx, class Term>
  void add_each(const Idx* cols, size_t s, size_t e, Term term) {
    double* values = values_.get();
    uint8_t* flags = flags_.get();
    uint64_t* touched = touched_.get();
    size_t count = count_;
    for (size_t p = s; p < e; ++p) {
      const uint64_t j = cols[p];
      values[j] = values[j] + term(p);
      touched[count] = j;  // kept only when j was untouched
      count += flags[j] ^ 1;
      flags[j] = 1;
    }
    count_ = count;
  }

  struct Free {
    void operator()(void* p) const { std::free(p); }
  };
  template <class T>
  static std::unique_ptr<T[], Free> zeroed(uint64_t n) {
    // One spare slot: the branch-free append writes one past the last touched column.
    void* p = std::calloc(checked_add(checked_len<T>(n), 1), sizeof(T));
    if (!p) throw std::bad_alloc();
    return std::unique_ptr<T[], Free>(static_cast<T*>(p));
  }

  std::unique_ptr<double[], Free> values_;
  std::unique_ptr<uint8_t[], Free> flags_;
  std::unique_ptr<uint64_t[], Free> touched_;
  uint64_t n_;
  size_t count_ = 0;
};

}  // namespace qv::sparse
