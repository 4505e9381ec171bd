#pragma once
// Conversions of one argument by declared kind. Each raises the conversion's own
// exception; the caller adds the note naming the parameter.
#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "py/python.hpp"

namespace qv::py {

uint64_t to_count(PyObject* o);    // unsigned 64-bit; OverflowError when negative or too large
uint32_t to_count32(PyObject* o);  // unsigned 32-bit
int64_t to_int64(PyObject* o);     // signed 64-bit; OverflowError beyond its range
double to_real(PyObject* o);
bool to_flag(PyObject* o);  // a bool or NumPy's bool scalar, nothing else
std::string to_text(PyObject* o);

// One array argument of a call, for the borrow test.
struct Borrow {
  PyObject* array;
  const char* name;
  bool writable;
};

// Refuses a read-write array that is not writeable or overlaps another array argument of
// the call (the same array twice included), in parameter order.
void check_borrows(std::span<const Borrow> arrays);

// The read-write borrows of one running call, held in a process-wide registry until this
// is dropped.
class HeldBorrows {
 public:
  HeldBorrows() = default;
  HeldBorrows(const HeldBorrows&) = delete;
  HeldBorrows& operator=(const HeldBorrows&) = delete;
  HeldBorrows(HeldBorrows&& other) noexcept : call_(std::exchange(other.call_, 0)) {}
  HeldBorrows& operator=(HeldBorrows&& other) noexcept {
    std::swap(call_, other.call_);
    return *this;
  }
  ~HeldBorrows();

 private:
  friend HeldBorrows hold_borrows(std::span<const Borrow> arrays, const char* function);
  uint64_t call_ = 0;  // 0: nothing held
};

// Across calls: refuses an array of this call that overlaps one another running call holds
// read-write (the same array included), the way a conflict within one call is refused;
// then holds this call's read-write arrays until the result is dropped. Read-only borrows
// are not held: they share freely. Call with the interpreter lock held.
HeldBorrows hold_borrows(std::span<const Borrow> arrays, const char* function);

}  // namespace qv::py
