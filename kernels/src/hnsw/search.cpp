#include "hnsw/search.hpp"

#include <algorithm>

#include "hnsw/descent.hpp"
#include "hnsw/heaps.hpp"
#include "hnsw/visited.hpp"
#include "parallel/pool.hpp"

namespace qv::hnsw {

namespace {

using vectors::Query;

// The scratch of one sequential piece of queries.
struct Workspace {
  Visited visited;
  WalkScratch walk;
  std::vector<double> scatter;
  std::vector<uint8_t> excluded;
  Frontier frontier;
  ResultHeap nearest;
  std::vector<Candidate> answer;
  std::vector<uint32_t> chunk;
  std::vector<uint32_t> list;          // the level-0 list being expanded
  std::vector<uint64_t> excluded_now;  // the query's excluded positions, read once

  Workspace(uint64_t n_items, uint64_t n_candidates, uint64_t scatter_len, uint64_t heap_room)
      : visited(n_items),
        scatter(checked_len<double>(scatter_len), 0.0),
        excluded(checked_len<uint8_t>(n_candidates), 0),
        nearest(heap_room, heap_room) {
    frontier.reserve(heap_room);
  }
};

template <class Items>
class Searcher {
 public:
  Searcher(const Items& items, const GraphView& graph, const SearchRequest& r)
      : items_(items), graph_(graph), r_(r), ef_(std::max(r.ef_search, r.k)) {}

  // The answer of one query, best first, into ws.answer: at least k entries.
  void search(const Query& q, Workspace& ws) const {
    auto score_many = [&](const uint32_t* ids, size_t n, double* out) { items_.score_many(q, ids, n, out); };
    const uint64_t n = graph_.n_items();
    uint64_t cur = graph_.entry_point();
    double best = items_.score(cur, q);
    descend(graph_, cur, best, graph_.top(), 0, n, ws.walk, score_many);

    Visited& visited = ws.visited;
    Frontier& frontier = ws.frontier;
    ResultHeap& nearest = ws.nearest;
    visited.clear();
    frontier.clear();
    nearest.clear();
    visited.insert(cur);
    frontier.push({best, cur});
    if (eligible(cur, ws)) keep(nearest, cur, best, ef_);
    std::vector<uint32_t>& fresh = ws.walk.ids;
    std::vector<double>& scores = ws.walk.scores;
    while (!frontier.empty()) {
      const Candidate c = frontier.pop();
      if (nearest.size() >= ef_ && worse(c, nearest.top())) break;
      std::vector<uint32_t>& list = ws.list;
      list.clear();
      graph_.neighbors(c.index, 0, list);
      for (uint32_t v : list) __builtin_prefetch(visited.mark_address(v));
      // Marks are set before scoring, so every list entry is scored at most once per query.
      fresh.clear();
      for (uint32_t v : list)
        if (!visited.insert(v)) fresh.push_back(v);
      scores.resize(fresh.size());
      score_many(fresh.data(), fresh.size(), scores.data());
      for (size_t i = 0; i < fresh.size(); ++i) {
        const Candidate e{scores[i], fresh[i]};
        if (nearest.size() >= ef_ && worse(e, nearest.top())) continue;
        frontier.push(e);
        if (eligible(e.index, ws)) keep(nearest, e.index, e.score, ef_);
      }
    }
    if (nearest.size() < r_.k) exact_scan(q, ws);
    nearest.drain_sorted(ws.answer);
  }

  // The k best eligible candidates by a full scan, into ws.nearest.
  void exact_scan(const Query& q, Workspace& ws) const {
    ResultHeap& h = ws.nearest;
    h.clear();
    constexpr size_t kBlock = 256;
    double scores[kBlock];
    for (size_t p0 = 0; p0 < r_.candidates.size(); p0 += kBlock) {
      ws.chunk.clear();
      const size_t p1 = std::min(r_.candidates.size(), p0 + kBlock);
      for (size_t p = p0; p < p1; ++p)
        if (!ws.excluded[p]) ws.chunk.push_back(static_cast<uint32_t>(r_.candidates[p]));
      items_.score_many(q, ws.chunk.data(), ws.chunk.size(), scores);
      for (size_t i = 0; i < ws.chunk.size(); ++i) keep(h, ws.chunk[i], scores[i], r_.k);
    }
  }

  bool eligible(uint64_t item, const Workspace& ws) const {
    const uint64_t p = r_.position_of[item];
    return p != kNotCandidate && !ws.excluded[p];
  }

  uint64_t ef() const { return ef_; }

 private:
  const Items& items_;
  const GraphView& graph_;
  const SearchRequest& r_;
  uint64_t ef_;
};

}  // namespace

template <class Items>
std::variant<Ranked, ranking::TooFewEligible> top_k(const Items& items, const GraphView& graph,
                                                    const vectors::QuerySet& queries, const SearchRequest& r) {
  const uint64_t n_queries = queries.n_queries(), k = r.k, n_candidates = r.candidates.size();
  // Every query's eligible count is known without searching: test them all first, so the
  // lowest short query is reported whatever the thread count and no output is allocated
  // for a call that fails.
  for (uint64_t q = 0; q < n_queries; ++q) {
    const uint64_t eligible = n_candidates - (r.excluded_indptr[q + 1] - r.excluded_indptr[q]);
    if (eligible < k) return ranking::TooFewEligible{q, eligible};
  }
  Ranked out;
  const uint64_t cells = checked_mul(n_queries, k);
  out.positions.assign(checked_len<uint64_t>(cells), 0);
  out.scores.assign(checked_len<double>(cells), 0.0);
  if (cells == 0) return out;

  const Searcher<Items> searcher(items, graph, r);
  const uint64_t n = graph.n_items();
  const uint64_t heap_room = std::min(searcher.ef(), n) + 1;
  const uint64_t scatter_len = queries.scatter_len();
  auto init = [&] { return Workspace(n, n_candidates, scatter_len, heap_room); };
  parallel::for_each_with(
      n_queries, init,
      [&](Workspace& ws, size_t q) {
        // The caller's exclusions are read once, so the marks cleared below are the ones set.
        const size_t b = r.excluded_indptr[q], e = r.excluded_indptr[q + 1];
        ws.excluded_now.clear();
        for (size_t i = b; i < e; ++i) {
          const uint64_t p = read_once(r.excluded_indices[i]);
          QV_ASSERT(p < n_candidates, "excluded position out of range");
          ws.excluded_now.push_back(p);
        }
        for (uint64_t p : ws.excluded_now) ws.excluded[p] = 1;
        queries.with_query(q, ws.scatter, [&](const Query& query) { searcher.search(query, ws); });
        const auto& answer = ws.answer;
        for (uint64_t i = 0; i < k; ++i) {
          out.positions[q * k + i] = r.position_of[answer[i].index];
          out.scores[q * k + i] = answer[i].score;
        }
        for (uint64_t p : ws.excluded_now) ws.excluded[p] = 0;
      },
      1);
  return out;
}

template std::variant<Ranked, ranking::TooFewEligible> top_k<vectors::DenseItems>(const vectors::DenseItems&,
                                                                                const GraphView&,
                                                                                const vectors::QuerySet&,
                                                                                const SearchRequest&);
template std::variant<Ranked, ranking::TooFewEligible> top_k<vectors::SparseItems>(const vectors::SparseItems&,
                                                                                 const GraphView&,
                                                                                 const vectors::QuerySet&,
                                                                                 const SearchRequest&);

}  // namespace qv::hnsw
