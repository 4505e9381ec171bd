#include "ranking/candidate.hpp"

namespace qv::ranking {

void sort_best_first(std::span<Candidate> list) {
  const size_t n = list.size();
  if (n < 2) return;
  if (n <= 20) {
    for (size_t i = 1; i < n; ++i) {
      Candidate x = list[i];
      size_t j = i;
      while (j > 0 && worse(list[j - 1], x)) {
        list[j] = list[j - 1];
        --j;
      }
      list[j] = x;
    }
    return;
  }
  bool has_nan = std::any_of(list.begin(), list.end(), [](const Candidate& c) { return std::isnan(c.score); });
  if (!has_nan) {
    std::sort(list.begin(), list.end(), [](const Candidate& a, const Candidate& b) { return worse(b, a); });
  } else {
    std::sort(list.begin(), list.end(), [](const Candidate& a, const Candidate& b) {
      bool na = std::isnan(a.score), nb = std::isnan(b.score);
      if (na != nb) return nb;  // numbers before NaNs
      if (!na && a.score != b.score) return a.score > b.score;
      return a.index < b.index;
    });
  }
}

void CandidateHeap::sift_up(size_t pos) {
  Candidate x = items_[pos];
  while (pos > 0) {
    size_t parent = (pos - 1) / 2;
    if (!worse(x, items_[parent])) break;
    items_[pos] = items_[parent];
    pos = parent;
  }
  items_[pos] = x;
}

void CandidateHeap::push(Candidate c) {
  items_.push_back(c);
  sift_up(items_.size() - 1);
}

std::optional<Candidate> CandidateHeap::pop() {
  if (items_.empty()) return std::nullopt;
  Candidate last = items_.back();
  items_.pop_back();
  if (items_.empty()) return last;
  Candidate top = items_[0];
  // The hole sinks to the bottom along the worse child (the right one unless the left is
  // strictly worse), then `last` fills it and rises: fewer comparisons than a sift-down.
  const size_t n = items_.size();
  size_t hole = 0;
  size_t child = 1;
  while (child + 1 < n) {
    size_t pick = worse(items_[child], items_[child + 1]) ? child : child + 1;
    items_[hole] = items_[pick];
    hole = pick;
    child = 2 * hole + 1;
  }
  if (child + 1 == n) {
    items_[hole] = items_[child];
    hole = child;
  }
  items_[hole] = last;
  sift_up(hole);
  return top;
}

}  // namespace qv::ranking
