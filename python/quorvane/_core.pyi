# Written by scripts/stub.sh from the binding declarations in src/lib; do not edit.
from typing import SupportsIndex

import numpy as np
from numpy.typing import NDArray

__build_profile__: str
__all__: list[str]

def bpr_fit(
    indptr: NDArray[np.int64],
    indices: NDArray[np.int64],
    n_cols: SupportsIndex,
    user_factors: NDArray[np.float64],
    item_factors: NDArray[np.float64],
    item_bias: NDArray[np.float64],
    learning_rate: float,
    regularization: float,
    use_bias: bool | np.bool_,
    n_iter: SupportsIndex,
    seed: SupportsIndex,
    n_threads: SupportsIndex,
    positives: NDArray[np.int64] | None = None,
    popularity_negatives: bool | np.bool_ = False,
) -> list[float]:
    """Fit a BPR matrix factorization by stochastic gradient ascent over sampled (user,
    positive item, negative item) triplets.

    `indptr` and `indices` are the users x items interactions in CSR form; their values are
    ignored and the column indices must be sorted within each row. `user_factors`
    (n_users, n_factors), `item_factors` (n_cols, n_factors) and `item_bias` (n_cols,) are
    updated in place. Returns, for each epoch, the share of sampled triplets that were
    ranked correctly.

    Samples are drawn from `seed`, but the workers update the shared arrays without locks,
    so only a fit with `n_threads == 1` is reproducible from the seed.
    `n_threads == 0` uses the default pool size: `RAYON_NUM_THREADS`, else
    `RAYON_RS_NUM_CPUS`, else the online processors.

    `positives`, when given, holds offsets into `indices`: each epoch draws its positives
    from those entries only, while negatives are still rejected against the user's whole
    row, so a subset of the interactions is trained while all of them are known. Negatives
    are drawn uniformly over the items or, with `popularity_negatives`, as the item of a
    uniformly drawn stored entry."""

def coo_to_csr(
    rows: NDArray[np.int64],
    cols: NDArray[np.int64],
    data: NDArray[np.float64],
    n_rows: SupportsIndex,
    n_cols: SupportsIndex,
    n_threads: SupportsIndex,
) -> tuple[NDArray[np.int64], NDArray[np.int64], NDArray[np.float64]]:
    """A CSR matrix built from coordinate triples, with duplicate pairs summed.

    Returns (indptr, indices, data) of shape (n_rows, n_cols). Rows come out with ascending
    column indices and one entry per (row, column) pair, its values summed in input order
    (the canonical CSR form); explicit zeros are kept. The result is the same for every
    `n_threads`.
    `n_threads == 0` uses the default pool size: `RAYON_NUM_THREADS`, else
    `RAYON_RS_NUM_CPUS`, else the online processors."""

def csr_top_k_per_row(
    indptr: NDArray[np.int64],
    indices: NDArray[np.int64],
    data: NDArray[np.float64],
    n_cols: SupportsIndex,
    k: SupportsIndex,
    n_threads: SupportsIndex,
) -> tuple[NDArray[np.int64], NDArray[np.int64], NDArray[np.float64]]:
    """Keep the k largest entries of each row of a CSR matrix.

    The result is a CSR (indptr, indices, data) with sorted column indices. Ties keep the
    entry that comes first in its row, which is what a stable sort by descending value
    gives; explicit zeros are ordinary candidates.
    `n_threads == 0` uses the default pool size: `RAYON_NUM_THREADS`, else
    `RAYON_RS_NUM_CPUS`, else the online processors."""

def ease_inverse_gram(
    indptr: NDArray[np.int64],
    indices: NDArray[np.int64],
    data: NDArray[np.float64],
    n_cols: SupportsIndex,
    l2_reg: float,
    n_threads: SupportsIndex,
) -> NDArray[np.float64]:
    """The inverse P = (R^T R + l2_reg I)^-1 of the regularised item Gram matrix of a
    users x items CSR matrix R, as a dense (n_cols, n_cols) array, exactly symmetric.

    Keep P to update the model by low-rank steps later. Raises ValueError when the
    matrix is not positive definite. The result is the same for every `n_threads`.
    `n_threads == 0` uses the default pool size: `RAYON_NUM_THREADS`, else
    `RAYON_RS_NUM_CPUS`, else the online processors."""

def ease_weights(
    indptr: NDArray[np.int64],
    indices: NDArray[np.int64],
    data: NDArray[np.float64],
    n_cols: SupportsIndex,
    l2_reg: float,
    n_threads: SupportsIndex,
) -> NDArray[np.float64]:
    """The closed-form item-item weights W[i][j] = -P[i][j] / P[j][j] with a zero diagonal,
    where P = (R^T R + l2_reg I)^-1, for a users x items CSR matrix R.

    Raises ValueError when the matrix is not positive definite. The result is the same
    for every `n_threads`.
    `n_threads == 0` uses the default pool size: `RAYON_NUM_THREADS`, else
    `RAYON_RS_NUM_CPUS`, else the online processors."""

def ease_weights_from_inverse(
    p: NDArray[np.float64],
    n_threads: SupportsIndex,
) -> NDArray[np.float64]:
    """The item-item weights W[i][j] = -p[i][j] / p[j][j] with a zero diagonal, from an
    inverse Gram matrix `p` already in hand (square, float64).

    A zero diagonal element gives infinities or NaN in its column. The result is the same
    for every `n_threads`.
    `n_threads == 0` uses the default pool size: `RAYON_NUM_THREADS`, else
    `RAYON_RS_NUM_CPUS`, else the online processors."""

def factorize(
    values: NDArray[np.int64],
) -> tuple[NDArray[np.int64], NDArray[np.int64]]:
    """The sorted distinct values of `values`, and the position of each value among them.

    The result equals NumPy's unique values with their inverse indices, obtained without
    sorting the whole input: the distinct values are found in one pass and only they are
    sorted."""

def fm_als_fit(
    indptr: NDArray[np.int64],
    indices: NDArray[np.int64],
    data: NDArray[np.float64],
    y: NDArray[np.float64],
    group: NDArray[np.int64],
    w0: float,
    w: NDArray[np.float64],
    v: NDArray[np.float64],
    reg0: float,
    reg_w: NDArray[np.float64],
    reg_v: NDArray[np.float64],
    n_iter: SupportsIndex,
) -> tuple[float, list[float]]:
    """Fit a second-order factorization machine for regression by alternating least squares.

    The design matrix is given in CSR form (one row per sample of `y`). `w` (n_features,)
    and `v` (n_factors, n_features) are updated in place; `group` assigns each feature to
    a regularization group of `reg_w` and `reg_v`. Returns the fitted global bias and the
    training RMSE after each sweep."""

def hnsw_build_dense(
    vectors: NDArray[np.float64],
    m: SupportsIndex,
    ef_construction: SupportsIndex,
    seed: SupportsIndex,
    n_threads: SupportsIndex,
) -> tuple[NDArray[np.int32], NDArray[np.int64], NDArray[np.int32], int]:
    """Build a hierarchical navigable small-world graph over dense item vectors.

    `vectors` is `(n_items, dim)` row-major, and row `j` is the vector whose dot product
    with a query is item `j`'s score. `m` caps the neighbours a node keeps above level 0
    and `2 * m` caps them at level 0; `ef_construction` bounds the candidate list an
    insertion keeps. Levels are drawn from `seed` alone, so they do not depend on the
    order nodes are inserted in.

    Returns the layered adjacency as `(node_level, links_indptr, links_indices,
    entry_point)`: everything a search needs and nothing else, so a fitted index is
    numpy arrays all the way down. `n_threads == 0` uses all cores; a build on more than
    one thread is not reproducible, because concurrent insertions see different partial
    graphs."""

def hnsw_build_sparse(
    indptr: NDArray[np.int64],
    indices: NDArray[np.int64],
    data: NDArray[np.float64],
    dim: SupportsIndex,
    m: SupportsIndex,
    ef_construction: SupportsIndex,
    seed: SupportsIndex,
    n_threads: SupportsIndex,
) -> tuple[NDArray[np.int32], NDArray[np.int64], NDArray[np.int32], int]:
    """Build a hierarchical navigable small-world graph over sparse item vectors.

    Row `j` of the CSR matrix is item `j`'s vector, its columns ascending; `dim` is the
    number of columns, which for the item-item models is the size of the catalog. See
    [`hnsw_build_dense`] for the rest."""

def hnsw_search_dense(
    node_level: NDArray[np.int32],
    links_indptr: NDArray[np.int64],
    links_indices: NDArray[np.int32],
    entry_point: SupportsIndex,
    vectors: NDArray[np.float64],
    queries: NDArray[np.float64],
    candidates: NDArray[np.int64],
    excluded_indptr: NDArray[np.int64],
    excluded_indices: NDArray[np.int64],
    k: SupportsIndex,
    ef_search: SupportsIndex,
    n_threads: SupportsIndex,
) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
    """The `k` best candidates of each dense query under the graph, and their scores.

    `candidates` holds the item index of each candidate position, ascending, and the
    traversal passes *through* the items that are not candidates or are excluded rather
    than stopping at them, so a filter costs recall rather than connectivity. Excluded
    columns are candidate positions, as in `top_k_per_row`. A query the walk leaves short
    is completed by an exact scan of its eligible items, so the result is always `k`
    items the caller may show. `n_threads == 0` uses all cores."""

def hnsw_search_sparse(
    node_level: NDArray[np.int32],
    links_indptr: NDArray[np.int64],
    links_indices: NDArray[np.int32],
    entry_point: SupportsIndex,
    vectors_indptr: NDArray[np.int64],
    vectors_indices: NDArray[np.int64],
    vectors_data: NDArray[np.float64],
    dim: SupportsIndex,
    queries_indptr: NDArray[np.int64],
    queries_indices: NDArray[np.int64],
    queries_data: NDArray[np.float64],
    candidates: NDArray[np.int64],
    excluded_indptr: NDArray[np.int64],
    excluded_indices: NDArray[np.int64],
    k: SupportsIndex,
    ef_search: SupportsIndex,
    n_threads: SupportsIndex,
) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
    """The `k` best candidates of each sparse query under a graph over sparse item vectors.

    The item-item path. A query row is scattered once into a buffer of `dim` values, so
    each distance is a gather over an item vector's stored entries rather than a merge of
    two sorted runs. See [`hnsw_search_dense`] for the filtering rules."""

def hnsw_search_sparse_dense(
    node_level: NDArray[np.int32],
    links_indptr: NDArray[np.int64],
    links_indices: NDArray[np.int32],
    entry_point: SupportsIndex,
    vectors: NDArray[np.float64],
    queries_indptr: NDArray[np.int64],
    queries_indices: NDArray[np.int64],
    queries_data: NDArray[np.float64],
    candidates: NDArray[np.int64],
    excluded_indptr: NDArray[np.int64],
    excluded_indices: NDArray[np.int64],
    k: SupportsIndex,
    ef_search: SupportsIndex,
    n_threads: SupportsIndex,
) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
    """The `k` best candidates of each sparse query under a graph over dense item vectors.

    EASE's path: its weight matrix is dense but catalog-wide, so scattering the query
    would cost a full pass per distance. The query stays sparse and the gather runs over
    its handful of nonzeros instead. See [`hnsw_search_dense`] for the filtering rules."""

def item_cosine_top_k(
    indptr: NDArray[np.int64],
    indices: NDArray[np.int64],
    data: NDArray[np.float64],
    n_cols: SupportsIndex,
    norms: NDArray[np.float64],
    shrink: float,
    k: SupportsIndex,
    n_threads: SupportsIndex,
    rows: NDArray[np.int64] | None = None,
) -> tuple[NDArray[np.int64], NDArray[np.int64], NDArray[np.float64]]:
    """Top `k` cosine neighbours of every item for a users x items CSR matrix `W`.

    `norms` holds the Euclidean norm of each column of `W`; entry `(i, j)` of the result
    is `<W_i, W_j> / (norms[i] * norms[j] + shrink)`. Returns the item-item similarity as
    CSR `(indptr, indices, data)` with sorted column indices and a zero diagonal.
    `n_threads == 0` uses all cores."""

def quantized_search_dense(
    codes: NDArray[np.uint8],
    bits: SupportsIndex,
    scale: NDArray[np.float64],
    offset: NDArray[np.float64],
    vectors: NDArray[np.float64],
    queries: NDArray[np.float64],
    candidates: NDArray[np.int64],
    excluded_indptr: NDArray[np.int64],
    excluded_indices: NDArray[np.int64],
    k: SupportsIndex,
    oversample: SupportsIndex,
) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
    """The `k` best candidates of each dense query under a quantized flat scan.

    `codes` holds `dim` codes of `bits` each per item, packed `8 / bits` to a byte with
    the low-order code first and every item's run starting on a byte boundary. `scale`
    and `offset` are per dimension, and `vectors` is the exact matrix the shortlist is
    reranked against -- the same vectors the codes were made from, in the same order.

    `candidates` holds the item index of each candidate position, ascending; excluded
    columns are candidate positions, as in `top_k_per_row`. The scan sees every eligible
    candidate, so a query short of `k` is genuinely short and raises rather than falling
    back. `oversample * k` candidates are shortlisted by their codes and then rescored
    exactly, so the scores returned are always the exact ones."""

def quantized_search_sparse(
    codes: NDArray[np.uint8],
    bits: SupportsIndex,
    scale: float,
    offset: float,
    vectors_indptr: NDArray[np.int64],
    vectors_indices: NDArray[np.int64],
    vectors_data: NDArray[np.float64],
    dim: SupportsIndex,
    queries_indptr: NDArray[np.int64],
    queries_indices: NDArray[np.int64],
    queries_data: NDArray[np.float64],
    candidates: NDArray[np.int64],
    excluded_indptr: NDArray[np.int64],
    excluded_indices: NDArray[np.int64],
    k: SupportsIndex,
    oversample: SupportsIndex,
) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
    """The `k` best candidates of each sparse query over quantized sparse item vectors.

    The item-item path. One code per stored value, sharing the rows' own
    `indptr`/`indices`, with a single `scale` and `offset` over the whole matrix -- a
    catalog-sized column dimension has no per-column statistics worth keeping. The query
    is scattered once into a buffer of `dim` values and every candidate gathers its own
    stored columns out of it. See [`quantized_search_dense`] for the filtering rules."""

def quantized_search_sparse_dense(
    codes: NDArray[np.uint8],
    bits: SupportsIndex,
    scale: NDArray[np.float64],
    offset: NDArray[np.float64],
    vectors: NDArray[np.float64],
    queries_indptr: NDArray[np.int64],
    queries_indices: NDArray[np.int64],
    queries_data: NDArray[np.float64],
    candidates: NDArray[np.int64],
    excluded_indptr: NDArray[np.int64],
    excluded_indices: NDArray[np.int64],
    k: SupportsIndex,
    oversample: SupportsIndex,
) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
    """The `k` best candidates of each sparse query over quantized *dense* item vectors.

    EASE's shape: catalog-wide dense item rows and a query of a handful of nonzeros, so
    the coarse pass gathers over the query's own columns rather than the item's width.
    See [`quantized_search_dense`] for the packing and the filtering rules."""

def item_gram(
    indptr: NDArray[np.int64],
    indices: NDArray[np.int64],
    data: NDArray[np.float64],
    n_cols: SupportsIndex,
    n_threads: SupportsIndex,
) -> NDArray[np.float64]:
    """The dense item Gram matrix `R^T R` of a users x items CSR matrix `R`.

    Returns a C-ordered (n_cols, n_cols) float64 array. Every row is summed over the users
    in ascending order with fused multiply-adds, so the result is the same for every
    `n_threads`.
    `n_threads == 0` uses the default pool size: `RAYON_NUM_THREADS`, else
    `RAYON_RS_NUM_CPUS`, else the online processors."""

def item_knn_top_k(
    indptr: NDArray[np.int64],
    indices: NDArray[np.int64],
    data: NDArray[np.float64],
    n_cols: SupportsIndex,
    k: SupportsIndex,
    n_threads: SupportsIndex,
    rows: NDArray[np.int64] | None = None,
) -> tuple[NDArray[np.int64], NDArray[np.int64], NDArray[np.float64]]:
    """Top `k` entries of every row of `W^T W` for a users x items CSR matrix `W`.

    Returns the item-item similarity as CSR `(indptr, indices, data)` with sorted
    column indices. `n_threads == 0` uses all cores."""

def recommend_from_dense_rows(
    users_indptr: NDArray[np.int64],
    users_indices: NDArray[np.int64],
    users_data: NDArray[np.float64],
    rows: NDArray[np.int64],
    weights: NDArray[np.float64],
    candidates: NDArray[np.int64] | None,
    exclude_seen: bool | np.bool_,
    k: SupportsIndex,
    n_threads: SupportsIndex,
    first_query: SupportsIndex = 0,
    excluded_indptr: NDArray[np.int64] | None = None,
    excluded_indices: NDArray[np.int64] | None = None,
) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
    """The `k` best candidates of `users[rows] @ weights`, and their scores, for a dense
    (n_items, n_items) item-item matrix such as EASE's.

    Arguments and result as for `recommend_from_similarity`; `weights` must be
    C-contiguous.
    `n_threads == 0` uses the default pool size: `RAYON_NUM_THREADS`, else
    `RAYON_RS_NUM_CPUS`, else the online processors."""

def recommend_from_factors(
    user_factors: NDArray[np.float64],
    item_factors: NDArray[np.float64],
    item_bias: NDArray[np.float64] | None,
    user_offset: NDArray[np.float64] | None,
    rows: NDArray[np.int64],
    seen_indptr: NDArray[np.int64] | None,
    seen_indices: NDArray[np.int64] | None,
    candidates: NDArray[np.int64] | None,
    k: SupportsIndex,
    n_threads: SupportsIndex,
    first_query: SupportsIndex = 0,
    excluded_indptr: NDArray[np.int64] | None = None,
    excluded_indices: NDArray[np.int64] | None = None,
) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
    """The `k` best candidates of a latent-factor model for users `rows`, and their scores.

    `score(u, j) = item_bias[j] + <user_factors[u], item_factors[j]> + user_offset[u]`,
    either bias optional; a model with no factors passes zero-width factor matrices. The
    seen matrix, when given, is the fitted interaction matrix whose row `u` lists what
    user `u` must not be recommended. Result as for `recommend_from_similarity`."""

def recommend_from_similarity(
    users_indptr: NDArray[np.int64],
    users_indices: NDArray[np.int64],
    users_data: NDArray[np.float64],
    rows: NDArray[np.int64],
    similarity_indptr: NDArray[np.int64],
    similarity_indices: NDArray[np.int64],
    similarity_data: NDArray[np.float64],
    candidates: NDArray[np.int64] | None,
    exclude_seen: bool | np.bool_,
    k: SupportsIndex,
    n_threads: SupportsIndex,
    first_query: SupportsIndex = 0,
    excluded_indptr: NDArray[np.int64] | None = None,
    excluded_indices: NDArray[np.int64] | None = None,
    implicit_ties: bool | np.bool_ = False,
) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
    """The `k` best candidates of `users[rows] @ similarity`, and their scores.

    `users` is the whole fitted interaction matrix (CSR) and `rows` the users queried;
    `similarity` is a sparse item-item matrix (CSR). Each query is scored and cut to its
    `k` best before the next, so no dense score matrix is built. `candidates` holds
    ascending item indices, or is None for every item; candidates the product never
    reaches score 0. With `exclude_seen` the items stored in the query's own row of
    `users` are skipped; `excluded_indptr`/`excluded_indices` exclude further candidate
    positions per query. Returns (positions, scores), two (len(rows), k) arrays, best
    first; positions index `candidates` (item indices when it is None). Exact ties rank
    to the lower position, unless `implicit_ties` asks for the tie order of common
    implicit-feedback item-item recommenders. Raises ValueError when a query has fewer
    than `k` eligible candidates.
    `n_threads == 0` uses the default pool size: `RAYON_NUM_THREADS`, else
    `RAYON_RS_NUM_CPUS`, else the online processors."""

def rp3beta_similarity(
    indptr: NDArray[np.int64],
    indices: NDArray[np.int64],
    data: NDArray[np.float64],
    n_cols: SupportsIndex,
    row_scale: NDArray[np.float64],
    col_scale: NDArray[np.float64],
    k: SupportsIndex,
    n_threads: SupportsIndex,
    rows: NDArray[np.int64] | None = None,
) -> tuple[NDArray[np.int64], NDArray[np.int64], NDArray[np.float64]]:
    """Top `k` entries of every row of the `RP3beta` walk matrix for a users x items CSR `Pui`.

    `Pui` must already carry the row normalization and the `alpha` power; `row_scale` and
    `col_scale` hold the walk and popularity damping per item. Returns the item-item
    similarity as CSR `(indptr, indices, data)` with sorted column indices and a zero
    diagonal. `n_threads == 0` uses all cores."""

def slim_elasticnet_weights(
    indptr: NDArray[np.int64],
    indices: NDArray[np.int64],
    data: NDArray[np.float64],
    n_cols: SupportsIndex,
    alpha: float,
    l1_ratio: float,
    positive: bool | np.bool_,
    max_iter: SupportsIndex,
    tol: float,
    k: SupportsIndex,
    n_threads: SupportsIndex,
) -> tuple[tuple[NDArray[np.int64], NDArray[np.int64], NDArray[np.float64]], int]:
    """Sparse item-item weights: for every item j, the elastic-net regression of column j of
    the users x items CSR matrix R on the other columns, by coordinate descent.

    Returns ((indptr, indices, data), n_unconverged): row j holds the k largest nonzero
    coefficients of item j's regression, sorted by column. Items are solved independently,
    so the weights are the same for every `n_threads`.
    `n_threads == 0` uses the default pool size: `RAYON_NUM_THREADS`, else
    `RAYON_RS_NUM_CPUS`, else the online processors."""

def slim_elasticnet_weights_from_gram(
    gram: NDArray[np.float64],
    n_rows: float,
    alpha: float,
    l1_ratio: float,
    positive: bool | np.bool_,
    max_iter: SupportsIndex,
    tol: float,
    k: SupportsIndex,
    n_threads: SupportsIndex,
    columns: NDArray[np.int64] | None = None,
    warm_indptr: NDArray[np.int64] | None = None,
    warm_indices: NDArray[np.int64] | None = None,
    warm_data: NDArray[np.float64] | None = None,
) -> tuple[tuple[NDArray[np.int64], NDArray[np.int64], NDArray[np.float64]], int]:
    """The sparse item-item weights of slim_elasticnet_weights from an item Gram matrix in
    hand, for all items or the sorted subset `columns`, optionally warm-started from a CSR
    with one row per solved item.

    Returns ((indptr, indices, data), n_unconverged), one row per solved item, the same for
    every `n_threads`.
    `n_threads == 0` uses the default pool size: `RAYON_NUM_THREADS`, else
    `RAYON_RS_NUM_CPUS`, else the online processors."""

def tune_suggest(
    kind: str,
    low: float,
    high: float,
    log: bool | np.bool_,
    n_choices: SupportsIndex,
    observed: NDArray[np.float64],
    scores: NDArray[np.float64],
    n_startup_trials: SupportsIndex,
    n_ei_candidates: SupportsIndex,
    seed: SupportsIndex,
) -> float:
    """Propose a value of one hyperparameter by TPE, from the history of that parameter.

    `kind` is `"float"`, `"int"` or `"categorical"`; a categorical is proposed as the
    index of its choice among `n_choices`, and `low`, `high` and `log` are ignored for
    it. `observed[t]` is the value trial `t` used and `scores[t]` what it scored, higher
    being better. Below `n_startup_trials` observations the value is drawn at random."""

def top_k_per_row(
    scores: NDArray[np.float64],
    excluded_indptr: NDArray[np.int64],
    excluded_indices: NDArray[np.int64],
    k: SupportsIndex,
) -> NDArray[np.int64]:
    """The column indices of the k best entries of each row of `scores`, minus the excluded.

    The exclusions are the CSR index pointer and column indices of an (n_rows, n_cols)
    sparse pattern whose indices must ascend within a row, which spares the caller an
    n_rows x n_cols mask. Rows rank by descending score, ties broken by ascending column
    index. Raises ValueError when any row has fewer than k entries left."""
