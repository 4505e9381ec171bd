#pragma once
// Scored items, their ranking order, and the one ranking failure.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace qv::ranking {

// Higher score is better; equal scores, and any pair with a NaN, go to the lower index.
struct Candidate {
  double score;
  uint64_t index;
};

// True when a ranks strictly worse than b. With a NaN on either side the index decides,
// so this relation is not transitive once NaNs mix with other scores; it is only ever
// handed to the heap of ranking/heap.hpp and the insertion sort below, which tolerate that.
inline bool worse(const Candidate& a, const Candidate& b) {
  if (a.score < b.score) return true;
  if (a.score > b.score) return false;
  return a.index > b.index;
}

// Sorts best first. Up to 20 entries by straight insertion; longer lists by std::sort
// with the Candidate order when no score is NaN, and otherwise with a strict weak order
// that ranks NaN scores below every number (ties by index), which std::sort requires.
void sort_best_first(std::span<Candidate> list);

// A row or query that cannot fill k slots.
struct TooFewEligible {
  uint64_t query;
  uint64_t eligible;
};

}  // namespace qv::ranking
