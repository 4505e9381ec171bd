#include "quantized/tile.hpp"

#include <cmath>

#include "quantized/codes.hpp"

namespace qv::quantized {

template <unsigned BITS>
void tile_row(double acc[kLanes], const uint8_t* run, const double* tile, uint64_t dim) {
  for (size_t l = 0; l < kLanes; ++l) acc[l] = 0.0;
  for (uint64_t d = 0; d < dim; ++d) {
    const double code = static_cast<double>(code_at<BITS>(run, d));
    const double* w = tile + kLanes * d;
    for (size_t l = 0; l < kLanes; ++l) acc[l] = std::fma(w[l], code, acc[l]);
  }
}

template void tile_row<1>(double*, const uint8_t*, const double*, uint64_t);
template void tile_row<2>(double*, const uint8_t*, const double*, uint64_t);
template void tile_row<4>(double*, const uint8_t*, const double*, uint64_t);
template void tile_row<8>(double*, const uint8_t*, const double*, uint64_t);

namespace portable {
namespace {
template <unsigned BITS>
void block(const uint8_t* codes, uint64_t row_bytes, uint64_t dim, const uint64_t* items, size_t n, size_t,
           const double* tile, double*, double* acc) {
  for (size_t i = 0; i < n; ++i) tile_row<BITS>(acc + kLanes * i, codes + items[i] * row_bytes, tile, dim);
}
}  // namespace

TileScorer tile_scorer(uint32_t bits) {
  return with_width(bits, [](auto w) -> TileScorer { return block<decltype(w)::value>; });
}
}  // namespace portable

TileScorer tile_scorer(uint32_t bits, isa::Level level) {
#if QV_ISA_X86
  if (level >= isa::Level::avx512) return avx512::tile_scorer(bits);
  if (level >= isa::Level::avx2) return avx2::tile_scorer(bits);
#else
  (void)level;
#endif
  return portable::tile_scorer(bits);
}

}  // namespace qv::quantized
