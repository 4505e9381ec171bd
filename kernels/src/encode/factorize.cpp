#include "encode/factorize.hpp"

#include <algorithm>
#include <limits>

#include "core/invariant.hpp"

namespace qv::encode {

namespace {
std::pair<std::vector<int64_t>, std::vector<int64_t>> dense(std::span<const int64_t> values, int64_t min,
                                                            size_t span) {
  // Each value is read once, its offset kept in its code slot: the caller's array may be
  // written while the lock is released, and a second read could find a value that was
  // never marked, or one outside the span.
  std::vector<uint32_t> table;
  std::vector<int64_t> codes;
  resize_as("a table over the range of the values", table, span, 0u);
  resize_as("a code per value", codes, values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    const uint64_t off = static_cast<uint64_t>(read_once(values[i])) - static_cast<uint64_t>(min);
    QV_ASSERT(off < span, "value changed while being factorized");
    table[off] = 1;
    codes[i] = static_cast<int64_t>(off);
  }
  std::vector<int64_t> uniques;
  for (size_t off = 0; off < span; ++off)
    if (table[off]) {
      uniques.push_back(static_cast<int64_t>(static_cast<uint64_t>(min) + off));
      table[off] = static_cast<uint32_t>(uniques.size());
    }
  for (int64_t& c : codes) c = static_cast<int64_t>(table[static_cast<uint64_t>(c)]) - 1;
  return {std::move(uniques), std::move(codes)};
}

constexpr uint64_t kEmpty = std::numeric_limits<uint64_t>::max();

// A slot keeps the value beside its index so a probe touches one cache line.
struct Slot {
  int64_t value;
  uint64_t index;
};

inline uint64_t slot_of(int64_t v, uint64_t mask) {
  return ((static_cast<uint64_t>(v) * 0x9E3779B97F4A7C15ull) >> 32) & mask;
}
}  // namespace

std::pair<std::vector<int64_t>, std::vector<int64_t>> hashed(std::span<const int64_t> values) {
  std::vector<int64_t> distinct;
  std::vector<Slot> slots(1024, Slot{0, kEmpty});
  uint64_t mask = 1023;
  std::vector<int64_t> codes;
  resize_as("a code per value", codes, values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    const int64_t v = read_once(values[i]);
    uint64_t h = slot_of(v, mask);
    while (slots[h].index != kEmpty && slots[h].value != v) h = (h + 1) & mask;
    if (slots[h].index == kEmpty) {
      slots[h] = {v, distinct.size()};
      distinct.push_back(v);
      if (3 * slots.size() < 4 * distinct.size()) {
        std::vector<Slot> grown(slots.size() * 2, Slot{0, kEmpty});
        mask = grown.size() - 1;
        for (size_t d = 0; d < distinct.size(); ++d) {
          uint64_t g = slot_of(distinct[d], mask);
          while (grown[g].index != kEmpty) g = (g + 1) & mask;
          grown[g] = {distinct[d], d};
        }
        slots.swap(grown);
        codes[i] = static_cast<int64_t>(distinct.size() - 1);
        continue;
      }
    }
    codes[i] = static_cast<int64_t>(slots[h].index);
  }
  std::vector<uint64_t> order(distinct.size());
  for (size_t d = 0; d < order.size(); ++d) order[d] = d;
  std::sort(order.begin(), order.end(), [&](uint64_t a, uint64_t b) { return distinct[a] < distinct[b]; });
  std::vector<int64_t> rank(distinct.size());
  std::vector<int64_t> uniques(distinct.size());
  for (size_t k = 0; k < order.size(); ++k) {
    rank[order[k]] = static_cast<int64_t>(k);
    uniques[k] = distinct[order[k]];
  }
  for (int64_t& c : codes) c = rank[static_cast<size_t>(c)];
  return {std::move(uniques), std::move(codes)};
}

std::pair<std::vector<int64_t>, std::vector<int64_t>> factorize(std::span<const int64_t> values) {
  const size_t n = values.size();
  if (n == 0) return {};
  auto [lo, hi] = std::minmax_element(values.begin(), values.end());
  const __int128 span = static_cast<__int128>(*hi) - *lo + 1;
  const __int128 threshold = std::min<__int128>(static_cast<__int128>(n) * 2, 4294967294LL);
  if (span <= threshold) return dense(values, *lo, static_cast<size_t>(span));
  return hashed(values);
}

}  // namespace qv::encode
