#pragma once
// The insertion machinery shared by the construction and the repair (one Builder per
// build; one BuildScratch per worker).
#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "hnsw/build.hpp"
#include "hnsw/descent.hpp"
#include "hnsw/graph.hpp"
#include "hnsw/heaps.hpp"
#include "hnsw/visited.hpp"

namespace qv::hnsw {

struct BuildScratch {
  Visited visited;
  WalkScratch walk;
  Frontier queue;
  ResultHeap found;
  std::vector<Candidate> candidates, seeds, ranked;
  std::vector<uint32_t> selected, discarded, merged, pruned, copy;

  BuildScratch(uint64_t n, uint64_t heap_room)
      : visited(n), found(heap_room, heap_room, "a per-worker heap of ef_construction candidates") {
    queue.reserve(heap_room);
  }
};

template <class Items>
class Builder {
 public:
  Builder(const Items& items, BuildLinks& links, const HnswParams& p, uint64_t entry)
      : items_(items),
        links_(links),
        m_(p.m),
        ef_(p.ef_construction),
        n_(links.n_nodes()),
        entry_(entry),
        entry_level_(links.level_of(entry)) {}

  BuildScratch scratch() const { return BuildScratch(n_, std::min(ef_, n_) + 1); }

  void insert(uint64_t q, BuildScratch& s) const {
    const uint64_t top = links_.level_of(q);
    uint64_t cur = entry_;
    double best = items_.similarity(q, entry_);
    descend_from(q, cur, best, top, s);
    s.seeds.assign(1, Candidate{best, cur});
    for (uint64_t l = top + 1; l-- > 0;) {
      search_level(q, l, s, [](uint64_t) { return true; });
      const uint64_t cap = level_cap(m_, l);
      select(s.candidates, cap, s, s.selected);
      const uint32_t self = static_cast<uint32_t>(q);
      // Trims are computed outside the list's lock and committed only if no other write
      // came first; one thread never retries, so a one-thread build is the plain sequence.
      for (;;) {
        s.merged.clear();
        const uint32_t version = links_.read(q, l, s.merged);
        const size_t before = s.merged.size();
        for (uint32_t v : s.selected)
          if (v != self && std::find(s.merged.begin(), s.merged.end(), v) == s.merged.end()) s.merged.push_back(v);
        if (s.merged.size() > cap) prune(s.merged, q, cap, s);
        if (s.merged.size() == before && before <= cap) break;
        if (links_.commit(q, l, version, [&](BuildLinks::Locked& list) { list.assign(s.merged); })) break;
      }
      for (uint32_t v : s.selected)
        if (v != self) add_link(v, l, self, cap, s);
      std::swap(s.seeds, s.candidates);
    }
  }

  // Greedy descent for `q` from the entry level down to level `to` + 1.
  void descend_from(uint64_t q, uint64_t& cur, double& best, uint64_t to, BuildScratch& s) const {
    descend(links_, cur, best, entry_level_, to, n_, s.walk,
            [&](const uint32_t* ids, size_t n, double* out) { items_.similarity_many(q, ids, n, out); });
  }

  // The beam of one level from s.seeds; nodes for which admit(v) is false are walked
  // through but never kept. Leaves the kept nodes in s.candidates, best first. `lists`
  // is the graph's lists or a copy of one level of them (anything with `neighbors`).
  template <class Admit>
  void search_level(uint64_t q, uint64_t level, BuildScratch& s, Admit&& admit) const {
    search_level(links_, q, level, s, admit);
  }
  template <class Lists, class Admit>
  void search_level(const Lists& lists, uint64_t q, uint64_t level, BuildScratch& s, Admit&& admit) const {
    s.visited.clear();
    s.queue.clear();
    s.found.clear();
    for (const Candidate& c : s.seeds) {
      if (s.visited.insert(c.index)) continue;
      s.queue.push(c);
      if (admit(c.index)) keep(s.found, c.index, c.score, ef_);
    }
    std::vector<uint32_t>& fresh = s.walk.ids;
    std::vector<double>& scores = s.walk.scores;
    while (!s.queue.empty()) {
      const Candidate c = s.queue.pop();
      if (s.found.size() >= ef_ && worse(c, s.found.top())) break;
      // The next node to expand is most often the new best of the queue: its list is
      // requested while this one is walked.
      if constexpr (requires { lists.prefetch(c.index); })
        if (!s.queue.empty()) lists.prefetch(s.queue.top().index);
      s.copy.clear();
      lists.neighbors(c.index, level, s.copy);
      fresh.clear();
      for (uint32_t v : s.copy)
        if (!s.visited.insert(v)) fresh.push_back(v);
      scores.resize(fresh.size());
      items_.similarity_many(q, fresh.data(), fresh.size(), scores.data());
      for (size_t i = 0; i < fresh.size(); ++i) {
        const Candidate e{scores[i], fresh[i]};
        if (s.found.size() >= ef_ && worse(e, s.found.top())) continue;
        s.queue.push(e);
        if (admit(e.index)) keep(s.found, e.index, e.score, ef_);
      }
    }
    s.found.drain_sorted(s.candidates);
  }

  // The neighbour heuristic: a candidate (best first) is kept when it is closer to the
  // base than to every node kept before it; the rest fill any room left, in order.
  void select(std::span<const Candidate> candidates, uint64_t cap, BuildScratch& s,
              std::vector<uint32_t>& kept) const {
    kept.clear();
    s.discarded.clear();
    for (const Candidate& c : candidates) {
      if (kept.size() >= cap) break;
      bool good = true;
      for (uint32_t r : kept)
        if (!(items_.similarity(c.index, r) < c.score)) {
          good = false;
          break;
        }
      (good ? kept : s.discarded).push_back(static_cast<uint32_t>(c.index));
    }
    for (size_t i = 0; i < s.discarded.size() && kept.size() < cap; ++i) kept.push_back(s.discarded[i]);
  }

  // Trims `list` (of node owner, longer than cap) to cap nodes, in place.
  void prune(std::vector<uint32_t>& list, uint64_t owner, uint64_t cap, BuildScratch& s) const {
    s.walk.scores.resize(list.size());
    items_.similarity_many(owner, list.data(), list.size(), s.walk.scores.data());
    s.ranked.clear();
    for (size_t i = 0; i < list.size(); ++i) s.ranked.push_back({s.walk.scores[i], list[i]});
    ranking::sort_best_first(s.ranked);
    select(s.ranked, cap, s, s.pruned);
    list.swap(s.pruned);
  }

  // As prune, but `keep` stays in the result (in place of the last entry if it fell out).
  void prune_keeping(std::vector<uint32_t>& list, uint64_t owner, uint32_t keep, uint64_t cap, BuildScratch& s) const {
    prune(list, owner, cap, s);
    if (std::find(list.begin(), list.end(), keep) != list.end()) return;
    if (!list.empty()) list.pop_back();
    list.push_back(keep);
  }

  // Appends v to the list of (owner, level) unless it is there; a list that held cap
  // entries or more is trimmed back, keeping v when `keep_v`. The trim is computed outside
  // the lock and committed only if no other write came first.
  void add_link(uint64_t owner, uint64_t level, uint32_t v, uint64_t cap, BuildScratch& s, bool keep_v = false) const {
    for (;;) {
      s.merged.clear();
      const uint32_t version = links_.read(owner, level, s.merged);
      if (std::find(s.merged.begin(), s.merged.end(), v) != s.merged.end()) return;
      s.merged.push_back(v);
      if (s.merged.size() > cap) {
        if (keep_v)
          prune_keeping(s.merged, owner, v, cap, s);
        else
          prune(s.merged, owner, cap, s);
      }
      if (links_.commit(owner, level, version, [&](BuildLinks::Locked& list) { list.assign(s.merged); })) return;
    }
  }

  const Items& items() const { return items_; }
  BuildLinks& links() const { return links_; }
  uint64_t n() const { return n_; }
  uint64_t m() const { return m_; }
  uint64_t entry() const { return entry_; }

 private:
  const Items& items_;
  BuildLinks& links_;
  uint64_t m_, ef_, n_, entry_, entry_level_;
};

template <class Items>
void repair(const Builder<Items>& b);

}  // namespace qv::hnsw
