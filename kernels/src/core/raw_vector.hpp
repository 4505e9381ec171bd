#pragma once
// A std::vector whose resize leaves new elements uninitialised and whose storage starts
// on a cache line.
//
// For results that a parallel kernel writes slot by slot: value-initialising hundreds of
// megabytes first would run on one thread, touch every page once more, and cost more than
// the kernel itself. Line alignment lets a kernel stream whole lines into it.
#include <cstddef>
#include <memory>
#include <type_traits>
#include <new>
#include <utility>
#include <vector>

#include "core/invariant.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace qv::core {

template <class T>
struct DefaultInitAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = DefaultInitAllocator<U>;
  };
  static constexpr size_t kLine = 64;
  // Large buffers start on a huge page and ask for huge pages: faulting in hundreds of
  // megabytes page by page costs more than writing them.
  static constexpr size_t kHugePage = size_t{2} << 20;
  static constexpr size_t kHugeFrom = size_t{4} << 20;
  static std::align_val_t alignment(size_t bytes) {
    return std::align_val_t{bytes >= kHugeFrom ? kHugePage : kLine};
  }

  DefaultInitAllocator() = default;
  template <class U>
  DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}

  T* allocate(size_t n) {
    if (n > static_cast<size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    const size_t bytes = n * sizeof(T);
    void* p = allocating("a result array", n, sizeof(T), [&] { return ::operator new(bytes, alignment(bytes)); });
#if defined(MADV_HUGEPAGE)
    if (bytes >= kHugeFrom) madvise(p, bytes, MADV_HUGEPAGE);  // advice only: failure is harmless
#endif
    return static_cast<T*>(p);
  }
  void deallocate(T* p, size_t n) noexcept { ::operator delete(p, alignment(n * sizeof(T))); }

  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

template <class T>
using RawVector = std::vector<T, DefaultInitAllocator<T>>;

}  // namespace qv::core
