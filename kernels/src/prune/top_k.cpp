#include "prune/top_k.hpp"

#include "core/total_order.hpp"
#include "ranking/select.hpp"

namespace qv::prune {

namespace {
struct Triple {
  int64_t key;  // totalOrder key of the value
  uint64_t pos;
  uint64_t col;
  double value;
};

}  // namespace

sparse::CsrOwned top_k_per_row(const sparse::CsrView& m, uint64_t k) {
  return sparse::CsrOwned::build(
      m.n_rows, [] { return std::vector<Triple>(); },
      [&](std::vector<Triple>& scratch, uint64_t r, sparse::RowEntries& out) {
        auto [s, e] = m.row(r);
        const size_t before = out.size();
        if (e - s <= k) {
          for (size_t p = s; p < e; ++p) out.emplace_back(m.column(p), m.value(p));
        } else {
          scratch.clear();
          for (size_t p = s; p < e; ++p) scratch.push_back({total_order_key(m.value(p)), p, m.column(p), m.data[p]});
          ranking::select_k(std::span(scratch), k, [](const Triple& t) { return std::pair{t.key, t.pos}; });
          for (size_t i = 0; i < k; ++i) out.emplace_back(scratch[i].col, scratch[i].value);
        }
        sparse::sort_by_column(std::span(out).subspan(before));
      });
}

}  // namespace qv::prune
