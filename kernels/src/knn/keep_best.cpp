#include "knn/keep_best.hpp"

#include <algorithm>

#include "core/total_order.hpp"

namespace qv::knn {

void keep_best(sparse::RowEntries& out, size_t start, uint64_t k) {
  auto first = out.begin() + static_cast<ptrdiff_t>(start);
  const size_t n = out.size() - start;
  if (n > k) {
    auto better = [](const std::pair<uint64_t, double>& a, const std::pair<uint64_t, double>& b) {
      int64_t ka = total_order_key(a.second), kb = total_order_key(b.second);
      return ka != kb ? ka > kb : a.first < b.first;
    };
    std::nth_element(first, first + static_cast<ptrdiff_t>(k), out.end(), better);
    out.resize(start + k);
    first = out.begin() + static_cast<ptrdiff_t>(start);
  }
  sparse::sort_by_column(std::span(first, out.end()));
}

}  // namespace qv::knn
