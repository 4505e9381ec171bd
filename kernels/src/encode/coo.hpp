#pragma once
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "sparse/sparse.hpp"

namespace qv::encode {

// The bounds the caller holds indices to; each is at most max(n, 1) of its axis.
struct IndexLimits {
  uint64_t rows, cols;
};

// An index at or past its limit: the first such row in input order, else the first such
// column.
struct OutOfRange {
  bool column;
  uint64_t value;
};

// Canonical CSR from coordinate triples: rows in order, columns ascending, duplicates
// summed left to right in input order, explicit zeros kept. The indices are checked
// against `limits` while they are counted and scattered, so a call with a bad index
// returns that index and no matrix; an index that changes during the call and then lies
// out of range is an InternalError. Entries are scattered to buckets of consecutive rows
// in input order, and each bucket is sorted stably by (row, column) in cache; the result
// does not depend on the current pool's size.
std::variant<sparse::RawCsr, OutOfRange> coo_to_csr(std::span<const uint64_t> rows, std::span<const uint64_t> cols,
                                                    std::span<const double> data, uint64_t n_rows, uint64_t n_cols,
                                                    IndexLimits limits);

}  // namespace qv::encode
