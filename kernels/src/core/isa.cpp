#include "core/isa.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace qv::isa {

namespace {

Level detect() {
#if QV_ISA_X86
  __builtin_cpu_init();
  // The checks include the operating system's support for the wider registers.
  if (!(__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))) return Level::portable;
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
      __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw"))
    return Level::avx512;
  return Level::avx2;
#else
  return Level::portable;
#endif
}

Level cap_from_environment() {
  const char* v = std::getenv("QUORVANE_ISA");
  if (v == nullptr || *v == '\0') return Level::avx512;
  if (std::strcmp(v, "avx512") == 0) return Level::avx512;
  if (std::strcmp(v, "avx2") == 0) return Level::avx2;
  // A misspelt override should not silently test the vector code.
  return Level::portable;
}

std::atomic<Level>& cap_cell() {
  static std::atomic<Level> c{cap_from_environment()};
  return c;
}

}  // namespace

Level cpu() {
  static const Level level = detect();
  return level;
}

Level cap() { return cap_cell().load(std::memory_order_relaxed); }

Level active() {
  const Level c = cap();
  const Level p = cpu();
  return c < p ? c : p;
}

void set_cap(Level c) { cap_cell().store(c, std::memory_order_relaxed); }

const char* name(Level level) {
  switch (level) {
    case Level::avx512: return "avx512";
    case Level::avx2: return "avx2";
    case Level::portable: break;
  }
  return "portable";
}

}  // namespace qv::isa
