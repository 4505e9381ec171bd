#pragma once
// The tests a search call makes over whole runs of the caller's index arrays, once per
// instruction-set level (core/isa.hpp). They run on every call, over every link of the
// index, so they are branch-free reductions that go at memory speed; each answers only
// whether the whole run passes, which is all the callers report.
//   links_below(v, n, bound):     every v[i] in [0, bound), bound <= 2^31;
//   steps_up(v, n, before):       every v[i] >= 0 and v[i] >= v[i - 1], with v[-1] = before >= 0;
//   counts_up(v, n, first):       v[i] == first + i for every i.
#include <cstddef>
#include <cstdint>

#include "core/isa.hpp"

namespace qv::hnsw {

#define QV_HNSW_RUNS_DECLS                                                  \
  bool links_below(const int32_t* v, size_t n, uint32_t bound);            \
  bool steps_up(const int64_t* v, size_t n, int64_t before);               \
  bool counts_up(const int64_t* v, size_t n, uint64_t first);
namespace portable { QV_HNSW_RUNS_DECLS }
namespace avx2 { QV_HNSW_RUNS_DECLS }
namespace avx512 { QV_HNSW_RUNS_DECLS }
#undef QV_HNSW_RUNS_DECLS

struct Runs {
  bool (*links_below)(const int32_t*, size_t, uint32_t);
  bool (*steps_up)(const int64_t*, size_t, int64_t);
  bool (*counts_up)(const int64_t*, size_t, uint64_t);
};

// The versions for the active level.
inline Runs pick_runs() {
  return {QV_ISA_PICK3(portable::links_below, avx2::links_below, avx512::links_below),
          QV_ISA_PICK3(portable::steps_up, avx2::steps_up, avx512::steps_up),
          QV_ISA_PICK3(portable::counts_up, avx2::counts_up, avx512::counts_up)};
}

}  // namespace qv::hnsw
