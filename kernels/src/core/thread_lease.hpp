#pragma once
// One T per thread, kept across calls so that a call pays neither its allocation nor its
// first touch. A lease holds the thread's T for a scope; should the thread's own already
// be leased further up its stack, the lease holds a fresh T of its own instead. `Tag`
// keeps two users of the same T apart.
#include <memory>
#include <utility>

namespace qv {

template <class T, class Tag = T>
class ThreadLease {
 public:
  ThreadLease() {
    thread_local T mine;
    thread_local bool busy = false;
    if (busy) {
      own_ = std::make_unique<T>();
      held_ = own_.get();
    } else {
      busy = true;
      busy_ = &busy;
      held_ = &mine;
    }
  }
  ~ThreadLease() {
    if (busy_) *busy_ = false;
  }
  ThreadLease(ThreadLease&& o) noexcept
      : own_(std::move(o.own_)), held_(o.held_), busy_(std::exchange(o.busy_, nullptr)) {}
  ThreadLease& operator=(ThreadLease&&) = delete;

  T& operator*() const { return *held_; }
  T* operator->() const { return held_; }

 private:
  std::unique_ptr<T> own_;
  T* held_;
  bool* busy_ = nullptr;
};

}  // namespace qv
