#include "rp3beta/similarity.hpp"

#include "knn/keep_best.hpp"
#include "knn/walk.hpp"

namespace qv::rp3beta {

sparse::CsrOwned similarity_rows(const sparse::CsrView& pui, std::span<const double> row_scale,
                                 std::span<const double> col_scale, uint64_t k,
                                 std::optional<std::span<const uint64_t>> rows) {
  QV_ASSERT(row_scale.size() == pui.n_cols && col_scale.size() == pui.n_cols,
            "scales do not match the column count");
  const knn::Walk walk(pui);
  auto init = [&] { return sparse::Accumulator(pui.n_cols); };
  auto fill = [&](sparse::Accumulator& acc, uint64_t i, sparse::RowEntries& out) {
    const size_t start = out.size();
    walk.sums(i, acc);
    const double scale_i = row_scale[i];
    for (uint64_t j : acc.touched()) {
      if (j == i) continue;
      const double s = (acc.value(j) * scale_i) * col_scale[j];
      if (s == 0.0) continue;
      out.emplace_back(j, s);
    }
    acc.reset();
    knn::keep_best(out, start, k);
  };
  return knn::build_rows(pui.n_cols, rows, init, fill);
}

}  // namespace qv::rp3beta
