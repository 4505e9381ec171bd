#include "quantized/coarse.hpp"

#include <cmath>

namespace qv::quantized {

namespace {

#define QV_INLINE [[gnu::always_inline]] inline

// Offers every eligible candidate, in position order, with score(item).
template <class Score>
QV_INLINE void scan(const Pass& pass, Score&& score) {
  const std::span<const int64_t> ex = pass.excluded;
  size_t cursor = 0;
  const uint64_t n = pass.candidates.size();
  for (uint64_t p = 0; p < n; ++p) {
    if (cursor < ex.size() && static_cast<uint64_t>(ex[cursor]) == p) {
      ++cursor;
      continue;
    }
    offer(pass.heap, pass.shortlist, score(pass.candidates[p]), p);
  }
}

// Eight interleaved fused sums, a fixed pairwise reduction, then the unfused tail.
template <unsigned BITS>
QV_INLINE void dense_impl(const DenseCodes& store, std::span<const double> query, std::span<double> weights,
                          const Pass& pass) {
  const uint64_t dim = store.dim;
  QV_ASSERT(query.size() >= dim && weights.size() >= dim, "dense query narrower than the store");
  double c = 0.0;
  for (uint64_t d = 0; d < dim; ++d) {
    weights[d] = query[d] * store.scale[d];
    c = std::fma(query[d], store.offset[d], c);
  }
  const double* w = weights.data();
  const uint64_t groups = dim / 8;
  scan(pass, [&](uint64_t item) {
    const uint8_t* run = store.codes.data() + item * store.row_bytes;
    double s[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    for (uint64_t g = 0; g < groups; ++g)
      for (unsigned j = 0; j < 8; ++j)
        s[j] = std::fma(w[8 * g + j], static_cast<double>(code_at<BITS>(run, 8 * g + j)), s[j]);
    double S = ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
    for (uint64_t d = 8 * groups; d < dim; ++d) S = S + w[d] * static_cast<double>(code_at<BITS>(run, d));
    return S + c;
  });
}

// Only the query's own columns, in row order, unfused.
template <unsigned BITS>
QV_INLINE void sparse_dense_impl(const DenseCodes& store, std::span<const uint64_t> columns,
                                 std::span<const double> values, std::span<double> weights, const Pass& pass) {
  const size_t nnz = std::min(columns.size(), values.size());
  QV_ASSERT(weights.size() >= nnz, "weights shorter than the query row");
  double c = 0.0;
  for (size_t i = 0; i < nnz; ++i) {
    QV_ASSERT(columns[i] < store.dim, "query column outside the store");
    weights[i] = values[i] * store.scale[columns[i]];
    c = std::fma(values[i], store.offset[columns[i]], c);
  }
  const double* w = weights.data();
  const uint64_t* cols = columns.data();
  scan(pass, [&](uint64_t item) {
    const uint8_t* run = store.codes.data() + item * store.row_bytes;
    double S = 0.0;
    for (size_t i = 0; i < nnz; ++i) S = S + w[i] * static_cast<double>(code_at<BITS>(run, cols[i]));
    return S + c;
  });
}

// The item gathers its stored columns from the scattered query: a fused sum against the
// codes and a plain sum of the query values, scaled and offset once at the end.
template <unsigned BITS>
QV_INLINE void sparse_impl(const SparseCodes& store, std::span<const double> scattered, const Pass& pass) {
  const uint64_t* indptr = store.rows.indptr.data();
  const uint64_t* indices = store.rows.indices.data();
  const uint8_t* codes = store.codes.data();
  const double* x = scattered.data();
  const uint64_t len = scattered.size();
  const double scale = store.scale, offset = store.offset;
  scan(pass, [&](uint64_t item) {
    double A = 0.0, B = 0.0;
    for (uint64_t p = indptr[item], e = indptr[item + 1]; p < e; ++p) {
      const uint64_t col = indices[p];
      // A column no query entry reaches holds +0.0, and adding +0.0 to sums that start
      // at +0.0 changes no bits, so a short buffer reads the same as a full-width one.
      const double v = col < len ? x[col] : 0.0;
      A = std::fma(v, static_cast<double>(code_at<BITS>(codes, p)), A);
      B = B + v;
    }
    return A * scale + B * offset;
  });
}

// Every fused step is one instruction on a CPU with FMA and a library call without, so
// each form has a second copy for such CPUs; both round every step once, giving the
// same bits.
template <unsigned BITS>
void dense_base(const DenseCodes& s, std::span<const double> q, std::span<double> w, const Pass& p) {
  dense_impl<BITS>(s, q, w, p);
}
template <unsigned BITS>
[[gnu::target("avx2,fma")]] void dense_fma(const DenseCodes& s, std::span<const double> q, std::span<double> w,
                                           const Pass& p) {
  dense_impl<BITS>(s, q, w, p);
}
template <unsigned BITS>
void sparse_dense_base(const DenseCodes& s, std::span<const uint64_t> c, std::span<const double> v,
                       std::span<double> w, const Pass& p) {
  sparse_dense_impl<BITS>(s, c, v, w, p);
}
template <unsigned BITS>
[[gnu::target("avx2,fma")]] void sparse_dense_fma(const DenseCodes& s, std::span<const uint64_t> c,
                                                  std::span<const double> v, std::span<double> w, const Pass& p) {
  sparse_dense_impl<BITS>(s, c, v, w, p);
}
template <unsigned BITS>
void sparse_base(const SparseCodes& s, std::span<const double> x, const Pass& p) {
  sparse_impl<BITS>(s, x, p);
}
template <unsigned BITS>
[[gnu::target("avx2,fma")]] void sparse_fma(const SparseCodes& s, std::span<const double> x, const Pass& p) {
  sparse_impl<BITS>(s, x, p);
}

bool fma_available() {
  static const bool yes = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return yes;
}

}  // namespace

void shortlist_by_codes(const DenseCodes& store, std::span<const double> query, std::span<double> weights,
                        const Pass& pass) {
  with_width(store.bits, [&](auto w) {
    constexpr unsigned B = decltype(w)::value;
    (fma_available() ? dense_fma<B> : dense_base<B>)(store, query, weights, pass);
  });
}

void shortlist_by_codes(const DenseCodes& store, std::span<const uint64_t> columns, std::span<const double> values,
                        std::span<double> weights, const Pass& pass) {
  with_width(store.bits, [&](auto w) {
    constexpr unsigned B = decltype(w)::value;
    (fma_available() ? sparse_dense_fma<B> : sparse_dense_base<B>)(store, columns, values, weights, pass);
  });
}

void shortlist_by_codes(const SparseCodes& store, std::span<const double> scattered, const Pass& pass) {
  with_width(store.bits, [&](auto w) {
    constexpr unsigned B = decltype(w)::value;
    (fma_available() ? sparse_fma<B> : sparse_base<B>)(store, scattered, pass);
  });
}

}  // namespace qv::quantized
