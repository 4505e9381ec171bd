#pragma once
// Filtered top-k search of an HNSW index.
//
// Each query descends greedily through the upper levels, then runs a beam of width
// ef = max(ef_search, k) on level 0. The beam walks *through* items that are not
// candidates or are excluded (they are scored and expanded but never kept), and when it
// ends with fewer than k eligible items an exact scan of the eligible candidates answers
// instead, so every query with k eligible candidates gets k of them.
//
// Answers depend only on the inputs: every worker's scratch is restored between queries.
#include <cstdint>
#include <limits>
#include <span>
#include <variant>
#include <vector>

#include "hnsw/graph.hpp"
#include "ranking/candidate.hpp"
#include "vectors/items.hpp"

namespace qv::hnsw {

inline constexpr uint64_t kNotCandidate = std::numeric_limits<uint64_t>::max();

struct SearchRequest {
  std::span<const uint64_t> candidates;   // ascending item indices
  std::span<const uint64_t> position_of;  // item -> candidate position, or kNotCandidate
  std::span<const uint64_t> excluded_indptr;  // one row per query
  std::span<const uint64_t> excluded_indices;  // candidate positions, ascending in a row
  uint64_t k = 0;
  uint64_t ef_search = 1;
};

struct Ranked {
  std::vector<uint64_t> positions;  // n_queries x k, row-major
  std::vector<double> scores;
};

// Runs on the current pool. Fails, before any search, with the lowest query that has
// fewer than k eligible candidates.
template <class Items>
std::variant<Ranked, ranking::TooFewEligible> top_k(const Items& items, const GraphView& graph,
                                                    const vectors::QuerySet& queries, const SearchRequest& request);

extern template std::variant<Ranked, ranking::TooFewEligible> top_k<vectors::DenseItems>(
    const vectors::DenseItems&, const GraphView&, const vectors::QuerySet&, const SearchRequest&);
extern template std::variant<Ranked, ranking::TooFewEligible> top_k<vectors::SparseItems>(
    const vectors::SparseItems&, const GraphView&, const vectors::QuerySet&, const SearchRequest&);

}  // namespace qv::hnsw
