#pragma once
#include <bit>
#include <cstdint>

namespace qv {

// A signed integer whose order is the IEEE 754 totalOrder of the double: -NaN < -inf <
// ... < -0.0 < +0.0 < ... < +inf < +NaN, payloads ordering NaNs of one sign.
inline int64_t total_order_key(double x) {
  int64_t bits = std::bit_cast<int64_t>(x);
  return bits ^ static_cast<int64_t>(static_cast<uint64_t>(bits >> 63) >> 1);
}

}  // namespace qv
