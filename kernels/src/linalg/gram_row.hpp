#pragma once
// One row of the Gram matrix, once per instruction-set level (core/isa.hpp).
#include <cstddef>
#include <cstdint>

#include "sparse/columns.hpp"

namespace qv::linalg {

// The interaction matrix as the row loop reads it: columns narrowed to 32 bits, and per
// row whether all its values are equal (then r_uj * r_ui reads one value twice).
struct GramSource {
  const uint64_t* indptr;
  const uint32_t* cols;
  const double* data;
  const uint8_t* constant;
};

using UserRef = sparse::ColumnIndex::Ref;

// Row i of G from the users of item i, users ascending: G[i][j] = fma(r_uj, r_ui, G[i][j]).
// With `upper`, each user row is read from item i's own position on, which covers
// exactly the columns j >= i when rows hold strictly ascending columns.
namespace portable {
void gram_row(double* row, const UserRef* users, size_t n_users, const GramSource& src, bool upper);
}
namespace avx2 {
void gram_row(double* row, const UserRef* users, size_t n_users, const GramSource& src, bool upper);
}

}  // namespace qv::linalg
