#pragma once
// Scored items, their ranking order, the bounded max-heap that keeps the worst on top,
// and the one ranking failure.
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
// handed to the hand-written heap and insertion sort below, which tolerate that.
inline bool worse(const Candidate& a, const Candidate& b) {
  if (a.score < b.score) return true;
  if (a.score > b.score) return false;
  return a.index > b.index;
}

// -1 when a is better (less), 0 when equal, 1 when a is worse (greater).
inline int worst_first(const Candidate& a, const Candidate& b) {
  if (a.score > b.score) return -1;
  if (a.score < b.score) return 1;
  return a.index < b.index ? -1 : (a.index > b.index ? 1 : 0);
}

// Sorts best first. Up to 20 entries by straight insertion; longer lists by std::sort
// with the Candidate order when no score is NaN, and otherwise with a strict weak order
// that ranks NaN scores below every number (ties by index), which std::sort requires.
void sort_best_first(std::span<Candidate> list);

// Binary max-heap under the Candidate order: the worst held Candidate on top.
class CandidateHeap {
 public:
  CandidateHeap() = default;
  explicit CandidateHeap(size_t reserve) { items_.reserve(reserve); }

  void push(Candidate c);
  std::optional<Candidate> pop();
  const Candidate& top() const { return items_.front(); }
  size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  void clear() { items_.clear(); }
  std::vector<Candidate>& storage() { return items_; }

 private:
  void sift_up(size_t pos);
  std::vector<Candidate> items_;
};

// A row or query that cannot fill k slots.
struct TooFewEligible {
  uint64_t query;
  uint64_t eligible;
};

}  // namespace qv::ranking
