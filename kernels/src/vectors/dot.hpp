#pragma once
// The blocked inner product every dense score goes through. Its evaluation order is part
// of the results (scores are returned and decide rankings), so each vector path follows
// the portable code below operation for operation:
//  - sixteen lane accumulators, each a fused chain over elements l, l+16, l+32, ...;
//  - four lane accumulators, fused chains over the whole 4-blocks left after the 16-blocks;
//  - per lane l < 4: v[l] = (acc[12+l] + acc[4+l]) + (acc[8+l] + (s[l] + acc[l]));
//  - r = (v[0] + v[2]) + (v[1] + v[3]); then the last n mod 4 elements fused into r in order.
// Every lane is an independent fused chain, so vector widths change nothing but speed.
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace qv::vectors {

inline double dot_portable(const double* a, const double* b, size_t n) {
  double acc[16] = {};
  const size_t blocks16 = n / 16;
  for (size_t j = 0; j < blocks16; ++j)
    for (size_t l = 0; l < 16; ++l) acc[l] = std::fma(a[16 * j + l], b[16 * j + l], acc[l]);
  double s[4] = {};
  const size_t r0 = 16 * blocks16, blocks4 = (n - r0) / 4;
  for (size_t t = 0; t < blocks4; ++t)
    for (size_t l = 0; l < 4; ++l) s[l] = std::fma(a[r0 + 4 * t + l], b[r0 + 4 * t + l], s[l]);
  double v[4];
  for (size_t l = 0; l < 4; ++l) v[l] = (acc[12 + l] + acc[4 + l]) + (acc[8 + l] + (s[l] + acc[l]));
  double r = (v[0] + v[2]) + (v[1] + v[3]);
  for (size_t i = 4 * (n / 4); i < n; ++i) r = std::fma(a[i], b[i], r);
  return r;
}

// The code paths of the dense scorers. All give the same bits; they differ in speed.
enum class Path : uint8_t { Portable, Avx2, Avx512 };

// The fastest path this CPU runs.
Path best_path();
// Whether this CPU can run `p`.
bool path_available(Path p);

double dot_on(Path p, const double* a, const double* b, size_t n);

// out[i] = dot(q, base + ids[i] * dim) for i < n: one neighbour list scored at once, the
// rows of the next entries requested ahead.
void dot_rows_on(Path p, const double* q, const double* base, size_t dim, const uint32_t* ids, size_t n,
                 double* out);

inline double dot(const double* a, const double* b, size_t n) { return dot_on(best_path(), a, b, n); }

inline void dot_rows(const double* q, const double* base, size_t dim, const uint32_t* ids, size_t n, double* out) {
  dot_rows_on(best_path(), q, base, dim, ids, n, out);
}

}  // namespace qv::vectors
