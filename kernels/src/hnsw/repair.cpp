// Connectivity repair: the search finds items by walking level-0 links from the entry
// point, and trimming full lists during construction can cut the only link to a node.
//
// Up to eight passes link one root of every unreached group to a reached host found by a
// level-0 search, evicting (through a trim that keeps the root) when every offered host
// is full. On inner-product data with varied norms a few large-norm nodes are the best
// host of most roots and are always full, so many nodes stay unreached; they are left so,
// because evicting more links from those hubs costs every walk that goes through them.
//
// A pass is a function of the graph it starts from. On such data the passes soon
// alternate between the same graphs (two roots take turns in a hub's list), so once a
// pass leaves a graph that an earlier one left, the rest would only go round that cycle:
// the repair steps back to the graph the last pass would leave and stops.
#include <algorithm>
#include <bit>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "hnsw/builder.hpp"
#include "parallel/pool.hpp"

namespace qv::hnsw {

namespace detail {
std::atomic<bool> repair_every_pass{false};
std::atomic<int> repair_passes_run{0};
}  // namespace detail

namespace {

constexpr int kPasses = 8;
constexpr size_t kHosts = 16;
constexpr uint64_t kNone = UINT64_MAX;

// One descent end per node, none found yet.
std::vector<Candidate> landings(uint64_t n) {
  std::vector<Candidate> v;
  resize_as("a descent's end per node", v, n, Candidate{0.0, kNone});
  return v;
}

// One bit per node.
class Bits {
 public:
  explicit Bits(uint64_t n) : n_(n) {
    resize_as("a node bitmap (64 nodes a word)", words_, (n + 63) / 64, uint64_t{0});
  }

  bool test(uint64_t i) const { return (words_[i >> 6] >> (i & 63)) & 1; }
  void set(uint64_t i) { words_[i >> 6] |= uint64_t{1} << (i & 63); }
  void clear(uint64_t i) { words_[i >> 6] &= ~(uint64_t{1} << (i & 63)); }
  void clear_all() { std::fill(words_.begin(), words_.end(), 0); }
  void copy_from(const Bits& o) { std::copy(o.words_.begin(), o.words_.end(), words_.begin()); }

  // The lowest clear bit at or above i, or n.
  uint64_t next_clear(uint64_t i) const {
    if (i >= n_) return n_;
    size_t w = i >> 6;
    uint64_t free = ~words_[w] & (~uint64_t{0} << (i & 63));
    while (free == 0) {
      if (++w == words_.size()) return n_;
      free = ~words_[w];
    }
    return std::min<uint64_t>(n_, (uint64_t{w} << 6) + static_cast<uint64_t>(std::countr_zero(free)));
  }

 private:
  uint64_t n_;
  std::vector<uint64_t> words_;
};

// The lists one pass wrote, each with its contents before the pass's first write to it.
struct Log {
  std::vector<uint32_t> nodes, items;
  std::vector<size_t> at{0};

  void add(uint64_t node, std::span<const uint32_t> before) {
    nodes.push_back(static_cast<uint32_t>(node));
    items.insert(items.end(), before.begin(), before.end());
    at.push_back(items.size());
  }
  std::span<const uint32_t> before(size_t i) const { return {items.data() + at[i], at[i + 1] - at[i]}; }
  // Marks none of its lists as written any more.
  void close(Bits& touched) const {
    for (uint32_t v : nodes) touched.clear(v);
  }
};

// The level-0 lists as a pass found them. Its host searches and reachability read this
// copy: plain reads, and linking can write the lists while later searches still run.
// One block per node, its length first, so a list's address needs no lookup and can be
// requested before the list is walked.
class Level0 {
 public:
  void take(const BuildLinks& links, uint64_t room) {
    const uint64_t n = links.n_nodes();
    stride_ = room + 1;
    resize_as("a copy of the level-0 link lists (1 + min(2m, n - 1) entries per node)", blocks_, n * stride_);
    for (uint64_t i = 0; i < n; ++i) {
      copy_.clear();
      links.neighbors(i, 0, copy_);
      QV_ASSERT(copy_.size() <= room, "level-0 list within its cap");
      uint32_t* b = blocks_.data() + i * stride_;
      b[0] = static_cast<uint32_t>(copy_.size());
      std::copy(copy_.begin(), copy_.end(), b + 1);
    }
  }
  std::span<const uint32_t> list(uint64_t node) const {
    const uint32_t* b = blocks_.data() + node * stride_;
    return {b + 1, b[0]};
  }
  void neighbors(uint64_t node, uint64_t level, std::vector<uint32_t>& out) const {
    QV_ASSERT(level == 0, "only level 0 is copied");
    const std::span<const uint32_t> l = list(node);
    out.insert(out.end(), l.begin(), l.end());
  }
  void prefetch(uint64_t node) const { __builtin_prefetch(blocks_.data() + node * stride_); }

 private:
  uint64_t stride_ = 1;
  std::vector<uint32_t> blocks_, copy_;
};

template <class Items>
class Repair {

 public:
  explicit Repair(const Builder<Items>& b)
      : b_(b), links_(b.links()), n_(b.n()), cap_(level0_cap(b.m())), reached_(n_), working_(n_), touched_(n_) {}

  void run() {
    detail::repair_passes_run.store(0, std::memory_order_relaxed);
    if (n_ < 2) return;
    for (int pass = 1; pass <= kPasses; ++pass) {
      level0_.take(links_, std::min(cap_, n_ - 1));
      find_roots();
      if (roots_.empty()) return;
      log_ = &logs_[pass];
      search_and_link();
      log_->close(touched_);
      detail::repair_passes_run.store(pass, std::memory_order_relaxed);
      const int period = detail::repair_every_pass.load(std::memory_order_relaxed) ? 0 : period_at(pass);
      if (period > 0) {
        // From here the graphs repeat with this period: the one the last pass would leave
        // is the one of the same phase among the last `period` passes.
        const int phase = ((pass - kPasses) % period + period) % period;
        for (int j = pass; j > pass - phase; --j) undo(logs_[j]);
        return;
      }
    }
  }

 private:
  // Marks `start` and every node reachable from it over level-0 links without passing a
  // node marked before; an explicit stack, so a long chain cannot exhaust the thread's.
  void mark_component(uint64_t start, Bits& marks) {
    stack_.assign(1, static_cast<uint32_t>(start));
    marks.set(start);
    while (!stack_.empty()) {
      const uint32_t x = stack_.back();
      stack_.pop_back();
      for (uint32_t v : level0_.list(x))
        if (!marks.test(v)) {
          marks.set(v);
          stack_.push_back(v);
        }
    }
  }

  // What the entry point reaches, and the ascending roots of the rest: each unreached node
  // that no earlier root reaches.
  void find_roots() {
    reached_.clear_all();
    mark_component(b_.entry(), reached_);
    working_.copy_from(reached_);
    roots_.clear();
    for (uint64_t i = working_.next_clear(0); i < n_; i = working_.next_clear(i + 1)) {
      roots_.push_back(static_cast<uint32_t>(i));
      mark_component(i, working_);
    }
  }

  // Up to 16 reached nodes near each root, best first, searched in the copy of the lists
  // the pass began with; one root per chunk, as searches differ in length and the pool's
  // cursor then evens them out. Whichever worker finds the next roots in order searched
  // links them meanwhile, one worker at a time, so linking overlaps the searches.
  void search_and_link() {
    const size_t n_roots = roots_.size();
    resize_as("the best reached nodes of each unreached root", hosts_, n_roots * kHosts);
    resize_as("a count of reached nodes per unreached root", n_hosts_, n_roots);
    if (n_roots > ready_size_) {
      ready_ = allocating("a flag per unreached root", n_roots, sizeof(std::atomic<bool>),
                          [&] { return std::make_unique<std::atomic<bool>[]>(n_roots); });
      ready_size_ = n_roots;
    }
    for (size_t i = 0; i < n_roots; ++i) ready_[i].store(false, std::memory_order_relaxed);
    linked_ = 0;
    stock_.resize(std::max(stock_.size(), parallel::current_threads()));
    taken_.store(0, std::memory_order_relaxed);
    parallel::for_each_with(
        n_roots, [&] { return Lease(*this); },
        [&](Lease& lease, size_t i) {
          BuildScratch& s = *lease.scratch;
          const uint64_t r = roots_[i];
          // The descent reads only the upper levels, which the repair never writes, so a
          // node that is a root again lands where it did before.
          Candidate& landing = landing_[r];
          if (landing.index == kNone) {
            uint64_t cur = b_.entry();
            double best = b_.items().similarity(r, cur);
            b_.descend_from(r, cur, best, 0, s);
            landing = Candidate{best, cur};
          }
          s.seeds.assign(1, landing);
          b_.search_level(level0_, r, 0, s, [&](uint64_t v) { return reached_.test(v); });
          const size_t keep = std::min(s.candidates.size(), kHosts);
          std::copy_n(s.candidates.begin(), keep, hosts_.begin() + static_cast<ptrdiff_t>(i * kHosts));
          n_hosts_[i] = keep;
          ready_[i].store(true, std::memory_order_release);
          link_ready(false);
        },
        1);
    link_ready(true);
  }

  // Links the roots whose searches are done, in root order, unless another worker is at
  // it (then that one or the last call, which waits, takes them).
  void link_ready(bool wait) {
    std::unique_lock<std::mutex> lock(link_mutex_, std::defer_lock);
    if (wait)
      lock.lock();
    else if (!lock.try_lock())
      return;
    if (!link_scratch_) link_scratch_ = std::make_unique<BuildScratch>(b_.scratch());
    for (; linked_ < roots_.size() && ready_[linked_].load(std::memory_order_acquire); ++linked_)
      link(roots_[linked_], {hosts_.data() + linked_ * kHosts, n_hosts_[linked_]}, *link_scratch_);
  }

  // Root r goes to the first candidate that lists it already or has room; failing that,
  // into the best candidate's list by a trim that keeps it. The host then joins r's own
  // list the same way.
  void link(uint32_t r, std::span<const Candidate> hosts, BuildScratch& s) {
    uint64_t host = kNone;
    for (const Candidate& c : hosts)
      if (add_if_room(c.index, r)) {
        host = c.index;
        break;
      }
    if (host == kNone) {
      if (hosts.empty()) return;
      host = hosts.front().index;
      if (host != r) add_keeping(host, r, s);
    }
    if (host != r) add_keeping(r, static_cast<uint32_t>(host), s);
  }

  // True when `owner` lists v already or had room to take it.
  bool add_if_room(uint64_t owner, uint32_t v) {
    return links_.with_list(owner, 0, [&](BuildLinks::Locked& l) {
      if (l.contains(v)) return true;
      if (owner == v || l.size() >= cap_) return false;
      remember(owner, l.items());
      l.push(v);
      return true;
    });
  }

  // Appends v to owner's list unless listed; a full list is trimmed with v kept.
  void add_keeping(uint64_t owner, uint32_t v, BuildScratch& s) {
    links_.with_list(owner, 0, [&](BuildLinks::Locked& l) {
      if (l.contains(v)) return;
      remember(owner, l.items());
      if (l.size() < cap_) {
        l.push(v);
        return;
      }
      s.merged.assign(l.items().begin(), l.items().end());
      s.merged.push_back(v);
      b_.prune_keeping(s.merged, owner, v, cap_, s);
      l.assign(s.merged);
    });
  }

  // The first time a pass writes a list, its contents before.
  void remember(uint64_t owner, std::span<const uint32_t> items) {
    if (touched_.test(owner)) return;
    touched_.set(owner);
    log_->add(owner, items);
  }

  // The smallest p such that the graph after pass k equals the one after pass k - p, or
  // 0: only lists that passes k - p + 1 .. k wrote can differ, and their contents then
  // are what the first of those passes to write each one found.
  int period_at(int k) {
    for (int p = 1; p <= k; ++p) {
      bool same = true;
      for (int j = k - p + 1; j <= k && same; ++j) {
        const Log& log = logs_[j];
        for (size_t i = 0; i < log.nodes.size() && same; ++i) {
          const uint32_t v = log.nodes[i];
          if (touched_.test(v)) continue;
          touched_.set(v);
          copy_.clear();
          links_.neighbors(v, 0, copy_);
          const std::span<const uint32_t> old = log.before(i);
          same = std::equal(copy_.begin(), copy_.end(), old.begin(), old.end());
        }
      }
      for (int j = k - p + 1; j <= k; ++j) logs_[j].close(touched_);
      if (same) return p;
    }
    return 0;
  }

  void undo(const Log& log) {
    for (size_t i = 0; i < log.nodes.size(); ++i)
      links_.with_list(log.nodes[i], 0, [&](BuildLinks::Locked& l) { l.assign(log.before(i)); });
  }

  // A worker's search scratch for one piece of a loop: slot i of the repair's stock for
  // the i-th piece to start, so every pass reuses the scratch of the last. A piece lets go
  // of nothing when it ends (that happens after the loop counts its last chunk done).
  struct Lease {
    BuildScratch* scratch;
    std::unique_ptr<BuildScratch> own;  // for a piece beyond the pool's thread count
    explicit Lease(Repair& r) {
      const size_t i = r.taken_.fetch_add(1, std::memory_order_relaxed);
      std::unique_ptr<BuildScratch>& slot = i < r.stock_.size() ? r.stock_[i] : own;
      if (!slot) slot = std::make_unique<BuildScratch>(r.b_.scratch());
      scratch = slot.get();
    }
  };

  const Builder<Items>& b_;
  BuildLinks& links_;
  uint64_t n_, cap_;
  Bits reached_, working_, touched_;
  std::vector<uint32_t> stack_, copy_, roots_;
  Log logs_[kPasses + 1];  // by pass, from 1
  Log* log_ = nullptr;
  std::vector<Candidate> hosts_;  // kHosts slots per root
  std::vector<size_t> n_hosts_;
  std::vector<std::unique_ptr<BuildScratch>> stock_;  // one per piece of a loop
  std::atomic<size_t> taken_{0};
  Level0 level0_;
  std::vector<Candidate> landing_ = landings(n_);  // per node: its descent's end
  std::unique_ptr<std::atomic<bool>[]> ready_;  // per root: its hosts are in
  size_t ready_size_ = 0;
  std::mutex link_mutex_;  // held by the worker that links; guards what follows
  size_t linked_ = 0;      // roots linked so far
  std::unique_ptr<BuildScratch> link_scratch_;
};

}  // namespace

template <class Items>
void repair(const Builder<Items>& b) {
  Repair<Items>(b).run();
}

template void repair<vectors::DenseItems>(const Builder<vectors::DenseItems>&);
template void repair<vectors::SparseItems>(const Builder<vectors::SparseItems>&);

}  // namespace qv::hnsw
