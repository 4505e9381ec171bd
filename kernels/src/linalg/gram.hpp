#pragma once
#include "core/raw_vector.hpp"
#include "sparse/sparse.hpp"

namespace qv::linalg {

// G = R^T R as n_cols x n_cols row-major values. Row i of G is one task that adds, users
// ascending, fma(r_uj, r_ui, G[i][j]) over the users u of item i, so the result is the
// same bits for every pool size. Runs on the current pool. A matrix larger than the
// machine's memory throws std::bad_alloc before anything is allocated.
core::RawVector<double> gram(const sparse::CsrView& r);

}  // namespace qv::linalg
