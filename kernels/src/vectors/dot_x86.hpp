#pragma once
// The x86 vector paths of the blocked inner product (dot_x86.cpp). On other targets they
// report themselves unavailable and fall back to the portable code if called.
#include <cstddef>
#include <cstdint>

namespace qv::vectors::x86 {

bool avx2_available();
bool avx512_available();

double dot_avx2(const double* a, const double* b, size_t n);
double dot_avx512(const double* a, const double* b, size_t n);
void dot_rows_avx2(const double* q, const double* base, size_t dim, const uint32_t* ids, size_t n, double* out);
void dot_rows_avx512(const double* q, const double* base, size_t dim, const uint32_t* ids, size_t n, double* out);

}  // namespace qv::vectors::x86
