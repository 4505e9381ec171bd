#include "knn/keep_best.hpp"

#include "core/total_order.hpp"
#include "ranking/select.hpp"

namespace qv::knn {

void keep_best(sparse::RowEntries& out, size_t start, uint64_t k) {
  const std::span<std::pair<uint64_t, double>> row = std::span(out).subspan(start);
  ranking::select_k(row, k, [](const std::pair<uint64_t, double>& e) {
    return std::pair{total_order_key(e.second), e.first};
  });
  if (row.size() > k) out.resize(start + k);
  sparse::sort_by_column(std::span(out).subspan(start));
}

}  // namespace qv::knn
