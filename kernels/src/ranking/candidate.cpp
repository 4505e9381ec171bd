#include "ranking/candidate.hpp"

namespace qv::ranking {

void sort_best_first(std::span<Candidate> list) {
  const size_t n = list.size();
  if (n < 2) return;
  if (n <= 20) {
    for (size_t i = 1; i < n; ++i) {
      Candidate x = list[i];
      size_t j = i;
      while (j > 0 && worse(list[j - 1], x)) {
        list[j] = list[j - 1];
        --j;
      }
      list[j] = x;
    }
    return;
  }
  bool has_nan = std::any_of(list.begin(), list.end(), [](const Candidate& c) { return std::isnan(c.score); });
  if (!has_nan) {
    std::sort(list.begin(), list.end(), [](const Candidate& a, const Candidate& b) { return worse(b, a); });
  } else {
    std::sort(list.begin(), list.end(), [](const Candidate& a, const Candidate& b) {
      bool na = std::isnan(a.score), nb = std::isnan(b.score);
      if (na != nb) return nb;  // numbers before NaNs
      if (!na && a.score != b.score) return a.score > b.score;
      return a.index < b.index;
    });
  }
}

}  // namespace qv::ranking
