#pragma once
// The scorer of tiles with more than four lanes in use, written once for the vector
// levels: each lane keeps its own fused chain over the dimensions in ascending order,
// exactly as the portable loop, so the bits agree. Only the registers that hold the lanes
// in use are computed, and several candidates go through together, which gives the
// multiply-add units enough independent chains to hide their latency. The file that
// includes this header defines first, in an unnamed namespace of its level:
//   kWidth                  lanes of a double register
//   chains<R, M>(x, tile, dim, out)   M candidates' unpacked codes x[j] against R
//                                     registers of the tile's lanes, into out[j]
//   unpack_codes<BITS>(run, dim, out) one candidate's codes as doubles
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "quantized/codes.hpp"
#include "quantized/tile.hpp"

namespace qv::quantized::QV_ISA_NS {
namespace {

// The n candidates of `unpacked` through chains<R, M>, M at a time, candidate i's chains
// into acc + kLanes * i.
template <int R, int M>
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
    chains<R, M>(x, tile, dim, out);
  }
}

template <unsigned BITS>
void block(const uint8_t* codes, uint64_t row_bytes, const uint64_t* items, size_t n, const Tile& t,
           double* unpacked, double* acc) {
  const uint64_t dim = t.dim;
  const size_t lanes = t.lanes;
  const double* tile = t.weights;
  // Item-major here, as the lanes of one item leave a register together.
  double rows[kTileBlock * kLanes];
  // Eight candidates at a time, so their unpacked codes stay in the first-level cache
  // next to the tile; fewer at once as the lanes in use take more registers.
  for (size_t s = 0; s < n; s += 8) {
    const size_t m = std::min<size_t>(8, n - s);
    for (size_t i = 0; i < m; ++i) unpack_codes<BITS>(codes + items[s + i] * row_bytes, dim, unpacked + i * dim);
    double* out = rows + kLanes * s;
    if (lanes <= kWidth) {
      groups<1, 8>(unpacked, dim, m, tile, out);
    } else if (lanes <= 2 * kWidth) {
      groups<2, 4>(unpacked, dim, m, tile, out);
    } else if constexpr (4 * kWidth <= kLanes) {
      groups<4, 2>(unpacked, dim, m, tile, out);
    }
  }
  // To the lane-major block of chains that tile.hpp promises.
  for (size_t l = 0; l < lanes; ++l)
    for (size_t i = 0; i < n; ++i) acc[kTileBlock * l + i] = rows[kLanes * i + l];
}

}  // namespace

TileScorer tile_scorer(uint32_t bits) {
  return with_width(bits, [](auto w) -> TileScorer { return block<decltype(w)::value>; });
}

}  // namespace qv::quantized::QV_ISA_NS
