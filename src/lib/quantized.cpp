// Bindings of the quantized flat scan: quantized_search_dense, quantized_search_sparse,
// quantized_search_sparse_dense. Every argument is checked with the lock held; the scan
// runs on the calling thread with the lock released.
#include <string>
#include <utility>

#include "checks.hpp"
#include "py/declare.hpp"
#include "py/gil.hpp"
#include "py/result.hpp"
#include "quantized/top_k.hpp"

namespace qv::bind {
namespace {

using py::Count, py::Count32, py::In, py::Real;
using quantized::DenseCodes;
using quantized::QuantizedStore;
using quantized::SparseCodes;

// The width, then the shortlist factor, then (once the width is known good, so the
// record's row length can be derived from it) whether the arrays fit the layout.
template <class Make>
QuantizedStore quantized_checked(uint32_t bits, uint64_t oversample, uint64_t n_items, uint64_t dim, Make&& make) {
  if (!quantized::valid_bits(bits)) py::value_error("bits must be one of [1, 2, 4, 8], got " + std::to_string(bits) + ".");
  if (oversample < 1) py::value_error("oversample must be >= 1.");
  QuantizedStore store = make();
  if (!quantized::describes(store, n_items, dim)) py::value_error("the code arrays do not describe a quantized store.");
  return store;
}

QuantizedStore dense_store(const py::Array<uint8_t>& codes, uint32_t bits, const py::Array<double>& scale,
                           const py::Array<double>& offset, uint64_t n_items, uint64_t dim, uint64_t oversample) {
  auto c = codes.flat();
  auto s = scale.flat();
  auto o = offset.flat();
  return quantized_checked(bits, oversample, n_items, dim, [&] {
    return QuantizedStore(DenseCodes{c, quantized::row_bytes(dim, bits), bits, s, o, dim});
  });
}

// The exclusion pattern: indices viewed first, then the index pointer.
quantized::Excluded excluded_rows(const py::Array<int64_t>& ex_ptr, const py::Array<int64_t>& ex_idx,
                                  uint64_t n_queries, uint64_t n_candidates, std::vector<uint64_t>& indptr) {
  auto idx = ex_idx.flat();
  auto ptr = ex_ptr.flat();
  indptr = checks::check_excluded(ptr, idx, n_queries, n_candidates);
  return {indptr, idx};
}

// A query or item CSR over n_cols columns: data, indices and the index pointer viewed,
// then lengths, columns and the pointer judged.
checks::CsrInput csr_rows(const py::Array<int64_t>& indptr, const py::Array<int64_t>& indices,
                          const py::Array<double>& data, uint64_t n_cols) {
  checks::CsrInput m;
  m.data = data.flat();
  m.indices = indices.flat();
  auto p = indptr.flat();
  m.same_length();
  m.columns(n_cols);
  m.pointer(p, m.indices.size());
  return m;
}

template <class Items>
py::Ref quantized_ranked(const QuantizedStore& store, const Items& items, const vectors::QuerySet& queries,
                         uint64_t n_queries, std::span<const uint64_t> candidates, const quantized::Excluded& excluded,
                         uint64_t k, uint64_t oversample) {
  quantized::Result result = py::without_gil(
      [&] { return quantized::top_k(store, items, queries, n_queries, candidates, excluded, k, oversample); });
  if (auto* f = std::get_if<ranking::TooFewEligible>(&result)) py::too_few(k, *f);
  auto& r = std::get<quantized::Ranked>(result);
  return py::ranked_pair(n_queries, k, std::move(r.positions), std::move(r.scores));
}

// The CSR queries and their exclusions, checked in that order, then the ranking; `form`
// makes the query set the item store scores against.
template <class A, class Items, class Form>
py::Ref rank_csr_queries(const A& a, const QuantizedStore& store, const Items& items,
                         std::span<const uint64_t> cands, uint64_t dim, Form form) {
  const checks::CsrInput query_csr = csr_rows(a.template get<"queries_indptr">(), a.template get<"queries_indices">(),
                                              a.template get<"queries_data">(), dim);
  const sparse::CsrView query_rows = query_csr.view();
  const uint64_t n_queries = query_rows.n_rows;
  std::vector<uint64_t> ex_indptr;
  const quantized::Excluded excluded = excluded_rows(a.template get<"excluded_indptr">(),
                                                     a.template get<"excluded_indices">(), n_queries, cands.size(), ex_indptr);
  return quantized_ranked(store, items, form(query_rows), n_queries, cands, excluded, a.template get<"k">(),
                          a.template get<"oversample">());
}

// ---- quantized_search_dense ----

using DenseArgs = py::Args<"quantized_search_dense", In<"codes", uint8_t>, Count32<"bits">, In<"scale", double>,
                           In<"offset", double>, In<"vectors", double, 2>, In<"queries", double, 2>,
                           In<"candidates", int64_t>, In<"excluded_indptr", int64_t>,
                           In<"excluded_indices", int64_t>, Count<"k">, Count<"oversample">>;

py::Ref quantized_search_dense(const DenseArgs& a) {
  const auto& vectors = a.get<"vectors">();
  const auto& queries = a.get<"queries">();
  const uint32_t bits = a.get<"bits">();
  const uint64_t k = a.get<"k">(), oversample = a.get<"oversample">();

  if (queries.dim(1) != vectors.dim(1)) py::value_error("queries must have the same width as the indexed vectors.");
  const uint64_t n_items = vectors.dim(0), dim = vectors.dim(1);
  const QuantizedStore store =
      dense_store(a.get<"codes">(), bits, a.get<"scale">(), a.get<"offset">(), n_items, dim, oversample);
  const vectors::DenseItems items{vectors.flat(), dim};
  const std::vector<uint64_t> cands = checks::index_candidates(a.get<"candidates">().flat(), n_items);
  // Every query row is a query, also over vectors of width 0 (each then scores +0.0).
  const uint64_t n_queries = queries.dim(0);
  const auto query_set = vectors::QuerySet::dense(queries.flat(), dim);
  std::vector<uint64_t> ex_indptr;
  const quantized::Excluded excluded =
      excluded_rows(a.get<"excluded_indptr">(), a.get<"excluded_indices">(), n_queries, cands.size(), ex_indptr);
  return quantized_ranked(store, items, query_set, n_queries, cands, excluded, k, oversample);
}

// ---- quantized_search_sparse ----

using SparseArgs =
    py::Args<"quantized_search_sparse", In<"codes", uint8_t>, Count32<"bits">, Real<"scale">, Real<"offset">,
             In<"vectors_indptr", int64_t>, In<"vectors_indices", int64_t>, In<"vectors_data", double>, Count<"dim">,
             In<"queries_indptr", int64_t>, In<"queries_indices", int64_t>, In<"queries_data", double>,
             In<"candidates", int64_t>, In<"excluded_indptr", int64_t>, In<"excluded_indices", int64_t>, Count<"k">,
             Count<"oversample">>;

py::Ref quantized_search_sparse(const SparseArgs& a) {
  const uint32_t bits = a.get<"bits">();
  const uint64_t dim = a.get<"dim">(), oversample = a.get<"oversample">();
  const checks::CsrInput item_csr =
      csr_rows(a.get<"vectors_indptr">(), a.get<"vectors_indices">(), a.get<"vectors_data">(), dim);
  const sparse::CsrView rows = item_csr.view();
  const uint64_t n_items = rows.n_rows;
  auto codes = a.get<"codes">().flat();
  const QuantizedStore store = quantized_checked(bits, oversample, n_items, dim, [&] {
    return QuantizedStore(SparseCodes{codes, bits, rows, a.get<"scale">(), a.get<"offset">()});
  });
  const std::vector<uint64_t> cands = checks::index_candidates(a.get<"candidates">().flat(), n_items);
  return rank_csr_queries(a, store, vectors::SparseItems{rows}, cands, dim, vectors::QuerySet::scattered);
}

// ---- quantized_search_sparse_dense ----

using SparseDenseArgs =
    py::Args<"quantized_search_sparse_dense", In<"codes", uint8_t>, Count32<"bits">, In<"scale", double>,
             In<"offset", double>, In<"vectors", double, 2>, In<"queries_indptr", int64_t>,
             In<"queries_indices", int64_t>, In<"queries_data", double>, In<"candidates", int64_t>,
             In<"excluded_indptr", int64_t>, In<"excluded_indices", int64_t>, Count<"k">, Count<"oversample">>;

py::Ref quantized_search_sparse_dense(const SparseDenseArgs& a) {
  const auto& vectors = a.get<"vectors">();
  const uint32_t bits = a.get<"bits">();
  const uint64_t oversample = a.get<"oversample">();
  const uint64_t n_items = vectors.dim(0), dim = vectors.dim(1);
  const QuantizedStore store =
      dense_store(a.get<"codes">(), bits, a.get<"scale">(), a.get<"offset">(), n_items, dim, oversample);
  const vectors::DenseItems items{vectors.flat(), dim};
  const std::vector<uint64_t> cands = checks::index_candidates(a.get<"candidates">().flat(), n_items);
  return rank_csr_queries(a, store, items, cands, dim, vectors::QuerySet::sparse_rows);
}


const py::Registered functions{
    py::define<quantized_search_dense>(
        py::kRankedPair,
        "The `k` best candidates of each dense query under a quantized flat scan.\n"
        "\n"
        "`codes` holds `dim` codes of `bits` each per item, packed `8 / bits` to a byte with\n"
        "the low-order code first and every item's run starting on a byte boundary. `scale`\n"
        "and `offset` are per dimension, and `vectors` is the exact matrix the shortlist is\n"
        "reranked against -- the same vectors the codes were made from, in the same order.\n"
        "\n"
        "`candidates` holds the item index of each candidate position, ascending; excluded\n"
        "columns are candidate positions, as in `top_k_per_row`. The scan sees every eligible\n"
        "candidate, so a query short of `k` is genuinely short and raises rather than falling\n"
        "back. `oversample * k` candidates are shortlisted by their codes and then rescored\n"
        "exactly, so the scores returned are always the exact ones."),
    py::define<quantized_search_sparse>(
        py::kRankedPair,
        "The `k` best candidates of each sparse query over quantized sparse item vectors.\n"
        "\n"
        "The item-item path. One code per stored value, sharing the rows' own\n"
        "`indptr`/`indices`, with a single `scale` and `offset` over the whole matrix -- a\n"
        "catalog-sized column dimension has no per-column statistics worth keeping. The query\n"
        "is scattered once into a buffer of `dim` values and every candidate gathers its own\n"
        "stored columns out of it. See [`quantized_search_dense`] for the filtering rules."),
    py::define<quantized_search_sparse_dense>(
        py::kRankedPair,
        "The `k` best candidates of each sparse query over quantized *dense* item vectors.\n"
        "\n"
        "EASE's shape: catalog-wide dense item rows and a query of a handful of nonzeros, so\n"
        "the coarse pass gathers over the query's own columns rather than the item's width.\n"
        "See [`quantized_search_dense`] for the packing and the filtering rules."),
};

}  // namespace
}  // namespace qv::bind
