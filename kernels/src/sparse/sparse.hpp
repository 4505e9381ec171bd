#pragma once
// Sparse matrix types shared by every sparse kernel, and the row-parallel CSR builder.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <memory>
#include <cstdlib>
#include <span>
#include <utility>
#include <vector>

#include "core/invariant.hpp"
#include "core/raw_vector.hpp"
#include "parallel/pool.hpp"

namespace qv::sparse {

// A borrowed CSR matrix whose index pointer and columns the bindings validated: indptr
// starts at 0, never decreases and ends at len(indices); every column is below n_cols.
// Columns within a row need not ascend or be distinct. `data` may be empty for kernels
// that read no values.
//
// The index pointer is the bindings' own checked copy, but `indices` is the caller's
// array, which another Python thread may write while the kernel runs. So a column that
// addresses memory is read once and checked where it is used (`column`), or taken from a
// checked copy (`ColumnCopy`, or `copy_columns` in kernels that read the columns twice).
struct CsrView {
  std::span<const uint64_t> indptr;
  std::span<const uint64_t> indices;
  std::span<const double> data;
  uint64_t n_rows = 0;
  uint64_t n_cols = 0;

  // Storage positions [begin, end) of row r.
  std::pair<size_t, size_t> row(uint64_t r) const {
    QV_ASSERT(r < n_rows && r + 1 < indptr.size(), "CSR row out of range");
    size_t b = indptr[r], e = indptr[r + 1];
    QV_ASSERT(b <= e && e <= indices.size(), "CSR row positions out of range");
    return {b, e};
  }
  uint64_t column(size_t pos) const {
    QV_ASSERT(pos < indices.size(), "CSR position out of range");
    const uint64_t c = read_once(indices[pos]);
    QV_ASSERT(c < n_cols, "CSR column out of range");
    return c;
  }
  double value(size_t pos) const {
    QV_ASSERT(pos < data.size(), "CSR value position out of range");
    return data[pos];
  }

  // Row r's columns and values in one piece. The positions are checked, so a view of a
  // fitted model's unchecked storage fails an assertion rather than reading out of bounds.
  struct Entries {
    std::span<const uint64_t> indices;
    std::span<const double> data;
  };
  Entries entries(uint64_t r) const {
    auto [b, e] = row(r);
    QV_ASSERT(e <= data.size(), "CSR row values out of range");
    return {indices.subspan(b, e - b), data.subspan(b, e - b)};
  }
};

// Copies the columns of `m` into `out` (len(indices) slots) on the current pool, each read
// once; a column not below n_cols throws InternalError. T is uint32_t or uint64_t; the
// caller picks uint32_t only when n_cols fits.
template <class T>
void copy_columns(const CsrView& m, T* out) {
  const size_t n = m.indices.size(), block = size_t{1} << 16;
  const uint64_t* in = m.indices.data();
  auto copy = [&](size_t lo, size_t hi) {
    bool bad = false;
    for (size_t p = lo; p < hi; ++p) {
      const uint64_t c = read_once(in[p]);
      bad |= c >= m.n_cols;
      out[p] = static_cast<T>(c);
    }
    QV_ASSERT(!bad, "CSR column out of range");
  };
  // A copy this small takes about a millisecond; handing it to the pool would cost more
  // in waking its threads than it saves, above all on a busy machine.
  if (n <= 16 * block) return copy(0, n);
  parallel::for_each((n + block - 1) / block, [&](size_t b) { copy(b * block, std::min(n, (b + 1) * block)); }, 1);
}

using RowEntries = std::vector<std::pair<uint64_t, double>>;

// Sorts one output row's entries by column (unstable): straight insertion for short rows.
inline void sort_by_column(std::span<std::pair<uint64_t, double>> row) {
  auto by_col = [](const auto& a, const auto& b) { return a.first < b.first; };
  if (row.size() <= 20) {
    for (size_t i = 1; i < row.size(); ++i)
      for (size_t j = i; j > 0 && by_col(row[j], row[j - 1]); --j) std::swap(row[j], row[j - 1]);
  } else {
    std::sort(row.begin(), row.end(), by_col);
  }
}

// An owned CSR result; its column count is the caller's to know.
struct CsrOwned {
  std::vector<uint64_t> indptr;
  std::vector<uint64_t> indices;
  std::vector<double> data;

  // Output row r holds exactly what fill_row(state, item_of(r), entries) appended, in
  // that order. Rows are built in blocks of about n / (B T) rows on the current pool, one
  // state per piece of work, and joined serially in row order, so the result never
  // depends on the thread count as long as fill_row leaves its state clean. B is
  // `blocks_per_thread`: more blocks balance rows of very uneven cost better.
  template <class Init, class Fill, class ItemOf>
  static CsrOwned build_indexed(size_t n, Init&& init, Fill&& fill_row, ItemOf&& item_of,
                                size_t blocks_per_thread = 4);

  template <class Init, class Fill>
  static CsrOwned build(size_t n_rows, Init&& init, Fill&& fill_row, size_t blocks_per_thread = 4) {
    return build_indexed(
        n_rows, init, fill_row, [](size_t r) { return static_cast<uint64_t>(r); }, blocks_per_thread);
  }

  template <class Init, class Fill>
  static CsrOwned build_rows(std::span<const uint64_t> rows, Init&& init, Fill&& fill_row,
                             size_t blocks_per_thread = 4) {
    return build_indexed(
        rows.size(), init, fill_row,
        [rows](size_t r) {
          QV_ASSERT(r < rows.size(), "builder row out of range");
          return rows[r];
        },
        blocks_per_thread);
  }
};

// An owned CSR result whose buffers a parallel kernel fills slot by slot.
struct RawCsr {
  core::RawVector<uint64_t> indptr;
  core::RawVector<uint64_t> indices;
  core::RawVector<double> data;
};

namespace detail {
struct Block {
  std::vector<size_t> lengths;
  RowEntries entries;
};
}  // namespace detail

template <class Init, class Fill, class ItemOf>
CsrOwned CsrOwned::build_indexed(size_t n, Init&& init, Fill&& fill_row, ItemOf&& item_of,
                                 size_t blocks_per_thread) {
  const size_t t = parallel::current_threads() * std::max<size_t>(1, blocks_per_thread);
  const size_t b = n == 0 ? 1 : std::max<size_t>(1, (n + t - 1) / t);
  const size_t n_blocks = (n + b - 1) / b;
  std::vector<detail::Block> blocks(n_blocks);
  parallel::for_each_with(
      n_blocks, init,
      [&](auto& state, size_t i) {
        size_t lo = i * b, hi = std::min(n, lo + b);
        detail::Block& blk = blocks[i];
        reserve_as("the row lengths of one block", blk.lengths, hi - lo);
        for (size_t r = lo; r < hi; ++r) {
          size_t before = blk.entries.size();
          fill_row(state, item_of(r), blk.entries);
          blk.lengths.push_back(blk.entries.size() - before);
        }
      },
      1);
  size_t total = 0;
  for (auto& blk : blocks) total += blk.entries.size();
  CsrOwned out;
  reserve_as("a CSR result's index pointer", out.indptr, n + 1);
  out.indptr.push_back(0);
  allocating("a CSR result's columns and values", total, sizeof(uint64_t) + sizeof(double), [&] {
    out.indices.reserve(total);
    out.data.reserve(total);
  });
  for (auto& blk : blocks) {
    size_t pos = 0;
    for (size_t len : blk.lengths) {
      for (size_t j = 0; j < len; ++j, ++pos) {
        out.indices.push_back(blk.entries[pos].first);
        out.data.push_back(blk.entries[pos].second);
      }
      out.indptr.push_back(out.indices.size());
    }
    RowEntries().swap(blk.entries);  // release as we go: peak memory stays near one copy
  }
  return out;
}

// A dense scatter accumulator over n columns, touched columns kept in first-touch order.
// Its storage is zero pages until touched, so an accumulator over a huge column count
// costs only what a row reaches, and a reset costs only the touched columns.
class Accumulator {
 public:
  explicit Accumulator(uint64_t n)
      : values_(zeroed<double>(n)), flags_(zeroed<uint8_t>(n)), touched_(zeroed<uint64_t>(n)), n_(n) {}

  void add(uint64_t j, double x) {
    QV_ASSERT(j < n_, "accumulator column out of range");
    add_run(&j, 0, 1, x);
  }
  bool is_touched(uint64_t j) const {
    QV_ASSERT(j < n_, "accumulator column out of range");
    return flags_[j] != 0;
  }

  // How a scatter records first touches; both keep the same order. `each` appends
  // without a branch, the cheaper way while many columns are new; `rare` tests and
  // branches, cheaper once nearly every column a row reaches is already touched.
  enum class Track { each, rare };

  // values[cols[p]] += x for p in [s, e), in that order.
  template <Track T = Track::each, class Idx>
  void add_run(const Idx* cols, size_t s, size_t e, double x) {
    add_each<T>(cols, s, e, [x](size_t) { return x; });
  }

  // values[cols[p]] += x * data[p] (the product rounded, then added) for p in [s, e).
  template <Track T = Track::each, class Idx>
  void add_products(const Idx* cols, const double* data, size_t s, size_t e, double x) {
    add_each<T>(cols, s, e, [x, data](size_t p) { return x * data[p]; });
  }

  // values[cols[p]] += data[p] for p in [s, e).
  template <Track T = Track::each, class Idx>
  void add_values(const Idx* cols, const double* data, size_t s, size_t e) {
    add_each<T>(cols, s, e, [data](size_t p) { return data[p]; });
  }

  double value(uint64_t j) const {
    QV_ASSERT(j < n_, "accumulator column out of range");
    return values_[j];
  }
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
  // values[cols[p]] += term(p) for p in [s, e), recording first touches as T says.
  template <Track T, class Idx, class Term>
  void add_each(const Idx* cols, size_t s, size_t e, Term term) {
    double* values = values_.get();
    uint8_t* flags = flags_.get();
    uint64_t* touched = touched_.get();
    size_t count = count_;
    for (size_t p = s; p < e; ++p) {
      const uint64_t j = cols[p];
      values[j] = values[j] + term(p);
      if constexpr (T == Track::each) {
        touched[count] = j;  // kept only when j was untouched
        count += flags[j] ^ 1;
        flags[j] = 1;
      } else if (__builtin_expect(flags[j] == 0, 0)) {
        touched[count++] = j;
        flags[j] = 1;
      }
    }
    count_ = count;
  }

  struct Free {
    void operator()(void* p) const { std::free(p); }
  };

  template <class T>
  static std::unique_ptr<T[], Free> zeroed(uint64_t n) {
    // One spare slot: the branch-free append writes one past the last touched column.
    const size_t len = checked_add(checked_len<T>(n), 1);
    void* p = std::calloc(len, sizeof(T));
    if (!p) allocation_failed("a per-thread scatter accumulator", len, sizeof(T));
    return std::unique_ptr<T[], Free>(static_cast<T*>(p));
  }

  std::unique_ptr<double[], Free> values_;
  std::unique_ptr<uint8_t[], Free> flags_;
  std::unique_ptr<uint64_t[], Free> touched_;
  uint64_t n_;
  size_t count_ = 0;
};


// Column-major copy of a CSR matrix; rows ascend within each column, and two entries of
// one row in the same column keep their storage order.
struct Csc {
  std::vector<uint64_t> indptr;
  std::vector<uint64_t> indices;
  std::vector<double> data;

  static Csc from_csr(const CsrView& m);

  // Positions [begin, end) of column j in `indices`/`data`.
  std::pair<size_t, size_t> column(uint64_t j) const {
    QV_ASSERT(j + 1 < indptr.size(), "CSC column out of range");
    return {indptr[j], indptr[j + 1]};
  }
};

}  // namespace qv::sparse
