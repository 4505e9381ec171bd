// Bindings of the HNSW index: hnsw_build_dense, hnsw_build_sparse, hnsw_search_dense,
// hnsw_search_sparse, hnsw_search_sparse_dense.
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "checks.hpp"
#include "hnsw/build.hpp"
#include "hnsw/graph.hpp"
#include "hnsw/search.hpp"
#include "pools.hpp"
#include "py/declare.hpp"
#include "py/result.hpp"

namespace qv::bind {
namespace {

using py::Count, py::In, py::Int64;
using vectors::DenseItems, vectors::QuerySet, vectors::SparseItems;

constexpr uint64_t kMaxItems = hnsw::kMaxItems;

hnsw::HnswParams hnsw_params(uint64_t m, uint64_t ef_construction, uint64_t seed) {
  if (m == 0) py::value_error("m must be >= 1.");
  if (ef_construction == 0) py::value_error("ef_construction must be >= 1.");
  return {m, ef_construction, seed};
}

void check_item_count(uint64_t n_items) {
  if (n_items > kMaxItems) py::value_error("HNSW item count exceeds the i32 node index format.");
}

template <class Items>
py::Ref hnsw_built(const Items& items, const hnsw::HnswParams& params, uint64_t n_threads) {
  auto pool = pools::pool(n_threads);
  hnsw::Graph g = pools::run(*pool, [&] { return hnsw::build(items, params); });
  const size_t n = g.node_level.size(), slots = g.links_indptr.size(), links = g.links_indices.size();
  py::Ref level = py::to_array(std::move(g.node_level), {n});
  py::Ref indptr = py::to_array(std::move(g.links_indptr), {slots});
  py::Ref indices = py::to_array(std::move(g.links_indices), {links});
  py::Ref entry(py::check(PyLong_FromLongLong(g.entry_point)));
  return py::tuple({level.release(), indptr.release(), indices.release(), entry.release()});
}

// A CSR matrix of item vectors or queries: viewed data first, then judged in the
// shared order (lengths, columns below n_cols, index pointer).
checks::CsrInput item_csr(const py::Array<double>& data, const py::Array<int64_t>& indices,
                          const py::Array<int64_t>& indptr, uint64_t n_cols) {
  checks::CsrInput csr;
  csr.data = data.flat();
  csr.indices = indices.flat();
  const auto raw = indptr.flat();
  csr.same_length();
  csr.columns(n_cols);
  csr.pointer(raw, csr.indices.size());
  return csr;
}

// ---- builds ----

using BuildDenseArgs = py::Args<"hnsw_build_dense", In<"vectors", double, 2>, Count<"m">, Count<"ef_construction">,
                                Count<"seed">, Count<"n_threads">>;

py::Ref hnsw_build_dense(const BuildDenseArgs& a) {
  const hnsw::HnswParams params = hnsw_params(a.get<"m">(), a.get<"ef_construction">(), a.get<"seed">());
  const auto& vectors = a.get<"vectors">();
  const auto data = vectors.flat();
  const uint64_t dim = vectors.cols();
  if (dim != 0) check_item_count(data.size() / dim);
  return hnsw_built(DenseItems{data, dim}, params, a.get<"n_threads">());
}

using BuildSparseArgs =
    py::Args<"hnsw_build_sparse", In<"indptr", int64_t>, In<"indices", int64_t>, In<"data", double>, Count<"dim">,
             Count<"m">, Count<"ef_construction">, Count<"seed">, Count<"n_threads">>;

py::Ref hnsw_build_sparse(const BuildSparseArgs& a) {
  const hnsw::HnswParams params = hnsw_params(a.get<"m">(), a.get<"ef_construction">(), a.get<"seed">());
  const checks::CsrInput csr = item_csr(a.get<"data">(), a.get<"indices">(), a.get<"indptr">(), a.get<"dim">());
  check_item_count(csr.indptr.size() - 1);
  return hnsw_built(SparseItems{csr.view()}, params, a.get<"n_threads">());
}

// ---- searches ----

// The pool that may share the argument checks: the call's own, unless it cannot start;
// then the checks run alone and the search reports the failure where it takes the pool.
std::shared_ptr<parallel::Pool> check_pool(uint64_t n_threads) {
  std::string ignored;
  return parallel::cached_pool(n_threads, &ignored);
}

// Runs f on the calling thread, with the pool's workers helping its loops when there is
// a pool. The interpreter lock stays held: these are the argument checks.
template <class F>
decltype(auto) checked_on(const std::shared_ptr<parallel::Pool>& pool, F&& f) {
  return pool ? pool->join(f) : f();
}

hnsw::GraphView hnsw_view(std::span<const int32_t> node_level, std::span<const int64_t> links_indptr,
                          std::span<const int32_t> links_indices, int64_t entry_point, uint64_t n_items,
                          const std::shared_ptr<parallel::Pool>& pool) {
  if (node_level.size() != n_items) py::value_error("node_level must have one entry per item.");
  std::optional<hnsw::GraphView> g = checked_on(
      pool, [&] { return hnsw::GraphView::make(node_level, links_indptr, links_indices, entry_point, n_items); });
  if (!g) py::value_error("the index arrays do not describe a graph.");
  return std::move(*g);
}

// The index of a search call, viewed in its parameter order and validated.
template <class A>
hnsw::GraphView graph_of(const A& a, uint64_t n_items, const std::shared_ptr<parallel::Pool>& pool) {
  const auto level = a.template get<"node_level">().flat();
  const auto indptr = a.template get<"links_indptr">().flat();
  const auto indices = a.template get<"links_indices">().flat();
  return hnsw_view(level, indptr, indices, a.template get<"entry_point">(), n_items, pool);
}

// The candidates of a search call: every item (positions are item ids), or an ascending
// subset with its item -> position map, put back when the call ends.
struct GraphCandidates {
  bool every_item = false;
  uint64_t count = 0;
  std::vector<uint64_t> ids;
  std::unique_ptr<hnsw::PositionMap> map;  // after ids: it reads them when it goes
};

GraphCandidates graph_candidates(checks::I64s candidates, uint64_t n_items,
                                 const std::shared_ptr<parallel::Pool>& pool) {
  GraphCandidates c;
  c.count = candidates.size();
  // A list of n_items entries that is 0, 1, 2, ... passes every check; any other list
  // takes the checks in their order, which name its first fault.
  c.every_item = checked_on(pool, [&] { return hnsw::every_item(candidates, n_items); });
  if (c.every_item) return c;
  c.ids = checks::index_candidates(candidates, n_items);
  c.map = std::make_unique<hnsw::PositionMap>(c.ids, n_items);
  return c;
}

template <class Items>
py::Ref hnsw_ranked(const Items& items, const hnsw::GraphView& graph, const QuerySet& queries,
                    const GraphCandidates& candidates, const std::vector<uint64_t>& excluded_indptr,
                    checks::I64s excluded_indices, uint64_t k, uint64_t ef_search, uint64_t n_threads) {
  if (ef_search == 0) py::value_error("ef_search must be >= 1.");
  const uint64_t n_queries = queries.n_queries();
  auto pool = pools::pool(n_threads);
  hnsw::SearchRequest request;
  request.every_item = candidates.every_item;
  request.n_candidates = candidates.count;
  request.candidates = candidates.ids;
  if (candidates.map) request.position_of = candidates.map->view();
  request.excluded_indptr = excluded_indptr;
  request.excluded_indices = checks::as_unsigned(excluded_indices);
  request.k = k;
  request.ef_search = ef_search;
  // The caller searches alongside the pool's workers: a lone query never waits for one.
  auto result = py::without_gil([&] { return pool->join([&] { return hnsw::top_k(items, graph, queries, request); }); });
  if (auto* f = std::get_if<ranking::TooFewEligible>(&result)) py::too_few(k, *f);
  auto& r = std::get<hnsw::Ranked>(result);
  return py::ranked_pair(n_queries, k, std::move(r.positions), std::move(r.scores));
}

// Exclusions of a search call, viewed indices first.
template <class A>
std::pair<std::vector<uint64_t>, checks::I64s> exclusions_of(const A& a, uint64_t n_queries, uint64_t n_candidates) {
  const auto indices = a.template get<"excluded_indices">().flat();
  const auto indptr = a.template get<"excluded_indptr">().flat();
  return {checks::check_excluded(indptr, indices, n_queries, n_candidates), indices};
}

// The query CSR of a search call against `n_cols` columns.
template <class A>
checks::CsrInput query_csr(const A& a, uint64_t n_cols) {
  return item_csr(a.template get<"queries_data">(), a.template get<"queries_indices">(),
                  a.template get<"queries_indptr">(), n_cols);
}

#define QV_SEARCH_TAIL \
  In<"candidates", int64_t>, In<"excluded_indptr", int64_t>, In<"excluded_indices", int64_t>, Count<"k">, \
      Count<"ef_search">, Count<"n_threads">
#define QV_INDEX_ARGS \
  In<"node_level", int32_t>, In<"links_indptr", int64_t>, In<"links_indices", int32_t>, Int64<"entry_point">

using SearchDenseArgs = py::Args<"hnsw_search_dense", QV_INDEX_ARGS, In<"vectors", double, 2>,
                                 In<"queries", double, 2>, QV_SEARCH_TAIL>;

py::Ref hnsw_search_dense(const SearchDenseArgs& a) {
  const auto& vectors = a.get<"vectors">();
  const auto& queries = a.get<"queries">();
  if (queries.cols() != vectors.cols()) py::value_error("queries must have the same width as the indexed vectors.");
  const uint64_t dim = vectors.cols();
  const auto item_data = vectors.flat();
  const auto pool = check_pool(a.get<"n_threads">());
  const hnsw::GraphView graph = graph_of(a, vectors.rows(), pool);
  const GraphCandidates cands = graph_candidates(a.get<"candidates">().flat(), vectors.rows(), pool);
  const auto query_data = queries.flat();
  // Every query row gets a result row, even when the rows are empty.
  const uint64_t n_queries = queries.rows();
  const auto [ex_ptr, ex_idx] = exclusions_of(a, n_queries, cands.count);
  return hnsw_ranked(DenseItems{item_data, dim}, graph, QuerySet::dense(query_data, dim, n_queries), cands, ex_ptr,
                     ex_idx, a.get<"k">(), a.get<"ef_search">(), a.get<"n_threads">());
}

using SearchSparseArgs =
    py::Args<"hnsw_search_sparse", QV_INDEX_ARGS, In<"vectors_indptr", int64_t>, In<"vectors_indices", int64_t>,
             In<"vectors_data", double>, Count<"dim">, In<"queries_indptr", int64_t>, In<"queries_indices", int64_t>,
             In<"queries_data", double>, QV_SEARCH_TAIL>;

py::Ref hnsw_search_sparse(const SearchSparseArgs& a) {
  const uint64_t dim = a.get<"dim">();
  const checks::CsrInput item = item_csr(a.get<"vectors_data">(), a.get<"vectors_indices">(), a.get<"vectors_indptr">(), dim);
  const uint64_t n_items = item.indptr.size() - 1;
  const auto pool = check_pool(a.get<"n_threads">());
  const hnsw::GraphView graph = graph_of(a, n_items, pool);
  const GraphCandidates cands = graph_candidates(a.get<"candidates">().flat(), n_items, pool);
  const checks::CsrInput queries = query_csr(a, dim);
  const auto [ex_ptr, ex_idx] = exclusions_of(a, queries.indptr.size() - 1, cands.count);
  return hnsw_ranked(SparseItems{item.view()}, graph, QuerySet::scattered(queries.view()), cands, ex_ptr, ex_idx,
                     a.get<"k">(), a.get<"ef_search">(), a.get<"n_threads">());
}

using SearchSparseDenseArgs =
    py::Args<"hnsw_search_sparse_dense", QV_INDEX_ARGS, In<"vectors", double, 2>, In<"queries_indptr", int64_t>,
             In<"queries_indices", int64_t>, In<"queries_data", double>, QV_SEARCH_TAIL>;

py::Ref hnsw_search_sparse_dense(const SearchSparseDenseArgs& a) {
  const auto& vectors = a.get<"vectors">();
  const uint64_t dim = vectors.cols();
  const auto item_data = vectors.flat();
  const auto pool = check_pool(a.get<"n_threads">());
  const hnsw::GraphView graph = graph_of(a, vectors.rows(), pool);
  const GraphCandidates cands = graph_candidates(a.get<"candidates">().flat(), vectors.rows(), pool);
  const checks::CsrInput queries = query_csr(a, dim);
  const auto [ex_ptr, ex_idx] = exclusions_of(a, queries.indptr.size() - 1, cands.count);
  return hnsw_ranked(DenseItems{item_data, dim}, graph, QuerySet::sparse_rows(queries.view()), cands, ex_ptr, ex_idx,
                     a.get<"k">(), a.get<"ef_search">(), a.get<"n_threads">());
}

#undef QV_SEARCH_TAIL
#undef QV_INDEX_ARGS

constexpr const char* kIndexTuple = "tuple[NDArray[np.int32], NDArray[np.int64], NDArray[np.int32], int]";

const py::Registered functions{
    py::define<hnsw_build_dense>(
        kIndexTuple,
        "Build a hierarchical navigable small-world graph over dense item vectors.\n\n"
        "`vectors` is `(n_items, dim)` row-major, and row `j` is the vector whose dot product\n"
        "with a query is item `j`'s score. `m` caps the neighbours a node keeps above level 0\n"
        "and `2 * m` caps them at level 0; `ef_construction` bounds the candidate list an\n"
        "insertion keeps. Levels are drawn from `seed` alone, so they do not depend on the\n"
        "order nodes are inserted in.\n\n"
        "Returns the layered adjacency as `(node_level, links_indptr, links_indices,\n"
        "entry_point)`: everything a search needs and nothing else, so a fitted index is\n"
        "numpy arrays all the way down. `n_threads == 0` uses all cores; a build on more than\n"
        "one thread is not reproducible, because concurrent insertions see different partial\n"
        "graphs."),
    py::define<hnsw_build_sparse>(
        kIndexTuple,
        "Build a hierarchical navigable small-world graph over sparse item vectors.\n\n"
        "Row `j` of the CSR matrix is item `j`'s vector, its columns ascending; `dim` is the\n"
        "number of columns, which for the item-item models is the size of the catalog. See\n"
        "[`hnsw_build_dense`] for the rest."),
    py::define<hnsw_search_dense>(
        py::kRankedPair,
        "The `k` best candidates of each dense query under the graph, and their scores.\n\n"
        "`candidates` holds the item index of each candidate position, ascending, and the\n"
        "traversal passes *through* the items that are not candidates or are excluded rather\n"
        "than stopping at them, so a filter costs recall rather than connectivity. Excluded\n"
        "columns are candidate positions, as in `top_k_per_row`. A query the walk leaves short\n"
        "is completed by an exact scan of its eligible items, so the result is always `k`\n"
        "items the caller may show. `n_threads == 0` uses all cores."),
    py::define<hnsw_search_sparse>(
        py::kRankedPair,
        "The `k` best candidates of each sparse query under a graph over sparse item vectors.\n\n"
        "The item-item path. A query row is scattered once into a buffer of `dim` values, so\n"
        "each distance is a gather over an item vector's stored entries rather than a merge of\n"
        "two sorted runs. See [`hnsw_search_dense`] for the filtering rules."),
    py::define<hnsw_search_sparse_dense>(
        py::kRankedPair,
        "The `k` best candidates of each sparse query under a graph over dense item vectors.\n\n"
        "EASE's path: its weight matrix is dense but catalog-wide, so scattering the query\n"
        "would cost a full pass per distance. The query stays sparse and the gather runs over\n"
        "its handful of nonzeros instead. See [`hnsw_search_dense`] for the filtering rules."),
};

}  // namespace
}  // namespace qv::bind
