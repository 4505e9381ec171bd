#pragma once
// The best-k heap of every ranking kernel, parameterised by its order: a binary heap in
// one array with the worst held item at the root, and a threshold that turns most offers
// away with one comparison once k items are held.
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "core/invariant.hpp"
#include "ranking/candidate.hpp"

namespace qv::ranking {

// An order tells which of two held items is worse (nearer the root) and whether a
// newcomer displaces the root of a full heap.

// The Candidate order: a newcomer displaces the root only when it ranks better, so among
// equal scores the lower index is kept whatever order the offers come in.
struct CandidateOrder {
  static bool worse(const Candidate& a, const Candidate& b) { return ranking::worse(a, b); }
  static bool displaces(const Candidate& c, const Candidate& root) { return worse(root, c); }
};

// Arrival order: held by score ascending (equal or unordered scores tie), then index
// ascending; a newcomer displaces the root only with a strictly higher score, so an equal
// score never enters and ties go to the earlier offers.
struct ArrivalOrder {
  static bool worse(const Candidate& a, const Candidate& b) {
    if (a.score < b.score) return true;
    if (a.score > b.score) return false;
    return a.index < b.index;
  }
  static bool displaces(const Candidate& c, const Candidate& root) { return c.score > root.score; }
};

template <class Order>
class TopK {
 public:
  // Keeps the k best offers. `cap` bounds how many can ever be offered, so a huge k
  // reserves no more than that; `what` names the reservation should it fail.
  TopK(uint64_t k, uint64_t cap, const char* what = "a heap of the k best") : k_(k) {
    const uint64_t r = k < cap ? k : cap;
    reserve_as(what, items_, checked_add(r, 1));
  }

  uint64_t k() const { return k_; }
  double threshold() const { return threshold_; }
  size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  const Candidate& top() const { return items_.front(); }
  // The held items in heap order, which is no ranking order.
  std::span<const Candidate> held() const { return items_; }

  // Offers an item to the k best. A newcomer that displaces the root of a full heap takes
  // the root's place and sinks.
  void offer(double score, uint64_t index) {
    if (score < threshold_) return;
    offer_slow({score, index});
  }

  // The same, except that a newcomer displaces the root by pop() and then push(). With
  // NaN scores held the order is not transitive, the root need not be the worst entry,
  // and the two ways of replacing it leave different heaps, so different entries go at
  // later offers. Without one the root is the unique worst, both ways keep the same set
  // and the faster in-place replacement is taken. A NaN enters only while the heap fills
  // (it never displaces a root), so whether one is held is known from then on.
  void offer_by_pop(double score, uint64_t index) {
    if (score < threshold_) return;
    offer_by_pop_slow({score, index});
  }

  // The plain heap, for callers that bound it themselves: push sifts up, pop removes and
  // returns the worst.
  void push(Candidate c);
  std::optional<Candidate> pop();

  void clear() {
    items_.clear();
    threshold_ = -std::numeric_limits<double>::infinity();
    holds_nan_ = false;
  }
  // Moves the held items into `out` in heap order and empties the heap.
  void drain_unsorted(std::vector<Candidate>& out) {
    out.assign(items_.begin(), items_.end());
    clear();
  }
  // The same, best first.
  void drain_sorted(std::vector<Candidate>& out) {
    drain_unsorted(out);
    sort_best_first(out);
  }

 private:
  void offer_slow(Candidate c);
  void offer_by_pop_slow(Candidate c);
  // Fills a heap of fewer than k; false once it is full.
  bool fill(Candidate c);
  void replace_root(Candidate c);
  void sift_up(size_t pos);

  std::vector<Candidate> items_;
  uint64_t k_;
  double threshold_ = -std::numeric_limits<double>::infinity();
  bool holds_nan_ = false;  // a NaN score was pushed since the last clear
};

template <class Order>
void TopK<Order>::sift_up(size_t pos) {
  const Candidate x = items_[pos];
  while (pos > 0) {
    const size_t parent = (pos - 1) / 2;
    if (!Order::worse(x, items_[parent])) break;
    items_[pos] = items_[parent];
    pos = parent;
  }
  items_[pos] = x;
}

template <class Order>
void TopK<Order>::push(Candidate c) {
  items_.push_back(c);
  holds_nan_ |= c.score != c.score;
  sift_up(items_.size() - 1);
}

template <class Order>
std::optional<Candidate> TopK<Order>::pop() {
  if (items_.empty()) return std::nullopt;
  const Candidate last = items_.back();
  items_.pop_back();
  if (items_.empty()) return last;
  const Candidate top = items_[0];
  // The hole sinks to the bottom along the worse child (the right one unless the left is
  // strictly worse), then `last` fills it and rises: fewer comparisons than a sift-down.
  const size_t n = items_.size();
  size_t hole = 0;
  size_t child = 1;
  while (child + 1 < n) {
    const size_t pick = Order::worse(items_[child], items_[child + 1]) ? child : child + 1;
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

template <class Order>
bool TopK<Order>::fill(Candidate c) {
  if (items_.size() >= k_) return false;
  push(c);
  if (items_.size() == k_) threshold_ = items_[0].score;
  return true;
}

template <class Order>
void TopK<Order>::offer_slow(Candidate c) {
  if (fill(c) || k_ == 0 || !Order::displaces(c, items_[0])) return;
  replace_root(c);
}

template <class Order>
void TopK<Order>::offer_by_pop_slow(Candidate c) {
  if (fill(c) || k_ == 0 || !Order::displaces(c, items_[0])) return;
  if (!holds_nan_) return replace_root(c);
  pop();
  push(c);
  threshold_ = items_[0].score;
}

// The newcomer replaces the root and sinks below every worse child.
template <class Order>
void TopK<Order>::replace_root(Candidate c) {
  const size_t n = items_.size();
  size_t pos = 0;
  for (;;) {
    size_t child = 2 * pos + 1;
    if (child >= n) break;
    if (child + 1 < n && Order::worse(items_[child + 1], items_[child])) ++child;
    if (!Order::worse(items_[child], c)) break;
    items_[pos] = items_[child];
    pos = child;
  }
  items_[pos] = c;
  threshold_ = items_[0].score;
}

// Compiled once, in heap.cpp: the vector files that offer to a heap must not carry a copy.
extern template class TopK<CandidateOrder>;
extern template class TopK<ArrivalOrder>;

}  // namespace qv::ranking
