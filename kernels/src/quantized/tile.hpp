#pragma once
// Sixteen dense queries scored together against each candidate's code run: the run is
// unpacked once per tile instead of once per query.
//
// The tile holds the folded weights dimension-major (entry 16 * d + l is lane l's weight
// for dimension d), so one code meets its sixteen lane weights side by side. Each lane is
// one fused chain over the dimensions in ascending order, starting at +0.0; lanes never
// mix, so every vector width gives the same bits as the scalar loop.
#include <cstddef>
#include <cstdint>

#include "quantized/codes.hpp"
#include "vectors/dot.hpp"

namespace qv::quantized {

inline constexpr size_t kLanes = 16;
// Candidates scored per call of a tile scorer.
inline constexpr size_t kTileBlock = 8;

// Scores the code runs of items[0 .. n) (n <= kTileBlock) against the tile of
// 16 * store.dim weights: acc[16 * i + l] is lane l's chain for items[i]. `unpacked` is
// scratch of kTileBlock * store.dim values.
using TileScorer = void (*)(const DenseCodes& store, const uint64_t* items, size_t n, const double* tile,
                            double* unpacked, double* acc);

// The scorer of the store's width on `path` (the dense scorers' choice of instruction
// set); the path must be available.
TileScorer tile_scorer(uint32_t bits, vectors::Path path);

// One item's run (at least ceil(dim / (8 / BITS)) bytes) on the portable path.
template <unsigned BITS>
void tile_row(double acc[kLanes], const uint8_t* run, const double* tile, uint64_t dim);

namespace x86 {
TileScorer avx2_scorer(uint32_t bits);
TileScorer avx512_scorer(uint32_t bits);
}  // namespace x86

}  // namespace qv::quantized
