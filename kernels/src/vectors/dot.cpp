#include "vectors/dot.hpp"

#include "vectors/dot_x86.hpp"

namespace qv::vectors {

namespace {

void dot_rows_portable(const double* q, const double* base, size_t dim, const uint32_t* ids, size_t n,
                       double* out) {
  for (size_t i = 0; i < n; ++i) out[i] = dot_portable(q, base + static_cast<size_t>(ids[i]) * dim, dim);
}

Path detect() {
  if (x86::avx512_available()) return Path::Avx512;
  if (x86::avx2_available()) return Path::Avx2;
  return Path::Portable;
}

}  // namespace

Path best_path() {
  static const Path p = detect();
  return p;
}

bool path_available(Path p) {
  switch (p) {
    case Path::Portable: return true;
    case Path::Avx2: return x86::avx2_available();
    case Path::Avx512: return x86::avx512_available();
  }
  return false;
}

double dot_on(Path p, const double* a, const double* b, size_t n) {
  switch (p) {
    case Path::Avx512: return x86::dot_avx512(a, b, n);
    case Path::Avx2: return x86::dot_avx2(a, b, n);
    case Path::Portable: break;
  }
  return dot_portable(a, b, n);
}

void dot_rows_on(Path p, const double* q, const double* base, size_t dim, const uint32_t* ids, size_t n,
                 double* out) {
  switch (p) {
    case Path::Avx512: return x86::dot_rows_avx512(q, base, dim, ids, n, out);
    case Path::Avx2: return x86::dot_rows_avx2(q, base, dim, ids, n, out);
    case Path::Portable: break;
  }
  dot_rows_portable(q, base, dim, ids, n, out);
}

}  // namespace qv::vectors
