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

#include "core/thread_lease.hpp"
#include "hnsw/graph.hpp"
#include "ranking/candidate.hpp"
#include "ranking/rows.hpp"
#include "vectors/items.hpp"

namespace qv::hnsw {

inline constexpr uint32_t kNotCandidate = std::numeric_limits<uint32_t>::max();

struct SearchRequest {
  // The candidates: every item in item order (positions are item ids: no list, no map),
  // or an ascending subset with its item -> position map.
  bool every_item = false;
  uint64_t n_candidates = 0;
  std::span<const uint64_t> candidates;   // the subset's item indices
  std::span<const uint32_t> position_of;  // the subset's map: position, or kNotCandidate
  std::span<const uint64_t> excluded_indptr;  // one row per query
  std::span<const uint64_t> excluded_indices;  // candidate positions, ascending in a row
  uint64_t k = 0;
  uint64_t ef_search = 1;
};

// True when `candidates` is 0, 1, ..., n_items - 1: the only ascending in-range list of
// n_items entries. Runs on the current pool when there is one and the list is long.
bool every_item(std::span<const int64_t> candidates, uint64_t n_items);

// The item -> position map of an ascending candidate subset. Each thread keeps one map
// between calls, every entry kNotCandidate: a call sets its candidates' entries and puts
// back exactly those when it ends, so filling the map costs the subset, not the catalogue.
class PositionMap {
 public:
  PositionMap(std::span<const uint64_t> ids, uint64_t n_items);
  ~PositionMap();
  PositionMap(const PositionMap&) = delete;
  PositionMap& operator=(const PositionMap&) = delete;
  std::span<const uint32_t> view() const { return {map_->data(), n_items_}; }

 private:
  std::span<const uint64_t> ids_;
  uint64_t n_items_;
  ThreadLease<std::vector<uint32_t>, PositionMap> map_;
};

using Ranked = ranking::RankedRows;

// Fails, before any search, with the lowest query that has fewer than k eligible
// candidates. One query runs on the calling thread; more run on the current pool.
template <class Items>
std::variant<Ranked, ranking::TooFewEligible> top_k(const Items& items, const GraphView& graph,
                                                    const vectors::QuerySet& queries, const SearchRequest& request);

extern template std::variant<Ranked, ranking::TooFewEligible> top_k<vectors::DenseItems>(
    const vectors::DenseItems&, const GraphView&, const vectors::QuerySet&, const SearchRequest&);
extern template std::variant<Ranked, ranking::TooFewEligible> top_k<vectors::SparseItems>(
    const vectors::SparseItems&, const GraphView&, const vectors::QuerySet&, const SearchRequest&);

}  // namespace qv::hnsw
