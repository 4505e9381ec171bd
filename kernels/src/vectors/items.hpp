#pragma once
// Item vectors and the queries scored against them. Two stores, one interface:
//
//   n_items()                      number of items;
//   similarity(i, j)               inner product of two items;
//   score(item, query)             inner product of an item and one Query;
//   score_many(query, ids, n, out) score() for n items at once (one neighbour list);
//   similarity_many(i, ids, n, out).
//
// Graph construction, graph search and the quantized scan are templates over the store,
// so nothing dispatches at run time but the dense vector path. Every routine's
// floating-point order is fixed (scores are returned and decide rankings):
//   - dense with dense:       the blocked fused `dot` (vectors/dot.hpp);
//   - dense row by sparse query, sparse row by dense query: a gather that starts at -0.0
//     and adds each rounded product in storage order (no fusing);
//   - sparse with sparse:     a merge over both rows, fused, starting at +0.0 (and +0.0
//     when either row is empty); each match consumes one entry of each row.
// The bindings validated every array, but a caller's columns may be written while a call
// runs: they address memory only after a bounds test (the gathers' `c < len`, the
// scatter's check). Nothing here allocates.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/invariant.hpp"
#include "sparse/sparse.hpp"
#include "vectors/dot.hpp"

namespace qv::vectors {

// One query as handed to a store.
struct Query {
  enum class Form : uint8_t { Dense, Scattered, Sparse };
  Form form = Form::Dense;
  // Dense: the query row. Scattered: the scatter buffer, zero outside the row's columns;
  // it may be shorter than the stores' width, and columns past its end read as 0.0.
  // Sparse: the row's values.
  std::span<const double> values;
  std::span<const uint64_t> indices;  // Sparse: the row's columns

  static Query dense(std::span<const double> row) { return {Form::Dense, row, {}}; }
  static Query scattered(std::span<const double> buffer) { return {Form::Scattered, buffer, {}}; }
  static Query sparse(std::span<const uint64_t> cols, std::span<const double> vals) {
    return {Form::Sparse, vals, cols};
  }
};

// Sum of the rounded products values[p] * x[cols[p]], from -0.0, in storage order. A
// column at or past len(x) reads as 0.0 (a scatter buffer only reaches the columns some
// query uses), so the result equals the one over a full-width buffer.
inline double gather(const uint64_t* cols, const double* vals, size_t n, const double* x, size_t len) {
  double acc = -0.0;
  for (size_t p = 0; p < n; ++p) {
    const uint64_t c = cols[p];
    const double xc = c < len ? x[c] : 0.0;
    acc = acc + vals[p] * xc;
  }
  return acc;
}

// Sorted merge of row A (first operand) with row B.
inline double merge(const uint64_t* ac, const double* av, size_t an, const uint64_t* bc, const double* bv, size_t bn) {
  double acc = 0.0;
  if (an == 0 || bn == 0) return acc;
  size_t p = 0, q = 0;
  while (p < an && q < bn) {
    // Validated columns are below 2^63, so unsigned order is the signed one.
    const uint64_t x = ac[p], y = bc[q];
    if (x == y) {
      acc = std::fma(av[p], bv[q], acc);
      ++p;
      ++q;
    } else if (x < y) {
      ++p;
    } else {
      ++q;
    }
  }
  return acc;
}

// A borrowed row-major float64 matrix; items are its rows.
struct DenseItems {
  std::span<const double> data;
  uint64_t dim = 0;
  // The dot's level, read once per store rather than once per score.
  DotFn dot_fn = pick_dot();
  DotRowsFn dot_rows_fn = pick_dot_rows();

  uint64_t n_items() const { return dim == 0 ? 0 : data.size() / dim; }
  const double* row(uint64_t i) const { return data.data() + i * dim; }

  double similarity(uint64_t i, uint64_t j) const { return dot_fn(row(i), row(j), dim); }

  void similarity_many(uint64_t i, const uint32_t* ids, size_t n, double* out) const {
    dot_rows_fn(row(i), data.data(), dim, ids, n, out);
  }

  double score(uint64_t item, const Query& q) const {
    if (q.form == Query::Form::Sparse) return gather_row(item, q);
    QV_ASSERT(q.values.size() >= dim, "dense query narrower than the items");
    return dot_fn(q.values.data(), row(item), dim);
  }

  void score_many(const Query& q, const uint32_t* ids, size_t n, double* out) const {
    if (q.form == Query::Form::Sparse) {
      for (size_t i = 0; i < n; ++i) out[i] = gather_row(ids[i], q);
      return;
    }
    QV_ASSERT(q.values.size() >= dim, "dense query narrower than the items");
    dot_rows_fn(q.values.data(), data.data(), dim, ids, n, out);
  }

 private:
  double gather_row(uint64_t item, const Query& q) const {
    const size_t n = std::min(q.indices.size(), q.values.size());
    return gather(q.indices.data(), q.values.data(), n, row(item), dim);
  }
};

// Borrowed CSR rows, one per item, columns below `n_cols` (the width).
struct SparseItems {
  sparse::CsrView rows;

  uint64_t n_items() const { return rows.n_rows; }
  uint64_t dim() const { return rows.n_cols; }

  double similarity(uint64_t i, uint64_t j) const {
    const auto [ib, ie] = span(i);
    const auto [jb, je] = span(j);
    return merge(rows.indices.data() + ib, rows.data.data() + ib, ie - ib, rows.indices.data() + jb,
                 rows.data.data() + jb, je - jb);
  }

  void similarity_many(uint64_t i, const uint32_t* ids, size_t n, double* out) const {
    for (size_t k = 0; k < n; ++k) out[k] = similarity(i, ids[k]);
  }

  double score(uint64_t item, const Query& q) const {
    const auto [b, e] = span(item);
    if (q.form == Query::Form::Sparse)
      return merge(q.indices.data(), q.values.data(), std::min(q.indices.size(), q.values.size()),
                   rows.indices.data() + b, rows.data.data() + b, e - b);
    return gather(rows.indices.data() + b, rows.data.data() + b, e - b, q.values.data(), q.values.size());
  }

  void score_many(const Query& q, const uint32_t* ids, size_t n, double* out) const {
    for (size_t k = 0; k < n; ++k) out[k] = score(ids[k], q);
  }

 private:
  std::pair<size_t, size_t> span(uint64_t i) const {
    return {static_cast<size_t>(rows.indptr[i]), static_cast<size_t>(rows.indptr[i + 1])};
  }
};

// The queries of one search call.
struct QuerySet {
  enum class Form : uint8_t { Dense, Sparse, Scattered };
  Form form = Form::Dense;
  uint64_t dim = 0;                // Dense: the row width
  std::span<const double> values;  // Dense: row-major rows
  sparse::CsrView csr;             // Sparse, Scattered: one row per query
  uint64_t dense_rows = 0;         // Dense: the query count

  // Dense rows counted from the data (none when dim is 0), or given: a (n, 0) query
  // matrix still holds n (empty) queries for callers that answer each row.
  static QuerySet dense(std::span<const double> rows, uint64_t dim) {
    return dense(rows, dim, dim == 0 ? 0 : rows.size() / dim);
  }
  static QuerySet dense(std::span<const double> rows, uint64_t dim, uint64_t n_rows) {
    QV_ASSERT(n_rows <= (dim == 0 ? n_rows : rows.size() / dim), "dense query rows past the data");
    return {Form::Dense, dim, rows, {}, n_rows};
  }
  static QuerySet sparse_rows(sparse::CsrView rows) { return {Form::Sparse, 0, {}, rows, 0}; }
  static QuerySet scattered(sparse::CsrView rows) { return {Form::Scattered, 0, {}, rows, 0}; }

  uint64_t n_queries() const { return form == Form::Dense ? dense_rows : csr.n_rows; }

  // Length of the scatter buffer a worker must hold for this set: one past the largest
  // column any query uses (0 for the other forms). Columns past it read as 0.0 anyway, so
  // a wide, mostly empty column space costs nothing.
  uint64_t scatter_len() const {
    if (form != Form::Scattered) return 0;
    uint64_t top = 0;
    for (uint64_t c : csr.indices) top = std::max(top, c + 1);
    // Validated columns are below n_cols; a larger one was written since, and must not
    // size the buffer.
    return std::min(top, csr.n_cols);
  }

  // Calls f(Query) for query q. `scatter` is the worker's zero-filled buffer of
  // scatter_len() entries; it is all zeros again when this returns.
  template <class F>
  decltype(auto) with_query(uint64_t q, std::span<double> scatter, F&& f) const {
    if (form == Form::Dense) return f(Query::dense(dim == 0 ? std::span<const double>() : values.subspan(q * dim, dim)));
    const size_t b = csr.indptr[q], e = csr.indptr[q + 1];
    if (form == Form::Sparse) return f(Query::sparse(csr.indices.subspan(b, e - b), csr.data.subspan(b, e - b)));
    // The columns are the caller's, which another thread may write meanwhile, so each is
    // read once and checked against the buffer before it addresses it. (A column written
    // between set and clear can only leave a stale value for this call's later queries.)
    for (size_t p = b; p < e; ++p) {
      const uint64_t c = read_once(csr.indices[p]);
      QV_ASSERT(c < scatter.size(), "query column past the scatter buffer");
      // Assignment, not addition: of repeated columns the last value wins.
      scatter[c] = csr.data[p];
    }
    struct Clear {
      std::span<double> buf;
      const sparse::CsrView& rows;
      size_t b, e;
      ~Clear() {
        for (size_t p = b; p < e; ++p) {
          const uint64_t c = read_once(rows.indices[p]);
          if (c < buf.size()) buf[c] = 0.0;
        }
      }
    } clear{scatter, csr, b, e};
    return f(Query::scattered(scatter));
  }

};

}  // namespace qv::vectors
