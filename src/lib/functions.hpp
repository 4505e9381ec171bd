#pragma once
// Every Python-visible function, defined in the binding file of its kernel family.
#include "py/function.hpp"

namespace qv::bind {

extern const py::Function bpr_fit;
extern const py::Function coo_to_csr;
extern const py::Function csr_top_k_per_row;
extern const py::Function factorize;
extern const py::Function fm_als_fit;
extern const py::Function top_k_per_row;

}  // namespace qv::bind
