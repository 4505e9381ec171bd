#pragma once
#include <cstdint>

#include "core/raw_vector.hpp"

namespace qv::linalg {

// Refuses a buffer larger than the machine's physical memory before any of it is
// allocated: such a size must fail as std::bad_alloc, never through the allocator
// or the out-of-memory killer.
void require_memory(uint64_t bytes);

// An uninitialised row-major n x n matrix whose pages were first touched by the pool's
// threads, a block of pages each. Touched by the row tasks instead, every thread would
// fault on the same few pages at once and wait for one another.
core::RawVector<double> square_matrix(uint64_t n);

}  // namespace qv::linalg
