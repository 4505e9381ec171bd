#include "ranking/top_k.hpp"

#include "core/invariant.hpp"
#include "parallel/pool.hpp"
#include "ranking/heap.hpp"

namespace qv::ranking {

namespace {
struct Scratch {
  TopK<CandidateOrder> heap;
  std::vector<Candidate> ranked;
};
}  // namespace

std::variant<std::vector<uint64_t>, TooFewEligible> top_k_per_row(std::span<const double> scores,
                                                                  uint64_t n_cols,
                                                                  std::span<const uint64_t> ex_ptr,
                                                                  std::span<const uint64_t> ex_idx,
                                                                  uint64_t k) {
  const uint64_t n_rows = ex_ptr.size() - 1;
  if (k == 0 || n_rows == 0) return std::vector<uint64_t>{};
  // A row's eligible count is known without ranking it (its exclusions are distinct and
  // in range), so the lowest short row is found serially before any buffer is sized by k.
  for (uint64_t r = 0; r < n_rows; ++r) {
    uint64_t eligible = n_cols - (ex_ptr[r + 1] - ex_ptr[r]);
    if (eligible < k) return TooFewEligible{r, eligible};
  }
  QV_ASSERT(scores.size() == checked_mul(n_rows, n_cols), "score matrix shape");
  require_allocatable(static_cast<unsigned __int128>(n_rows) * k, sizeof(uint64_t), "k", k, "an (n_rows, k) result");
  const uint64_t cells = checked_mul(n_rows, k);
  std::vector<uint64_t> out;
  resize_as("an (n_rows, k) result", out, cells);
  parallel::for_each_with(
      n_rows, [&] { return Scratch{TopK<CandidateOrder>(k, n_cols), {}}; },
      [&](Scratch& s, size_t r) {
        auto& heap = s.heap;
        const double* row = scores.data() + r * n_cols;
        size_t cursor = ex_ptr[r];
        const size_t cursor_end = ex_ptr[r + 1];
        heap.clear();
        for (uint64_t c = 0; c < n_cols; ++c) {
          if (cursor < cursor_end && ex_idx[cursor] == c) {
            ++cursor;
            continue;
          }
          const double s = row[c];
          if (heap.size() < k) {
            heap.push({s, c});
          } else if (s > heap.top().score) {
            // Columns arrive ascending, so only a strictly higher score can be better.
            heap.pop();
            heap.push({s, c});
          }
        }
        heap.drain_sorted(s.ranked);
        uint64_t* dst = out.data() + r * k;
        for (size_t i = 0; i < s.ranked.size(); ++i) dst[i] = s.ranked[i].index;
      });
  return out;
}

}  // namespace qv::ranking
