#include "encode/coo.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/invariant.hpp"
#include "parallel/pool.hpp"

namespace qv::encode {

namespace {

// One entry on its way to its row: the row's offset within its bucket sits above the
// column bits, so one stable sort of the key orders a bucket by row, then column.
struct Keyed {
  uint64_t key;
  double value;
};
static_assert(sizeof(Keyed) == 16);

constexpr size_t kLine = 64;
constexpr size_t kPerLine = kLine / sizeof(uint64_t);

// Entries are scattered through one cache line of keys and one of values per bucket and
// thread; past this many buckets the lines no longer fit a core's cache and entries go
// straight to memory.
constexpr size_t kMaxBufferedBuckets = 4096;

struct LineAlignedDelete {
  void operator()(Keyed* p) const { ::operator delete[](p, std::align_val_t{kLine}); }
};
using KeyedBuffer = std::unique_ptr<Keyed[], LineAlignedDelete>;

KeyedBuffer keyed_buffer(size_t n) {
  return KeyedBuffer(static_cast<Keyed*>(::operator new[](checked_mul(n, sizeof(Keyed)), std::align_val_t{kLine})));
}

struct Layout {
  unsigned col_bits = 0;  // the column occupies the low col_bits of a key
  unsigned row_bits = 0;  // a bucket holds 2^row_bits consecutive rows
  size_t n_buckets = 0;
  bool key_too_short = false;  // the column bits left fewer row bits than wanted
  // From the two above; a column of 64 bits leaves no row bits, and masks keep the shifts
  // in range without a branch per entry.
  unsigned row_shift = 0;
  uint64_t row_mask = 0, col_mask = 0;

  uint64_t key(uint64_t row, uint64_t col) const { return ((row & row_mask) << row_shift) | col; }
  uint64_t local_row(uint64_t key) const { return (key >> row_shift) & row_mask; }
  uint64_t column(uint64_t key) const { return key & col_mask; }
};

// Buckets small enough to be sorted inside a core's cache, several per thread so uneven
// buckets even out, and never so many rows per bucket that the key overflows.
Layout plan(uint64_t n_rows, uint64_t n_cols, size_t nnz, size_t threads) {
  Layout l;
  l.col_bits = static_cast<unsigned>(std::bit_width(n_cols - 1));
  const unsigned max_row_bits = std::min(63u, 64u - std::min(64u, l.col_bits));
  const size_t target = std::clamp<size_t>(nnz / (8 * threads), 2048, 16384);
  const double rows_per_bucket = static_cast<double>(target) * static_cast<double>(n_rows) / static_cast<double>(nnz);
  unsigned bits = rows_per_bucket < 2 ? 0 : static_cast<unsigned>(std::bit_width(static_cast<uint64_t>(
                                                std::min(rows_per_bucket, 0x1p62)))) - 1;
  // Every bucket writes its rows' index pointers: keep at least a few buckets per thread.
  const uint64_t spread = std::max<uint64_t>(1, n_rows / (4 * threads));
  bits = std::min(bits, static_cast<unsigned>(std::bit_width(spread)) - 1);
  l.key_too_short = bits > max_row_bits;
  l.row_bits = std::min(bits, max_row_bits);
  l.row_shift = l.col_bits >= 64 ? 0 : l.col_bits;
  l.row_mask = (uint64_t{1} << l.row_bits) - 1;
  l.col_mask = l.col_bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << l.col_bits) - 1;
  l.n_buckets = static_cast<size_t>(((n_rows - 1) >> l.row_bits) + 1);
  return l;
}

// Canonical CSR by a stable sort of entry positions by (row, column): for shapes whose
// column indices leave too few key bits to bucket the rows.
sparse::RawCsr sort_positions(std::span<const uint64_t> caller_rows, std::span<const uint64_t> caller_cols,
                              std::span<const double> data, uint64_t n_rows, uint64_t n_cols) {
  // The comparator reads each coordinate many times; the caller's arrays could change in
  // between, and a sort given an inconsistent order may run out of its range.
  std::vector<uint64_t> rows(data.size()), cols(data.size());
  for (size_t i = 0; i < data.size(); ++i) {
    rows[i] = read_once(caller_rows[i]);
    cols[i] = read_once(caller_cols[i]);
    QV_ASSERT(rows[i] < n_rows && cols[i] < n_cols, "coordinate out of range");
  }
  std::vector<uint64_t> order(data.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](uint64_t a, uint64_t b) {
    return rows[a] != rows[b] ? rows[a] < rows[b] : cols[a] < cols[b];
  });
  sparse::RawCsr out;
  resize_as("a CSR index pointer", out.indptr, checked_add(n_rows, 1));
  out.indices.reserve(order.size());
  out.data.reserve(order.size());
  out.indptr[0] = 0;
  uint64_t row = 0;
  for (size_t i = 0; i < order.size(); ++i) {
    const uint64_t e = order[i];
    if (i > 0 && rows[e] == rows[order[i - 1]] && cols[e] == cols[order[i - 1]]) {
      out.data.back() += data[e];
      continue;
    }
    for (; row < rows[e]; ++row) out.indptr[row + 1] = out.indices.size();
    out.indices.push_back(cols[e]);
    out.data.push_back(data[e]);
  }
  for (; row < n_rows; ++row) out.indptr[row + 1] = out.indices.size();
  return out;
}

// Streams one full cache line past the caches: the scattered entries are read again only
// after hundreds of megabytes of other traffic.
template <class T>
inline void stream_line(T* dst, const T* src) {
  static_assert(sizeof(T) == 8);
#if defined(__SSE2__)
  for (size_t j = 0; j < kPerLine; j += 2)
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst + j), _mm_load_si128(reinterpret_cast<const __m128i*>(src + j)));
#else
  std::memcpy(dst, src, kLine);
#endif
}

inline void store_fence() {
#if defined(__SSE2__)
  _mm_sfence();
#endif
}

// The coordinates of entry i, each read once from the caller's arrays. Rows were checked
// when they were counted, so one out of range now was written during the call; columns
// are checked here for the first time.
struct Coordinates {
  std::span<const uint64_t> rows, cols;
  uint64_t n_rows, col_limit;

  std::pair<uint64_t, uint64_t> operator[](size_t i) const {
    const uint64_t r = read_once(rows[i]), c = read_once(cols[i]);
    QV_ASSERT(r < n_rows, "row changed while being sorted");
    return {r, c};
  }
};

// What scattering one block found: the sum of the rows it read (see coo_to_csr), or the
// first column out of range, at which it stopped.
struct Scattered {
  uint64_t row_sum = 0;
  std::optional<uint64_t> bad_column;
};

// Scatters entries [lo, hi) to their buckets in `keys` and `values` (both line-aligned);
// next[b] is the first free slot of bucket b in this block's share. Entries of a bucket
// keep their input order.
// `at` and `l` are taken by value: copies of their own cannot alias the stores to `keys`, so
// their fields stay in registers.
Scattered scatter_block(const Coordinates at, std::span<const double> data, size_t lo, size_t hi, const Layout l,
                        uint64_t* next, uint64_t* keys, double* values) {
  const size_t nnz = data.size();
  Scattered out;
  if (l.n_buckets > kMaxBufferedBuckets) {
    for (size_t i = lo; i < hi; ++i) {
      const auto [r, c] = at[i];
      if (c >= at.col_limit) [[unlikely]] {
        out.bad_column = c;
        return out;
      }
      const uint64_t p = next[r >> l.row_bits]++;
      QV_ASSERT(p < nnz, "row changed while being sorted");
      keys[p] = l.key(r, c);
      values[p] = data[i];
      out.row_sum += r;
    }
    return out;
  }
  // Each bucket gathers a cache line's worth of entries and writes it whole, so the stores
  // stream instead of reading every destination line first. A line that another block
  // shares at the edge of this block's share is written entry by entry.
  struct alignas(kLine) Lines {
    uint64_t keys[kPerLine];
    double values[kPerLine];
  };
  std::unique_ptr<Lines[]> lines(new Lines[l.n_buckets]);
  std::unique_ptr<uint64_t[]> first(new uint64_t[l.n_buckets]);
  std::copy(next, next + l.n_buckets, first.get());
  for (size_t i = lo; i < hi; ++i) {
    const auto [r, c] = at[i];
    if (c >= at.col_limit) [[unlikely]] {
      out.bad_column = c;
      break;
    }
    const uint64_t b = r >> l.row_bits;
    const uint64_t p = next[b]++;
    QV_ASSERT(p < nnz, "row changed while being sorted");
    out.row_sum += r;
    Lines& line = lines[b];
    line.keys[p % kPerLine] = l.key(r, c);
    line.values[p % kPerLine] = data[i];
    if (p % kPerLine == kPerLine - 1) {
      const uint64_t start = p + 1 - kPerLine;
      if (start >= first[b]) {
        stream_line(keys + start, line.keys);
        stream_line(values + start, line.values);
      } else {
        for (uint64_t q = first[b]; q <= p; ++q) {
          keys[q] = line.keys[q % kPerLine];
          values[q] = line.values[q % kPerLine];
        }
      }
    }
  }
  for (size_t b = 0; b < l.n_buckets; ++b) {
    const uint64_t end = next[b];
    for (uint64_t q = std::max(first[b], end - end % kPerLine); q < end; ++q) {
      keys[q] = lines[b].keys[q % kPerLine];
      values[q] = lines[b].values[q % kPerLine];
    }
  }
  store_fence();
  return out;
}

constexpr unsigned kMaxDigitBits = 11;

struct SortScratch {
  KeyedBuffer a, b;
  size_t capacity = 0;
  std::vector<uint32_t> counts32;
  std::vector<uint64_t> counts64;

  void reserve(size_t n) {
    if (n <= capacity) return;
    a = keyed_buffer(n);
    b = keyed_buffer(n);
    capacity = n;
  }
  std::vector<uint32_t>& counts(uint32_t) { return counts32; }
  std::vector<uint64_t>& counts(uint64_t) { return counts64; }
};

// Stable least-significant-digit radix sort of a bucket's n entries by their `bits` low
// key bits, into the scratch; returns where the sorted entries ended up. The first pass
// that moves anything reads the bucket itself, so no pass only copies. Counts of 32 bits
// keep the histograms within the first-level cache and out of the stores' aliasing reach.
template <class Count>
const Keyed* radix_sort(const uint64_t* keys, const double* values, size_t n, unsigned bits, SortScratch& s) {
  s.reserve(n);
  const unsigned passes = std::max(1u, (bits + kMaxDigitBits - 1) / kMaxDigitBits);
  const unsigned width = (bits + passes - 1) / passes;
  const size_t radix = size_t{1} << width;
  const uint64_t mask = radix - 1;
  std::vector<Count>& histograms = s.counts(Count{});
  histograms.assign(passes * radix, 0);
  Count* counts = histograms.data();
  if (passes == 2) {  // the common case, unrolled
    for (size_t i = 0; i < n; ++i) {
      ++counts[keys[i] & mask];
      ++counts[radix + ((keys[i] >> width) & mask)];
    }
  } else {
    for (size_t i = 0; i < n; ++i)
      for (unsigned p = 0; p < passes; ++p) ++counts[p * radix + ((keys[i] >> (p * width)) & mask)];
  }
  Keyed* src = nullptr;  // the bucket itself until a pass has moved it
  Keyed* dst = s.a.get();
  Keyed* spare = s.b.get();
  for (unsigned p = 0; p < passes; ++p) {
    Count* c = counts + p * radix;
    const unsigned shift = p * width;
    // A digit every key shares moves nothing.
    if (c[(keys[0] >> shift) & mask] == n) continue;
    Count sum = 0;
    for (size_t d = 0; d < radix; ++d) sum += std::exchange(c[d], sum);
    if (src == nullptr) {
      for (size_t i = 0; i < n; ++i) dst[c[(keys[i] >> shift) & mask]++] = {keys[i], values[i]};
    } else {
      for (size_t i = 0; i < n; ++i) dst[c[(src[i].key >> shift) & mask]++] = src[i];
    }
    src = std::exchange(dst, src == nullptr ? spare : src);
  }
  if (src == nullptr) {  // every key alike
    for (size_t i = 0; i < n; ++i) dst[i] = {keys[i], values[i]};
    src = dst;
  }
  return src;
}

// Sorts one bucket's entries (out of order) stably by key into the scratch; returns where
// they are.
const Keyed* sort_bucket(const uint64_t* keys, const double* values, size_t n, uint64_t n_local, const Layout& l,
                         SortScratch& s) {
  const unsigned bits = std::min(64u, l.col_bits + static_cast<unsigned>(std::bit_width(n_local - 1)));
  if (n <= UINT32_MAX) return radix_sort<uint32_t>(keys, values, n, bits, s);
  return radix_sort<uint64_t>(keys, values, n, bits, s);
}

// Writes sorted entries from position `w` on, adding repeated pairs into one entry, and
// the index pointers of the bucket's rows; returns the end of what it wrote. `at(i)` may
// read the slots being written, as it never reads behind `w`.
template <class At>
size_t emit_bucket(size_t n, At at, const Layout l, uint64_t n_local, size_t w, uint64_t* keys, double* values,
                   uint64_t* indptr) {
  uint64_t row = 0, prev = 0;
  for (size_t i = 0; i < n; ++i) {
    const auto [key, value] = at(i);
    // duplicates add left to right in input order: (first + second) + third
    if (i > 0 && key == prev) {
      values[w - 1] += value;
      continue;
    }
    for (const uint64_t r = l.local_row(key); row < r; ++row) indptr[row] = w;
    keys[w] = l.column(key);
    values[w] = value;
    prev = key;
    ++w;
  }
  for (; row < n_local; ++row) indptr[row] = w;
  return w;
}

// Repeated pairs left gaps at the end of their buckets: moves every bucket left onto its
// final place, in place. Groups of consecutive buckets move in parallel; what a later
// group's moves would overwrite before its owner has moved it is first set aside.
void close_gaps(sparse::RawCsr& out, const std::vector<uint64_t>& bucket_ptr, const std::vector<uint64_t>& unique,
                const Layout& l, uint64_t n_rows, size_t threads) {
  const size_t nb = unique.size();
  std::vector<uint64_t> out_ptr(nb + 1, 0);
  for (size_t k = 0; k < nb; ++k) out_ptr[k + 1] = out_ptr[k] + unique[k];
  const size_t total = out_ptr[nb];
  // Group boundaries by entry count, in buckets.
  const size_t n_groups = std::min(nb, 4 * threads);
  std::vector<size_t> group{0};
  for (size_t g = 1; g < n_groups; ++g) {
    const uint64_t target = bucket_ptr[nb] / n_groups * g;
    const size_t k = static_cast<size_t>(std::lower_bound(bucket_ptr.begin(), bucket_ptr.end() - 1, target) -
                                         bucket_ptr.begin());
    if (k > group.back()) group.push_back(k);
  }
  group.push_back(nb);
  const size_t groups = group.size() - 1;
  // Group g keeps [saved_from[g], end of its source) aside: later groups write there.
  std::vector<uint64_t> saved_from(groups), side_ptr(groups + 1, 0);
  for (size_t g = 0; g < groups; ++g) {
    const uint64_t lo = bucket_ptr[group[g]], hi = bucket_ptr[group[g + 1]];
    saved_from[g] = g + 1 < groups ? std::clamp<uint64_t>(out_ptr[group[g + 1]], lo, hi) : hi;
    side_ptr[g + 1] = side_ptr[g] + (hi - saved_from[g]);
  }
  core::RawVector<uint64_t> side_keys(side_ptr[groups]);
  core::RawVector<double> side_values(side_ptr[groups]);
  uint64_t* keys = out.indices.data();
  double* values = out.data.data();
  parallel::for_each(groups, [&](size_t g) {
    const uint64_t hi = bucket_ptr[group[g + 1]];
    std::copy(keys + saved_from[g], keys + hi, side_keys.data() + side_ptr[g]);
    std::copy(values + saved_from[g], values + hi, side_values.data() + side_ptr[g]);
  }, 1);
  parallel::for_each(groups, [&](size_t g) {
    for (size_t k = group[g]; k < group[g + 1]; ++k) {
      const uint64_t from = bucket_ptr[k], to = out_ptr[k], n = unique[k];
      // Positions below `direct` are still in place; the rest come from the side copy.
      const uint64_t direct = std::clamp<uint64_t>(saved_from[g], from, from + n);
      std::memmove(keys + to, keys + from, (direct - from) * sizeof(uint64_t));
      std::memmove(values + to, values + from, (direct - from) * sizeof(double));
      if (direct < from + n) {  // then direct >= saved_from[g]
        const size_t side = side_ptr[g] + (direct - saved_from[g]);
        std::copy_n(side_keys.data() + side, from + n - direct, keys + to + (direct - from));
        std::copy_n(side_values.data() + side, from + n - direct, values + to + (direct - from));
      }
      const uint64_t row0 = uint64_t{k} << l.row_bits;
      const uint64_t n_local = std::min<uint64_t>(uint64_t{1} << l.row_bits, n_rows - row0);
      for (uint64_t r = row0; r < row0 + n_local; ++r) out.indptr[r + 1] -= from - to;
    }
  }, 1);
  out.indices.resize(total);
  out.data.resize(total);
}


// The first index out of range, rows before columns, each in input order. Only shapes the
// bucketed path does not take come here; they are rare enough to be read on one thread.
std::optional<OutOfRange> first_out_of_range(std::span<const uint64_t> rows, std::span<const uint64_t> cols,
                                             IndexLimits limits) {
  for (const uint64_t& x : rows)
    if (const uint64_t r = read_once(x); r >= limits.rows) return OutOfRange{false, r};
  for (const uint64_t& x : cols)
    if (const uint64_t c = read_once(x); c >= limits.cols) return OutOfRange{true, c};
  return std::nullopt;
}

std::variant<sparse::RawCsr, OutOfRange> build(std::span<const uint64_t> rows, std::span<const uint64_t> cols,
                                               std::span<const double> data, uint64_t n_rows, uint64_t n_cols,
                                               IndexLimits limits) {
  const size_t nnz = data.size();
  sparse::RawCsr out;
  if (nnz == 0 || n_rows == 0 || n_cols == 0) {
    if (auto bad = first_out_of_range(rows, cols, limits)) return *bad;
    require_allocatable(static_cast<unsigned __int128>(n_rows) + 1, sizeof(uint64_t), "n_rows", n_rows,
                        "a CSR index pointer");
    // Raw storage starts uninitialised: an empty matrix's pointer is zeros.
    resize_as("a CSR index pointer", out.indptr, checked_add(n_rows, 1), uint64_t{0});
    return out;
  }
  require_allocatable(static_cast<unsigned __int128>(n_rows) + 1, sizeof(uint64_t), "n_rows", n_rows,
                      "a CSR index pointer");
  // Indices past the axis itself could only come from a caller that broke the contract;
  // they must still never be placed.
  const uint64_t row_limit = std::min(limits.rows, n_rows), col_limit = std::min(limits.cols, n_cols);
  const size_t t = std::max<size_t>(1, parallel::current_threads());
  const Layout l = plan(n_rows, n_cols, nnz, t);
  const size_t nb = l.n_buckets;
  if (l.key_too_short && nb > std::max(kMaxBufferedBuckets, nnz / 16)) {
    if (auto bad = first_out_of_range(rows, cols, {row_limit, col_limit})) return *bad;
    return sort_positions(rows, cols, data, n_rows, n_cols);
  }
  const size_t block = std::max<size_t>((nnz + 2 * t - 1) / (2 * t), 65536);
  const size_t n_blocks = (nnz + block - 1) / block;

  // Bucket sizes per input block; blocks then own consecutive slots of each bucket in
  // input order, so every bucket lists its entries in input order. The count checks the
  // rows, the scatter the columns: a block stops at its first index out of range, and the
  // first block that stopped holds the first such index in input order.
  //
  // The caller's arrays may be written while the lock is released, so every coordinate
  // is checked as it is read and no slot outside the buffers is ever written. A row that
  // changed between the count and the scatter (its entry then lands in slots counted for
  // another bucket) changes the sum of the rows read, which both passes take per block.
  // Changes that cancel in the sum give a wrong result, never one that breaks the CSR
  // form. A copy of the rows, or a stronger fingerprint, would cost a tenth of the sort.
  std::vector<uint64_t> next(checked_len<uint64_t>(checked_mul(n_blocks, nb)), 0);
  std::vector<uint64_t> counted(n_blocks, 0);
  std::vector<std::optional<uint64_t>> bad_row(n_blocks);
  parallel::for_each(n_blocks, [&](size_t b) {
    uint64_t* counts = next.data() + b * nb;
    // Locals, which the count stores cannot alias.
    const uint64_t* row_of = rows.data();
    const uint64_t rows_end = row_limit;
    const unsigned shift = l.row_bits;
    uint64_t sum = 0;
    for (size_t i = b * block, end = std::min(nnz, (b + 1) * block); i < end; ++i) {
      const uint64_t r = read_once(row_of[i]);
      if (r >= rows_end) [[unlikely]] {
        bad_row[b] = r;
        break;
      }
      ++counts[r >> shift];
      sum += r;
    }
    counted[b] = sum;
  }, 1);
  for (const auto& bad : bad_row)
    if (bad) return OutOfRange{false, *bad};
  std::vector<uint64_t> bucket_ptr(nb + 1, 0);
  for (size_t k = 0; k < nb; ++k) {
    uint64_t at = bucket_ptr[k];
    for (size_t b = 0; b < n_blocks; ++b) at += std::exchange(next[b * nb + k], at);
    bucket_ptr[k + 1] = at;
  }

  // The result's own buffers hold the scattered entries (the key in place of the column)
  // until each bucket is sorted in cache and written back over itself: its place in the
  // result as long as no pair repeats.
  resize_as("a CSR index pointer", out.indptr, checked_add(n_rows, 1));
  out.indices.resize(nnz);
  out.data.resize(nnz);
  out.indptr[0] = 0;
  uint64_t* keys = out.indices.data();
  double* values = out.data.data();
  const Coordinates at{rows, cols, n_rows, col_limit};
  std::vector<std::optional<uint64_t>> bad_column(n_blocks);
  parallel::for_each(n_blocks, [&](size_t b) {
    const Scattered s =
        scatter_block(at, data, b * block, std::min(nnz, (b + 1) * block), l, next.data() + b * nb, keys, values);
    bad_column[b] = s.bad_column;
    QV_ASSERT(s.bad_column || s.row_sum == counted[b], "row changed while being sorted");
  }, 1);
  for (const auto& bad : bad_column)
    if (bad) return OutOfRange{true, *bad};
  std::vector<uint64_t>().swap(next);
  std::vector<uint64_t> unique(nb);
  parallel::for_each_with(nb, [] { return SortScratch(); }, [&](SortScratch& s, size_t k) {
    const size_t begin = bucket_ptr[k], n = bucket_ptr[k + 1] - begin;
    const uint64_t row0 = uint64_t{k} << l.row_bits;
    const uint64_t n_local = std::min<uint64_t>(uint64_t{1} << l.row_bits, n_rows - row0);
    uint64_t* indptr = out.indptr.data() + row0 + 1;
    // Every key's row lies in its bucket's full row range, except when a caller wrote the
    // rows during the call (see above) and changes cancelled in the sum; then only the last
    // bucket, which may hold fewer rows, could see one beyond its rows, and its index
    // pointer must not be written past them.
    if (n_local < (uint64_t{1} << l.row_bits))
      for (size_t i = 0; i < n; ++i) QV_ASSERT(l.local_row(keys[begin + i]) < n_local, "row changed while being sorted");
    size_t end;
    if (std::is_sorted(keys + begin, keys + begin + n)) {
      end = emit_bucket(n, [&](size_t i) { return Keyed{keys[begin + i], values[begin + i]}; }, l, n_local, begin, keys,
                        values, indptr);
    } else {
      const Keyed* e = sort_bucket(keys + begin, values + begin, n, n_local, l, s);
      end = emit_bucket(n, [e](size_t i) { return e[i]; }, l, n_local, begin, keys, values, indptr);
    }
    unique[k] = end - begin;
  }, 1);

  size_t total = 0;
  for (size_t k = 0; k < nb; ++k) total += unique[k];
  if (total == nnz) return out;

  close_gaps(out, bucket_ptr, unique, l, n_rows, t);
  return out;
}

}  // namespace

std::variant<sparse::RawCsr, OutOfRange> coo_to_csr(std::span<const uint64_t> rows, std::span<const uint64_t> cols,
                                                    std::span<const double> data, uint64_t n_rows, uint64_t n_cols,
                                                    IndexLimits limits) {
  try {
    return build(rows, cols, data, n_rows, n_cols, limits);
  } catch (const std::bad_alloc&) {
    // A bad index is reported before a size the machine cannot hold.
    if (auto bad = first_out_of_range(rows, cols, limits)) return *bad;
    throw;
  }
}

}  // namespace qv::encode
