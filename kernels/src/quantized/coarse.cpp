#include "quantized/coarse.hpp"

#include <cmath>

#include "quantized/coarse_scores.hpp"

namespace qv::quantized {

namespace {

// Candidates scored per call of a block scorer.
constexpr size_t kBlock = 64;

CoarseScorers scorers(uint32_t bits) {
  return QV_ISA_PICK(portable::coarse_scorers, avx2::coarse_scorers)(bits);
}

// Offers every eligible candidate, in position order, scored block by block by
// score(items, n, out).
template <class Score>
void scan(const Pass& pass, Score&& score) {
  const std::span<const int64_t> ex = pass.excluded;
  const uint64_t n_candidates = pass.candidates.size();
  uint64_t positions[kBlock], items[kBlock];
  double scores[kBlock];
  size_t cursor = 0;
  uint64_t p = 0;
  while (p < n_candidates) {
    size_t n = 0;
    for (; p < n_candidates && n < kBlock; ++p) {
      if (cursor < ex.size() && static_cast<uint64_t>(ex[cursor]) == p) {
        ++cursor;
        continue;
      }
      positions[n] = p;
      items[n++] = pass.candidates[p];
    }
    score(items, n, scores);
    for (size_t i = 0; i < n; ++i) pass.shortlist.offer(scores[i], positions[i]);
  }
}

}  // namespace

void shortlist_by_codes(const DenseCodes& store, std::span<const double> query, std::span<double> weights,
                        const Pass& pass) {
  const uint64_t dim = store.dim;
  QV_ASSERT(query.size() >= dim && weights.size() >= dim, "dense query narrower than the store");
  double c = 0.0;
  for (uint64_t d = 0; d < dim; ++d) {
    weights[d] = query[d] * store.scale[d];
    c = std::fma(query[d], store.offset[d], c);
  }
  const DenseFold fold{store.codes.data(), store.row_bytes, weights.data(), dim, c};
  const auto dense = scorers(store.bits).dense;
  scan(pass, [&](const uint64_t* items, size_t n, double* out) { dense(fold, items, n, out); });
}

void shortlist_by_codes(const DenseCodes& store, std::span<const uint64_t> columns, std::span<const double> values,
                        std::span<double> weights, std::span<uint64_t> checked, const Pass& pass) {
  const size_t nnz = std::min(columns.size(), values.size());
  QV_ASSERT(weights.size() >= nnz && checked.size() >= nnz, "scratch shorter than the query row");
  double c = 0.0;
  for (size_t i = 0; i < nnz; ++i) {
    const uint64_t col = read_once(columns[i]);
    QV_ASSERT(col < store.dim, "query column outside the store");
    checked[i] = col;
    weights[i] = values[i] * store.scale[col];
    c = std::fma(values[i], store.offset[col], c);
  }
  const SparseDenseFold fold{store.codes.data(), store.row_bytes, checked.data(), weights.data(), nnz, c};
  const auto sparse_dense = scorers(store.bits).sparse_dense;
  scan(pass, [&](const uint64_t* items, size_t n, double* out) { sparse_dense(fold, items, n, out); });
}

void shortlist_by_codes(const SparseCodes& store, std::span<const double> scattered, const Pass& pass) {
  const SparseFold fold{store.codes.data(), store.rows.indptr.data(), store.rows.indices.data(), scattered.data(),
                        scattered.size(),   store.scale,            store.offset};
  const auto sparse = scorers(store.bits).sparse;
  scan(pass, [&](const uint64_t* items, size_t n, double* out) { sparse(fold, items, n, out); });
}

}  // namespace qv::quantized
