#pragma once
// Packed low-bit codes of item vectors, as the caller hands them in with every call.
//
// A code is `bits` wide (1, 2, 4 or 8) and packed 8 / bits to a byte, the earlier code in
// the low-order bits. Dense stores give every item its own run of `dim` codes starting on
// a byte boundary, decoded per dimension as offset[d] + scale[d] * code; sparse stores
// give one code per stored CSR value, in one continuous run over the whole matrix, all
// decoded with one scale and one offset.
#include <cstdint>
#include <span>
#include <variant>

#include "sparse/sparse.hpp"

namespace qv::quantized {

struct DenseCodes {
  std::span<const uint8_t> codes;
  uint64_t row_bytes = 0;  // bytes per item run
  uint32_t bits = 0;
  std::span<const double> scale;
  std::span<const double> offset;
  uint64_t dim = 0;
};

struct SparseCodes {
  std::span<const uint8_t> codes;
  uint32_t bits = 0;
  sparse::CsrView rows;  // the items' validated CSR: its index pointer, columns and width
  double scale = 0.0;
  double offset = 0.0;
};

using QuantizedStore = std::variant<DenseCodes, SparseCodes>;

constexpr bool valid_bits(uint64_t bits) { return bits == 1 || bits == 2 || bits == 4 || bits == 8; }

// Bytes of one dense item run; `bits` must be valid.
constexpr uint64_t row_bytes(uint64_t dim, uint32_t bits) {
  const uint64_t per_byte = 8 / bits;
  return dim / per_byte + (dim % per_byte != 0);
}

// Whether the arrays are long enough for the layout of n_items items of dim dimensions
// (longer code arrays are fine; the bytes past the layout are never read).
bool describes(const QuantizedStore& store, uint64_t n_items, uint64_t dim);

// Code j of a run that starts at `run`. Always inlined, so vector files never emit a copy.
template <unsigned BITS>
[[gnu::always_inline]] inline unsigned code_at(const uint8_t* run, uint64_t j) {
  static_assert(BITS == 1 || BITS == 2 || BITS == 4 || BITS == 8);
  if constexpr (BITS == 8) {
    return run[j];
  } else {
    constexpr unsigned per_byte = 8 / BITS;
    return (run[j / per_byte] >> ((j % per_byte) * BITS)) & ((1u << BITS) - 1);
  }
}

// Calls f(std::integral_constant<unsigned, BITS>) for the store's width; anything other
// than 2, 4 or 8 takes the 1-bit instance, as only 1 can be left after validation.
template <class F>
decltype(auto) with_width(uint32_t bits, F&& f) {
  switch (bits) {
    case 2: return f(std::integral_constant<unsigned, 2>{});
    case 4: return f(std::integral_constant<unsigned, 4>{});
    case 8: return f(std::integral_constant<unsigned, 8>{});
    default: return f(std::integral_constant<unsigned, 1>{});
  }
}

}  // namespace qv::quantized
