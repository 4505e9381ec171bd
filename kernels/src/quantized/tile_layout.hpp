#pragma once
// What the wide tile scorers share around their own chains: candidates taken M at a time,
// and the copy from the item-major rows they fill to the lane-major block of chains that
// tile.hpp promises. Internal to each file that includes it, which compiles it for its
// own instruction set.
#include <cstddef>
#include <cstdint>

#include "quantized/tile.hpp"

namespace qv::quantized {
namespace {

// The chains of a group of candidates' unpacked codes x[j] against the tile, into out[j].
using Chains = void (*)(const double* const* x, const double* tile, uint64_t dim, double* const* out);

// The n candidates of `unpacked` through `chains`, M at a time, candidate i's chains into
// acc + kLanes * i.
template <size_t M, Chains chains>
[[gnu::always_inline]] inline void groups(const double* unpacked, uint64_t dim, size_t n, const double* tile,
                                          double* acc) {
  double spare[kLanes];
  for (size_t i = 0; i < n; i += M) {
    // A short last group repeats its last candidate into a spare accumulator.
    const double* x[M];
    double* out[M];
    for (size_t j = 0; j < M; ++j) {
      const bool real = i + j < n;
      x[j] = unpacked + (real ? i + j : n - 1) * dim;
      out[j] = real ? acc + kLanes * (i + j) : spare;
    }
    chains(x, tile, dim, out);
  }
}

[[gnu::always_inline]] inline void to_lane_major(const double* rows, size_t n, size_t lanes, double* acc) {
  for (size_t l = 0; l < lanes; ++l)
    for (size_t i = 0; i < n; ++i) acc[kTileBlock * l + i] = rows[kLanes * i + l];
}

}  // namespace
}  // namespace qv::quantized
