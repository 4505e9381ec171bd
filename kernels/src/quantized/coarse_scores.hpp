#pragma once
// The coarse scores of a block of candidates for one folded query, once per
// instruction-set level (core/isa.hpp). The levels differ only in whether a fused
// multiply-add is one instruction or a library call; each rounds it once, so the bits
// agree.
#include <cstddef>
#include <cstdint>

#include "core/isa.hpp"

namespace qv::quantized {

// Dense store, dense query: c + the codes weighted by w[0 .. dim).
struct DenseFold {
  const uint8_t* codes;
  uint64_t row_bytes;
  const double* weights;
  uint64_t dim;
  double c;
};

// Dense store, CSR query: c + the codes at the query's columns weighted by its entries.
struct SparseDenseFold {
  const uint8_t* codes;
  uint64_t row_bytes;
  const uint64_t* columns;
  const double* weights;
  size_t nnz;
  double c;
};

// Sparse store: the item's stored entries gathered from the scattered query x[0 .. len).
struct SparseFold {
  const uint8_t* codes;
  const uint64_t* indptr;
  const uint64_t* indices;
  const double* x;
  uint64_t len;
  double scale;
  double offset;
};

// out[i] = the coarse score of items[i], for i < n.
struct CoarseScorers {
  void (*dense)(const DenseFold&, const uint64_t* items, size_t n, double* out);
  void (*sparse_dense)(const SparseDenseFold&, const uint64_t* items, size_t n, double* out);
  void (*sparse)(const SparseFold&, const uint64_t* items, size_t n, double* out);
};

namespace portable {
CoarseScorers coarse_scorers(uint32_t bits);
}
namespace avx2 {
CoarseScorers coarse_scorers(uint32_t bits);
}

}  // namespace qv::quantized
