#pragma once
#include <cstdint>

namespace qv::linalg {

// Refuses a buffer larger than the machine's physical memory before any of it is
// allocated: such a size must fail as std::bad_alloc, never through the allocator
// or the out-of-memory killer.
void require_memory(uint64_t bytes);

}  // namespace qv::linalg
