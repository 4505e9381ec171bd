#pragma once
// Keeps the k highest-scoring entries of a stream. Ties are decided by arrival: a
// newcomer that only equals the lowest held score never enters.
#include <cstdint>
#include <utility>
#include <vector>

namespace qv::knn {

struct Entry {
  double score;
  uint64_t index;
};

// Entry order: score ascending (equal or NaN-involving pairs tie), then index ascending.
inline bool entry_less(const Entry& a, const Entry& b) {
  if (a.score < b.score) return true;
  if (a.score > b.score) return false;
  return a.index < b.index;
}

class ImplicitTopK {
 public:
  // `reserve_cap` bounds the up-front reservation by what the caller can ever push, so a
  // huge k from Python never turns into a huge allocation.
  explicit ImplicitTopK(uint64_t k, uint64_t reserve_cap = UINT64_MAX) : k_(k) {
    uint64_t r = (k < reserve_cap ? k : reserve_cap);
    heap_.reserve(static_cast<size_t>(r < (1u << 30) ? r + 1 : (1u << 30)));
  }

  void push(uint64_t index, double score) {
    if (k_ == 0) return;
    if (heap_.size() < k_) {
      heap_.push_back({score, index});
      sift_up(heap_.size() - 1);
    } else if (score > heap_[0].score) {
      heap_[0] = {score, index};
      sift_down(0);
    }
  }

  size_t size() const { return heap_.size(); }
  uint64_t k() const { return k_; }

  // Every held entry in storage order (no ranking order); leaves the holder empty.
  template <class F>
  void drain(F&& f) {
    for (const Entry& e : heap_) f(e.index, e.score);
    heap_.clear();
  }

 private:
  void sift_up(size_t pos) {
    Entry x = heap_[pos];
    while (pos > 0) {
      size_t parent = (pos - 1) / 2;
      if (!entry_less(x, heap_[parent])) break;
      heap_[pos] = heap_[parent];
      pos = parent;
    }
    heap_[pos] = x;
  }
  void sift_down(size_t pos) {
    const size_t n = heap_.size();
    Entry x = heap_[pos];
    for (;;) {
      size_t child = 2 * pos + 1;
      if (child >= n) break;
      if (child + 1 < n && entry_less(heap_[child + 1], heap_[child])) ++child;
      if (!entry_less(heap_[child], x)) break;
      heap_[pos] = heap_[child];
      pos = child;
    }
    heap_[pos] = x;
  }

  uint64_t k_;
  std::vector<Entry> heap_;
};

}  // namespace qv::knn
