#pragma once
// The module's function table: every Python-visible name, in the order the module adds
// them and so the order of __all__. A binding file defines its functions (py/declare.hpp);
// a name here without a definition is skipped, a definition without a name here stops
// the import.
#include <array>

namespace qv {

inline constexpr std::array kFunctionTable = {
    "bpr_fit",
    "coo_to_csr",
    "csr_top_k_per_row",
    "ease_inverse_gram",
    "ease_weights",
    "ease_weights_from_inverse",
    "factorize",
    "fm_als_fit",
    "hnsw_build_dense",
    "hnsw_build_sparse",
    "hnsw_search_dense",
    "hnsw_search_sparse",
    "hnsw_search_sparse_dense",
    "item_cosine_top_k",
    "quantized_search_dense",
    "quantized_search_sparse",
    "quantized_search_sparse_dense",
    "item_gram",
    "item_knn_top_k",
    "recommend_from_dense_rows",
    "recommend_from_factors",
    "recommend_from_similarity",
    "rp3beta_similarity",
    "slim_elasticnet_weights",
    "slim_elasticnet_weights_from_gram",
    "tune_suggest",
    "top_k_per_row",
};

}  // namespace qv
