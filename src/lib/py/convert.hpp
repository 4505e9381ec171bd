#pragma once
// Conversions of one argument by declared kind. Each raises the conversion's own
// exception; the caller adds the note naming the parameter.
#include <cstdint>
#include <span>
#include <string>

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

}  // namespace qv::py
