#pragma once
// The graph store of an HNSW index.
//
// A node has a level L in 0..32 and one list of out-links on each level 0..L. Slots
// number the (node, level) pairs item-major, level 0 first: slot(i, l) = first[i] + l.
// Python holds a built index as four values (node_level int32, links_indptr int64,
// links_indices int32, entry_point int); `Graph` is that result, `GraphView` the
// validated read-only view a search walks, `BuildLinks` the lists under construction.
#include <atomic>
#include <memory>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <span>
#include <vector>

#include "core/invariant.hpp"

namespace qv::hnsw {

inline constexpr uint64_t kMaxLevel = 32;

// Runs piece(t) for every t < n_pieces: on the current pool when there is one and the
// pieces read enough `bytes` to pay for more threads, else on the calling thread.
void spread(uint64_t n_pieces, uint64_t bytes, const std::function<void(uint64_t)>& piece);
inline constexpr uint64_t kMaxItems = uint64_t{1} << 31;

struct Graph {
  std::vector<int32_t> node_level;
  std::vector<int64_t> links_indptr;
  std::vector<int32_t> links_indices;
  int64_t entry_point = -1;
};

// The level-0 cap 2m, saturated so that a huge m cannot wrap.
inline uint64_t level0_cap(uint64_t m) { return m > UINT64_MAX / 2 ? UINT64_MAX : 2 * m; }
inline uint64_t level_cap(uint64_t m, uint64_t level) { return level == 0 ? level0_cap(m) : m; }

// Link lists under construction, each guarded by one 32-bit word: a writer bit, a
// poisoned bit and a version that every write advances. Writers take the bit; readers
// take nothing: they copy the list and retry if the version moved meanwhile, so the hub
// lists that every insertion reads stay shared in all caches instead of bouncing between
// them. A thread holds at most one list lock at a time, so there is no lock order to
// respect. A list never
// holds more than its cap (a trim happens before the lock is released), so each level
// gets one flat block of min(cap, n - 1) entries per list: level-0 lists stay together
// and no list ever reallocates.
class BuildLinks {
 public:
  BuildLinks(std::vector<uint64_t> levels, uint64_t m);

  uint64_t n_nodes() const { return levels_.size(); }
  uint64_t level_of(uint64_t node) const { return levels_[node]; }
  uint64_t slot(uint64_t node, uint64_t level) const { return offsets_[node] + level; }

  // Appends (a copy of) the list of (node, level) to out; nothing above the node's level.
  void neighbors(uint64_t node, uint64_t level, std::vector<uint32_t>& out) const { read(node, level, out); }
  // The same, returning the version of the list that was copied.
  uint32_t read(uint64_t node, uint64_t level, std::vector<uint32_t>& out) const;

  // Level 0 only: true when node is listed by host already or has just been appended;
  // false when host == node or the list holds cap entries or more.
  bool link_if_room(uint64_t host, uint64_t node, uint64_t cap);

  // A locked list: contents, append within the block, wholesale replacement.
  class Locked {
   public:
    std::span<const uint32_t> items() const { return {data_, *count_}; }
    size_t size() const { return *count_; }
    bool contains(uint32_t v) const;
    void push(uint32_t v);
    void assign(std::span<const uint32_t> v);

   private:
    friend class BuildLinks;
    uint32_t* data_;
    uint32_t* count_;
    uint32_t room_;
  };

  // Runs f(Locked&) under the write lock of (node, level). A failure inside poisons the
  // list: its next user fails with "hnsw link lock poisoned".
  template <class F>
  decltype(auto) with_list(uint64_t node, uint64_t level, F&& f);

  // Runs f(Locked&) under the write lock only if the list is still at `version` (as
  // read() returned it); false, with nothing run, when another write came first. Lets a
  // trim compute its similarities without holding the list.
  template <class F>
  bool commit(uint64_t node, uint64_t level, uint32_t version, F&& f);

  Graph freeze(uint64_t entry);

 private:
  struct Guard {
    std::atomic<uint32_t>& word;
    uint32_t version;
    int uncaught;
    bool changed = false;  // released without a write: the version stays
    explicit Guard(std::atomic<uint32_t>& w);
    ~Guard();
  };
  Locked locked(uint64_t node, uint64_t level);

  std::vector<uint64_t> levels_;
  std::vector<uint64_t> offsets_;  // n + 1 first-slot offsets
  uint64_t room0_ = 0, room_up_ = 0;
  std::vector<uint32_t> level0_;  // n blocks of room0_
  std::vector<uint32_t> upper_;   // one block of room_up_ per slot above level 0
  std::vector<uint32_t> counts_;  // per slot
  std::unique_ptr<std::atomic<uint32_t>[]> locks_;  // per slot: version * 4 | poisoned * 2 | held
};

template <class F>
decltype(auto) BuildLinks::with_list(uint64_t node, uint64_t level, F&& f) {
  Guard g(locks_[slot(node, level)]);
  Locked l = locked(node, level);
  return f(l);
}

template <class F>
bool BuildLinks::commit(uint64_t node, uint64_t level, uint32_t version, F&& f) {
  Guard g(locks_[slot(node, level)]);
  if (g.version != version) {
    g.changed = true;
    return false;
  }
  Locked l = locked(node, level);
  f(l);
  return true;
}

// The first-slot offsets of a level array: n + 1 running sums of level + 1.
template <class Level>
std::vector<uint64_t> slot_offsets(std::span<const Level> levels) {
  std::vector<uint64_t> off;
  resize_as("a first slot per node", off, levels.size() + 1);
  uint64_t s = 0;
  for (size_t i = 0; i < levels.size(); ++i) {
    off[i] = s;
    s += static_cast<uint64_t>(levels[i]) + 1;
  }
  off[levels.size()] = s;
  return off;
}

// A validated index, borrowed from the caller's arrays.
//
// Another Python thread may write those arrays while a search runs. Levels therefore come
// from the view's own copy, and every index pointer and list entry is read once and
// checked where it is used, so a write after validation gives a wrong answer or an
// InternalError, never a read outside the arrays.
//
// The copy packs each node's level with its first slot counted from the start of its
// block of 2^14 nodes (below 2^14 * 33 < 2^20); one base per block completes the slot. It
// is written in the same pass that checks the levels, a block per task, and is half the
// size of full offsets: the check runs on every call, so its writes are part of the cost.
class GraphView {
 public:
  static constexpr unsigned kBlockShift = 14;

  // The structural checks of the index arrays against n_items (the caller has checked
  // that node_level has n_items entries): nullopt when they do not describe a graph. Large
  // arrays are checked in parallel on the current pool when there is one; every failure
  // has the same meaning, so the outcome does not depend on the split.
  static std::optional<GraphView> make(std::span<const int32_t> node_level, std::span<const int64_t> links_indptr,
                                       std::span<const int32_t> links_indices, int64_t entry_point, uint64_t n_items);

  uint64_t n_items() const { return n_; }
  uint64_t entry_point() const { return entry_; }
  uint64_t top() const { return top_; }
  uint64_t level_of(uint64_t node) const { return packed_[node] & 63u; }

  // The positions [begin, end) of the list of (node, level) in links_indices; empty above
  // the node's level.
  std::pair<uint64_t, uint64_t> list_range(uint64_t node, uint64_t level) const {
    const uint32_t p = packed_[node];
    if (level > (p & 63u)) return {0, 0};
    const uint64_t s = base_[node >> kBlockShift] + (p >> 6) + level;
    const uint64_t b = static_cast<uint64_t>(read_once(links_indptr_[s]));
    const uint64_t e = static_cast<uint64_t>(read_once(links_indptr_[s + 1]));
    QV_ASSERT(b <= e && e <= links_indices_.size(), "link list positions out of range");
    return {b, e};
  }
  // Requests the node's level word: a node is pushed long before it is expanded.
  void prefetch_node(uint64_t node) const { __builtin_prefetch(packed_.get() + node); }
  // Requests the index pointer entries of the node's level-0 list (its level word is
  // usually cached by then).
  void prefetch_list(uint64_t node) const {
    const uint64_t s = base_[node >> kBlockShift] + (packed_[node] >> 6);
    __builtin_prefetch(links_indptr_.data() + s);
  }

  // Appends the list of (node, level) to `out`; nothing above the node's level.
  void neighbors(uint64_t node, uint64_t level, std::vector<uint32_t>& out) const {
    const auto [b, e] = list_range(node, level);
    const size_t at = out.size();
    out.resize(at + (e - b));
    bool bad = false;
    for (uint64_t p = b; p < e; ++p) {
      const uint32_t v = static_cast<uint32_t>(read_once(links_indices_[p]));
      bad |= v >= n_;
      out[at + (p - b)] = v;
    }
    QV_ASSERT(!bad, "link list entry out of range");
  }
  std::vector<uint32_t> list(uint64_t node, uint64_t level) const {
    std::vector<uint32_t> out;
    neighbors(node, level, out);
    return out;
  }

 private:
  std::unique_ptr<uint32_t[]> packed_;  // per node: first slot in its block << 6 | level
  std::vector<uint64_t> base_;          // per block: its first slot; then the slot count
  std::span<const int64_t> links_indptr_;
  std::span<const int32_t> links_indices_;
  uint64_t n_ = 0;
  uint64_t entry_ = 0;
  uint64_t top_ = 0;
};

}  // namespace qv::hnsw
