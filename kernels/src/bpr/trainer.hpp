#pragma once
// The training loop over one piece of an epoch, once per instruction-set level
// (core/isa.hpp). The build targets baseline x86-64, where every fma is a library call;
// on a processor with FMA the instruction gives the same bits far faster.
#include <cstddef>
#include <cstdint>

namespace qv::bpr {

struct Counts {
  uint64_t correct = 0;
  uint64_t skipped = 0;
};

// Index is the width of the item and owner copies: 32 bits whenever every user and item
// number fits, which halves the bytes the random entry lookups and searches touch.
template <class Index>
struct Trainer {
  const uint64_t* indptr;
  const Index* indices;
  const Index* owner;
  const uint64_t* sample_pool;  // null: every stored entry is a positive
  uint64_t nnz;
  uint64_t n_cols;
  uint64_t n_samples;
  size_t n_factors;
  double* user;
  // Item rows start item_stride doubles apart, each on its own cache lines, with the
  // item's bias at column n_factors (see bpr.cpp).
  double* item;
  size_t item_stride;
  double lr;
  double reg;
  uint64_t seed;
  bool use_bias;
  bool popularity;
};

// Trains on the samples [lo, hi) of `epoch`, counting into `c`.
namespace portable {
void run(const Trainer<uint32_t>& t, uint64_t epoch, size_t lo, size_t hi, Counts& c);
void run(const Trainer<uint64_t>& t, uint64_t epoch, size_t lo, size_t hi, Counts& c);
}  // namespace portable
namespace avx2 {
void run(const Trainer<uint32_t>& t, uint64_t epoch, size_t lo, size_t hi, Counts& c);
void run(const Trainer<uint64_t>& t, uint64_t epoch, size_t lo, size_t hi, Counts& c);
}  // namespace avx2

}  // namespace qv::bpr
