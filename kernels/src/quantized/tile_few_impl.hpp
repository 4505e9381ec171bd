#pragma once
// The scorer of tiles with one to four lanes in use, written once for the vector levels:
// the candidates take the register lanes, each register lane one candidate's fused chain
// over the dimensions in ascending order, so the bits are tile_row's. A query lane's
// chains are R registers of candidates wide; each code is widened once and serves every
// lane in use.
//
// A step takes one 64-bit word of each candidate's run (64 / BITS codes), from a transpose
// of the words of several runs (a gather per word is several times slower), and widens
// code j of every candidate with as few instructions as the width allows. The file that
// includes this header defines first, in an unnamed namespace of its level:
//   VI, VD               its integer and double registers, kWidth lanes of 64 bits
//   kWidth, kChunk       candidates per register; words per transposed load
//   kRegsOne             registers of candidates for a single lane
//   zero(), fma(w, x, a), broadcast(p), load_words(w), store(out, v, count)
//   transposed_words(run, c, count, out)   words [kChunk c, kChunk c + count) of kWidth runs
//   split<BITS>(word, plane)               8, 4, 2 bits: a word into code-per-byte planes
//   code<BITS, J>(plane)                   code J of a split word as doubles
//   shifted_code<BITS>(word, j)            code j of a word, j known only at run time
//   bit_steps<R, Q, FINITE, J>(a, word, w) the chain steps of bit J of 1-bit words
#include <algorithm>
#include <cstdint>
#include <utility>

#include "quantized/codes.hpp"
#include "quantized/tile.hpp"

namespace qv::quantized::QV_ISA_NS {
namespace {

template <unsigned BITS>
constexpr unsigned kPlanes = BITS == 1 ? 1 : 8 / BITS;

// One chain step of every query lane: the widened code x of each register of candidates
// times the lane's weight w[q].
template <int R, int Q>
[[gnu::always_inline]] inline void step(VD (&a)[R][Q], const VD (&x)[R], const double* w) {
  for (int q = 0; q < Q; ++q) {
    const VD t = broadcast(w + q);
    for (int r = 0; r < R; ++r) a[r][q] = fma(t, x[r], a[r][q]);
  }
}

// All 64 / BITS codes of a word; `tile` is the weights of its first code.
template <unsigned BITS, int R, int Q, bool FINITE, unsigned... J>
[[gnu::always_inline]] inline void full_word(VD (&a)[R][Q], const VI (&word)[R], const double* tile,
                                             std::integer_sequence<unsigned, J...>) {
  if constexpr (BITS == 1) {
    (bit_steps<R, Q, FINITE, J>(a, word, tile + kLanes * J), ...);
  } else {
    VI plane[R][kPlanes<BITS>];
    for (int r = 0; r < R; ++r) split<BITS>(word[r], plane[r]);
    const auto one = [&]<unsigned j>(std::integral_constant<unsigned, j>) {
      VD x[R];
      for (int r = 0; r < R; ++r) x[r] = code<BITS, j>(plane[r]);
      step<R, Q>(a, x, tile + kLanes * j);
    };
    (one(std::integral_constant<unsigned, J>{}), ...);
  }
}

// The first `count` codes of a word (the run's last word, which dim may end inside).
template <unsigned BITS, int R, int Q>
[[gnu::always_inline]] inline void part_word(VD (&a)[R][Q], const VI (&word)[R], const double* tile,
                                             unsigned count) {
  for (unsigned j = 0; j < count; ++j) {
    VD x[R];
    for (int r = 0; r < R; ++r) x[r] = shifted_code<BITS>(word[r], j);
    step<R, Q>(a, x, tile + kLanes * j);
  }
}

// Bytes [at, at + bytes) of kWidth runs (bytes <= 8), each in the low end of its lane,
// read one by one so nothing past a run's last byte is touched.
[[gnu::always_inline]] inline VI short_words(const uint8_t* const* run, uint64_t at, unsigned bytes) {
  alignas(64) uint64_t w[kWidth];
  for (int i = 0; i < kWidth; ++i) {
    uint64_t v = 0;
    for (unsigned b = 0; b < bytes; ++b) v |= static_cast<uint64_t>(run[i][at + b]) << (8 * b);
    w[i] = v;
  }
  return load_words(w);
}

// R x kWidth candidates (a short block repeats its last one) for Q query lanes; acc is
// the block's first chain of lane 0.
template <unsigned BITS, int R, int Q, bool FINITE>
[[gnu::always_inline]] inline void few(const uint8_t* codes, uint64_t row_bytes, const uint64_t* items, size_t n,
                                       const Tile& tile, double* acc) {
  constexpr unsigned kPerWord = 64 / BITS;
  const uint64_t dim = tile.dim;
  const uint8_t* run[R * kWidth];
  for (int i = 0; i < R * kWidth; ++i) run[i] = codes + items[std::min<size_t>(i, n - 1)] * row_bytes;
  VD a[R][Q];
  for (int r = 0; r < R; ++r)
    for (int q = 0; q < Q; ++q) a[r][q] = zero();

  // Whole words whose every code is below dim, kChunk at a time, then what is left: a
  // word that dim ends inside, or the bytes after the last whole word.
  const uint64_t whole_words = row_bytes / 8;
  const uint64_t full = std::min<uint64_t>(whole_words, dim / kPerWord);
  const double* w = tile.weights;
  for (uint64_t c = 0; kChunk * c < full; ++c) {
    const unsigned count = static_cast<unsigned>(std::min<uint64_t>(kChunk, full - kChunk * c));
    VI words[R][kChunk];
    for (int r = 0; r < R; ++r) transposed_words(run + kWidth * r, c, count, words[r]);
    for (unsigned k = 0; k < count; ++k) {
      VI word[R];
      for (int r = 0; r < R; ++r) word[r] = words[r][k];
      full_word<BITS, R, Q, FINITE>(a, word, w + kLanes * kPerWord * (kChunk * c + k),
                                    std::make_integer_sequence<unsigned, kPerWord>{});
    }
  }
  if (full * kPerWord < dim) {
    const unsigned bytes = full < whole_words ? 8 : static_cast<unsigned>(row_bytes % 8);
    VI word[R];
    for (int r = 0; r < R; ++r) word[r] = short_words(run + kWidth * r, 8 * full, bytes);
    part_word<BITS, R, Q>(a, word, w + kLanes * kPerWord * full, static_cast<unsigned>(dim - full * kPerWord));
  }

  for (int r = 0; r < R; ++r) {
    const size_t first = static_cast<size_t>(kWidth) * r;
    if (first >= n) break;
    for (int q = 0; q < Q; ++q) store(acc + kTileBlock * q + first, a[r][q], n - first);
  }
}

template <unsigned BITS, int R, int Q, bool FINITE>
void few_all(const uint8_t* codes, uint64_t row_bytes, const uint64_t* items, size_t n, const Tile& tile,
             double* acc) {
  for (size_t i = 0; i < n; i += kWidth * R)
    few<BITS, R, Q, FINITE>(codes, row_bytes, items + i, std::min<size_t>(kWidth * R, n - i), tile, acc + i);
}

// With three or four lanes two registers of candidates keep enough chains in flight.
template <unsigned BITS, bool FINITE>
void block_as(const uint8_t* codes, uint64_t row_bytes, const uint64_t* items, size_t n, const Tile& tile,
              double* acc) {
  switch (tile.lanes) {
    case 1: return few_all<BITS, kRegsOne, 1, FINITE>(codes, row_bytes, items, n, tile, acc);
    case 2: return few_all<BITS, 4, 2, FINITE>(codes, row_bytes, items, n, tile, acc);
    case 3: return few_all<BITS, 2, 3, FINITE>(codes, row_bytes, items, n, tile, acc);
    default: return few_all<BITS, 2, 4, FINITE>(codes, row_bytes, items, n, tile, acc);
  }
}

template <unsigned BITS>
void block(const uint8_t* codes, uint64_t row_bytes, const uint64_t* items, size_t n, const Tile& tile, double*,
           double* acc) {
  // Only the 1-bit steps read the finiteness of the weights.
  if (BITS == 1 && tile.finite) return block_as<BITS, true>(codes, row_bytes, items, n, tile, acc);
  block_as<BITS, false>(codes, row_bytes, items, n, tile, acc);
}

}  // namespace

TileScorer few_lanes_scorer(uint32_t bits) {
  return with_width(bits, [](auto w) -> TileScorer { return block<decltype(w)::value>; });
}

}  // namespace qv::quantized::QV_ISA_NS
