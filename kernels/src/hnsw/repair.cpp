// Connectivity repair: the search finds items by walking level-0 links from the entry
// point, and trimming full lists during construction can cut the only link to a node.
//
// Up to eight passes link one root of every unreached group to a reached host found by a
// level-0 search (evicting, through a trim that keeps the root, when every offered host
// is full). Those passes can stall: on inner-product data a few large-norm nodes are the
// best host of every root and are always full, so two roots evict each other from the
// same host pass after pass. Whatever the passes leave unreached is then linked by a
// completion step that never cuts a path: each root goes to the first host that has
// room, else to the nearest reached node with room, else in place of a link that the
// spanning tree of the reached part does not use (one always exists: every reached node
// is full, so there are more links than tree edges). The graph is the one of the passes
// whenever they reach every node.
#include <algorithm>
#include <vector>

#include "hnsw/builder.hpp"
#include "parallel/pool.hpp"

namespace qv::hnsw {

namespace {

constexpr int kPasses = 8;
constexpr size_t kHosts = 16;
constexpr uint32_t kNone = UINT32_MAX;

// Depth-first marking over level-0 links, never passing a node marked before the call.
// When `parent` is given, every node marked here records the node it was reached from.
class Reach {
 public:
  explicit Reach(const BuildLinks& links) : links_(links) {}

  void mark(uint64_t start, std::vector<uint8_t>& marks, std::vector<uint32_t>* parent = nullptr) {
    stack_.clear();
    stack_.push_back(static_cast<uint32_t>(start));
    marks[start] = 1;
    while (!stack_.empty()) {
      const uint32_t x = stack_.back();
      stack_.pop_back();
      copy_.clear();
      links_.neighbors(x, 0, copy_);
      for (uint32_t v : copy_) {
        if (marks[v]) continue;
        marks[v] = 1;
        if (parent) (*parent)[v] = x;
        stack_.push_back(v);
      }
    }
  }

 private:
  const BuildLinks& links_;
  std::vector<uint32_t> stack_, copy_;
};

template <class Items>
class Repair {
 public:
  explicit Repair(const Builder<Items>& b)
      : b_(b), links_(b.links()), n_(b.n()), cap_(level0_cap(b.m())), reach_(links_), reached_(n_) {}

  // Marks what the entry point reaches and returns the roots of the rest, ascending.
  std::vector<uint32_t> roots(std::vector<uint32_t>* parent = nullptr) {
    std::fill(reached_.begin(), reached_.end(), 0);
    if (parent) (*parent)[b_.entry()] = static_cast<uint32_t>(b_.entry());
    reach_.mark(b_.entry(), reached_, parent);
    std::vector<uint8_t> working = reached_;
    std::vector<uint32_t> out;
    for (uint64_t i = 0; i < n_; ++i)
      if (!working[i]) {
        out.push_back(static_cast<uint32_t>(i));
        reach_.mark(i, working);
      }
    return out;
  }

  // Up to 16 reached nodes near each root, best first, in root order; lists are only read.
  std::vector<std::vector<Candidate>> hosts(const std::vector<uint32_t>& roots) const {
    std::vector<std::vector<Candidate>> out(roots.size());
    parallel::for_each_with(
        roots.size(), [&] { return b_.scratch(); },
        [&](BuildScratch& s, size_t i) {
          const uint64_t r = roots[i];
          uint64_t cur = b_.entry();
          double best = b_.items().similarity(r, cur);
          b_.descend_from(r, cur, best, 0, s);
          s.seeds.assign(1, Candidate{best, cur});
          b_.search_level(r, 0, s, [&](uint64_t v) { return reached_[v] != 0; });
          const size_t keep = std::min(s.candidates.size(), kHosts);
          out[i].assign(s.candidates.begin(), s.candidates.begin() + static_cast<ptrdiff_t>(keep));
        },
        1);
    return out;
  }

  // One pass's linking of root r: the first candidate with room, else the best one with
  // a trim that keeps r; then the host joins r's own list the same way.
  void link_pass(uint32_t r, const std::vector<Candidate>& hosts, BuildScratch& s) {
    uint64_t host = kNone;
    for (const Candidate& c : hosts)
      if (links_.link_if_room(c.index, r, cap_)) {
        host = c.index;
        break;
      }
    if (host == kNone) {
      if (hosts.empty()) return;
      host = hosts.front().index;
      if (host != r) b_.add_link(host, 0, r, cap_, s, true);
    }
    if (r != host) b_.add_link(r, 0, static_cast<uint32_t>(host), cap_, s, true);
  }

  // Links root r from a reached node without cutting any path of the reached part, then
  // marks what r reaches as reached (with tree parents).
  void link_complete(uint32_t r, const std::vector<Candidate>& hosts, std::vector<uint32_t>& parent) {
    uint64_t host = kNone;
    for (const Candidate& c : hosts)
      if (c.index != r && reached_[c.index] && size0(c.index) < cap_) {
        host = c.index;
        break;
      }
    if (host == kNone) host = nearest_with_room(r);
    if (host != kNone) {
      links_.with_list(host, 0, [&](BuildLinks::Locked& l) {
        if (!l.contains(r)) l.push(r);
      });
    } else {
      host = replace_spare_link(r, hosts, parent);
    }
    links_.with_list(r, 0, [&](BuildLinks::Locked& l) {
      const uint32_t h = static_cast<uint32_t>(host);
      if (l.size() < cap_ && !l.contains(h)) l.push(h);
    });
    parent[r] = static_cast<uint32_t>(host);
    reach_.mark(r, reached_, &parent);
  }

  void run(RepairMode mode) {
    if (mode == RepairMode::None || n_ < 2) return;
    BuildScratch s = b_.scratch();
    for (int pass = 0; pass < kPasses; ++pass) {
      const std::vector<uint32_t> rs = roots();
      if (rs.empty()) return;
      const auto hs = hosts(rs);
      for (size_t i = 0; i < rs.size(); ++i) link_pass(rs[i], hs[i], s);
    }
    if (mode != RepairMode::Full) return;
    std::vector<uint32_t> parent(n_, kNone);
    // One round links every root; the loop only guards against a round that could not.
    for (;;) {
      const std::vector<uint32_t> rs = roots(&parent);
      if (rs.empty()) return;
      std::fill(evicted_.begin(), evicted_.end(), 0);
      const auto hs = hosts(rs);
      for (size_t i = 0; i < rs.size(); ++i)
        if (!reached_[rs[i]]) link_complete(rs[i], hs[i], parent);
    }
  }

 private:
  uint64_t size0(uint64_t v) const {
    return links_.with_list(v, 0, [](BuildLinks::Locked& l) { return l.size(); });
  }

  uint64_t nearest_with_room(uint64_t r) const {
    uint64_t host = kNone;
    double best = 0.0;
    for (uint64_t v = 0; v < n_; ++v) {
      if (!reached_[v] || v == r || size0(v) >= cap_) continue;
      const double s = b_.items().similarity(r, v);
      if (host == kNone || better(s, v, best, host)) {
        host = v;
        best = s;
      }
    }
    return host;
  }

  // Every reached node is full: put r in place of a link that no tree path uses. Lists
  // are kept best first, so the weakest such link goes, and a host gives up one link per
  // completion round while another candidate still can, so the best hub near many roots
  // does not lose its whole list.
  uint64_t replace_spare_link(uint32_t r, const std::vector<Candidate>& hosts, const std::vector<uint32_t>& parent) {
    auto try_host = [&](uint64_t h, bool fresh_only) {
      if (h == r || !reached_[h] || (fresh_only && evicted_[h])) return false;
      return links_.with_list(h, 0, [&](BuildLinks::Locked& l) {
        std::vector<uint32_t> items(l.items().begin(), l.items().end());
        for (size_t i = items.size(); i-- > 0;)
          if (parent[items[i]] != h) {
            items[i] = r;
            l.assign(items);
            evicted_[h] = 1;
            return true;
          }
        return false;
      });
    };
    for (bool fresh_only : {true, false}) {
      for (const Candidate& c : hosts)
        if (try_host(c.index, fresh_only)) return c.index;
    }
    for (uint64_t v = 0; v < n_; ++v)
      if (try_host(v, true)) return v;
    for (uint64_t v = 0; v < n_; ++v)
      if (try_host(v, false)) return v;
    invariant_failed("no link of the reached graph can be spared", __FILE__, __LINE__);
  }

  const Builder<Items>& b_;
  BuildLinks& links_;
  uint64_t n_, cap_;
  Reach reach_;
  std::vector<uint8_t> reached_;
  std::vector<uint8_t> evicted_ = std::vector<uint8_t>(n_, 0);  // hosts that gave up a link this round
};

}  // namespace

template <class Items>
void repair(const Builder<Items>& b, RepairMode mode) {
  Repair<Items>(b).run(mode);
}

template void repair<vectors::DenseItems>(const Builder<vectors::DenseItems>&, RepairMode);
template void repair<vectors::SparseItems>(const Builder<vectors::SparseItems>&, RepairMode);

}  // namespace qv::hnsw
