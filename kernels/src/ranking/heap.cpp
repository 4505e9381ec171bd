#include "ranking/heap.hpp"

namespace qv::ranking {

template class TopK<CandidateOrder>;
template class TopK<ArrivalOrder>;

}  // namespace qv::ranking
