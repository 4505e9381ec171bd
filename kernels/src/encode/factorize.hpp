#pragma once
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace qv::encode {

// (sorted distinct values, code of each value). Only the distinct values are sorted.
// A dense presence table when the value range is at most twice the input length, a hash
// table otherwise; both give identical results.
std::pair<std::vector<int64_t>, std::vector<int64_t>> factorize(std::span<const int64_t> values);

// The hashed path alone (n >= 1).
std::pair<std::vector<int64_t>, std::vector<int64_t>> hashed(std::span<const int64_t> values);

}  // namespace qv::encode
