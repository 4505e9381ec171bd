#include "recommend/similarity.hpp"

#include <cmath>

#include <optional>

#include "core/total_order.hpp"
#include "knn/implicit_top_k.hpp"
#include "recommend/sparse_sums.hpp"
#include "sparse/sparse.hpp"

namespace qv::recommend {

namespace {

// The sums of the sparse path in a catalogue-sized accumulator, the excluded positions
// marked per candidate: the cheapest per term, for a thread that scores many queries.
struct DenseSums {
  DenseSums(uint64_t n_items, uint64_t n_candidates) : acc(n_items) {
    resize_as("a per-thread exclusion mask of the candidates", mask, n_candidates, uint8_t{0});
  }

  void begin(std::span<const uint64_t> excluded, const CandidateSet&, uint64_t) {
    for (uint64_t p : excluded) mask[p] = 1;
  }
  void end(std::span<const uint64_t> excluded) {
    acc.reset();
    for (uint64_t p : excluded) mask[p] = 0;
  }
  void add(uint64_t item, double term) { acc.add(item, term); }
  std::span<const uint64_t> touched() const { return acc.touched(); }
  double value(uint64_t item) const { return acc.value(item); }
  bool is_touched(uint64_t item) const { return acc.is_touched(item); }
  bool excluded(uint64_t, uint64_t p) const { return mask[p] != 0; }

  sparse::Accumulator acc;
  std::vector<uint8_t> mask;
};

// The same sums in a table sized by what the query reaches: nothing catalogue-sized to
// allocate or clear, for requests of a few queries and for queries reaching little.
struct HashedSums {
  void begin(std::span<const uint64_t> excluded, const CandidateSet& c, uint64_t distinct) {
    sums.reset(checked_add(distinct, excluded.size()));
    for (uint64_t p : excluded) sums.exclude(c.item(p));
  }
  void end(std::span<const uint64_t>) {}
  void add(uint64_t item, double term) { sums.add(item, term); }
  std::span<const uint64_t> touched() const { return sums.touched(); }
  double value(uint64_t item) const { return sums.value(item); }
  bool is_touched(uint64_t item) const { return sums.is_touched(item); }
  bool excluded(uint64_t item, uint64_t) const { return sums.is_excluded(item); }

  SparseSums sums;
};

struct State {
  State(uint64_t n_candidates, uint64_t k) : best(k, n_candidates), implicit(k, n_candidates) {
    const size_t cap = static_cast<size_t>(std::min(k, n_candidates));
    ranked.reserve(cap);
    zero_fill.reserve(cap);
  }

  std::optional<DenseSums> dense_sums;  // made on first use
  HashedSums hashed;
  std::vector<double> dense;
  std::vector<uint64_t> scratch;
  std::span<const uint64_t> excluded;
  Best best;
  knn::ImplicitTopK implicit;
  std::vector<Candidate> ranked;
  std::vector<Candidate> zero_fill;
};

// Stored entries of a similarity row, 0 when its pointers run backwards; the row itself
// is checked only when it is read.
uint64_t stored_length(const sparse::CsrView& m, uint64_t j) {
  QV_ASSERT(j + 1 < m.indptr.size(), "similarity row out of range");
  const uint64_t b = m.indptr[j], e = m.indptr[j + 1];
  return e >= b ? e - b : 0;
}

// Best first: score descending in the IEEE total order, ties to the higher position.
void sort_implicit(std::vector<Candidate>& list) {
  std::sort(list.begin(), list.end(), [](const Candidate& a, const Candidate& b) {
    const int64_t ka = total_order_key(a.score), kb = total_order_key(b.score);
    if (ka != kb) return ka > kb;
    return a.index > b.index;
  });
}

struct Request {
  const sparse::CsrView& users;
  const sparse::CsrView& sim;
  std::span<const uint64_t> rows;
  const CandidateSet& c;
  const Exclusions& ex;
  uint64_t k;
  bool implicit_ties;
  uint64_t n_items;
};

// f(column, user value, similarity value) for every stored term of the user's row times
// the similarity rows it reaches, in storage order; the two paths differ only in f.
template <class F>
void for_each_term(const Request& r, const sparse::CsrView::Entries& user_row, F&& f) {
  for (size_t e = 0; e < user_row.indices.size(); ++e) {
    const uint64_t j = user_row.indices[e];
    QV_ASSERT(j < r.n_items, "user item out of range");
    const double x = user_row.data[e];
    const sparse::CsrView::Entries srow = r.sim.entries(j);
    for (size_t t = 0; t < srow.indices.size(); ++t) {
      const uint64_t col = srow.indices[t];
      QV_ASSERT(col < r.n_items, "similarity column out of range");
      f(col, x, srow.data[t]);
    }
  }
}

void score_dense(const Request& r, State& s, const sparse::CsrView::Entries& user_row, uint64_t* positions, double* scores) {
  s.dense.resize(static_cast<size_t>(r.n_items), 0.0);
  double* d = s.dense.data();
  // fused: one rounding per term
  for_each_term(r, user_row, [d](uint64_t col, double x, double w) { d[col] = std::fma(x, w, d[col]); });
  offer_dense(d, r.c, s.excluded, s.best);
  s.best.drain_sorted(s.ranked);
  write_ranked(s.ranked, r.k, positions, scores);
  std::fill(s.dense.begin(), s.dense.end(), 0.0);
}

// `distinct` bounds the items the query's terms reach.
template <class Sums>
void score_sparse(const Request& r, State& s, Sums& sums, uint64_t distinct, const sparse::CsrView::Entries& user_row,
                  uint64_t* positions, double* scores) {
  sums.begin(s.excluded, r.c, distinct);
  // the product rounded, then added
  for_each_term(r, user_row, [&sums](uint64_t col, double x, double w) { sums.add(col, x * w); });
  const auto touched = sums.touched();
  // The candidate position of a touched item, or kNotCandidate when it is not one or is
  // excluded.
  auto position_of = [&](uint64_t item) -> uint64_t {
    const uint64_t p = r.c.position(item);
    if (p == kNotCandidate || sums.excluded(item, p)) return kNotCandidate;
    return p;
  };
  if (!r.implicit_ties) {
    for (uint64_t item : touched) {
      const uint64_t p = position_of(item);
      if (p != kNotCandidate) s.best.offer(sums.value(item), p);
    }
    s.best.drain_sorted(s.ranked);
  } else {
    for (size_t i = touched.size(); i-- > 0;) {
      const uint64_t p = position_of(touched[i]);
      if (p != kNotCandidate) s.implicit.offer(sums.value(touched[i]), p);
    }
    s.implicit.drain_unsorted(s.ranked);
    sort_implicit(s.ranked);
  }
  // Candidates the product never reached score +0.0; they are needed only when the
  // touched ones cannot fill k slots with positive scores.
  s.zero_fill.clear();
  if (s.ranked.size() < r.k || s.ranked.back().score <= 0.0) {
    for (uint64_t p = 0; p < r.c.n_candidates && s.zero_fill.size() < r.k; ++p) {
      const uint64_t item = r.c.item(p);
      if (!sums.excluded(item, p) && !sums.is_touched(item)) s.zero_fill.push_back({0.0, p});
    }
  }
  sums.end(s.excluded);
  size_t a = 0, b = 0;
  for (uint64_t slot = 0; slot < r.k; ++slot) {
    const bool take_ranked =
        a < s.ranked.size() && (b >= s.zero_fill.size() || !ranking::worse(s.ranked[a], s.zero_fill[b]));
    if (take_ranked) {
      positions[slot] = s.ranked[a].index;
      scores[slot] = s.ranked[a].score;
      ++a;
    } else if (b < s.zero_fill.size()) {
      positions[slot] = s.zero_fill[b].index;
      scores[slot] = s.zero_fill[b].score;
      ++b;
    } else {
      break;
    }
  }
}

}  // namespace

Result top_k_from_similarity(const sparse::CsrView& users, const sparse::CsrView& similarity, std::span<const uint64_t> rows,
                             const CandidateSet& candidates, const Exclusions& exclusions, uint64_t k,
                             bool implicit_ties) {
  ExcludedLists excluded;
  if (auto shortfall = precheck(rows, candidates, exclusions, k, excluded)) return *shortfall;
  Outputs out = make_outputs(rows.size(), k);
  if (k == 0 || rows.empty()) return out;
  QV_ASSERT(!similarity.indptr.empty(), "similarity index pointer empty");
  const uint64_t n_items = similarity.indptr.size() - 1;
  QV_ASSERT(candidates.has_ids ? (candidates.ids.empty() || candidates.ids.back() < n_items)
                               : candidates.n_candidates <= n_items,
            "candidate out of range");
  const Request r{users, similarity, rows, candidates, exclusions, k, implicit_ties, n_items};
  const uint64_t quarter = n_items / 4;
  // A catalogue-sized accumulator pays for itself only over many queries, or when a query
  // reaches so much that a table of its own (24 bytes a slot, half full) would be larger.
  const bool few = rows.size() <= kFewQueries;
  run_chunks(
      out, 1, k, rows.size(), [&] { return State(candidates.n_candidates, k); },
      [&](State& s, size_t q, std::span<uint64_t> positions, std::span<double> scores) {
        s.excluded = excluded.of(q, s.scratch);
        const sparse::CsrView::Entries user_row = users.entries(rows[q]);
        uint64_t reach = 0;
        for (uint64_t j : user_row.indices) {
          QV_ASSERT(j < n_items, "user item out of range");
          const uint64_t len = stored_length(similarity, j);
          reach = len > UINT64_MAX - reach ? UINT64_MAX : reach + len;
        }
        if (!implicit_ties && reach >= quarter) {
          score_dense(r, s, user_row, positions.data(), scores.data());
        } else if (reach < n_items / (few ? 16 : 64)) {
          score_sparse(r, s, s.hashed, reach, user_row, positions.data(), scores.data());
        } else {
          if (!s.dense_sums) s.dense_sums.emplace(n_items, candidates.n_candidates);
          score_sparse(r, s, *s.dense_sums, n_items, user_row, positions.data(), scores.data());
        }
      });
  return out;
}

}  // namespace qv::recommend
