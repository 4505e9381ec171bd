#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "sparse/sparse.hpp"

namespace qv::encode {

// Canonical CSR from coordinate triples: rows in order, columns ascending, duplicates
// summed left to right in input order, explicit zeros kept. Indices were checked by the
// caller and are checked again as they are read (InternalError). A parallel counting sort by row, then a stable sort by column within each row;
// the result does not depend on the current pool's size.
sparse::CsrOwned coo_to_csr(std::span<const uint64_t> rows, std::span<const uint64_t> cols,
                            std::span<const double> data, uint64_t n_rows, uint64_t n_cols);

// Bucket boundaries that split cumulative offsets into at most `parts` groups of
// consecutive buckets with balanced entry counts: starts with 0, ends with m - 1.
std::vector<size_t> bucket_blocks(std::span<const uint64_t> offsets, size_t parts);

}  // namespace qv::encode
