#include "knn/neighbours.hpp"

#include <algorithm>
#include <cmath>

#include "knn/implicit_top_k.hpp"
#include "knn/keep_best.hpp"
#include "knn/walk.hpp"
#include "sparse/fma_clones.hpp"

namespace qv::knn {

namespace {

// One fused rounding for the denominator, then an ordinary division.
QV_FMA_CLONES void cosine_candidates(const sparse::Accumulator& acc, uint64_t i, const double* norms, double shrink,
                                     sparse::RowEntries& out) {
  const double norm_i = norms[i];
  for (uint64_t j : acc.touched()) {
    const double dot = acc.value(j);
    if (j == i || dot == 0.0) continue;
    out.emplace_back(j, dot / std::fma(norm_i, norms[j], shrink));
  }
}

}  // namespace

sparse::CsrOwned all_pairs_top_k_rows(const sparse::CsrView& w, uint64_t k,
                                      std::optional<std::span<const uint64_t>> rows) {
  const Walk walk(w);
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
    for (size_t t = touched.size(); t-- > 0;) st.top.push(touched[t], st.acc.value(touched[t]));
    st.acc.reset();
    const size_t start = out.size();
    st.top.drain([&](uint64_t j, double s) { out.emplace_back(j, s); });
    sparse::sort_by_column(std::span(out).subspan(start));
  };
  return build_rows(w.n_cols, rows, init, fill);
}

sparse::CsrOwned cosine_top_k_rows(const sparse::CsrView& w, std::span<const double> norms, uint64_t k,
                                   std::optional<std::span<const uint64_t>> rows, double shrink) {
  QV_ASSERT(norms.size() == w.n_cols, "norms do not match the column count");
  const Walk walk(w);
  auto init = [&] { return sparse::Accumulator(w.n_cols); };
  auto fill = [&](sparse::Accumulator& acc, uint64_t i, sparse::RowEntries& out) {
    const size_t start = out.size();
    walk.products(i, acc);
    cosine_candidates(acc, i, norms.data(), shrink, out);
    acc.reset();
    keep_best(out, start, k);
  };
  return build_rows(w.n_cols, rows, init, fill);
}

}  // namespace qv::knn
