#include "quantized/tile.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>

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

bool portable_pinned() {
  const char* v = std::getenv("QUORVANE_PORTABLE");
  return v && *v && std::strcmp(v, "0") != 0;
}

}  // namespace

TileScorer tile_scorer(uint32_t bits, TilePath path) {
  switch (path) {
    case TilePath::Avx512: return x86::avx512_scorer(bits);
    case TilePath::Avx2: return x86::avx2_scorer(bits);
    case TilePath::Portable: break;
  }
  return with_width(bits, [](auto w) -> TileScorer { return portable_block<decltype(w)::value>; });
}

bool tile_path_available(TilePath path) {
  switch (path) {
    case TilePath::Avx512: return x86::avx512_available();
    case TilePath::Avx2: return x86::avx2_available();
    case TilePath::Portable: return true;
  }
  return false;
}

TilePath best_tile_path() {
  static const TilePath best = [] {
    if (portable_pinned()) return TilePath::Portable;
    if (x86::avx512_available()) return TilePath::Avx512;
    if (x86::avx2_available()) return TilePath::Avx2;
    return TilePath::Portable;
  }();
  return best;
}

}  // namespace qv::quantized
