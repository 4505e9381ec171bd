#include "quantized/tile.hpp"

#include <cmath>

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

namespace {

template <unsigned BITS>
void portable_block(const DenseCodes& store, const uint64_t* items, size_t n, const double* tile, double*,
                    double* acc) {
  for (size_t i = 0; i < n; ++i)
    tile_row<BITS>(acc + kLanes * i, store.codes.data() + items[i] * store.row_bytes, tile, store.dim);
}

}  // namespace

TileScorer tile_scorer(uint32_t bits, vectors::Path path) {
  switch (path) {
    case vectors::Path::Avx512: return x86::avx512_scorer(bits);
    case vectors::Path::Avx2: return x86::avx2_scorer(bits);
    case vectors::Path::Portable: break;
  }
  return with_width(bits, [](auto w) -> TileScorer { return portable_block<decltype(w)::value>; });
}

}  // namespace qv::quantized
