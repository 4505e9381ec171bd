#pragma once
// The loop of linalg/gram_row.hpp, compiled once per level by gram_row.cpp and gram_row_avx2.cpp.
#include <cmath>

#include "core/isa.hpp"
#include "linalg/gram_row.hpp"

namespace qv::linalg::QV_ISA_NS {

void gram_row(double* row, const UserRef* users, size_t n_users, const GramSource& src, bool upper) {
  for (size_t u = 0; u < n_users; ++u) {
    const UserRef ref = users[u];
    const double r_ui = src.data[ref.pos];
    const size_t s = upper ? ref.pos : src.indptr[ref.row], e = src.indptr[ref.row + 1];
    if (src.constant[ref.row]) {
      for (size_t p = s; p < e; ++p) row[src.cols[p]] = std::fma(r_ui, r_ui, row[src.cols[p]]);
    } else {
      for (size_t p = s; p < e; ++p) row[src.cols[p]] = std::fma(src.data[p], r_ui, row[src.cols[p]]);
    }
  }
}

}  // namespace qv::linalg::QV_ISA_NS
