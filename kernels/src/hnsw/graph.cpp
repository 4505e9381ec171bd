#include "hnsw/graph.hpp"

#include <algorithm>
#include <exception>

#include "hnsw/runs.hpp"
#include "parallel/pool.hpp"

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
  // n <= 2^31 and room0_ < n, so neither product wraps.
  resize_as("the level-0 link lists (min(2m, n - 1) slots per node)", level0_, n * room0_);
  resize_as("the upper-level link lists (min(m, n - 1) slots per node and level)", upper_, (slots - n) * room_up_);
  resize_as("a link count per (node, level) slot", counts_, slots, 0u);
  using Lock = std::atomic<uint32_t>;
  locks_ = allocating("a lock per (node, level) slot", slots, sizeof(Lock),
                      [&] { return std::make_unique<Lock[]>(checked_len<Lock>(slots)); });
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
  reserve_as("the links_indptr result", g.links_indptr, slots + 1);
  reserve_as("the links_indices result", g.links_indices, total);
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
  reserve_as("the node_level result", g.node_level, n);
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

namespace {

// Pieces of the check: a block of levels, a run of the index pointer, a run of the links.
constexpr uint64_t kPointerRun = uint64_t{1} << 15;
constexpr uint64_t kLinkRun = uint64_t{1} << 16;
// Bytes a thread of the check should have to read before another one is worth waking.
constexpr uint64_t kBytesPerThread = uint64_t{1} << 20;

uint64_t pieces(uint64_t n, uint64_t run) { return (n + run - 1) / run; }

}  // namespace

void spread(uint64_t n_pieces, uint64_t bytes, const std::function<void(uint64_t)>& piece) {
  parallel::Pool* pool = parallel::Pool::current();
  const uint64_t threads = std::min({pool ? uint64_t{pool->threads()} : 1, n_pieces, bytes / kBytesPerThread + 1});
  if (threads <= 1) {
    for (uint64_t t = 0; t < n_pieces; ++t) piece(t);
    return;
  }
  // One task per thread, each taking pieces from a shared cursor: a helper that wakes
  // late finds the pieces done instead of holding the caller up with one of its own.
  std::atomic<uint64_t> next{0};
  parallel::for_each(
      threads,
      [&](size_t) {
        for (uint64_t t; (t = next.fetch_add(1, std::memory_order_relaxed)) < n_pieces;) piece(t);
      },
      1);
}

std::optional<GraphView> GraphView::make(std::span<const int32_t> node_level, std::span<const int64_t> links_indptr,
                                         std::span<const int32_t> links_indices, int64_t entry_point,
                                         uint64_t n_items) {
  const uint64_t n = node_level.size();
  const uint64_t block = uint64_t{1} << kBlockShift;
  const uint64_t n_blocks = pieces(n, block), n_ptr = pieces(links_indptr.size(), kPointerRun),
                 n_links = pieces(links_indices.size(), kLinkRun);
  const uint64_t n_pieces = n_blocks + n_ptr + n_links;
  GraphView g;
  g.packed_ = allocating("a packed level per item", n, sizeof(uint32_t),
                         [&] { return std::unique_ptr<uint32_t[]>(new uint32_t[checked_len<uint32_t>(n)]); });
  std::vector<uint64_t> sums(n_blocks);
  std::vector<uint8_t> bad(n_pieces, 0);
  const uint32_t bound = static_cast<uint32_t>(std::min<uint64_t>(n_items, kMaxItems));
  constexpr uint32_t top_level = static_cast<uint32_t>(kMaxLevel);
  const Runs runs = pick_runs();

  // Every level is read once: the copy and the test see the same value even while
  // another thread writes the array.
  auto piece = [&](uint64_t t) {
    if (t < n_blocks) {
      const uint64_t lo = t * block, hi = std::min(n, lo + block);
      uint32_t over = 0, off = 0;
      for (uint64_t i = lo; i < hi; ++i) {
        const uint32_t l = static_cast<uint32_t>(read_once(node_level[i]));
        over |= l > top_level;
        g.packed_[i] = off << 6 | (l & 63u);
        off += (l & 63u) + 1;
      }
      sums[t] = off;
      bad[t] = over != 0;
    } else if (t < n_blocks + n_ptr) {
      const uint64_t lo = (t - n_blocks) * kPointerRun, hi = std::min<uint64_t>(links_indptr.size(), lo + kPointerRun);
      bad[t] = !runs.steps_up(links_indptr.data() + lo, hi - lo, lo == 0 ? 0 : links_indptr[lo - 1]);
    } else {
      const uint64_t lo = (t - n_blocks - n_ptr) * kLinkRun, hi = std::min<uint64_t>(links_indices.size(), lo + kLinkRun);
      bad[t] = !runs.links_below(links_indices.data() + lo, hi - lo, bound);
    }
  };
  spread(n_pieces, n * 4 + links_indptr.size() * 8 + links_indices.size() * 4, piece);

  for (uint8_t b : bad)
    if (b) return std::nullopt;
  g.base_.resize(n_blocks + 1);
  uint64_t slots = 0;
  for (uint64_t b = 0; b < n_blocks; ++b) {
    g.base_[b] = slots;
    slots += sums[b];
  }
  g.base_[n_blocks] = slots;
  if (links_indptr.empty() || links_indptr.size() - 1 != slots) return std::nullopt;
  if (links_indptr[0] != 0) return std::nullopt;
  if (static_cast<uint64_t>(links_indptr.back()) != links_indices.size()) return std::nullopt;
  if (entry_point < 0 || static_cast<uint64_t>(entry_point) >= n_items) return std::nullopt;
  g.links_indptr_ = links_indptr;
  g.links_indices_ = links_indices;
  g.n_ = n;
  g.entry_ = static_cast<uint64_t>(entry_point);
  g.top_ = g.level_of(g.entry_);
  return g;
}

}  // namespace qv::hnsw
