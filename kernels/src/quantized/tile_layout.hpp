#pragma once
// The copy from the item-major rows the wide tile scorers fill to the lane-major block of
// chains that tile.hpp promises. Internal to each file that includes it.
#include <cstddef>

#include "quantized/tile.hpp"

namespace qv::quantized {
namespace {

[[gnu::always_inline]] inline void to_lane_major(const double* rows, size_t n, size_t lanes, double* acc) {
  for (size_t l = 0; l < lanes; ++l)
    for (size_t i = 0; i < n; ++i) acc[kTileBlock * l + i] = rows[kLanes * i + l];
}

}  // namespace
}  // namespace qv::quantized
