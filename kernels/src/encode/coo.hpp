#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "sparse/sparse.hpp"

namespace qv::encode {

// Canonical CSR from coordinate triples: rows in order, columns ascending, duplicates
// summed left to right in input order, explicit zeros kept. Indices were checked by the
// caller and are checked again as they are read (InternalError). Entries are scattered to buckets of consecutive rows in input order, and each
// bucket is sorted stably by (row, column) in cache; the result does not depend on the
// current pool's size.
sparse::RawCsr coo_to_csr(std::span<const uint64_t> rows, std::span<const uint64_t> cols,
                            std::span<const double> data, uint64_t n_rows, uint64_t n_cols);

}  // namespace qv::encode
