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
inline constexpr size_t kTileBlock = 64;
// Up to this many lanes in use, the candidates take the vector registers' lanes instead
// of the queries (tile_few_*.cpp).
inline constexpr size_t kFewLanes = 4;

// A filled tile: 16 * dim weights, of which lanes [0, lanes) are in use. `finite` says
// every weight in use is finite, which lets a 1-bit code select its weight: a chain
// adding w for code 1 and keeping its value for code 0 has the bits of fma(w, code, acc)
// then (acc is never -0.0, as it starts at +0.0 and a sum of two values is -0.0 only
// when both are), whereas an infinite or NaN w times code 0 is NaN.
struct Tile {
  const double* weights;
  uint64_t dim;
  size_t lanes;
  bool finite;
};

// Scores the code runs of items[0 .. n) (n <= kTileBlock; item i's run starts at byte
// items[i] * row_bytes of codes): acc[kTileBlock * l + i] is lane l's chain for
// items[i], for every lane l in use, so a lane's block of chains is contiguous for the
// shortlist to read. `unpacked` is scratch of kTileBlock * dim values, needed only with
// more than kFewLanes lanes in use. A scorer reads no byte of `codes` past the last byte
// of the runs it is given.
using TileScorer = void (*)(const uint8_t* codes, uint64_t row_bytes, const uint64_t* items, size_t n,
                            const Tile& tile, double* unpacked, double* acc);

namespace portable {
TileScorer tile_scorer(uint32_t bits);
}
namespace avx2 {
TileScorer tile_scorer(uint32_t bits);
TileScorer few_lanes_scorer(uint32_t bits);
}
namespace avx512 {
TileScorer tile_scorer(uint32_t bits);
TileScorer few_lanes_scorer(uint32_t bits);
}

// The scorer of width `bits` for `level`, which this processor must run, and a tile with
// `lanes` lanes in use.
TileScorer tile_scorer(uint32_t bits, isa::Level level, size_t lanes);

// One item's run (at least ceil(dim / (8 / BITS)) bytes) on the portable path, for the
// first `lanes` lanes.
template <unsigned BITS>
void tile_row(double acc[kLanes], const uint8_t* run, const double* tile, uint64_t dim, size_t lanes = kLanes);

// Whether the first `lanes` lanes of a tile of dim dimensions hold only finite weights.
bool finite_lanes(const double* tile, uint64_t dim, size_t lanes);

}  // namespace qv::quantized
