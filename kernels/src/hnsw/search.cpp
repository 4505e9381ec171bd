#include "hnsw/search.hpp"

#include <algorithm>

#include "hnsw/descent.hpp"
#include "hnsw/heaps.hpp"
#include "hnsw/runs.hpp"
#include "hnsw/visited.hpp"
#include "parallel/pool.hpp"

namespace qv::hnsw {

namespace {

using vectors::Query;

// The scratch of one thread's queries. Each thread keeps one across calls, so a call
// pays neither the allocation nor the first touch of its marks: between queries the
// exclusion flags and the scatter buffer are all zero and the marks count only for their
// own walk's epoch. A query that ends in an exception leaves `dirty` set and the next
// user wipes everything, so nothing of one call can reach the next.
struct Workspace {
  Visited visited{0};
  WalkScratch walk;
  std::vector<double> scatter;
  // The query's excluded positions as bits: an eligibility test of a walk lands on a
  // random position, and bits keep the whole set in a few cache lines.
  std::vector<uint64_t> excluded;
  Frontier frontier;
  ResultHeap nearest{0, 0};
  std::vector<Candidate> answer;
  std::vector<uint32_t> chunk;
  std::vector<uint32_t> list;          // the level-0 list being expanded
  std::vector<uint64_t> excluded_now;  // the query's excluded positions, read once
  std::vector<uint64_t> columns;       // the scattered query's columns, read once
  bool any_excluded = false;
  bool dirty = false;

  bool is_excluded(uint64_t p) const { return (excluded[p >> 6] >> (p & 63)) & 1; }

  void prepare(uint64_t n_items, uint64_t n_candidates, uint64_t scatter_len) {
    if (dirty) {
      std::fill(scatter.begin(), scatter.end(), 0.0);
      std::fill(excluded.begin(), excluded.end(), uint64_t{0});
      visited.forget();
      dirty = false;
    }
    visited.grow(n_items);
    const uint64_t words = n_candidates / 64 + 1;
    if (excluded.size() < words)
      resize_as("per-worker exclusion bits (64 candidates a word)", excluded, words, uint64_t{0});
    if (scatter.size() < scatter_len) resize_as("a per-worker scatter buffer of dim values", scatter, scatter_len, 0.0);
  }
};

// A thread's workspace for the length of one piece of work.
using Lease = ThreadLease<Workspace>;

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
      // A hop ahead: the list of the next candidate in line is requested now.
      if (!frontier.empty()) graph_.prefetch_list(frontier.top().index);
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
        graph_.prefetch_node(e.index);
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
    for (size_t p0 = 0; p0 < r_.n_candidates; p0 += kBlock) {
      ws.chunk.clear();
      const size_t p1 = std::min<size_t>(r_.n_candidates, p0 + kBlock);
      for (size_t p = p0; p < p1; ++p)
        if (!ws.is_excluded(p)) ws.chunk.push_back(static_cast<uint32_t>(item_at(p)));
      items_.score_many(q, ws.chunk.data(), ws.chunk.size(), scores);
      for (size_t i = 0; i < ws.chunk.size(); ++i) keep(h, ws.chunk[i], scores[i], r_.k);
    }
  }

  uint64_t item_at(uint64_t position) const { return r_.every_item ? position : r_.candidates[position]; }
  uint64_t position(uint64_t item) const { return r_.every_item ? item : r_.position_of[item]; }

  bool eligible(uint64_t item, const Workspace& ws) const {
    const uint64_t p = position(item);
    return p != kNotCandidate && !(ws.any_excluded && ws.is_excluded(p));
  }

 private:
  const Items& items_;
  const GraphView& graph_;
  const SearchRequest& r_;
  uint64_t ef_;
};

// Runs f(Query) for query q. A scattered row is written into the workspace's buffer from
// its columns as read once, and exactly those entries are zeroed again, so a column that
// another thread writes meanwhile cannot leave a value behind for a later call.
template <class F>
void with_query(const vectors::QuerySet& queries, uint64_t q, Workspace& ws, uint64_t scatter_len, F&& f) {
  if (queries.form != vectors::QuerySet::Form::Scattered) {
    queries.with_query(q, {}, f);
    return;
  }
  const sparse::CsrView& csr = queries.csr;
  const size_t b = csr.indptr[q], e = csr.indptr[q + 1];
  const std::span<double> buf(ws.scatter.data(), scatter_len);
  ws.columns.clear();
  for (size_t p = b; p < e; ++p) {
    const uint64_t c = read_once(csr.indices[p]);
    QV_ASSERT(c < buf.size(), "query column past the scatter buffer");
    ws.columns.push_back(c);
    // Assignment, not addition: of repeated columns the last value wins.
    buf[c] = csr.data[p];
  }
  f(Query::scattered(buf));
  for (uint64_t c : ws.columns) buf[c] = 0.0;
}

}  // namespace

bool every_item(std::span<const int64_t> candidates, uint64_t n_items) {
  if (candidates.size() != n_items) return false;
  const auto counts_up = pick_runs().counts_up;
  constexpr uint64_t run = uint64_t{1} << 15;
  const uint64_t n_runs = (n_items + run - 1) / run;
  std::vector<uint8_t> off(n_runs, 0);
  spread(n_runs, n_items * 8, [&](uint64_t t) {
    const uint64_t lo = t * run, hi = std::min(n_items, lo + run);
    off[t] = !counts_up(candidates.data() + lo, hi - lo, lo);
  });
  return std::none_of(off.begin(), off.end(), [](uint8_t o) { return o != 0; });
}

PositionMap::PositionMap(std::span<const uint64_t> ids, uint64_t n_items) : ids_(ids), n_items_(n_items) {
  if (map_->size() < n_items) resize_as("an item-to-position map of the candidates", *map_, n_items, kNotCandidate);
  // Candidates are fewer than 2^31, so every position fits.
  for (size_t p = 0; p < ids.size(); ++p) (*map_)[ids[p]] = static_cast<uint32_t>(p);
}

PositionMap::~PositionMap() {
  for (uint64_t id : ids_) (*map_)[id] = kNotCandidate;
}

template <class Items>
std::variant<Ranked, ranking::TooFewEligible> top_k(const Items& items, const GraphView& graph,
                                                    const vectors::QuerySet& queries, const SearchRequest& r) {
  const uint64_t n_queries = queries.n_queries(), k = r.k, n_candidates = r.n_candidates;
  // Every query's eligible count is known without searching: test them all first, so the
  // lowest short query is reported whatever the thread count and no output is allocated
  // for a call that fails.
  for (uint64_t q = 0; q < n_queries; ++q) {
    const uint64_t eligible = n_candidates - (r.excluded_indptr[q + 1] - r.excluded_indptr[q]);
    if (eligible < k) return ranking::TooFewEligible{q, eligible};
  }
  Ranked out = ranking::ranked_rows(n_queries, k, "an (n_queries, k) result");
  if (out.positions.empty()) return out;

  const Searcher<Items> searcher(items, graph, r);
  const uint64_t n = graph.n_items();
  const uint64_t scatter_len = queries.scatter_len();
  auto init = [&] {
    Lease lease;
    (*lease).prepare(n, n_candidates, scatter_len);
    return lease;
  };
  auto body = [&](Lease& lease, size_t q) {
    Workspace& ws = *lease;
    ws.dirty = true;
    // The caller's exclusions are read once, so the marks cleared below are the ones set.
    const size_t b = r.excluded_indptr[q], e = r.excluded_indptr[q + 1];
    ws.excluded_now.clear();
    for (size_t i = b; i < e; ++i) {
      const uint64_t p = read_once(r.excluded_indices[i]);
      QV_ASSERT(p < n_candidates, "excluded position out of range");
      ws.excluded_now.push_back(p);
    }
    for (uint64_t p : ws.excluded_now) ws.excluded[p >> 6] |= uint64_t{1} << (p & 63);
    ws.any_excluded = !ws.excluded_now.empty();
    with_query(queries, q, ws, scatter_len, [&](const Query& query) { searcher.search(query, ws); });
    const auto& answer = ws.answer;
    for (uint64_t i = 0; i < k; ++i) {
      out.positions[q * k + i] = searcher.position(answer[i].index);
      out.scores[q * k + i] = answer[i].score;
    }
    // Every bit set in these words is one of the query's own.
    for (uint64_t p : ws.excluded_now) ws.excluded[p >> 6] = 0;
    ws.dirty = false;
  };
  // A lone query is searched where the call is: handing it to a worker would cost more
  // than the search.
  if (n_queries == 1 || !parallel::Pool::current()) {
    Lease lease = init();
    for (uint64_t q = 0; q < n_queries; ++q) body(lease, q);
  } else {
    parallel::for_each_with(n_queries, init, body, 1);
  }
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
