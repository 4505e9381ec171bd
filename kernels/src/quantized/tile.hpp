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

#include "core/isa.hpp"

namespace qv::quantized {

inline constexpr size_t kLanes = 16;
// Candidates scored per call of a tile scorer: enough for a vector path with few lanes in
// use to keep several candidates' chains in flight.
inline constexpr size_t kTileBlock = 32;

// Scores the code runs of items[0 .. n) (n <= kTileBlock; item i's run starts at byte
// items[i] * row_bytes of codes) against a tile of 16 * dim weights: acc[16 * i + l] is
// lane l's chain for items[i], for every lane l below `lanes` (the lanes in use; a
// vector path may leave the others unwritten). `unpacked` is scratch of
// kTileBlock * dim values.
using TileScorer = void (*)(const uint8_t* codes, uint64_t row_bytes, uint64_t dim, const uint64_t* items, size_t n,
                            size_t lanes, const double* tile, double* unpacked, double* acc);

namespace portable {
TileScorer tile_scorer(uint32_t bits);
}
namespace avx2 {
TileScorer tile_scorer(uint32_t bits);
}
namespace avx512 {
TileScorer tile_scorer(uint32_t bits);
}

// The scorer of width `bits` for `level`, which this processor must run.
TileScorer tile_scorer(uint32_t bits, isa::Level level);

// One item's run (at least ceil(dim / (8 / BITS)) bytes) on the portable path.
template <unsigned BITS>
void tile_row(double acc[kLanes], const uint8_t* run, const double* tile, uint64_t dim);

}  // namespace qv::quantized
