#pragma once
// Codes to doubles for the vector tile scorers, eight at a time (BITS bytes hold eight
// codes) so every shift is a constant, then the last dim mod 8 one by one. Internal to
// each file that includes it.
#include <cstdint>

#include "quantized/codes.hpp"

namespace qv::quantized {
namespace {

template <unsigned BITS>
[[gnu::always_inline]] inline void unpack(const uint8_t* run, uint64_t dim, double* out) {
  const uint64_t groups = dim / 8;
  for (uint64_t g = 0; g < groups; ++g) {
    const uint8_t* bytes = run + g * BITS;
    for (unsigned j = 0; j < 8; ++j) out[8 * g + j] = static_cast<double>(code_at<BITS>(bytes, j));
  }
  for (uint64_t d = 8 * groups; d < dim; ++d) out[d] = static_cast<double>(code_at<BITS>(run, d));
}

}  // namespace
}  // namespace qv::quantized
