#pragma once
// The run tests of hnsw/runs.hpp, compiled once per level by runs.cpp, runs_avx2.cpp and
// runs_avx512.cpp. Each folds its run into one word with OR and looks at the word once,
// so the compiler vectorises the loop and nothing branches on the data.
#include <cstddef>
#include <cstdint>

#include "hnsw/runs.hpp"

namespace qv::hnsw::QV_ISA_NS {

// A value in [0, bound) has its top bit clear, and so has bound - 1 - value; a negative
// value, or one at or above the bound, sets the top bit of one of the two.
bool links_below(const int32_t* v, size_t n, uint32_t bound) {
  if (bound == 0) return n == 0;
  const uint32_t last = bound - 1;
  uint32_t acc = 0;
  for (size_t i = 0; i < n; ++i) {
    const uint32_t x = static_cast<uint32_t>(v[i]);
    acc |= x | (last - x);
  }
  return (acc >> 31) == 0;
}

// With every value non-negative a step cannot wrap, so a negative value or a step down
// shows in the top bit.
bool steps_up(const int64_t* v, size_t n, int64_t before) {
  if (n == 0) return true;
  uint64_t acc = static_cast<uint64_t>(v[0]) | (static_cast<uint64_t>(v[0]) - static_cast<uint64_t>(before));
  for (size_t i = 1; i < n; ++i) {
    const uint64_t x = static_cast<uint64_t>(v[i]);
    acc |= x | (x - static_cast<uint64_t>(v[i - 1]));
  }
  return (acc >> 63) == 0;
}

bool counts_up(const int64_t* v, size_t n, uint64_t first) {
  uint64_t acc = 0;
  for (size_t i = 0; i < n; ++i) acc |= static_cast<uint64_t>(v[i]) ^ (first + i);
  return acc == 0;
}

}  // namespace qv::hnsw::QV_ISA_NS
