#pragma once
// The SplitMix64 finalizer: a bijective 64-bit mix from which reproducible random streams
// are derived from a user seed and a counter, so parallel draws need no shared state.
#include <cstdint>

namespace qv {

constexpr uint64_t splitmix64_mix(uint64_t z) {
  z ^= z >> 30;
  z *= 0xbf58476d1ce4e5b9ULL;
  z ^= z >> 27;
  z *= 0x94d049bb133111ebULL;
  z ^= z >> 31;
  return z;
}

}  // namespace qv
