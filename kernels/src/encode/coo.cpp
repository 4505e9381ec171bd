#include "encode/coo.hpp"

#include <algorithm>

#include "core/invariant.hpp"
#include "parallel/pool.hpp"

namespace qv::encode {

namespace {
// The scatter target of one counting-sort pass: the other coordinate and the value.
struct Scattered {
  std::vector<uint64_t> other;
  std::vector<double> value;
  Scattered() = default;
  explicit Scattered(size_t n) : other(n), value(n) {}
  void swap(Scattered& o) { other.swap(o.other); value.swap(o.value); }
};

// Turns per-part counts (parts x n, row-major) into each part's first slot per key, and
// returns the key pointer (n + 1 entries).
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

  // Column pass: each block counts its columns, gets its first slot per column, scatters.
  std::vector<uint64_t> col_counts(checked_len<uint64_t>(checked_mul(n_blocks, n_cols)), 0);
  parallel::for_each(n_blocks, [&](size_t b) {
    uint64_t* counts = col_counts.data() + b * n_cols;
    for (size_t i = b * block, end = std::min(nnz, (b + 1) * block); i < end; ++i) ++counts[cols[i]];
  }, 1);
  const std::vector<uint64_t> col_ptr = slots_from_counts(col_counts, n_blocks, n_cols);
  Scattered by_col(nnz);
  parallel::for_each(n_blocks, [&](size_t b) {
    uint64_t* next = col_counts.data() + b * n_cols;
    for (size_t i = b * block, end = std::min(nnz, (b + 1) * block); i < end; ++i) {
      uint64_t p = next[cols[i]]++;
      by_col.other[p] = rows[i];
      by_col.value[p] = data[i];
    }
  }, 1);
  std::vector<uint64_t>().swap(col_counts);

  // Row pass over groups of whole columns balanced by entry count: columns ascend within
  // every row, and equal pairs stay in input order.
  const std::vector<size_t> col_groups = bucket_blocks(col_ptr, t);
  const size_t n_col_groups = col_groups.size() - 1;
  std::vector<uint64_t> row_counts(checked_len<uint64_t>(checked_mul(n_col_groups, n_rows)), 0);
  parallel::for_each(n_col_groups, [&](size_t g) {
    uint64_t* counts = row_counts.data() + g * n_rows;
    for (size_t e = col_ptr[col_groups[g]], end = col_ptr[col_groups[g + 1]]; e < end; ++e) ++counts[by_col.other[e]];
  }, 1);
  const std::vector<uint64_t> row_ptr = slots_from_counts(row_counts, n_col_groups, n_rows);
  Scattered by_row(nnz);
  parallel::for_each(n_col_groups, [&](size_t g) {
    uint64_t* next = row_counts.data() + g * n_rows;
    for (size_t c = col_groups[g]; c < col_groups[g + 1]; ++c)
      for (size_t e = col_ptr[c]; e < col_ptr[c + 1]; ++e) {
        uint64_t p = next[by_col.other[e]]++;
        by_row.other[p] = c;
        by_row.value[p] = by_col.value[e];
      }
  }, 1);
  std::vector<uint64_t>().swap(row_counts);
  { Scattered empty; by_col.swap(empty); }

  // Merge runs of equal columns, sized exactly by a first count of the runs.
  const std::vector<size_t> row_groups = bucket_blocks(row_ptr, t);
  const size_t n_row_groups = row_groups.size() - 1;
  std::vector<uint64_t> runs(n_rows, 0);
  parallel::for_each(n_row_groups, [&](size_t g) {
    for (size_t r = row_groups[g]; r < row_groups[g + 1]; ++r) {
      uint64_t n = 0;
      for (size_t e = row_ptr[r]; e < row_ptr[r + 1]; ++e)
        n += e == row_ptr[r] || by_row.other[e] != by_row.other[e - 1];
      runs[r] = n;
    }
  }, 1);
  out.indptr.resize(n_rows + 1);
  out.indptr[0] = 0;
  for (size_t r = 0; r < n_rows; ++r) out.indptr[r + 1] = out.indptr[r] + runs[r];
  std::vector<uint64_t>().swap(runs);
  out.indices.assign(out.indptr.back(), 0);
  out.data.assign(out.indptr.back(), 0.0);
  parallel::for_each(n_row_groups, [&](size_t g) {
    for (size_t r = row_groups[g]; r < row_groups[g + 1]; ++r) {
      size_t w = out.indptr[r];
      for (size_t e = row_ptr[r]; e < row_ptr[r + 1]; ++e) {
        if (e != row_ptr[r] && by_row.other[e] == out.indices[w - 1]) {
          out.data[w - 1] += by_row.value[e];
        } else {
          out.indices[w] = by_row.other[e];
          out.data[w] = by_row.value[e];
          ++w;
        }
      }
    }
  }, 1);
  return out;
}

}  // namespace qv::encode
