#pragma once
// Broken internal invariants and impossible sizes.
//
// Kernels never see Python. A broken invariant (an index out of bounds that the bindings
// could not have validated, a fitted matrix that lies about its shape) throws
// `InternalError`; the binding layer turns it into the panic exception, and the
// recommendation functions into their "malformed" ValueError.
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

namespace qv {

struct InternalError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void invariant_failed(const char* what, const char* file, int line);

#define QV_ASSERT(cond, what)                                          \
  do {                                                                 \
    if (!(cond)) [[unlikely]] ::qv::invariant_failed(what, __FILE__, __LINE__); \
  } while (0)

// One read of a value in a caller's buffer, which another thread may write meanwhile: the
// compiler may neither repeat nor split the load, so the value checked is the value used.
template <class T>
inline T read_once(const T& x) {
  return __atomic_load_n(&x, __ATOMIC_RELAXED);
}

// A failed allocation that says what could not be had and how large. The bindings raise
// it as MemoryError with its message; being a bad_alloc, it is handled wherever memory
// exhaustion is.
class OutOfMemory : public std::bad_alloc {
 public:
  explicit OutOfMemory(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// A size from a caller's argument that no allocation could hold. Its message names the
// argument, its value and what it asked for.
class TooLarge : public OutOfMemory {
 public:
  using OutOfMemory::OutOfMemory;
};

// Throws OutOfMemory "Could not allocate <what> of <count> entries (<bytes> bytes)." for
// an allocation the system refused although its size passed every check.
[[noreturn]] void allocation_failed(const char* what, uint64_t count, size_t elem_bytes);

// Runs make(), which allocates `count` entries of `elem_bytes` bytes as `what`. A failed
// allocation in it becomes allocation_failed: the caller's words are the more specific
// ones. A TooLarge keeps its own, which name the argument.
template <class Make>
decltype(auto) allocating(const char* what, uint64_t count, size_t elem_bytes, Make&& make) {
  try {
    return make();
  } catch (const TooLarge&) {
    throw;
  } catch (const std::bad_alloc&) {
    allocation_failed(what, count, elem_bytes);
  }
}

// Throws TooLarge when `count` elements of `elem_bytes` bytes, which `argument` (= value)
// asks for as `what`, are more than the machine's physical memory: such a request could
// only fail in the allocator or end with the process killed. The message reads
// "<argument>=<value> asks for <what> of <count> entries, more than this machine's memory holds."
void require_allocatable(unsigned __int128 count, size_t elem_bytes, const char* argument, uint64_t value,
                         const char* what);

// Element-count products that come from caller sizes: an overflow means the buffer can
// never be allocated, which is reported like any other failed allocation.
inline uint64_t checked_mul(uint64_t a, uint64_t b) {
  uint64_t r;
  if (__builtin_mul_overflow(a, b, &r)) throw std::bad_alloc();
  return r;
}

inline uint64_t checked_add(uint64_t a, uint64_t b) {
  uint64_t r;
  if (__builtin_add_overflow(a, b, &r)) throw std::bad_alloc();
  return r;
}

// Refuses element counts whose byte size cannot exist before the allocator is asked.
template <class T>
inline size_t checked_len(uint64_t n) {
  if (n > std::numeric_limits<size_t>::max() / sizeof(T) / 2) throw std::bad_alloc();
  return static_cast<size_t>(n);
}

// Resizes `v` to `n` entries (copies of `value...` where given) as the allocation `what`,
// so that a failure says what it was for.
template <class Vec, class... Value>
void resize_as(const char* what, Vec& v, uint64_t n, const Value&... value) {
  using T = typename Vec::value_type;
  allocating(what, n, sizeof(T), [&] { v.resize(checked_len<T>(n), value...); });
}

// Reserves room for `n` entries of `v` as the allocation `what`.
template <class Vec>
void reserve_as(const char* what, Vec& v, uint64_t n) {
  using T = typename Vec::value_type;
  allocating(what, n, sizeof(T), [&] { v.reserve(checked_len<T>(n)); });
}

}  // namespace qv
