#pragma once
// Run-time choice of vector code.
//
// A family with vector code keeps it in its own files, named <name>_avx2.cpp or
// <name>_avx512.cpp. CMake compiles those on x86-64 only, with the instruction set their
// suffix names, and defines QV_ISA_NS there to avx2 or avx512; every other file sees
// QV_ISA_NS = portable. Code written once for several levels lives in a header that opens
// `namespace qv::<family>::QV_ISA_NS` and is included by the portable file and by each
// vector file, so each level gets its own symbols. A kernel reads the level once per call
// with QV_ISA_PICK and keeps the function it got; every level returns the portable bits.
//
// A vector file holds loops over plain pointers: an inline library function that the
// compiler emits out of line there could be linked in place of the portable copy, so the
// build refuses a vector object that defines such a (weak) symbol.
#include <cstdint>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QV_ISA_X86 1
#else
#define QV_ISA_X86 0
#endif

#ifndef QV_ISA_NS
#define QV_ISA_NS portable
#endif

namespace qv::isa {

enum class Level : uint8_t { portable = 0, avx2 = 1, avx512 = 2 };

// The best level this processor and its operating system run; detected once.
Level cpu();

// The level kernels use: cpu() capped by QUORVANE_ISA (portable, avx2 or avx512; any
// other value means portable), read from the environment on first use.
Level active();

Level cap();

// Replaces the cap for this process, for tests that compare the levels bit for bit.
void set_cap(Level cap);

const char* name(Level level);

}  // namespace qv::isa

// The version of a function for the active level: QV_ISA_PICK(portable::f, avx2::f).
// The vector versions are named only on x86-64, where their files are built.
#if QV_ISA_X86
#define QV_ISA_PICK(portable_fn, avx2_fn) \
  (::qv::isa::active() >= ::qv::isa::Level::avx2 ? (avx2_fn) : (portable_fn))
#define QV_ISA_PICK3(portable_fn, avx2_fn, avx512_fn)                                         \
  (::qv::isa::active() >= ::qv::isa::Level::avx512 ? (avx512_fn)                               \
   : ::qv::isa::active() >= ::qv::isa::Level::avx2 ? (avx2_fn)                                 \
                                                   : (portable_fn))
#else
#define QV_ISA_PICK(portable_fn, avx2_fn) (portable_fn)
#define QV_ISA_PICK3(portable_fn, avx2_fn, avx512_fn) (portable_fn)
#endif
