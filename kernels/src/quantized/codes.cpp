#include "quantized/codes.hpp"

namespace qv::quantized {

bool describes(const QuantizedStore& store, uint64_t n_items, uint64_t dim) {
  if (const auto* d = std::get_if<DenseCodes>(&store)) {
    if (d->dim != dim || d->row_bytes != row_bytes(dim, d->bits)) return false;
    if (d->scale.size() != dim || d->offset.size() != dim) return false;
    // Divided rather than multiplied, so no item count can wrap the product.
    return d->row_bytes == 0 || d->codes.size() / d->row_bytes >= n_items;
  }
  const auto& s = std::get<SparseCodes>(store);
  if (s.rows.n_rows != n_items || s.rows.n_cols != dim || s.rows.indptr.size() != n_items + 1) return false;
  const uint64_t nnz = s.rows.indptr.back();
  const uint64_t per_byte = 8 / s.bits;
  return s.codes.size() >= nnz / per_byte + (nnz % per_byte != 0);
}

}  // namespace qv::quantized
