#pragma once
// Visited marks of one graph walk, cleared in constant time by advancing a generation.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/invariant.hpp"

namespace qv::hnsw {

class Visited {
 public:
  explicit Visited(uint64_t n) { grow(n); }

  // Starts a new walk. Generation 0 is never walked, so fresh marks never count.
  void clear() {
    if (epoch_ == UINT32_MAX) {
      std::fill(marks_.begin(), marks_.end(), 0u);
      epoch_ = 1;
    } else {
      ++epoch_;
    }
  }

  // Room for n nodes; the added marks count as unvisited in every generation.
  void grow(uint64_t n) {
    if (marks_.size() < n) resize_as("per-worker visited marks", marks_, n, 0u);
  }

  // Drops every mark, as if freshly created.
  void forget() {
    std::fill(marks_.begin(), marks_.end(), 0u);
    epoch_ = 0;
  }

  // Marks i; true when it was already marked in this walk.
  bool insert(uint64_t i) {
    const bool seen = marks_[i] == epoch_;
    marks_[i] = epoch_;
    return seen;
  }

  const uint32_t* mark_address(uint64_t i) const { return marks_.data() + i; }
  uint32_t epoch() const { return epoch_; }
  void set_epoch_for_test(uint32_t e) { epoch_ = e; }

 private:
  std::vector<uint32_t> marks_;
  uint32_t epoch_ = 0;
};

}  // namespace qv::hnsw
