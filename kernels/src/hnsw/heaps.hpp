#pragma once
// The two heaps of a graph walk, both under the Candidate order: the bounded result set
// (worst on top, filled through `keep`) and the frontier (best on top).
#include <cstddef>
#include <vector>

#include "core/invariant.hpp"
#include "ranking/candidate.hpp"
#include "ranking/heap.hpp"

namespace qv::hnsw {

using ranking::Candidate;
using ranking::worse;

// The bounded result set: worst on top.
using ResultHeap = ranking::TopK<ranking::CandidateOrder>;

// True when (s, i) ranks strictly better than (best, cur).
inline bool better(double s, uint64_t i, double best, uint64_t cur) { return worse({best, cur}, {s, i}); }

// Offers (score, item) to a result set of capacity cap: push, then drop the worst when
// the set already held cap entries. With cap 0 it stays empty.
inline void keep(ResultHeap& heap, uint64_t item, double score, uint64_t cap) {
  const size_t before = heap.size();
  heap.push({score, item});
  if (before >= cap) heap.pop();
}

// Binary heap with the best Candidate on top.
class Frontier {
 public:
  void reserve(size_t n) { reserve_as("a per-worker walk frontier", items_, n); }
  void clear() { items_.clear(); }
  bool empty() const { return items_.empty(); }
  size_t size() const { return items_.size(); }
  const Candidate& top() const { return items_.front(); }

  void push(Candidate c) {
    items_.push_back(c);
    size_t pos = items_.size() - 1;
    while (pos > 0) {
      const size_t parent = (pos - 1) / 2;
      if (!worse(items_[parent], c)) break;
      items_[pos] = items_[parent];
      pos = parent;
    }
    items_[pos] = c;
  }

  Candidate pop() {
    const Candidate top = items_.front();
    const Candidate last = items_.back();
    items_.pop_back();
    const size_t n = items_.size();
    if (n == 0) return top;
    size_t pos = 0;
    for (;;) {
      size_t child = 2 * pos + 1;
      if (child >= n) break;
      if (child + 1 < n && worse(items_[child], items_[child + 1])) ++child;
      if (!worse(last, items_[child])) break;
      items_[pos] = items_[child];
      pos = child;
    }
    items_[pos] = last;
    return top;
  }

 private:
  std::vector<Candidate> items_;
};

}  // namespace qv::hnsw
