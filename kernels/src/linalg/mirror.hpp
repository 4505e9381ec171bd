#pragma once
#include <cstddef>

namespace qv::linalg {

enum class Triangle { lower, upper };

// Makes the row-major n x n matrix symmetric by copying the `source` triangle onto the
// other one: a[r][c] = a[c][r] for every (r, c) off the source side. Tile by tile, so
// the strided reads stay in cache; runs on the current pool.
void mirror(double* a, size_t n, Triangle source);

}  // namespace qv::linalg
