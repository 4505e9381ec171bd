#include "knn/neighbours.hpp"

#include <algorithm>
#include <cmath>

#include "core/isa.hpp"
#include "knn/cosine.hpp"
#include "knn/implicit_top_k.hpp"
#include "knn/keep_best.hpp"
#include "knn/walk.hpp"

namespace qv::knn {

sparse::CsrOwned all_pairs_top_k_rows(const sparse::CsrView& w, uint64_t k,
                                      std::optional<std::span<const uint64_t>> rows) {
  const Walk walk(w, Walk::Slots::by_popularity);
  // A row never touches more columns than exist or than there are stored entries, so a
  // k from Python far beyond that reserves no more than can be used.
  const uint64_t reachable = std::min<uint64_t>(w.n_cols, w.indices.size());
  struct State {
    sparse::Accumulator acc;
    ImplicitTopK top;
  };
  auto init = [&] { return State{sparse::Accumulator(w.n_cols), ImplicitTopK(k, reachable)}; };
  auto fill = [&](State& st, uint64_t i, sparse::RowEntries& out) {
    walk.products(i, st.acc);
    const auto touched = st.acc.touched();
    for (size_t t = touched.size(); t-- > 0;) st.top.offer(st.acc.value(touched[t]), walk.item(touched[t]));
    st.acc.reset();
    const size_t start = out.size();
    for (const ranking::Candidate& c : st.top.held()) out.emplace_back(c.index, c.score);
    st.top.clear();
    sparse::sort_by_column(std::span(out).subspan(start));
  };
  return build_rows(w.n_cols, rows, init, fill);
}

sparse::CsrOwned cosine_top_k_rows(const sparse::CsrView& w, std::span<const double> norms, uint64_t k,
                                   std::optional<std::span<const uint64_t>> rows, double shrink) {
  QV_ASSERT(norms.size() == w.n_cols, "norms do not match the column count");
  const Walk walk(w, Walk::Slots::by_popularity);
  const auto candidates = QV_ISA_PICK(portable::cosine_candidates, avx2::cosine_candidates);
  auto init = [&] { return sparse::Accumulator(w.n_cols); };
  auto fill = [&](sparse::Accumulator& acc, uint64_t i, sparse::RowEntries& out) {
    const size_t start = out.size();
    walk.products(i, acc);
    out.resize(start + acc.touched().size());
    out.resize(start + candidates(acc, walk.items(), i, norms.data(), shrink, out.data() + start));
    acc.reset();
    keep_best(out, start, k);
  };
  return build_rows(w.n_cols, rows, init, fill);
}

}  // namespace qv::knn
