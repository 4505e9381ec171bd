#include "encode/coo.hpp"

#include <algorithm>
#include <memory>

#include "core/invariant.hpp"
#include "parallel/pool.hpp"

namespace qv::encode {

namespace {
// The scatter target of one counting-sort pass: the other coordinate and the value.
// Left uninitialised: every slot is written by the scatter, and zero-filling hundreds of
// megabytes on one thread would cost more than the sort itself.
struct Scattered {
  std::unique_ptr<uint64_t[]> other;
  std::unique_ptr<double[]> value;
  Scattered() = default;
  explicit Scattered(size_t n) : other(new uint64_t[n]), value(new double[n]) {}
};

// Turns per-part counts (parts x n, row-major) into each part's first slot per key, and
// returns the key pointer (n + 1 entries).
struct Entry {
  uint64_t col;
  double value;
};

// Stable sort of one row's (column, value) pairs by column; most rows arrive sorted.
void sort_row(uint64_t* cols, double* values, size_t n, std::vector<Entry>& scratch) {
  if (std::is_sorted(cols, cols + n)) return;
  if (n <= 32) {
    for (size_t i = 1; i < n; ++i) {
      uint64_t c = cols[i];
      double v = values[i];
      size_t j = i;
      for (; j > 0 && cols[j - 1] > c; --j) {
        cols[j] = cols[j - 1];
        values[j] = values[j - 1];
      }
      cols[j] = c;
      values[j] = v;
    }
    return;
  }
  scratch.resize(n);
  for (size_t i = 0; i < n; ++i) scratch[i] = {cols[i], values[i]};
  std::stable_sort(scratch.begin(), scratch.end(), [](const Entry& a, const Entry& b) { return a.col < b.col; });
  for (size_t i = 0; i < n; ++i) {
    cols[i] = scratch[i].col;
    values[i] = scratch[i].value;
  }
}

std::vector<uint64_t> slots_from_counts(std::vector<uint64_t>& counts, size_t parts, size_t n) {
  std::vector<uint64_t> ptr(n + 1, 0);
  for (size_t b = 0; b < parts; ++b)
    for (size_t c = 0; c < n; ++c) ptr[c + 1] += counts[b * n + c];
  for (size_t c = 0; c < n; ++c) ptr[c + 1] += ptr[c];
  std::vector<uint64_t> cursor(ptr.begin(), ptr.end() - 1);
  for (size_t b = 0; b < parts; ++b)
    for (size_t c = 0; c < n; ++c) {
      uint64_t count = counts[b * n + c];
      counts[b * n + c] = cursor[c];
      cursor[c] += count;
    }
  return ptr;
}
}  // namespace

std::vector<size_t> bucket_blocks(std::span<const uint64_t> offsets, size_t parts) {
  const size_t m = offsets.size();
  std::vector<size_t> bounds{0};
  if (parts >= 2) {
    const unsigned __int128 total = offsets.back();
    for (size_t i = 1; i < parts; ++i) {
      uint64_t target = static_cast<uint64_t>(total * i / parts);
      size_t b = std::partition_point(offsets.begin(), offsets.end(), [&](uint64_t o) { return o < target; }) -
                 offsets.begin();
      if (b > bounds.back()) bounds.push_back(b);
    }
  }
  bounds.push_back(m - 1);
  return bounds;
}

sparse::CsrOwned coo_to_csr(std::span<const uint64_t> rows, std::span<const uint64_t> cols,
                            std::span<const double> data, uint64_t n_rows, uint64_t n_cols) {
  const size_t nnz = data.size();
  sparse::CsrOwned out;
  if (nnz == 0 || n_rows == 0 || n_cols == 0) {
    out.indptr.assign(checked_len<uint64_t>(checked_add(n_rows, 1)), 0);
    return out;
  }
  const size_t t = std::max<size_t>(1, parallel::current_threads());
  const size_t block = std::max<size_t>((nnz + t - 1) / t, 65536);
  const size_t n_blocks = (nnz + block - 1) / block;

  // One counting sort by row, blocks in input order, so every row lists its entries in
  // input order; one random-access pass over the entries instead of two.
  //
  // The caller's arrays may be written while the lock is released, so every row and
  // column is checked as it is read and no slot outside the buffers is ever written. A
  // row that changed between the count and the scatter (its entry then lands in slots
  // counted for another row) changes the sum of the rows read, which both passes take
  // per block. Changes that cancel in the sum give a wrong result, never one that breaks
  // the CSR form: the columns are checked again as they are written out. A copy of the
  // rows, or a stronger fingerprint, would cost a tenth of the sort or more.
  std::vector<uint64_t> row_counts(checked_len<uint64_t>(checked_mul(n_blocks, n_rows)), 0);
  std::vector<uint64_t> counted(n_blocks, 0);
  parallel::for_each(n_blocks, [&](size_t b) {
    uint64_t* counts = row_counts.data() + b * n_rows;
    uint64_t sum = 0;
    for (size_t i = b * block, end = std::min(nnz, (b + 1) * block); i < end; ++i) {
      const uint64_t r = read_once(rows[i]);
      QV_ASSERT(r < n_rows, "row out of range");
      ++counts[r];
      sum += r;
    }
    counted[b] = sum;
  }, 1);
  const std::vector<uint64_t> row_ptr = slots_from_counts(row_counts, n_blocks, n_rows);
  Scattered by_row(nnz);
  parallel::for_each(n_blocks, [&](size_t b) {
    uint64_t* next = row_counts.data() + b * n_rows;
    uint64_t sum = 0;
    for (size_t i = b * block, end = std::min(nnz, (b + 1) * block); i < end; ++i) {
      const uint64_t r = read_once(rows[i]), c = read_once(cols[i]);
      QV_ASSERT(r < n_rows && c < n_cols, "coordinate out of range");
      const uint64_t p = next[r]++;
      QV_ASSERT(p < nnz, "row changed while being sorted");
      by_row.other[p] = c;
      by_row.value[p] = data[i];
      sum += r;
    }
    QV_ASSERT(sum == counted[b], "row changed while being sorted");
  }, 1);
  std::vector<uint64_t>().swap(row_counts);

  // Within each row a stable sort by column keeps equal pairs in input order; then runs of
  // equal columns are counted so the output is allocated once at its exact length.
  const std::vector<size_t> row_groups = bucket_blocks(row_ptr, t * 4);
  const size_t n_row_groups = row_groups.size() - 1;
  std::vector<uint64_t> runs(n_rows, 0);
  parallel::for_each_with(n_row_groups, [] { return std::vector<Entry>(); },
                          [&](std::vector<Entry>& scratch, size_t g) {
    for (size_t r = row_groups[g]; r < row_groups[g + 1]; ++r) {
      const size_t b = row_ptr[r], e = row_ptr[r + 1];
      sort_row(by_row.other.get() + b, by_row.value.get() + b, e - b, scratch);
      uint64_t n = 0;
      for (size_t p = b; p < e; ++p) n += p == b || by_row.other[p] != by_row.other[p - 1];
      runs[r] = n;
    }
  }, 1);
  out.indptr.resize(n_rows + 1);
  out.indptr[0] = 0;
  for (size_t r = 0; r < n_rows; ++r) out.indptr[r + 1] = out.indptr[r] + runs[r];
  std::vector<uint64_t>().swap(runs);
  out.indices.resize(out.indptr.back());
  out.data.resize(out.indptr.back());
  parallel::for_each(n_row_groups, [&](size_t g) {
    for (size_t r = row_groups[g]; r < row_groups[g + 1]; ++r) {
      size_t w = out.indptr[r];
      for (size_t p = row_ptr[r]; p < row_ptr[r + 1]; ++p) {
        // duplicates add left to right in input order: (first + second) + third
        if (p != row_ptr[r] && by_row.other[p] == out.indices[w - 1]) {
          out.data[w - 1] += by_row.value[p];
        } else {
          QV_ASSERT(by_row.other[p] < n_cols, "row changed while being sorted");
          out.indices[w] = by_row.other[p];
          out.data[w] = by_row.value[p];
          ++w;
        }
      }
    }
  }, 1);
  return out;
}

}  // namespace qv::encode
