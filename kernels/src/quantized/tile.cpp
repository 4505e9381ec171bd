#include "quantized/tile.hpp"

#include <cmath>

#include "quantized/codes.hpp"

namespace qv::quantized {

template <unsigned BITS>
void tile_row(double acc[kLanes], const uint8_t* run, const double* tile, uint64_t dim, size_t lanes) {
  for (size_t l = 0; l < lanes; ++l) acc[l] = 0.0;
  for (uint64_t d = 0; d < dim; ++d) {
    const double code = static_cast<double>(code_at<BITS>(run, d));
    const double* w = tile + kLanes * d;
    for (size_t l = 0; l < lanes; ++l) acc[l] = std::fma(w[l], code, acc[l]);
  }
}

template void tile_row<1>(double*, const uint8_t*, const double*, uint64_t, size_t);
template void tile_row<2>(double*, const uint8_t*, const double*, uint64_t, size_t);
template void tile_row<4>(double*, const uint8_t*, const double*, uint64_t, size_t);
template void tile_row<8>(double*, const uint8_t*, const double*, uint64_t, size_t);

bool finite_lanes(const double* tile, uint64_t dim, size_t lanes) {
  for (uint64_t d = 0; d < dim; ++d)
    for (size_t l = 0; l < lanes; ++l)
      if (!std::isfinite(tile[kLanes * d + l])) return false;
  return true;
}

namespace portable {
namespace {
// Only the lanes in use: a fused multiply-add can be a library call on this path.
template <unsigned BITS>
void block(const uint8_t* codes, uint64_t row_bytes, const uint64_t* items, size_t n, const Tile& tile, double*,
           double* acc) {
  for (size_t i = 0; i < n; ++i) {
    double row[kLanes];
    tile_row<BITS>(row, codes + items[i] * row_bytes, tile.weights, tile.dim, tile.lanes);
    for (size_t l = 0; l < tile.lanes; ++l) acc[kTileBlock * l + i] = row[l];
  }
}
}  // namespace

TileScorer tile_scorer(uint32_t bits) {
  return with_width(bits, [](auto w) -> TileScorer { return block<decltype(w)::value>; });
}
}  // namespace portable

TileScorer tile_scorer(uint32_t bits, isa::Level level, size_t lanes) {
#if QV_ISA_X86
  const bool few = lanes <= kFewLanes;
  if (level >= isa::Level::avx512) return few ? avx512::few_lanes_scorer(bits) : avx512::tile_scorer(bits);
  if (level >= isa::Level::avx2) return few ? avx2::few_lanes_scorer(bits) : avx2::tile_scorer(bits);
#else
  (void)level;
  (void)lanes;
#endif
  return portable::tile_scorer(bits);
}

}  // namespace qv::quantized
