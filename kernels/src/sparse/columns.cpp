#include "sparse/columns.hpp"

#include <algorithm>
#include <bit>
#include <type_traits>

namespace qv::sparse {

namespace {

// Row ranges of about equal entry counts, one per chunk.
std::vector<uint64_t> row_splits(const CsrView& m, size_t chunks) {
  std::vector<uint64_t> splits(chunks + 1, m.n_rows);
  splits[0] = 0;
  const uint64_t nnz = m.indices.size();
  for (size_t c = 1; c < chunks; ++c) {
    const uint64_t target = nnz / chunks * c + nnz % chunks * c / chunks;
    auto it = std::lower_bound(m.indptr.begin(), m.indptr.begin() + static_cast<ptrdiff_t>(m.n_rows), target);
    splits[c] = static_cast<uint64_t>(it - m.indptr.begin());
  }
  for (size_t c = 1; c <= chunks; ++c) splits[c] = std::max(splits[c], splits[c - 1]);
  return splits;
}

}  // namespace

ColumnCopy::ColumnCopy(const CsrView& m) : size_(m.indices.size()) {
  // One spare slot, so an empty matrix still has a copy to point at.
  const size_t n = checked_add(checked_len<uint64_t>(m.indices.size()), 1);
  if (m.n_cols <= (uint64_t{1} << 32)) {
    narrow_.reset(new uint32_t[n]);
    copy_columns(m, narrow_.get());
  } else {
    wide_.reset(new uint64_t[n]);
    copy_columns(m, wide_.get());
  }
}

void ColumnCopy::remap(std::span<const uint64_t> slot) {
  auto apply = [&](auto* cols) {
    const size_t block = size_t{1} << 16;
    parallel::for_each((size_) / block + 1, [&](size_t b) {
      const size_t hi = std::min(size_, (b + 1) * block);
      for (size_t p = b * block; p < hi; ++p) {
        QV_ASSERT(cols[p] < slot.size(), "column outside the slot map");
        cols[p] = static_cast<std::remove_reference_t<decltype(cols[p])>>(slot[cols[p]]);
      }
    }, 1);
  };
  if (narrow_) apply(narrow_.get());
  else apply(wide_.get());
}

ColumnIndex::ColumnIndex(const CsrView& m, const ColumnCopy& cols) : n_cols_(m.n_cols) {
  cols.visit([&](const auto* c) { build(m, c); });
}

template <class Idx>
void ColumnIndex::build(const CsrView& m, const Idx* cols) {
  const uint64_t nnz = m.indices.size();
  const uint64_t n = m.n_cols;
  QV_ASSERT(m.indptr.size() == m.n_rows + 1 && m.indptr.back() == nnz, "CSR index pointer does not fit");
  refs_.reset(new Ref[checked_len<Ref>(nnz)]);
  if (n > std::max<uint64_t>(nnz, uint64_t{1} << 20)) {
    // Far more columns than entries: sort the entries by column instead of counting.
    sparse_ = true;
    std::vector<std::pair<uint64_t, uint64_t>> keyed(nnz);  // (column, position)
    for (uint64_t r = 0; r < m.n_rows; ++r) {
      auto [b, e] = m.row(r);
      for (size_t p = b; p < e; ++p) keyed[p] = {cols[p], p};
    }
    std::sort(keyed.begin(), keyed.end());
    ptr_.push_back(0);
    uint64_t r = 0;
    for (size_t q = 0; q < nnz; ++q) {
      const uint64_t c = keyed[q].first, p = keyed[q].second;
      QV_ASSERT(c < n, "CSR column out of range");
      if (present_.empty() || present_.back() != c) {
        if (!present_.empty()) ptr_.push_back(q);
        present_.push_back(c);
        r = 0;
      }
      while (m.indptr[r + 1] <= p) ++r;  // positions ascend within a column
      refs_[q] = {r, p};
    }
    if (!present_.empty()) ptr_.push_back(nnz);
    return;
  }
  // Counting transpose in row chunks: each chunk counts its own columns, the offsets are
  // laid out chunk after chunk within each column, so rows still ascend per column.
  const size_t threads = parallel::current_threads();
  size_t chunks = std::max<uint64_t>(1, std::min<uint64_t>(threads, nnz / std::max<uint64_t>(n, 1)));
  chunks = std::max<size_t>(1, std::min<uint64_t>(chunks, m.n_rows));
  const std::vector<uint64_t> splits = row_splits(m, chunks);
  std::vector<uint64_t> offsets(checked_len<uint64_t>(checked_mul(chunks, n)), 0);
  parallel::for_each(chunks, [&](size_t c) {
    uint64_t* count = offsets.data() + c * n;
    for (size_t p = m.indptr[splits[c]]; p < m.indptr[splits[c + 1]]; ++p) {
      ++count[cols[p]];
    }
  }, 1);
  ptr_.assign(checked_add(n, 1), 0);
  for (uint64_t j = 0; j < n; ++j) {
    uint64_t running = ptr_[j];
    for (size_t c = 0; c < chunks; ++c) {
      const uint64_t k = offsets[c * n + j];
      offsets[c * n + j] = running;
      running += k;
    }
    ptr_[j + 1] = running;
  }
  parallel::for_each(chunks, [&](size_t c) {
    uint64_t* cursor = offsets.data() + c * n;
    for (uint64_t r = splits[c]; r < splits[c + 1]; ++r)
      for (size_t p = m.indptr[r]; p < m.indptr[r + 1]; ++p) refs_[cursor[cols[p]]++] = {r, p};
  }, 1);
}

size_t ColumnIndex::locate(uint64_t j) const {
  auto it = std::lower_bound(present_.begin(), present_.end(), j);
  if (it == present_.end() || *it != j) return SIZE_MAX;
  return static_cast<size_t>(it - present_.begin());
}

std::vector<uint8_t> constant_rows(const CsrView& m) {
  std::vector<uint8_t> out(m.n_rows, 0);
  if (m.data.empty()) return out;
  parallel::for_each(m.n_rows, [&](size_t r) {
    auto [b, e] = m.row(r);
    if (b == e) return;
    const uint64_t first = std::bit_cast<uint64_t>(m.data[b]);
    bool same = true;
    for (size_t p = b + 1; p < e && same; ++p) same = std::bit_cast<uint64_t>(m.data[p]) == first;
    out[r] = same;
  }, 4096);
  return out;
}

}  // namespace qv::sparse
