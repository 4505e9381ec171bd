#pragma once
// Selection of the k best of a list under the IEEE totalOrder of a score, without sorting
// the rest.
#include <algorithm>
#include <cstdint>
#include <span>

namespace qv::ranking {

// Moves the k best items of `items` to its front, in no particular order, when it holds
// more than k. `rank(x)` returns {key, tie}: the higher key is better (a total_order_key),
// equal keys go to the lower tie.
template <class T, class Rank>
void select_k(std::span<T> items, uint64_t k, Rank rank) {
  if (items.size() <= k) return;
  std::nth_element(items.begin(), items.begin() + static_cast<ptrdiff_t>(k), items.end(),
                   [&rank](const T& a, const T& b) {
                     const auto ra = rank(a), rb = rank(b);
                     return ra.first != rb.first ? ra.first > rb.first : ra.second < rb.second;
                   });
}

}  // namespace qv::ranking
