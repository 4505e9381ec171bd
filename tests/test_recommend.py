"""Serving top-k recommendations from factors, dense item weights and sparse similarity."""
import numpy as np
import pytest
import scipy.sparse as sp

from conftest import THREADS, random_csr
from quorvane import _core

MALFORMED = "The fitted matrices are malformed: an index is out of range or an index pointer is not monotone."


def i64(*v):
    return np.array(v, dtype=np.int64)


def csr_args(m):
    m = sp.csr_matrix(m)
    return m.indptr.astype(np.int64), m.indices.astype(np.int64), m.data.astype(np.float64)


def reference(scores, excluded, k):
    """Stable best-first positions of each row, minus the excluded ones, and their scores."""
    pos = np.empty((scores.shape[0], k), dtype=np.int64)
    for q, row in enumerate(scores):
        order = [p for p in np.argsort(-row, kind="stable") if p not in excluded[q]]
        pos[q] = order[:k]
    return pos, np.take_along_axis(scores, pos, 1)


def exclusion_pattern(rng, n_queries, n_candidates, density=0.2):
    m = sp.random(n_queries, n_candidates, density=density, format="csr", random_state=rng)
    m.sort_indices()
    return m.indptr.astype(np.int64), m.indices.astype(np.int64)


def excluded_sets(n_queries, rows, seen, extra, ids):
    """Per query, the excluded candidate positions from a seen matrix and an extra pattern."""
    pos_of = {int(item): p for p, item in enumerate(ids)}
    out = []
    for q in range(n_queries):
        s = set()
        if seen is not None:
            s |= {pos_of[i] for i in seen[rows[q]].indices if i in pos_of}
        if extra is not None:
            s |= set(extra[1][extra[0][q]:extra[0][q + 1]].tolist())
        out.append(s)
    return out


def sim_call(users, rows, sim, k, *, candidates=None, exclude_seen=False, n_threads=1, implicit_ties=False,
             first_query=0, excluded=(None, None)):
    return _core.recommend_from_similarity(*csr_args(users), rows, *csr_args(sim), candidates, exclude_seen, k,
                                           n_threads, first_query, excluded[0], excluded[1], implicit_ties)


# ---- cross-checks against numpy on integer data (every sum is exact) ----

@pytest.mark.parametrize("n_queries", [1, 3, 4, 8, 9, 21])
@pytest.mark.parametrize("options", ["plain", "bias+offset", "candidates+seen+extra"])
def test_factors_match_numpy(rng, n_queries, options):
    n_users, n_items, dim = 30, 203, 13
    U = rng.integers(-3, 4, (n_users, dim)).astype(float)
    V = rng.integers(-3, 4, (n_items, dim)).astype(float)
    bias = rng.integers(-5, 6, n_items).astype(float) if options == "bias+offset" else None
    offset = rng.integers(-5, 6, n_users).astype(float) if options == "bias+offset" else None
    rows = rng.integers(0, n_users, n_queries).astype(np.int64)
    ids = np.arange(n_items)
    cand, seen, extra = None, None, None
    if options == "candidates+seen+extra":
        ids = np.sort(rng.choice(n_items, 150, replace=False)).astype(np.int64)
        cand = ids
        seen = random_csr(rng, n_users, n_items, density=0.1)[3]
        extra = exclusion_pattern(rng, n_queries, len(ids))
    ref_scores = U[rows] @ V[ids].T + (0 if bias is None else bias[ids]) + (0 if offset is None else offset[rows, None])
    want = reference(ref_scores, excluded_sets(n_queries, rows, seen, extra, ids), 10)
    for n_threads in THREADS:
        seen_args = csr_args(seen)[:2] if seen is not None else (None, None)
        got = _core.recommend_from_factors(U, V, bias, offset, rows, *seen_args, cand, 10, n_threads, 0,
                                           *(extra or (None, None)))
        np.testing.assert_array_equal(got[0], want[0])
        np.testing.assert_array_equal(got[1], want[1])


@pytest.mark.parametrize("n_items, n_queries", [(16384 * 2 + 3, 3), (40000, 8), (40000, 9)])
def test_factors_large_catalogue_matches_numpy(rng, n_items, n_queries):
    # n_items * 64 reaches the large-catalogue size: a few queries take the split path.
    dim = 64
    U = rng.integers(-2, 3, (12, dim)).astype(float)
    V = rng.integers(-2, 3, (n_items, dim)).astype(float)
    rows = rng.integers(0, 12, n_queries).astype(np.int64)
    extra = exclusion_pattern(rng, n_queries, n_items, density=0.001)
    want = reference(U[rows] @ V.T, excluded_sets(n_queries, rows, None, extra, np.arange(n_items)), 7)
    for n_threads in (1, 2):
        got = _core.recommend_from_factors(U, V, None, None, rows, None, None, None, 7, n_threads, 0, *extra)
        np.testing.assert_array_equal(got[0], want[0])
        np.testing.assert_array_equal(got[1], want[1])


@pytest.mark.parametrize("n_queries", [1, 8, 9, 30])
@pytest.mark.parametrize("with_candidates", [False, True])
def test_dense_rows_match_numpy_for_every_thread_count(rng, n_queries, with_candidates):
    n_users, n_items = 25, 120
    uptr, uidx, udata, X = random_csr(rng, n_users, n_items, density=0.08, low=1, high=4)
    W = rng.integers(-4, 5, (n_items, n_items)).astype(float)
    rows = rng.integers(0, n_users, n_queries).astype(np.int64)
    ids = np.sort(rng.choice(n_items, 90, replace=False)).astype(np.int64) if with_candidates else np.arange(n_items)
    extra = exclusion_pattern(rng, n_queries, len(ids))
    want = reference((X[rows] @ W)[:, ids], excluded_sets(n_queries, rows, X, extra, ids), 8)
    for n_threads in THREADS:
        got = _core.recommend_from_dense_rows(uptr, uidx, udata, rows, W, ids if with_candidates else None, True, 8,
                                              n_threads, 0, *extra)
        np.testing.assert_array_equal(got[0], want[0])
        np.testing.assert_array_equal(got[1], want[1])


# Densities on both sides of the sparse/dense reach boundary.
@pytest.mark.parametrize("sim_density", [0.005, 0.03, 0.3])
@pytest.mark.parametrize("n_queries", [8, 9, 25])
def test_similarity_matches_numpy_on_both_paths(rng, sim_density, n_queries):
    n_users, n_items = 30, 150
    X = random_csr(rng, n_users, n_items, density=0.04, low=1, high=3)[3]
    S = random_csr(rng, n_items, n_items, density=sim_density)[3]
    rows = rng.integers(0, n_users, n_queries).astype(np.int64)
    ids = np.sort(rng.choice(n_items, 110, replace=False)).astype(np.int64)
    extra = exclusion_pattern(rng, n_queries, len(ids))
    want = reference((X[rows] @ S).toarray()[:, ids], excluded_sets(n_queries, rows, X, extra, ids), 12)
    for n_threads in THREADS:
        got = sim_call(X, rows, S, 12, candidates=ids, exclude_seen=True, n_threads=n_threads, excluded=extra)
        np.testing.assert_array_equal(got[0], want[0])
        np.testing.assert_array_equal(got[1], want[1])


@pytest.mark.parametrize("fn", ["factors", "dense", "similarity"])
@pytest.mark.parametrize("n_candidates", [12, 24, 25, 60])  # below and from 400 / 16 on
def test_few_candidates_find_seen_items_without_an_item_map(rng, fn, n_candidates):
    n_users, n_items, n_queries = 20, 400, 12
    X = random_csr(rng, n_users, n_items, density=0.3, low=1, high=3)[3]
    ids = np.sort(rng.choice(n_items, n_candidates, replace=False)).astype(np.int64)
    rows = rng.integers(0, n_users, n_queries).astype(np.int64)
    k = 4
    if fn == "factors":
        U = rng.integers(-3, 4, (n_users, 5)).astype(float)
        V = rng.integers(-3, 4, (n_items, 5)).astype(float)
        scores = U[rows] @ V.T
        call = lambda t: _core.recommend_from_factors(U, V, None, None, rows, *csr_args(X)[:2], ids, k, t)
    elif fn == "dense":
        W = rng.integers(-4, 5, (n_items, n_items)).astype(float)
        scores = X[rows] @ W
        call = lambda t: _core.recommend_from_dense_rows(*csr_args(X), rows, W, ids, True, k, t)
    else:
        S = random_csr(rng, n_items, n_items, density=0.2)[3]
        scores = (X[rows] @ S).toarray()
        call = lambda t: sim_call(X, rows, S, k, candidates=ids, exclude_seen=True, n_threads=t)
    want = reference(scores[:, ids], excluded_sets(n_queries, rows, X, None, ids), k)
    for n_threads in (1, 8):
        got = call(n_threads)
        np.testing.assert_array_equal(got[0], want[0])
        np.testing.assert_array_equal(got[1], want[1])


@pytest.mark.parametrize("n_queries, n_threads", [(1, 8), (3, 2), (12, 8)])
@pytest.mark.parametrize("nan", [False, True])
def test_repeated_requests_keep_their_bits(rng, n_queries, n_threads, nan):
    # A large catalogue (split path up to 8 queries, segmented tiles beyond) with many tied
    # scores, seen items and extra exclusions: consecutive requests may walk the catalogue
    # in different orders, never to other bits. Without NaN that is also the one-thread
    # answer (with NaN the split path keeps its own, tested above across thread counts).
    n_items, dim = 60_000, 40
    V = rng.integers(-2, 3, (n_items, dim)).astype(float)
    if nan:
        V[rng.random(n_items) < 0.3, 3] = np.nan
    U = rng.integers(-2, 3, (20, dim)).astype(float)
    seen = random_csr(rng, 20, n_items, density=0.002)[3]
    rows = rng.integers(0, 20, n_queries).astype(np.int64)
    extra = exclusion_pattern(rng, n_queries, n_items, density=0.001)
    call = lambda t: _core.recommend_from_factors(U, V, None, None, rows, *csr_args(seen)[:2], None, 10, t, 0, *extra)
    want = call(n_threads if nan else 1)
    for _ in range(4):
        got = call(n_threads)
        np.testing.assert_array_equal(got[0], want[0])
        np.testing.assert_array_equal(got[1].view(np.uint64), want[1].view(np.uint64))


@pytest.mark.parametrize("fn", ["factors", "similarity"])
def test_heavy_users_repeated_over_many_queries(rng, fn):
    # 45 queries of users with up to 100,000 seen items each: more excluded positions than a
    # request keeps, so each query's are collected again where it is scored; the answers
    # must be those of the same users asked one at a time.
    n_items = 100_100
    seen = sp.lil_matrix((3, n_items))
    seen[0, :100_000] = 1.0
    seen[1, 100:] = 1.0
    seen[2, rng.choice(n_items, 50, replace=False)] = 1.0
    seen = sp.csr_matrix(seen)
    rows = np.tile(i64(0, 1, 2), 15)
    if fn == "factors":
        U = rng.integers(-3, 4, (3, 4)).astype(float)
        V = rng.integers(-3, 4, (n_items, 4)).astype(float)
        call = lambda r, t: _core.recommend_from_factors(U, V, None, None, r, *csr_args(seen)[:2], None, 7, t)
    else:
        S = random_csr(rng, n_items, n_items, density=0.00005)[3]
        call = lambda r, t: sim_call(seen, r, S, 7, exclude_seen=True, n_threads=t)
    single = [call(i64(u), 1) for u in range(3)]
    for n_threads in (1, 8):
        pos, scores = call(rows, n_threads)
        for q, u in enumerate(rows):
            np.testing.assert_array_equal(pos[q], single[u][0][0])
            np.testing.assert_array_equal(scores[q], single[u][1][0])


@pytest.mark.parametrize("implicit", [False, True])
def test_similarity_sums_agree_whatever_their_storage(rng, implicit):
    # 640 items: queries reaching under 10 of them sum in a table of their own, the others
    # in the thread's catalogue-sized accumulator; asked alone, under 40.
    n_users, n_items, n_queries = 40, 640, 30
    X = random_csr(rng, n_users, n_items, density=0.004, low=1, high=3)[3]
    S = random_csr(rng, n_items, n_items, density=0.006)[3]
    rows = rng.integers(0, n_users, n_queries).astype(np.int64)
    ids = np.sort(rng.choice(n_items, 500, replace=False)).astype(np.int64)
    extra = exclusion_pattern(rng, n_queries, len(ids), density=0.01)
    got = sim_call(X, rows, S, 12, candidates=ids, exclude_seen=True, n_threads=8, excluded=extra,
                   implicit_ties=implicit)
    for q in range(n_queries):
        one = (extra[0][q:q + 2] - extra[0][q], extra[1][extra[0][q]:extra[0][q + 1]])
        alone = sim_call(X, rows[q:q + 1], S, 12, candidates=ids, exclude_seen=True, excluded=one,
                         implicit_ties=implicit)
        np.testing.assert_array_equal(got[0][q], alone[0][0])
        np.testing.assert_array_equal(got[1][q], alone[1][0])
    if not implicit:
        want = reference((X[rows] @ S).toarray()[:, ids], excluded_sets(n_queries, rows, X, extra, ids), 12)
        np.testing.assert_array_equal(got[0], want[0])
        np.testing.assert_array_equal(got[1], want[1])


def test_similarity_paths_agree_across_the_reach_boundary():
    # One user item whose similarity row has 0..n stored entries: reach below and at n/4.
    n = 40
    for stored in range(0, 16):
        S = sp.lil_matrix((n, n))
        for t in range(stored):
            S[0, (7 * t + 3) % n] = float((t % 5) - 2)
        X = sp.csr_matrix(([1.0], ([0], [0])), shape=(1, n))
        got = sim_call(X, i64(0), S, n)
        want = reference((X @ S).toarray(), [set()], n)
        np.testing.assert_array_equal(got[0], want[0])
        np.testing.assert_array_equal(got[1], want[1])


# ---- ranking rules ----

@pytest.mark.parametrize("n_items", [6, 20])  # 6 items: dense path, 20: sparse path
def test_implicit_ties_worked_example(n_items):
    S = sp.lil_matrix((n_items, n_items))
    S[0, 4], S[0, 1], S[0, 2] = 1.0, 1.0, -1.0
    S = sp.csr_matrix(S)
    S.indices[:] = [4, 1, 2]  # keep the touch order 4, 1, 2
    S.data[:] = [1.0, 1.0, -1.0]
    X = sp.csr_matrix(([1.0], ([0], [0])), shape=(1, n_items))
    args = (*csr_args(X), i64(0), S.indptr.astype(np.int64), S.indices.astype(np.int64), S.data, None, False, 3, 1)
    pos, scores = _core.recommend_from_similarity(*args, implicit_ties=True)
    assert pos.tolist() == [[4, 1, 0]] and scores.tolist() == [[1.0, 1.0, 0.0]]
    pos, scores = _core.recommend_from_similarity(*args)
    assert pos.tolist() == [[1, 4, 0]] and scores.tolist() == [[1.0, 1.0, 0.0]]


def one_user_touching(n, order, values, k, implicit, n_queries=1):
    """A single user row (item 0) whose similarity row touches `order` with `values`."""
    X = sp.csr_matrix(([1.0], ([0], [0])), shape=(1, n))
    indptr = np.full(n + 1, len(order), dtype=np.int64)
    indptr[0] = 0
    return _core.recommend_from_similarity(*csr_args(X), np.zeros(n_queries, np.int64), indptr,
                                           np.array(order, dtype=np.int64), np.array(values, dtype=float), None,
                                           False, k, 2, implicit_ties=implicit)


@pytest.mark.parametrize("order, values, k, implicit, want", [
    ([3, 5], [2.0, 2.0], 1, True, [5]),
    ([3, 5], [2.0, 2.0], 1, False, [3]),
    # Pushed in reverse touch order: 5 and 3 held, 9 only ties, 7 evicts 3.
    ([7, 9, 3, 5], [2.0, 1.0, 1.0, 1.0], 2, True, [7, 5]),
    ([7, 9, 3, 5], [2.0, 1.0, 1.0, 1.0], 2, False, [7, 3]),
    ([3, 5, 9, 7], [2.0, 2.0, 2.0, 3.0], 3, True, [7, 9, 5]),
    ([3, 5, 9, 7], [2.0, 2.0, 2.0, 3.0], 3, False, [7, 3, 5]),
])
# Over 100 items one query sums in a table sized by its reach, nine in a catalogue-sized
# accumulator per thread: the rules hold on both.
@pytest.mark.parametrize("n_queries", [1, 9])
def test_tie_orders(order, values, k, implicit, want, n_queries):
    pos, _ = one_user_touching(100, order, values, k, implicit, n_queries)
    assert pos.tolist() == [want] * n_queries


@pytest.mark.parametrize("n_queries", [1, 9])
@pytest.mark.parametrize("implicit", [False, True])
def test_zero_fill_outranks_negative_scores(implicit, n_queries):
    n = 100
    S = sp.csr_matrix(([-1.0, -2.0, 0.0], ([0, 0, 0], [0, 1, 2])), shape=(n, n))
    X = sp.csr_matrix(([1.0], ([0], [0])), shape=(1, n))
    rows = np.zeros(n_queries, np.int64)
    pos, scores = sim_call(X, rows, S, 5, exclude_seen=True, implicit_ties=implicit, n_threads=2)
    # Item 0 is seen; 2 is touched with exactly 0.0 and ranks among the unreached by position.
    assert pos.tolist() == [[2, 3, 4, 5, 6]] * n_queries
    assert scores.tolist() == [[0.0] * 5] * n_queries
    pos, scores = sim_call(X, rows, S, n - 1, exclude_seen=True, implicit_ties=implicit, n_threads=2)
    assert (pos[:, -1] == 1).all() and (scores[:, -1] == -2.0).all()


def test_equal_scores_go_to_the_lower_position_in_every_factor_path():
    for n_queries, n_items, n_threads in [(1, 50, 1), (5, 50, 1), (2, 40000, 2)]:
        V = np.ones((n_items, 64)) if n_items > 50 else np.ones((n_items, 3))
        V[n_items - 1] = 2.0
        U = np.ones((1, V.shape[1]))
        pos, _ = _core.recommend_from_factors(U, V, None, None, np.zeros(n_queries, np.int64), None, None, None, 4,
                                              n_threads)
        assert pos.tolist() == [[n_items - 1, 0, 1, 2]] * n_queries


def test_bias_only_model_and_negative_zero():
    U, V = np.empty((3, 0)), np.empty((4, 0))
    bias = np.array([1.0, -0.0, 3.0, -0.0])
    pos, scores = _core.recommend_from_factors(U, V, bias, None, i64(2, 0, 1, 2), None, None, None, 4, 1)
    assert pos.tolist() == [[2, 0, 1, 3]] * 4
    assert np.signbit(scores).sum() == 0  # -0.0 + nothing is written +0.0


# ---- shortfalls, empty requests, sizes ----

def test_shortfall_counts_overlapping_exclusions_once_and_reports_lowest_query():
    U, V = np.ones((3, 2)), np.ones((5, 2))
    seen = csr_args(sp.csr_matrix(([1.0, 1.0, 1.0], ([1, 1, 2], [0, 3, 4])), shape=(3, 5)))
    rows = i64(0, 1, 1, 2)
    extra = (i64(0, 0, 1, 1, 1), i64(3))  # query 1 excludes position 3 again
    args = (U, V, None, None, rows, seen[0], seen[1], None)
    pos, _ = _core.recommend_from_factors(*args, 3, 8, 0, *extra)
    assert set(pos[1].tolist()) == {1, 2, 4}
    with pytest.raises(ValueError, match=r"^Cannot recommend 4 items: query 101 has only 3 eligible items\.$"):
        _core.recommend_from_factors(*args, 4, 8, 100, *extra)
    with pytest.raises(ValueError, match="query 0 has only 5 eligible"):
        _core.recommend_from_factors(*args, 6, 8)


def test_shortfall_wins_over_a_malformed_users_row():
    X = csr_args(sp.csr_matrix(np.eye(4)))
    bad_idx = X[1].copy()
    bad_idx[2] = 99  # read only when query 1 is scored
    S = csr_args(sp.csr_matrix(np.eye(4)))
    extra = (i64(0, 2, 2), i64(0, 1))
    with pytest.raises(ValueError, match="query 7 has only 2 eligible"):
        _core.recommend_from_similarity(X[0], bad_idx, X[2], i64(0, 2), *S, None, False, 3, 1, 7, *extra)
    with pytest.raises(ValueError, match="query 0 has only 2 eligible"):
        _core.recommend_from_dense_rows(X[0], bad_idx, X[2], i64(0, 2), np.eye(4), None, False, 3, 1, 0, *extra)
    with pytest.raises(ValueError, match=MALFORMED):
        _core.recommend_from_dense_rows(X[0], bad_idx, X[2], i64(0, 2), np.eye(4), None, False, 2, 1, 0, *extra)


@pytest.mark.parametrize("fn", ["factors", "dense", "similarity"])
@pytest.mark.parametrize("n_rows, k", [(0, 5), (3, 0), (0, 2**59)])
def test_empty_requests(fn, n_rows, k):
    rows = np.zeros(n_rows, dtype=np.int64)
    X = csr_args(sp.csr_matrix(np.eye(3)))
    if fn == "factors":
        out = _core.recommend_from_factors(np.ones((3, 2)), np.ones((3, 2)), None, None, rows, None, None, None, k, 0)
    elif fn == "dense":
        out = _core.recommend_from_dense_rows(*X, rows, np.eye(3), None, True, k, 0)
    else:
        out = _core.recommend_from_similarity(*X, rows, *X, None, True, k, 0)
    assert out[0].shape == (n_rows, k) and out[1].shape == (n_rows, k)
    assert out[0].dtype == np.int64 and out[1].dtype == np.float64


def test_impossible_sizes_raise_instead_of_aborting():
    with pytest.raises(ValueError, match="ShapeError"):
        _core.recommend_from_factors(np.ones((1, 1)), np.ones((2, 1)), None, None, i64(), None, None, None,
                                     2**64 - 1, 0)
    # 2**20 queries x 2**40 slots each: never allocated.
    with pytest.raises(MemoryError):
        _core.recommend_from_factors(np.empty((1, 0)), np.empty((2**40, 0)), None, None,
                                     np.zeros(2**20, np.int64), None, None, None, 2**40, 1)


# ---- malformed fitted data ----

def test_malformed_fitted_data():
    X = csr_args(sp.csr_matrix(np.eye(4)))
    S = csr_args(sp.csr_matrix(np.eye(4)))
    bad_sim_cols = S[1].copy()
    bad_sim_cols[1] = -1
    with pytest.raises(ValueError, match=MALFORMED):
        _core.recommend_from_similarity(*X, i64(1), S[0], bad_sim_cols, S[2], None, False, 1, 1)
    # The same defect in a row no query reads goes unnoticed.
    _core.recommend_from_similarity(*X, i64(0, 2, 3), S[0], bad_sim_cols, S[2], None, False, 1, 1)
    bad_ptr = X[0].copy()
    bad_ptr[2] = 9  # points past the arrays
    for k in (0, 1):  # the seen rows are read by the pre-check even for k = 0
        with pytest.raises(ValueError, match=MALFORMED):
            _core.recommend_from_dense_rows(bad_ptr, X[1], X[2], i64(1), np.eye(4), None, True, k, 1)
        with pytest.raises(ValueError, match=MALFORMED):
            _core.recommend_from_factors(np.ones((4, 2)), np.ones((4, 2)), None, None, i64(1), bad_ptr, X[1], None,
                                         k, 1)
    bad_items = X[1].copy()
    bad_items[3] = 4
    for n_q in (1, 12):  # on the calling thread and on the pool
        with pytest.raises(ValueError, match=MALFORMED):
            _core.recommend_from_dense_rows(X[0], bad_items, X[2], np.full(n_q, 3, np.int64), np.eye(4), None, False,
                                            1, 4)


# ---- argument checks and their order ----

def test_factor_argument_errors():
    U, V = np.ones((3, 2)), np.ones((4, 2))
    base = dict(user_factors=U, item_factors=V, item_bias=None, user_offset=None, rows=i64(0), seen_indptr=None,
                seen_indices=None, candidates=None, k=1, n_threads=1)
    cases = [
        (dict(item_factors=np.ones((4, 3)), item_bias=np.ones(9)), "user and item factors must have the same width."),
        (dict(item_bias=np.ones(3), user_offset=np.ones(9)), "item_bias must have one value per item."),
        (dict(user_offset=np.ones(4), rows=i64(7)), "user_offset must have one value per user."),
        (dict(rows=i64(3), candidates=i64(9)), "rows value 3 out of range [0, 3)."),
        (dict(candidates=i64(2, 1), seen_indptr=i64(0)), "candidates must ascend."),
        (dict(seen_indices=i64(0)), "seen_indptr and seen_indices go together."),
        (dict(seen_indptr=i64(0, 0, 0), seen_indices=i64(), excluded_indptr=i64(0)),
         "seen_indptr must have one entry per user, plus one."),
        (dict(excluded_indices=i64(0)), "excluded_indptr and excluded_indices go together."),
        (dict(candidates=i64(1, 2), excluded_indptr=i64(0, 1), excluded_indices=i64(2)),
         "excluded column value 2 out of range [0, 2)."),
    ]
    for change, message in cases:
        with pytest.raises(ValueError) as e:
            _core.recommend_from_factors(**{**base, **change})
        assert str(e.value) == message
    with pytest.raises(TypeError):
        _core.recommend_from_factors(**base, first_query=None)


def test_dense_and_similarity_argument_errors():
    X = csr_args(sp.csr_matrix(np.eye(3)))
    with pytest.raises(ValueError, match=r"^weights must be square\.$"):
        _core.recommend_from_dense_rows(i64(), X[1], X[2], i64(9), np.ones((3, 4)), None, False, 1, 1)
    with pytest.raises(ValueError, match=r"^users indptr must not be empty\.$"):
        _core.recommend_from_dense_rows(i64(), X[1], X[2], i64(9), np.eye(3), None, False, 1, 1)
    with pytest.raises(ValueError, match=r"^users is not a valid CSR matrix\.$"):
        _core.recommend_from_dense_rows(i64(0, 2), X[1], X[2], i64(0), np.eye(3), None, False, 1, 1)
    with pytest.raises(ValueError, match=r"^similarity indptr must not be empty\.$"):
        _core.recommend_from_similarity(i64(), X[1], X[2], i64(0), i64(), X[1], X[2], None, False, 1, 1)
    with pytest.raises(ValueError, match=r"^similarity is not a valid CSR matrix\.$"):
        _core.recommend_from_similarity(i64(), X[1], X[2], i64(0), X[0], X[1][:2], X[2], None, False, 1, 1)
    with pytest.raises(ValueError, match=r"^rows value 3 out of range \[0, 3\)\.$"):
        _core.recommend_from_similarity(*X, i64(3), *X, i64(5), False, 1, 1)
    with pytest.raises(ValueError, match=r"^candidate value 5 out of range \[0, 3\)\.$"):
        _core.recommend_from_similarity(*X, i64(2), *X, i64(5), False, 1, 1)
    with pytest.raises(TypeError):
        _core.recommend_from_similarity(*X, i64(0), *X, None, False, 1, 1, implicit_ties=None)


def test_nan_scores_neither_fail_nor_crash(rng):
    V = rng.normal(size=(500, 8))
    V[rng.choice(500, 60, replace=False)] = np.nan
    for n_q in (1, 5, 12):
        pos, _ = _core.recommend_from_factors(rng.normal(size=(3, 8)), V, None, None,
                                              rng.integers(0, 3, n_q).astype(np.int64), None, None, None, 50, 2)
        assert all(len(set(r)) == 50 for r in pos.tolist())


@pytest.mark.parametrize("n_queries, threads", [(2, (2, 3, 8)), (5, (2, 8)), (12, (1, 2, 8))])
def test_nan_scores_give_the_same_result_for_every_thread_count(rng, n_queries, threads):
    # Large enough for the split path (up to 8 queries) and for segmented tiles (9 and up).
    # Which NaN offers a collector keeps depends on what else it was offered, so cutting
    # the candidates differently per thread count must not show through.
    V = rng.normal(size=(60_000, 16))
    V[rng.random(60_000) < 0.3, 2] = np.nan
    U = rng.normal(size=(20, 16))
    rows = rng.integers(0, 20, n_queries).astype(np.int64)
    results = [_core.recommend_from_factors(U, V, None, None, rows, None, None, None, 10, t) for t in threads]
    assert np.isnan(results[0][1]).any()
    for pos, scores in results[1:]:
        np.testing.assert_array_equal(pos, results[0][0])
        np.testing.assert_array_equal(scores.view(np.uint64), results[0][1].view(np.uint64))
