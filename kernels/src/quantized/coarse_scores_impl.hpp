#pragma once
// The loops of coarse_scores.hpp, compiled once per level by coarse_scores.cpp and
// coarse_scores_avx2.cpp.
#include <cmath>

#include "core/isa.hpp"
#include "quantized/codes.hpp"
#include "quantized/coarse_scores.hpp"

namespace qv::quantized::QV_ISA_NS {

namespace {

// Eight interleaved fused sums, a fixed pairwise reduction, then the unfused tail.
template <unsigned BITS>
void dense(const DenseFold& f, const uint64_t* items, size_t n, double* out) {
  const double* w = f.weights;
  const uint64_t groups = f.dim / 8;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* run = f.codes + items[i] * f.row_bytes;
    double s[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    for (uint64_t g = 0; g < groups; ++g)
      for (unsigned j = 0; j < 8; ++j)
        s[j] = std::fma(w[8 * g + j], static_cast<double>(code_at<BITS>(run, 8 * g + j)), s[j]);
    double S = ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
    for (uint64_t d = 8 * groups; d < f.dim; ++d) S = S + w[d] * static_cast<double>(code_at<BITS>(run, d));
    out[i] = S + f.c;
  }
}

// Only the query's own columns, in row order, unfused.
template <unsigned BITS>
void sparse_dense(const SparseDenseFold& f, const uint64_t* items, size_t n, double* out) {
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* run = f.codes + items[i] * f.row_bytes;
    double S = 0.0;
    for (size_t e = 0; e < f.nnz; ++e) S = S + f.weights[e] * static_cast<double>(code_at<BITS>(run, f.columns[e]));
    out[i] = S + f.c;
  }
}

// A fused sum against the codes and a plain sum of the query values, scaled and offset
// once at the end. A column past the scattered query holds +0.0, and adding +0.0 to sums
// that start at +0.0 changes no bits, so a short buffer reads as a full-width one.
template <unsigned BITS>
void sparse(const SparseFold& f, const uint64_t* items, size_t n, double* out) {
  for (size_t i = 0; i < n; ++i) {
    double A = 0.0, B = 0.0;
    for (uint64_t p = f.indptr[items[i]], e = f.indptr[items[i] + 1]; p < e; ++p) {
      const uint64_t col = f.indices[p];
      const double v = col < f.len ? f.x[col] : 0.0;
      A = std::fma(v, static_cast<double>(code_at<BITS>(f.codes, p)), A);
      B = B + v;
    }
    out[i] = A * f.scale + B * f.offset;
  }
}

template <unsigned BITS>
CoarseScorers scorers() {
  return {dense<BITS>, sparse_dense<BITS>, sparse<BITS>};
}

}  // namespace

CoarseScorers coarse_scorers(uint32_t bits) {
  switch (bits) {
    case 2: return scorers<2>();
    case 4: return scorers<4>();
    case 8: return scorers<8>();
    default: return scorers<1>();
  }
}

}  // namespace qv::quantized::QV_ISA_NS
