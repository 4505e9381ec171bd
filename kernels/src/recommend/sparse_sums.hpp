#pragma once
// The sums of one query's terms over the items it reaches, in a table sized by the number
// of terms rather than by the catalogue. A query reaching two thousand of a million items
// touches a few thousand slots here, where a catalogue-sized accumulator costs a fresh
// page per item it reaches and a megabyte of clearing per request.
//
// Each sum is 0.0 plus its terms in the order they were added, as the dense accumulator
// forms it, and the touched items are listed in first-touch order; items can also be
// marked excluded, which does not touch them.
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "core/invariant.hpp"

namespace qv::recommend {

class SparseSums {
 public:
  // Empties the table and sizes it for `capacity` distinct items (touched or excluded).
  void reset(uint64_t capacity) {
    uint64_t size = 16;
    while (size < 2 * capacity) size *= 2;
    slots_.assign(checked_len<Slot>(size), Slot{});
    shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(size));
    touched_.clear();
    used_ = 0;
  }

  void exclude(uint64_t item) { slot(item).flags |= kExcluded; }

  void add(uint64_t item, double term) {
    Slot& s = slot(item);
    if (!(s.flags & kTouched)) {
      s.flags |= kTouched;
      touched_.push_back(item);
    }
    s.value = s.value + term;
  }

  std::span<const uint64_t> touched() const { return touched_; }
  double value(uint64_t item) const { return find(item).value; }
  bool is_touched(uint64_t item) const { return find(item).flags & kTouched; }
  bool is_excluded(uint64_t item) const { return find(item).flags & kExcluded; }

 private:
  static constexpr uint64_t kEmpty = std::numeric_limits<uint64_t>::max();
  static constexpr uint8_t kTouched = 1, kExcluded = 2;
  struct Slot {
    uint64_t key = kEmpty;
    double value = 0.0;
    uint8_t flags = 0;
  };

  size_t home(uint64_t item) const { return static_cast<size_t>((item * 0x9E3779B97F4A7C15ull) >> shift_); }

  // The slot of `item`, claimed when absent. At least one slot stays empty, so a lookup
  // always ends, even when a caller rewrote the matrix under the call and brought more
  // items than the table was sized for.
  Slot& slot(uint64_t item) {
    QV_ASSERT(item != kEmpty, "item out of range");
    const size_t mask = slots_.size() - 1;
    for (size_t i = home(item);; i = (i + 1) & mask) {
      Slot& s = slots_[i];
      if (s.key == item) return s;
      if (s.key == kEmpty) {
        QV_ASSERT(used_ + 1 < slots_.size(), "sparse sums over capacity");
        ++used_;
        s.key = item;
        return s;
      }
    }
  }

  // The slot of `item`, or an empty one (no flags, value 0) when it is absent.
  const Slot& find(uint64_t item) const {
    const size_t mask = slots_.size() - 1;
    for (size_t i = home(item);; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.key == item || s.key == kEmpty) return s;
    }
  }

  std::vector<Slot> slots_;
  std::vector<uint64_t> touched_;
  unsigned shift_ = 60;
  size_t used_ = 0;
};

}  // namespace qv::recommend
