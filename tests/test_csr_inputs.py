"""Every CSR matrix a function takes is refused when its index pointer runs backwards.

The pointers below start at 0, end at the entry count and stay in range, so only the
monotonicity test can catch them; a check that skipped it would hand the kernels rows that
end before they begin."""
import numpy as np
import pytest

from quorvane import _core

INVALID = "indptr is not a valid CSR index pointer."
MALFORMED = "The fitted matrices are malformed: an index is out of range or an index pointer is not monotone."

BACKWARDS = np.array([0, 2, 1, 3], dtype=np.int64)  # three rows over three entries; row 1 ends before it starts
MONOTONE = np.array([0, 1, 2, 3], dtype=np.int64)


def i64(*v):
    return np.array(v, dtype=np.int64)


def f64(*v):
    return np.array(v, dtype=np.float64)


def fitting(ptr, **extra):
    """A 3 x 3 CSR matrix, for the fitting and pruning functions."""
    return dict(indptr=ptr, indices=i64(0, 1, 2), data=f64(1, 2, 3), n_cols=3, **extra)


def users(ptr=None):
    """Three users over three items; without a pointer each user's row reaches every item."""
    if ptr is None:
        return dict(users_indptr=i64(0, 3, 6, 9), users_indices=np.tile(i64(0, 1, 2), 3),
                    users_data=np.ones(9), rows=i64(0, 1, 2))
    return dict(users_indptr=ptr, users_indices=i64(0, 1, 2), users_data=f64(1, 1, 1), rows=i64(0, 1, 2))


def excluded(ptr=None):
    """An exclusion pattern for three queries; without a pointer nothing is excluded."""
    if ptr is None:
        return dict(excluded_indptr=i64(0, 0, 0, 0), excluded_indices=i64())
    return dict(excluded_indptr=ptr, excluded_indices=i64(0, 1, 2))


def similarity(ptr=MONOTONE):
    return dict(similarity_indptr=ptr, similarity_indices=i64(0, 1, 2), similarity_data=f64(1, 1, 1))


FACTORS = dict(user_factors=np.ones((3, 2)), item_factors=np.ones((3, 2)), item_bias=None, user_offset=None,
               rows=i64(0, 1, 2), candidates=None, k=1, n_threads=1)
SERVE = dict(candidates=None, exclude_seen=False, k=1, n_threads=1)
SLIM = dict(alpha=0.1, l1_ratio=0.5, positive=False, max_iter=10, tol=1e-6, k=2, n_threads=1)

# (function, its arguments around a given index pointer, the refusal of a backwards one)
CASES = [
    ("csr_top_k_per_row", lambda p: fitting(p, k=1, n_threads=1), INVALID),
    ("item_gram", lambda p: fitting(p, n_threads=1), INVALID),
    ("item_knn_top_k", lambda p: fitting(p, k=1, n_threads=1), INVALID),
    ("item_cosine_top_k", lambda p: fitting(p, norms=np.ones(3), shrink=0.0, k=1, n_threads=1), INVALID),
    ("rp3beta_similarity",
     lambda p: fitting(p, row_scale=np.ones(3), col_scale=np.ones(3), k=1, n_threads=1), INVALID),
    ("ease_weights", lambda p: fitting(p, l2_reg=1.0, n_threads=1), INVALID),
    ("ease_inverse_gram", lambda p: fitting(p, l2_reg=1.0, n_threads=1), INVALID),
    ("slim_elasticnet_weights", lambda p: fitting(p, **SLIM), INVALID),
    ("bpr_fit", lambda p: dict(indptr=p, indices=i64(0, 1, 2), n_cols=3, user_factors=np.zeros((3, 2)),
                               item_factors=np.zeros((3, 2)), item_bias=np.zeros(3), learning_rate=0.1,
                               regularization=0.0, use_bias=True, n_iter=1, seed=0, n_threads=1), INVALID),
    ("fm_als_fit", lambda p: dict(indptr=p, indices=i64(0, 1, 2), data=f64(1, 1, 1), y=f64(1, 2, 3),
                                  group=i64(0, 0, 0), w0=0.0, w=np.zeros(3), v=np.zeros((2, 3)), reg0=0.0,
                                  reg_w=f64(0), reg_v=f64(0), n_iter=1), INVALID),
    ("slim_elasticnet_weights_from_gram",
     lambda p: dict(gram=np.eye(3), n_rows=3.0, **SLIM, columns=None, warm_indptr=p, warm_indices=i64(0, 1, 2),
                    warm_data=f64(1, 1, 1)), INVALID),
    ("top_k_per_row", lambda p: dict(scores=np.ones((3, 3)), **excluded(p), k=1), INVALID),
    ("recommend_from_factors", lambda p: dict(**FACTORS, seen_indptr=None, seen_indices=None, **excluded(p)),
     INVALID),
    ("recommend_from_factors", lambda p: dict(**FACTORS, seen_indptr=p, seen_indices=i64(0, 1, 2)), MALFORMED),
    ("recommend_from_dense_rows", lambda p: dict(**users(), weights=np.ones((3, 3)), **SERVE, **excluded(p)),
     INVALID),
    ("recommend_from_dense_rows", lambda p: dict(**users(p), weights=np.ones((3, 3)), **SERVE), MALFORMED),
    ("recommend_from_similarity", lambda p: dict(**users(), **similarity(), **SERVE, **excluded(p)), INVALID),
    ("recommend_from_similarity", lambda p: dict(**users(p), **similarity(), **SERVE), MALFORMED),
    ("recommend_from_similarity", lambda p: dict(**users(), **similarity(p), **SERVE), MALFORMED),
]

QUANTIZED = dict(codes=np.zeros(9, np.uint8), bits=8, scale=np.ones(3), offset=np.zeros(3), vectors=np.ones((3, 3)),
                 candidates=i64(0, 1, 2), k=1, oversample=1)


def quantized_sparse(items=MONOTONE, queries=MONOTONE, pattern=None):
    return dict(codes=np.zeros(3, np.uint8), bits=8, scale=1.0, offset=0.0, vectors_indptr=items,
                vectors_indices=i64(0, 1, 2), vectors_data=f64(1, 1, 1), dim=3, queries_indptr=queries,
                queries_indices=i64(0, 1, 2), queries_data=f64(1, 1, 1), candidates=i64(0, 1, 2),
                **excluded(pattern), k=1, oversample=1)


CASES += [
    ("quantized_search_dense", lambda p: dict(**QUANTIZED, queries=np.ones((3, 3)), **excluded(p)), INVALID),
    ("quantized_search_sparse_dense",
     lambda p: dict(**QUANTIZED, queries_indptr=p, queries_indices=i64(0, 1, 2), queries_data=f64(1, 1, 1),
                    **excluded()), INVALID),
    ("quantized_search_sparse", lambda p: quantized_sparse(items=p), INVALID),
    ("quantized_search_sparse", lambda p: quantized_sparse(queries=p), INVALID),
    ("quantized_search_sparse", lambda p: quantized_sparse(pattern=p), INVALID),
]
IDS = [f"{name}-{i}" for i, (name, _, _) in enumerate(CASES)]


@pytest.mark.parametrize("name, arguments, message", CASES, ids=IDS)
def test_backwards_index_pointer_is_refused(name, arguments, message):
    with pytest.raises(ValueError) as e:
        getattr(_core, name)(**arguments(BACKWARDS))
    assert str(e.value) == message


@pytest.mark.parametrize("name, arguments, message", CASES, ids=IDS)
def test_the_same_call_with_a_monotone_pointer_passes(name, arguments, message):
    # The refusals above are owed to the pointer alone.
    getattr(_core, name)(**arguments(MONOTONE))
