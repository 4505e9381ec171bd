#pragma once
// Every Python-visible function, defined in the binding file of its kernel family.
#include "py/function.hpp"

namespace qv::bind {

extern const py::Function bpr_fit;
extern const py::Function coo_to_csr;
extern const py::Function csr_top_k_per_row;
extern const py::Function ease_inverse_gram;
extern const py::Function ease_weights;
extern const py::Function ease_weights_from_inverse;
extern const py::Function factorize;
extern const py::Function fm_als_fit;
extern const py::Function item_cosine_top_k;
extern const py::Function item_gram;
extern const py::Function item_knn_top_k;
extern const py::Function quantized_search_dense;
extern const py::Function quantized_search_sparse;
extern const py::Function quantized_search_sparse_dense;
extern const py::Function recommend_from_dense_rows;
extern const py::Function recommend_from_factors;
extern const py::Function recommend_from_similarity;
extern const py::Function rp3beta_similarity;
extern const py::Function slim_elasticnet_weights;
extern const py::Function slim_elasticnet_weights_from_gram;
extern const py::Function top_k_per_row;

}  // namespace qv::bind
