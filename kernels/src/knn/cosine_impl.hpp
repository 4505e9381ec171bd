#pragma once
// The loop of knn/cosine.hpp, compiled once per level by cosine.cpp and cosine_avx2.cpp.
#include <cmath>

#include "core/isa.hpp"
#include "knn/cosine.hpp"

namespace qv::knn::QV_ISA_NS {

size_t cosine_candidates(const sparse::Accumulator& acc, const uint64_t* items, uint64_t i, const double* norms,
                         double shrink, std::pair<uint64_t, double>* out) {
  const double norm_i = norms[i];
  size_t n = 0;
  for (uint64_t s : acc.touched()) {
    const double dot = acc.value(s);
    const uint64_t j = items ? items[s] : s;
    if (j == i || dot == 0.0) continue;
    out[n].first = j;
    out[n].second = dot / std::fma(norm_i, norms[j], shrink);
    ++n;
  }
  return n;
}

}  // namespace qv::knn::QV_ISA_NS
