#pragma once
// Keeps the k highest-scoring entries of a stream, ties decided by arrival: a newcomer
// that only equals the lowest held score never enters.
#include "ranking/heap.hpp"

namespace qv::knn {

using ImplicitTopK = ranking::TopK<ranking::ArrivalOrder>;

}  // namespace qv::knn
