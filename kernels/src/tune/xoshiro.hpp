#pragma once
// xoshiro256** seeded from one user seed through four SplitMix64 finalizer outputs, so a
// proposal is reproducible from its seed alone and keeps no state between calls.
#include <bit>
#include <cstdint>

#include "core/splitmix.hpp"

namespace qv::tune {

class Xoshiro256 {
 public:
  explicit Xoshiro256(uint64_t seed) {
    constexpr uint64_t kGolden = 0x9e3779b97f4a7c15ULL;
    for (uint64_t i = 0; i < 4; ++i) s_[i] = splitmix64_mix(seed + (i + 1) * kGolden);
  }

  uint64_t next() {
    const uint64_t out = std::rotl(s_[1] * 5, 7) * 9;
    const uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = std::rotl(s_[3], 45);
    return out;
  }

  // A multiple of 2^-53 in [0, 1).
  double uniform() { return static_cast<double>(next() >> 11) * 0x1p-53; }

 private:
  uint64_t s_[4];
};

}  // namespace qv::tune
