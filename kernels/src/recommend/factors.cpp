#include "recommend/factors.hpp"

#include <array>
#include <atomic>
#include <cmath>
#include <limits>

#include "core/isa.hpp"
#include "recommend/scoring.hpp"

namespace qv::recommend {

namespace {

struct Request {
  const FactorModel& m;
  std::span<const uint64_t> rows;
  const CandidateSet& c;
  const ExcludedLists& ex;
  uint64_t k;
  ScanRange scan;
  TileRange tile;
};

// Loads the chunk of queries q0 onward into a tile whose scan starts at position `start`.
void prepare(const Request& r, Tile& t, uint64_t q0, uint64_t start) {
  t.q0 = q0;
  t.nan = false;
  t.lanes = static_cast<size_t>(std::min<uint64_t>(r.rows.size() - q0, 8));
  for (size_t i = 0; i < t.lanes; ++i) t.excluded[i] = r.ex.of(q0 + i, t.scratch[i]);
  if (t.lanes < 4) return;
  const size_t dim = static_cast<size_t>(r.m.dim);
  std::fill(t.users.begin(), t.users.end(), 0.0);
  for (size_t i = 0; i < t.lanes; ++i) {
    const double* u = r.m.user(r.rows[q0 + i]);
    for (size_t j = 0; j < dim; ++j) t.users[8 * j + i] = u[j];
  }
  for (size_t i = 0; i < t.lanes; ++i) {
    const auto& ex = t.excluded[i];
    t.cursor[i] = static_cast<size_t>(std::lower_bound(ex.begin(), ex.end(), start) - ex.begin());
  }
}

// Scores the positions [start, end) for every lane of a chunk; `prefetch` as for ScanRange.
void score_range(const Request& r, Tile& t, uint64_t start, uint64_t end, bool prefetch) {
  if (t.lanes < 4) {
    for (size_t i = 0; i < t.lanes; ++i)
      t.nan |= r.scan(r.m, r.c, r.m.user(r.rows[t.q0 + i]), t.excluded[i], t.best[i], start, end, prefetch && i == 0);
    return;
  }
  r.tile(r.m, r.c, t, start, end, prefetch);
}

// Writes each query's k best from the survivors of its `n_parts` parts, kept[q * n_parts
// + part]: the Candidate order over their union keeps what one collector over all the
// candidates would have kept.
void merge_survivors(const Request& r, const std::vector<std::vector<Candidate>>& kept, uint64_t n_parts,
                     Outputs& out) {
  std::vector<Candidate> merged;
  for (uint64_t q = 0; q < r.rows.size(); ++q) {
    merged.clear();
    for (uint64_t part = 0; part < n_parts; ++part) {
      const auto& survivors = kept[q * n_parts + part];
      merged.insert(merged.end(), survivors.begin(), survivors.end());
    }
    ranking::sort_best_first(merged);
    write_ranked(merged, r.k, out.positions.data() + q * r.k, out.scores.data() + q * r.k, r.m.offset(r.rows[q]));
  }
}

void drain(const Request& r, Tile& t, std::vector<Candidate>& ranked, Outputs& out) {
  for (size_t i = 0; i < t.lanes; ++i) {
    const uint64_t q = t.q0 + i;
    const double offset = r.m.offset(r.rows[q]);
    t.best[i].drain_sorted(ranked);
    write_ranked(ranked, r.k, out.positions.data() + q * r.k, out.scores.data() + q * r.k, offset);
  }
}

// The shortest candidate segment worth a piece of work of its own.
constexpr uint64_t kMinSegment = 4096;

// Whether this request walks the catalogue's pieces from the last one down. Consecutive
// requests alternate: the pieces one request read last are still in the shared cache
// when the next one starts on them, where a catalogue somewhat larger than the cache,
// always read in the same order, would miss on every piece. Every piece has collectors
// of its own and survivors merge in piece order, so the order never shows in a result.
bool descending_pass() {
  static std::atomic<uint64_t> requests{0};
  return requests.fetch_add(1, std::memory_order_relaxed) & 1;
}

// Positions per pass over the items: the item vectors of one pass stay in the core's
// cache while every chunk of a group is scored against them.
uint64_t item_block(uint64_t dim) {
  const uint64_t bytes = std::max<uint64_t>(dim, 1) * sizeof(double);
  return std::max<uint64_t>(64, (256 * 1024 / bytes) & ~uint64_t{3});
}

// Chunks of 8 queries; a piece of work takes a group of chunks and one segment of the
// candidates, and scores them block by block of items that stay in cache. When there are
// too few groups to occupy the pool, the candidates are cut into segments whose
// survivors are merged per query, as the split path does. Every score is computed in
// the order of its query's chunk, and without NaN scores every collector keeps the best
// under the same strict total order, so neither the grouping nor the segments change
// the result; a segmented run that offered a NaN is redone without segments.
void run_tiled(const Request& r, Outputs& out) {
  const uint64_t nq = r.rows.size();
  const uint64_t n_chunks = (nq + 7) / 8;
  const bool par = nq > kFewQueries && running_threads() > 1;
  const uint64_t threads = par ? running_threads() : 1;
  // Up to 8 chunks (64 queries) share each pass over the items, balanced across groups:
  // the item matrix is read from memory once per group.
  const uint64_t per_group = (n_chunks + (n_chunks + 7) / 8 - 1) / ((n_chunks + 7) / 8);
  const uint64_t n_groups = (n_chunks + per_group - 1) / per_group;
  const uint64_t block = item_block(r.m.dim);
  const uint64_t n = r.c.n_candidates;
  uint64_t n_segments = 1;
  if (par && n_groups < 4 * threads)
    n_segments = std::min((4 * threads + n_groups - 1) / n_groups, std::max<uint64_t>(n / kMinSegment, 1));
  uint64_t seg_len = (n + n_segments - 1) / n_segments;
  const bool descending = n_segments > 1 && descending_pass();
  // Survivors of each (query, segment) when the candidates are segmented.
  std::vector<std::vector<Candidate>> kept;
  if (n_segments > 1) kept.resize(checked_len<std::vector<Candidate>>(checked_mul(nq, n_segments)));
  std::atomic<bool> nan{false};

  struct State {
    std::vector<Tile> tiles;
    std::vector<Candidate> ranked;
  };
  auto init = [&] {
    State s;
    s.tiles.reserve(per_group);
    s.ranked.reserve(static_cast<size_t>(std::min(r.k, n)));
    return s;
  };
  auto body = [&](State& s, size_t task) {
    const uint64_t g = task / n_segments;
    const uint64_t seg = descending ? n_segments - 1 - task % n_segments : task % n_segments;
    const uint64_t lo = std::min(n, seg * seg_len), hi = std::min(n, lo + seg_len);
    const uint64_t c0 = g * per_group, c1 = std::min(n_chunks, c0 + per_group);
    while (s.tiles.size() < c1 - c0) s.tiles.emplace_back(r.k, n, r.m.dim);
    for (uint64_t c = c0; c < c1; ++c) prepare(r, s.tiles[c - c0], c * 8, lo);
    for (uint64_t b = lo; b < hi; b += block) {
      const uint64_t e = std::min(hi, b + block);
      for (uint64_t c = c0; c < c1; ++c) score_range(r, s.tiles[c - c0], b, e, c == c0);
    }
    for (uint64_t c = c0; c < c1; ++c) {
      Tile& t = s.tiles[c - c0];
      if (n_segments == 1) {
        drain(r, t, s.ranked, out);
      } else {
        if (t.nan) nan.store(true, std::memory_order_relaxed);
        for (size_t i = 0; i < t.lanes; ++i) t.best[i].drain_unsorted(kept[(t.q0 + i) * n_segments + seg]);
      }
    }
  };
  auto run = [&] {
    const uint64_t n_tasks = n_groups * n_segments;
    if (par) {
      parallel::for_each_with(static_cast<size_t>(n_tasks), init, body, 1);
    } else {
      State s = init();
      for (uint64_t t = 0; t < n_tasks; ++t) body(s, t);
    }
  };
  run();
  if (n_segments == 1) return;
  if (nan.load(std::memory_order_relaxed)) {
    // Which of several NaN offers a collector keeps depends on what else it was offered;
    // only one collector per query over all the candidates gives what a single pass would.
    n_segments = 1;
    seg_len = n;
    run();
    return;
  }
  merge_survivors(r, kept, n_segments, out);
}

// At most this many pieces per block of the split path.
constexpr uint64_t kSplitPieces = 8;

// The survivors of every (query, piece) when the candidates [0, n) are cut into pieces of
// `len` positions scored in parallel; `nan[q]` is set when query q may have offered a NaN.
std::vector<std::vector<Candidate>> score_pieces(const Request& r, const std::vector<std::span<const uint64_t>>& excluded,
                                                 uint64_t len, std::vector<uint8_t>& nan) {
  const uint64_t nq = r.rows.size(), n = r.c.n_candidates;
  const uint64_t n_pieces = (n + len - 1) / len;
  std::vector<std::vector<Candidate>> kept(checked_len<std::vector<Candidate>>(checked_mul(nq, n_pieces)));
  std::vector<std::atomic<bool>> saw(nq);
  const uint64_t sub = item_block(r.m.dim);
  const bool descending = descending_pass();
  // One collector per query and thread, emptied by every piece it scores.
  auto init = [&] {
    std::vector<Best> best;
    best.reserve(nq);
    for (uint64_t q = 0; q < nq; ++q) best.emplace_back(r.k, std::min(n, len));
    return best;
  };
  auto body = [&](std::vector<Best>& best, size_t i) {
    const uint64_t b = descending ? n_pieces - 1 - i : i;
    const uint64_t lo = b * len, hi = std::min(n, lo + len);
    // Every query takes the same cached stretch of items before the next is loaded.
    for (uint64_t s = lo; s < hi; s += sub) {
      const uint64_t e = std::min(hi, s + sub);
      for (uint64_t q = 0; q < nq; ++q)
        if (r.scan(r.m, r.c, r.m.user(r.rows[q]), excluded[q], best[q], s, e, q == 0))
          saw[q].store(true, std::memory_order_relaxed);
    }
    for (uint64_t q = 0; q < nq; ++q) best[q].drain_unsorted(kept[q * n_pieces + b]);
  };
  parallel::for_each_with(static_cast<size_t>(n_pieces), init, body, 1);
  nan.assign(nq, 0);
  for (uint64_t q = 0; q < nq; ++q) nan[q] = saw[q].load(std::memory_order_relaxed);
  return kept;
}

// A few queries over a large catalogue: the candidates are cut into blocks of kSplitBlock
// scored on the pool, each with its own collector per query, and the blocks' survivors
// are merged. When the blocks are too few to occupy the pool, each is scored in smaller
// pieces instead. Without NaN scores the collectors keep the best under a strict total
// order, so the merged pieces hold exactly what the merged blocks would; a NaN makes the
// outcome depend on which offers share a collector, so when any query offered one the
// request is scored again in whole blocks.
void run_split(const Request& r, Outputs& out) {
  const uint64_t nq = r.rows.size();
  const uint64_t n = r.c.n_candidates;
  const uint64_t n_blocks = (n + kSplitBlock - 1) / kSplitBlock;
  std::vector<std::vector<uint64_t>> scratch(nq);
  std::vector<std::span<const uint64_t>> excluded(nq);
  for (uint64_t q = 0; q < nq; ++q) excluded[q] = r.ex.of(q, scratch[q]);
  const uint64_t threads = running_threads();
  // Pieces of 16,384 / per_block positions; the result never depends on the choice.
  uint64_t per_block = 1;
  while (per_block < kSplitPieces && n_blocks * per_block < 4 * threads) per_block *= 2;
  std::vector<uint8_t> nan;
  auto kept = score_pieces(r, excluded, kSplitBlock / per_block, nan);
  uint64_t n_pieces = (n + kSplitBlock / per_block - 1) / (kSplitBlock / per_block);
  if (per_block > 1 && std::find(nan.begin(), nan.end(), 1) != nan.end()) {
    kept = score_pieces(r, excluded, kSplitBlock, nan);
    n_pieces = n_blocks;
  }
  merge_survivors(r, kept, n_pieces, out);
}

// Every read the scorers make without a check is covered here, once per request.
void check_model(const FactorModel& m, const CandidateSet& c) {
  QV_ASSERT(m.user_factors.size() == checked_mul(m.n_users, m.dim), "user factor shape");
  QV_ASSERT(m.item_factors.size() == checked_mul(m.n_items, m.dim), "item factor shape");
  QV_ASSERT(!m.has_item_bias || m.item_bias.size() == m.n_items, "item bias length");
  QV_ASSERT(!m.has_user_offset || m.user_offset.size() == m.n_users, "user offset length");
  if (c.has_ids) {
    QV_ASSERT(c.ids.size() == c.n_candidates, "candidate count");
    QV_ASSERT(c.ids.empty() || c.ids.back() < m.n_items, "candidate out of range");
  } else {
    QV_ASSERT(c.n_candidates <= m.n_items, "candidate count");
  }
}

}  // namespace

Result top_k_from_factors(const FactorModel& model, std::span<const uint64_t> rows, const CandidateSet& candidates,
                          const Exclusions& exclusions, uint64_t k) {
  ExcludedLists excluded;
  if (auto shortfall = precheck(rows, candidates, exclusions, k, excluded)) return *shortfall;
  Outputs out = make_outputs(rows.size(), k);
  if (k == 0 || rows.empty()) return out;
  check_model(model, candidates);
  const Request r{model, rows, candidates, excluded, k, QV_ISA_PICK(portable::scan_range, avx2::scan_range),
                  QV_ISA_PICK(portable::tile_range, avx2::tile_range)};
  if (rows.size() <= kFewQueries && running_threads() >= 2 && wants_pool(rows.size(), candidates.n_candidates, model.dim))
    run_split(r, out);
  else
    run_tiled(r, out);
  return out;
}

}  // namespace qv::recommend
