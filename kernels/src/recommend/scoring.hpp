#pragma once
// The scoring loops of top_k_from_factors and top_k_from_dense_rows, once per
// instruction-set level (core/isa.hpp): the portable code in scoring.cpp, the AVX2+FMA
// code in scoring_avx2.cpp. Both follow the floating-point orders of factors.hpp exactly.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "recommend/factors.hpp"

namespace qv::recommend {

// Four candidates scored together; a short last group repeats its last member.
struct Group {
  const double* v[4];
  double bias[4];
};

// The scratch of one chunk of up to 8 queries.
struct Tile {
  Tile(uint64_t k, uint64_t n_candidates, uint64_t dim) : users(checked_len<double>(checked_mul(dim, 8)), 0.0) {
    best.reserve(8);
    for (int l = 0; l < 8; ++l) best.emplace_back(k, n_candidates);
  }

  std::vector<double> users;
  std::array<std::span<const uint64_t>, 8> excluded;
  std::array<std::vector<uint64_t>, 8> scratch;  // lists of a request that keeps none
  std::vector<Best> best;
  std::array<size_t, 8> cursor{};
  alignas(32) double thr[8];
  uint64_t q0 = 0;
  bool nan = false;  // a NaN score may have been offered since `prepare`
  size_t lanes = 0;
};

// Offers the positions [start, end) to `best`, skipping `ex` (ascending), scored in the
// single-scan order. `prefetch`: the first pass over a stretch of items, which reads them
// from memory; later passes over the same stretch find them in cache. Returns true when
// a NaN score may have been offered (see run_split).
using ScanRange = bool (*)(const FactorModel& m, const CandidateSet& c, const double* user,
                           std::span<const uint64_t> ex, Best& best, uint64_t start, uint64_t end, bool prefetch);
// Offers the positions [start, end) to every lane of a tile of 4 to 8 queries, scored in
// the tile order; `prefetch` as above.
using TileRange = void (*)(const FactorModel& m, const CandidateSet& c, Tile& t, uint64_t start, uint64_t end,
                           bool prefetch);

namespace portable {
bool scan_range(const FactorModel& m, const CandidateSet& c, const double* user, std::span<const uint64_t> ex,
                Best& best, uint64_t start, uint64_t end, bool prefetch);
void tile_range(const FactorModel& m, const CandidateSet& c, Tile& t, uint64_t start, uint64_t end, bool prefetch);
// s[c] = fma(x, w[c], s[c]) for every c.
void fma_row(double x, const double* w, double* s, size_t n);
}  // namespace portable
namespace avx2 {
bool scan_range(const FactorModel& m, const CandidateSet& c, const double* user, std::span<const uint64_t> ex,
                Best& best, uint64_t start, uint64_t end, bool prefetch);
void tile_range(const FactorModel& m, const CandidateSet& c, Tile& t, uint64_t start, uint64_t end, bool prefetch);
void fma_row(double x, const double* w, double* s, size_t n);
}  // namespace avx2

// Helpers of both levels, private to each file that includes them.
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

inline double scan_finish(double t, const double* user, const double* v, size_t from, size_t dim, double bias) {
  for (size_t j = from; j < dim; ++j) t = std::fma(user[j], v[j], t);
  return t + bias;
}

// The item vector and bias of the candidate at position p.
inline void load_member(const FactorModel& m, const CandidateSet& c, uint64_t p, Group& g, int i) {
  const uint64_t item = c.item(p);
  g.v[i] = m.item_factors.data() + item * m.dim;
  g.bias[i] = m.has_item_bias ? m.item_bias[item] : 0.0;
}

inline Group load_group(const FactorModel& m, const CandidateSet& c, uint64_t p, uint64_t last) {
  Group g;
  for (int i = 0; i < 4; ++i) load_member(m, c, std::min<uint64_t>(p + i, last), g, i);
  return g;
}

// Item vectors are streamed from memory once per pass and the scorers touch four at a
// time in interleaved order, which the hardware prefetcher follows poorly: a scan from
// memory ran at under half the speed of a plain read of the same bytes. So each step asks
// for the vectors of a group a few steps ahead. Inline assembly, because the compiler
// deletes a loop of __builtin_prefetch calls as a loop without effects.
inline void prefetch_bytes(const void* from, size_t bytes) {
  const uintptr_t b = reinterpret_cast<uintptr_t>(from) & ~uintptr_t{63};
  const uintptr_t e = reinterpret_cast<uintptr_t>(from) + bytes;
  for (uintptr_t a = b; a < e; a += 64) {
#if defined(__x86_64__) || defined(__i386__)
    asm volatile("prefetcht0 %0" : : "m"(*reinterpret_cast<const char*>(a)));
#elif defined(__aarch64__)
    asm volatile("prfm pldl1keep, %0" : : "Q"(*reinterpret_cast<const char*>(a)));
#else
    __builtin_prefetch(reinterpret_cast<const char*>(a));
#endif
  }
}

// Positions ahead of the current group whose vectors are requested: about 4 KiB of item
// data, far enough to cover the memory latency at the scorers' pace.
inline uint64_t prefetch_ahead(uint64_t dim) {
  const uint64_t bytes = std::max<uint64_t>(dim, 1) * sizeof(double);
  return std::clamp<uint64_t>((4096 / bytes + 3) & ~uint64_t{3}, 4, 64);
}

// Requests the vectors of the four positions from p on (none past `last`).
inline void prefetch_group(const FactorModel& m, const CandidateSet& c, uint64_t p, uint64_t last) {
  if (p > last || m.dim == 0) return;
  const uint64_t top = std::min<uint64_t>(p + 3, last);
  const size_t bytes = static_cast<size_t>(m.dim) * sizeof(double);
  if (!c.has_ids) {
    prefetch_bytes(m.item_factors.data() + p * m.dim, static_cast<size_t>(top - p + 1) * bytes);
    return;
  }
  for (uint64_t q = p; q <= top; ++q) prefetch_bytes(m.item_factors.data() + c.ids[q] * m.dim, bytes);
}

// Moves a cursor past the excluded positions up to `last`, for a group nobody looks at.
inline void skip_to(std::span<const uint64_t> ex, size_t& cursor, uint64_t last) {
  while (cursor < ex.size() && ex[cursor] <= last) ++cursor;
}

}  // namespace

}  // namespace qv::recommend
