#include "recommend/scoring.hpp"

namespace qv::recommend::portable {

namespace {

inline void scan_scores(const double* user, size_t dim, const Group& g, double out[4]) {
  const size_t blocks = dim / 8;
  for (int i = 0; i < 4; ++i) {
    const double* v = g.v[i];
    double s[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    for (size_t m = 0; m < blocks; ++m)
      for (int l = 0; l < 8; ++l) s[l] = std::fma(v[8 * m + l], user[8 * m + l], s[l]);
    const double t = ((s[7] + s[3]) + (s[5] + s[1])) + ((s[6] + s[2]) + (s[4] + s[0]));
    out[i] = scan_finish(t, user, v, blocks * 8, dim, g.bias[i]);
  }
}

// ---- tile: per lane, one chain seeded with the bias over the components in order ----
//
// `users` holds component j of lane l at 8*j + l. Scores land in out[i][l]. Returns false
// when every score is below its lane's threshold, so the group need not be offered.

inline bool tile_scores(const double* users, size_t dim, const Group& g, const double thr[8], double out[4][8]) {
  for (int i = 0; i < 4; ++i) {
    double acc[8];
    for (int l = 0; l < 8; ++l) acc[l] = g.bias[i];
    const double* v = g.v[i];
    for (size_t j = 0; j < dim; ++j) {
      const double x = v[j];
      for (int l = 0; l < 8; ++l) acc[l] = std::fma(users[8 * j + l], x, acc[l]);
    }
    for (int l = 0; l < 8; ++l) out[i][l] = acc[l];
  }
  for (int i = 0; i < 4; ++i)
    for (int l = 0; l < 8; ++l)
      if (!(out[i][l] < thr[l])) return true;
  return false;
}

}  // namespace

}  // namespace qv::recommend::portable

#include "recommend/scoring_impl.hpp"

namespace qv::recommend::portable {

// Columns are independent, so the vector width of the other levels does not change a bit.
void fma_row(double x, const double* w, double* s, size_t n) {
  for (size_t c = 0; c < n; ++c) s[c] = std::fma(x, w[c], s[c]);
}

}  // namespace qv::recommend::portable
