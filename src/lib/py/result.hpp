#pragma once
// Kernel results handed to NumPy without copying: the vector moves into a capsule that
// becomes the array's base.
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

#include "core/raw_vector.hpp"
#include "py/errors.hpp"
#include "py/numpy.hpp"
#include "py/ref.hpp"
#include "ranking/candidate.hpp"
#include "sparse/sparse.hpp"

namespace qv::py {

Ref to_array(std::vector<double>&& v, std::initializer_list<size_t> shape);
Ref to_array(std::vector<int64_t>&& v, std::initializer_list<size_t> shape);
Ref to_array(std::vector<int32_t>&& v, std::initializer_list<size_t> shape);
inline Ref to_array(std::vector<double>&& v) { size_t n = v.size(); return to_array(std::move(v), {n}); }
Ref to_array(core::RawVector<double>&& v, std::initializer_list<size_t> shape);

// "result index exceeds the i64 array format" when an index does not fit int64.
void to_i64(std::span<const uint64_t> v);
// Unsigned indices as an int64 array, after the to_i64 test, without copying.
Ref index_array(std::vector<uint64_t>&& v, std::initializer_list<size_t> shape);

// The shape test of ranked results: the product of the non-zero dimensions must fit the
// signed size, and the buffer must hold exactly n_rows * k entries; otherwise
// "ShapeError/<kind>: <what>".
void check_shape(uint64_t n_rows, uint64_t k, size_t len);

// An (n_rows, k) int64 array of ranked indices: the to_i64 test, then the shape test.
Ref ranked_ids(uint64_t n_rows, uint64_t k, std::vector<uint64_t>&& ids);
// The ranked ids and an (n_rows, k) float64 array of their scores, as a pair.
Ref ranked_pair(uint64_t n_rows, uint64_t k, std::vector<uint64_t>&& ids, std::vector<double>&& scores);

// "Cannot recommend {k} items: query {q} has only {n} eligible items."
[[noreturn]] void too_few(uint64_t k, const ranking::TooFewEligible& f);

// (indptr, indices, data) as int64, int64, float64.
Ref csr_tuple(sparse::CsrOwned&& m);
// The same for a result whose indices the caller knows to fit int64 (they are positions,
// or were int64 values on the way in): no pass over them.
Ref csr_tuple(sparse::RawCsr&& m);

Ref tuple(std::initializer_list<PyObject*> owned_items);  // steals each item
Ref float_list(const std::vector<double>& v);

}  // namespace qv::py
