#include "hnsw/graph.hpp"

#include <algorithm>
#include <exception>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QV_PAUSE() _mm_pause()
#else
#define QV_PAUSE() ((void)0)
#endif

namespace qv::hnsw {

BuildLinks::BuildLinks(std::vector<uint64_t> levels, uint64_t m) : levels_(std::move(levels)) {
  offsets_ = slot_offsets<uint64_t>(levels_);
  const uint64_t n = levels_.size(), slots = offsets_[n];
  // A list never names its owner nor any node twice, so n - 1 entries always suffice.
  const uint64_t most = n == 0 ? 0 : n - 1;
  room0_ = std::min(level0_cap(m), most);
  room_up_ = std::min(m, most);
  level0_.resize(checked_len<uint32_t>(checked_mul(n, room0_)));
  upper_.resize(checked_len<uint32_t>(checked_mul(slots - n, room_up_)));
  counts_.assign(checked_len<uint32_t>(slots), 0);
  locks_ = std::make_unique<std::atomic<uint32_t>[]>(slots);
  for (uint64_t s = 0; s < slots; ++s) locks_[s].store(0, std::memory_order_relaxed);
}

namespace {
constexpr uint32_t kHeld = 1, kPoisoned = 2, kVersionStep = 4;

[[noreturn]] void poisoned() { invariant_failed("hnsw link lock poisoned", __FILE__, __LINE__); }

// List entries and counts are written under the writer bit while readers may copy them,
// so both sides access them as atomics; the version check orders the copy.
inline uint32_t load_acquire(const uint32_t& x) {
  return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(x)).load(std::memory_order_acquire);
}
// Release, so that a reader that copies an entry of a write in progress then sees the
// writer bit (or a later version) when it re-reads the word.
inline void store_release(uint32_t& x, uint32_t v) {
  std::atomic_ref<uint32_t>(x).store(v, std::memory_order_release);
}
}  // namespace

BuildLinks::Guard::Guard(std::atomic<uint32_t>& w) : word(w), uncaught(std::uncaught_exceptions()) {
  for (;;) {
    uint32_t v = word.load(std::memory_order_relaxed);
    if (v & kPoisoned) poisoned();
    if (!(v & kHeld) &&
        word.compare_exchange_weak(v, v | kHeld, std::memory_order_acquire, std::memory_order_relaxed)) {
      version = v;
      return;
    }
    QV_PAUSE();
  }
}

BuildLinks::Guard::~Guard() {
  if (std::uncaught_exceptions() > uncaught)
    word.store(version | kHeld | kPoisoned, std::memory_order_release);
  else if (changed)
    word.store(version, std::memory_order_release);
  else
    word.store(version + kVersionStep, std::memory_order_release);
}

BuildLinks::Locked BuildLinks::locked(uint64_t node, uint64_t level) {
  QV_ASSERT(node < levels_.size() && level <= levels_[node], "link list out of range");
  Locked l;
  const uint64_t s = slot(node, level);
  l.count_ = &counts_[s];
  if (level == 0) {
    l.data_ = level0_.data() + node * room0_;
    l.room_ = static_cast<uint32_t>(room0_);
  } else {
    l.data_ = upper_.data() + (offsets_[node] - node + level - 1) * room_up_;
    l.room_ = static_cast<uint32_t>(room_up_);
  }
  return l;
}

void BuildLinks::Locked::push(uint32_t v) {
  QV_ASSERT(*count_ < room_, "link list block overflow");
  store_release(data_[*count_], v);
  store_release(*count_, *count_ + 1);
}

bool BuildLinks::Locked::contains(uint32_t v) const {
  const uint32_t* begin = data_;
  const uint32_t* end = begin + *count_;
  return std::find(begin, end, v) != end;
}

void BuildLinks::Locked::assign(std::span<const uint32_t> v) {
  QV_ASSERT(v.size() <= room_, "link list block overflow");
  for (size_t i = 0; i < v.size(); ++i) store_release(data_[i], v[i]);
  store_release(*count_, static_cast<uint32_t>(v.size()));
}

uint32_t BuildLinks::read(uint64_t node, uint64_t level, std::vector<uint32_t>& out) const {
  if (level > levels_[node]) return 0;
  const Locked l = const_cast<BuildLinks&>(*this).locked(node, level);
  const std::atomic<uint32_t>& word = locks_[slot(node, level)];
  const size_t start = out.size();
  for (;;) {
    const uint32_t v = word.load(std::memory_order_acquire);
    if (v & kPoisoned) poisoned();
    if (v & kHeld) {
      QV_PAUSE();
      continue;
    }
    // Acquire loads keep the version re-read below after every copied entry; on x86 they
    // are plain loads, and unlike a standalone fence the race checker understands them.
    const uint32_t n = std::min(load_acquire(*l.count_), l.room_);
    out.resize(start + n);
    for (uint32_t i = 0; i < n; ++i) out[start + i] = load_acquire(l.data_[i]);
    if (word.load(std::memory_order_relaxed) == v) return v;
    out.resize(start);
  }
}

bool BuildLinks::link_if_room(uint64_t host, uint64_t node, uint64_t cap) {
  return with_list(host, 0, [&](Locked& l) {
    const uint32_t v = static_cast<uint32_t>(node);
    if (l.contains(v)) return true;
    if (host == node || l.size() >= cap) return false;
    l.push(v);
    return true;
  });
}

Graph BuildLinks::freeze(uint64_t entry) {
  Graph g;
  const uint64_t n = levels_.size(), slots = offsets_[n];
  uint64_t total = 0;
  for (uint64_t s = 0; s < slots; ++s) total += counts_[s];
  g.links_indptr.reserve(checked_len<int64_t>(slots + 1));
  g.links_indices.reserve(checked_len<int32_t>(total));
  g.links_indptr.push_back(0);
  for (uint64_t i = 0; i < n; ++i)
    for (uint64_t l = 0; l <= levels_[i]; ++l)
      with_list(i, l, [&](Locked& list) {
        for (uint32_t v : list.items()) {
          QV_ASSERT(v <= static_cast<uint32_t>(INT32_MAX), "node index fits i32");
          g.links_indices.push_back(static_cast<int32_t>(v));
        }
        g.links_indptr.push_back(static_cast<int64_t>(g.links_indices.size()));
      });
  g.node_level.reserve(n);
  for (uint64_t l : levels_) {
    QV_ASSERT(l <= static_cast<uint64_t>(INT32_MAX), "graph level fits i32");
    g.node_level.push_back(static_cast<int32_t>(l));
  }
  if (n == 0) {
    g.entry_point = -1;
  } else {
    QV_ASSERT(entry <= static_cast<uint64_t>(INT64_MAX), "entry point fits i64");
    g.entry_point = static_cast<int64_t>(entry);
  }
  return g;
}

std::optional<GraphView> GraphView::make(std::span<const int32_t> node_level, std::span<const int64_t> links_indptr,
                                         std::span<const int32_t> links_indices, int64_t entry_point,
                                         uint64_t n_items) {
  // Each test is a branch-free reduction over its array in 32- or 64-bit lanes, so the
  // compiler vectorises it and the whole check runs at memory speed: it runs on every
  // search call, and for a single query it would otherwise cost more than the search.
  uint32_t bad = 0;
  constexpr uint32_t top_level = static_cast<uint32_t>(kMaxLevel);
  for (int32_t l : node_level) bad |= static_cast<uint32_t>(l) > top_level;
  if (bad) return std::nullopt;
  std::vector<uint64_t> offsets = slot_offsets<int32_t>(node_level);
  // The levels are read again to make the offsets; a level written in between must not
  // reach the owned offsets the view trusts.
  uint64_t steps = 0;
  for (size_t i = 1; i < offsets.size(); ++i) steps |= (offsets[i] - offsets[i - 1] - 1) > top_level;
  if (steps) return std::nullopt;
  const uint64_t slots = offsets.back();
  if (links_indptr.empty() || links_indptr.size() - 1 != slots) return std::nullopt;
  if (links_indptr[0] != 0) return std::nullopt;
  // Non-negative first, so that the differences below cannot wrap; a negative difference
  // then shows in its sign bit.
  uint64_t signs = 0;
  for (int64_t v : links_indptr) signs |= static_cast<uint64_t>(v);
  for (size_t i = 1; i < links_indptr.size(); ++i)
    signs |= static_cast<uint64_t>(links_indptr[i]) - static_cast<uint64_t>(links_indptr[i - 1]);
  if (signs >> 63) return std::nullopt;
  if (static_cast<uint64_t>(links_indptr.back()) != links_indices.size()) return std::nullopt;
  const uint32_t bound = static_cast<uint32_t>(std::min<uint64_t>(n_items, kMaxItems));
  for (int32_t v : links_indices) bad |= static_cast<uint32_t>(v) >= bound;
  if (bad) return std::nullopt;
  if (entry_point < 0 || static_cast<uint64_t>(entry_point) >= n_items) return std::nullopt;
  GraphView g;
  g.offsets_ = std::move(offsets);
  g.links_indptr_ = links_indptr;
  g.links_indices_ = links_indices;
  g.entry_ = static_cast<uint64_t>(entry_point);
  g.top_ = g.level_of(g.entry_);
  return g;
}

}  // namespace qv::hnsw
