"""Item-item models: Gram matrix, co-occurrence, cosine and RP3beta neighbours."""
import numpy as np
import pytest
import scipy.sparse as sp

from conftest import THREADS, interactions, random_csr
from quorvane import _core as core

I64 = np.int64


def arr(values, dtype=np.float64):
    return np.asarray(values, dtype=dtype)


def csr_of(rows, n_cols):
    """CSR arrays from a list of rows of (column, value), kept in the given order."""
    indptr = np.cumsum([0] + [len(r) for r in rows]).astype(I64)
    indices = arr([c for r in rows for c, _ in r], I64)
    data = arr([v for r in rows for _, v in r])
    return indptr, indices, data


def rows_of(result):
    indptr, indices, data = result
    return [list(zip(indices[indptr[r]:indptr[r + 1]].tolist(), data[indptr[r]:indptr[r + 1]].tolist()))
            for r in range(len(indptr) - 1)]


# Every fitting function called on a CSR matrix, with the arguments that follow it.
def fit(name, indptr, indices, data, n_cols, k=3, n_threads=1, rows=None, **kw):
    if name == "item_gram":
        return core.item_gram(indptr, indices, data, n_cols, n_threads)
    if name == "item_knn_top_k":
        return core.item_knn_top_k(indptr, indices, data, n_cols, k, n_threads, rows)
    if name == "item_cosine_top_k":
        norms = kw.get("norms", np.ones(n_cols))
        return core.item_cosine_top_k(indptr, indices, data, n_cols, norms, kw.get("shrink", 0.0), k,
                                      n_threads, rows)
    scale = np.ones(n_cols)
    return core.rp3beta_similarity(indptr, indices, data, n_cols, kw.get("row_scale", scale),
                                   kw.get("col_scale", scale), k, n_threads, rows)


FITTERS = ["item_gram", "item_knn_top_k", "item_cosine_top_k", "rp3beta_similarity"]
NEIGHBOURS = FITTERS[1:]


# ---- argument checks ----------------------------------------------------------------

@pytest.mark.parametrize("name", FITTERS)
@pytest.mark.parametrize("indptr, indices, data, message", [
    # indptr is judged against len(data), before the indices are compared
    ([0, 2], [0, 1], [1.0, 2.0, 3.0], "indptr is not a valid CSR index pointer."),
    ([0, 3], [0, 1], [1.0, 2.0, 3.0], "indices and data must have the same length."),
    ([0, 2], [0, 4], [1.0, 2.0], "indices value 4 out of range [0, 4)."),
    ([0, 2], [-1, 0], [1.0, 2.0], "indices value -1 out of range [0, 4)."),
    ([], [], [], "indptr must not be empty."),
])
def test_csr_check_order(name, indptr, indices, data, message):
    with pytest.raises(ValueError) as e:
        fit(name, arr(indptr, I64), arr(indices, I64), arr(data), 4)
    assert str(e.value) == message


@pytest.mark.parametrize("name", FITTERS)
def test_data_is_viewed_before_indptr(name):
    bad_data = np.arange(6.0)[::2]
    with pytest.raises(TypeError, match="not contiguous"):
        fit(name, arr([0, 5], I64), arr([0], I64), bad_data, 4)
    # with a valid data view the index pointer fails next, before the strided indices
    with pytest.raises(ValueError, match="indptr is not a valid"):
        fit(name, arr([0, 2], I64), np.arange(6, dtype=I64)[::2], arr([1.0, 2.0, 3.0]), 4)
    with pytest.raises(TypeError, match="not contiguous"):
        fit(name, arr([0, 3], I64), np.arange(6, dtype=I64)[::2], arr([1.0, 2.0, 3.0]), 4)


@pytest.mark.parametrize("name", NEIGHBOURS)
@pytest.mark.parametrize("rows, message", [
    ([3, 1], "rows must be sorted and distinct."),
    ([1, 1], "rows must be sorted and distinct."),
    ([5], "rows value 5 out of range [0, 5)."),
])
def test_rows_checks(name, rows, message):
    indptr, indices, data = csr_of([[(0, 1.0), (1, 1.0)]], 5)
    with pytest.raises(ValueError) as e:
        fit(name, indptr, indices, data, 5, rows=arr(rows, I64))
    assert str(e.value) == message


@pytest.mark.parametrize("kw, message", [
    (dict(norms=np.ones(3)), "norms must have n_cols entries."),
    (dict(shrink=-1e-300), "shrink must be finite and >= 0."),
    (dict(shrink=float("nan")), "shrink must be finite and >= 0."),
    (dict(shrink=float("inf")), "shrink must be finite and >= 0."),
    # norms are judged before shrink, shrink before rows
    (dict(norms=np.ones(5), shrink=-1.0, rows=arr([2, 1], I64)), "norms must have n_cols entries."),
    (dict(shrink=-1.0, rows=arr([2, 1], I64)), "shrink must be finite and >= 0."),
])
def test_cosine_checks(kw, message):
    indptr, indices, data = csr_of([[(0, 1.0), (1, 1.0)]], 4)
    rows = kw.pop("rows", None)
    kw.setdefault("norms", np.ones(4))
    with pytest.raises(ValueError) as e:
        core.item_cosine_top_k(indptr, indices, data, 4, kw["norms"], kw.get("shrink", 0.0), 1, 1, rows)
    assert str(e.value) == message


def test_cosine_accepts_negative_zero_shrink_and_float_likes():
    indptr, indices, data = csr_of([[(0, 2.0), (1, 2.0)]], 2)
    _, _, d = core.item_cosine_top_k(indptr, indices, data, 2, arr([2.0, 2.0]), -0.0, 1, 1)
    assert d.tolist() == [1.0, 1.0]
    _, _, d = core.item_cosine_top_k(indptr, indices, data, 2, arr([2.0, 2.0]), 4, 1, 1)
    assert d.tolist() == [0.5, 0.5]
    with pytest.raises(TypeError) as e:
        core.item_cosine_top_k(indptr, indices, data, 2, arr([2.0, 2.0]), "x", 1, 1)
    assert "while processing 'shrink'" in getattr(e.value, "__notes__", [])


@pytest.mark.parametrize("row_scale, col_scale", [(3, 4), (4, 3), (5, 4), (4, 5)])
def test_rp3beta_scale_lengths(row_scale, col_scale):
    indptr, indices, data = csr_of([[(0, 1.0)]], 4)
    with pytest.raises(ValueError) as e:
        core.rp3beta_similarity(indptr, indices, data, 4, np.ones(row_scale), np.ones(col_scale), 1, 1,
                                arr([9, 1], I64))
    assert str(e.value) == "row_scale and col_scale must have n_cols entries."


def test_docstrings_and_table_order():
    assert core.item_knn_top_k.__text_signature__ == "(indptr, indices, data, n_cols, k, n_threads, rows=None)"
    assert core.item_cosine_top_k.__doc__.startswith(
        "Top `k` cosine neighbours of every item for a users x items CSR matrix `W`.")
    assert core.rp3beta_similarity.__text_signature__.endswith("k, n_threads, rows=None)")
    names = [n for n in core.__all__ if n in FITTERS]
    assert names == ["item_cosine_top_k", "item_gram", "item_knn_top_k", "rp3beta_similarity"]


# ---- impossible sizes ---------------------------------------------------------------

@pytest.mark.parametrize("n_cols", [10**9, 2**32, 2**63])
def test_gram_of_impossible_size_is_memory_error(n_cols):
    with pytest.raises(MemoryError):
        core.item_gram(arr([0], I64), arr([], I64), arr([]), n_cols, 2)


def test_huge_column_count_costs_only_what_is_used():
    # a billion items of which two are stored, and a k far beyond anything reachable
    n = 10**9
    indptr, indices, data = csr_of([[(3, 1.0), (n - 1, 2.0)]], n)
    got = rows_of(core.item_knn_top_k(indptr, indices, data, n, 2**63, 8, arr([0, 3, n - 1], I64)))
    assert got == [[], [(3, 1.0), (n - 1, 2.0)], [(3, 2.0), (n - 1, 4.0)]]


# ---- worked examples ----------------------------------------------------------------

def test_gram_examples():
    g = core.item_gram(*csr_of([[(0, 2.0), (1, 3.0)]], 2), 2, 1)
    assert g.tolist() == [[4.0, 6.0], [6.0, 9.0]] and g.flags.c_contiguous
    g = core.item_gram(*csr_of([[], [(2, 3.0)], []], 4), 4, 1)
    expected = np.zeros((4, 4))
    expected[2, 2] = 9.0
    assert np.array_equal(g, expected)
    assert core.item_gram(arr([0, 0, 0], I64), arr([], I64), arr([]), 3, 1).tolist() == [[0.0] * 3] * 3
    assert core.item_gram(arr([0], I64), arr([], I64), arr([]), 0, 1).shape == (0, 0)


def test_knn_keeps_diagonal_and_zero_sums():
    got = rows_of(core.item_knn_top_k(*csr_of([[(0, 2.0), (1, 3.0)]], 2), 2, 2, 1))
    assert got == [[(0, 4.0), (1, 6.0)], [(0, 6.0), (1, 9.0)]]
    # items 0 and 1 cancel: the exact zero and the diagonal are both kept
    w = csr_of([[(0, 1.0), (1, 1.0)], [(0, 1.0), (1, -1.0)]], 2)
    assert rows_of(core.item_knn_top_k(*w, 2, 5, 1)) == [[(0, 2.0), (1, 0.0)], [(0, 0.0), (1, 2.0)]]


def test_knn_ties_follow_reverse_first_touch():
    # first-touch order 2, 0, 1, all scoring 1.0: the column touched last wins with k = 1
    w = csr_of([[(3, 1.0), (2, 1.0), (0, 1.0), (1, 1.0)]], 4)
    got = rows_of(core.item_knn_top_k(*w, 4, 1, 1, arr([3], I64)))
    assert got == [[(1, 1.0)]]  # row 3 touches 3 first: order 3, 2, 0, 1
    # first touch 0 (1.0), a=5 (2.0), b=1 (1.0), c=4 (1.0): c and b fill the holder, a
    # evicts the lower-numbered of them, and the diagonal only ties the root
    w = csr_of([[(0, 1.0), (5, 2.0), (1, 1.0), (4, 1.0)]], 6)
    got = rows_of(core.item_knn_top_k(*w, 6, 2, 1, arr([0], I64)))
    assert got == [[(4, 1.0), (5, 2.0)]]
    got = rows_of(core.item_knn_top_k(*w, 6, 3, 1, arr([0], I64)))
    assert got == [[(1, 1.0), (4, 1.0), (5, 2.0)]]
    w = csr_of([[(5, 2.0), (1, 1.0), (4, 1.0)], [(0, 1.0)]], 6)
    got = rows_of(core.item_knn_top_k(*w, 6, 2, 1, arr([5], I64)))
    assert got == [[(4, 2.0), (5, 4.0)]]


@pytest.mark.parametrize("name", NEIGHBOURS)
def test_empty_results(name):
    indptr, indices, data = csr_of([[(0, 1.0), (1, 2.0)], [(1, 1.0)]], 3)
    for k, rows, n_out in [(0, None, 3), (2, arr([], I64), 0)]:
        p, i, d = fit(name, indptr, indices, data, 3, k=k, rows=rows)
        assert p.tolist() == [0] * (n_out + 1) and i.size == 0 and d.size == 0
        assert p.dtype == I64 and i.dtype == I64 and d.dtype == np.float64
    # item 2 is held by nobody
    assert rows_of(fit(name, indptr, indices, data, 3, rows=arr([2], I64))) == [[]]
    p, i, d = fit(name, arr([0], I64), arr([], I64), arr([]), 0)
    assert p.tolist() == [0] and i.size == 0


def test_cosine_examples():
    w = csr_of([[(0, 2.0), (1, 2.0)]], 2)
    assert rows_of(core.item_cosine_top_k(*w, 2, arr([2.0, 2.0]), 0.0, 1, 1)) == [[(1, 1.0)], [(0, 1.0)]]
    # a dot product that sums to exactly zero stores nothing
    w = csr_of([[(0, 1.0), (1, 1.0)], [(0, 1.0), (1, -1.0)]], 2)
    assert rows_of(core.item_cosine_top_k(*w, 2, arr([1.0, 1.0]), 0.0, 5, 1)) == [[], []]
    # zero denominators are not guarded; +nan and +inf rank ahead of every finite score
    w = csr_of([[(0, 1.0), (1, 1.0), (2, 1.0), (3, -1.0), (4, 3.0)]], 5)
    norms = arr([1.0, 0.0, np.nan, 0.0, 1.0])
    got = rows_of(core.item_cosine_top_k(*w, 5, norms, 0.0, 5, 1, arr([0], I64)))[0]
    assert got[0] == (1, np.inf) and got[2] == (3, -np.inf) and got[3] == (4, 3.0)
    assert got[1][0] == 2 and np.isnan(got[1][1])
    got = rows_of(core.item_cosine_top_k(*w, 5, norms, 0.0, 2, 1, arr([0], I64)))[0]
    assert got[0] == (1, np.inf) and got[1][0] == 2
    got = rows_of(core.item_cosine_top_k(*w, 5, norms, 0.0, 3, 1, arr([0, 1], I64)))
    assert [c for c, _ in got[0]] == [1, 2, 4]
    assert got[1][0] == (0, np.inf) and got[1][2] == (4, np.inf) and np.isnan(got[1][1][1])


def test_rp3beta_examples():
    w = csr_of([[(0, 0.25), (1, 0.5)]], 2)
    got = rows_of(core.rp3beta_similarity(*w, 2, arr([1.0, 1.0]), arr([1.0, 2.0]), 1, 1))
    assert got == [[(1, 1.0)], [(0, 0.25)]]
    w = csr_of([[(0, 1.0), (1, 2.0), (2, 3.0)], [(0, 1.0), (0, 1.0), (2, 1.0)]], 3)
    ones = np.ones(3)
    # user 1 stores item 0 twice, so its row counts twice in row 0
    assert rows_of(core.rp3beta_similarity(*w, 3, ones, ones, 5, 1, arr([0], I64))) == [[(1, 2.0), (2, 5.0)]]
    got = rows_of(core.rp3beta_similarity(*w, 3, arr([0.0, 1.0, 1.0]), arr([1.0, 1.0, 0.0]), 5, 1))
    assert got == [[], [(0, 1.0)], [(0, 3.0), (1, 2.0)]]
    got = rows_of(core.rp3beta_similarity(*w, 3, arr([np.nan, 1.0, 1.0]), ones, 1, 1, arr([0], I64)))
    assert got[0][0][0] in (1, 2) and np.isnan(got[0][0][1])


# ---- cross-checks against dense references ------------------------------------------

def summed(indptr, indices, data, n_cols):
    """The matrix with repeated (row, column) pairs summed (as products distribute)."""
    n_rows = len(indptr) - 1
    rows = np.repeat(np.arange(n_rows), np.diff(indptr))
    return sp.coo_matrix((data, (rows, indices)), shape=(n_rows, n_cols)).tocsr()


def with_repeats(rng, indptr, indices, data):
    """Shuffles every row and repeats some entries with new values."""
    rows = []
    for r in range(len(indptr) - 1):
        ents = list(zip(indices[indptr[r]:indptr[r + 1]], data[indptr[r]:indptr[r + 1]]))
        ents += [(c, float(rng.integers(-3, 4))) for c, _ in ents if rng.random() < 0.2]
        rng.shuffle(ents)
        rows.append(ents)
    return csr_of(rows, 0)


def best_k(cols, scores, k):
    """The k best by descending score, ties to the lower column, kept in column order."""
    order = np.lexsort((cols, -scores))[:k]
    keep = np.sort(cols[order])
    return keep


def implicit_reference(touch_order, sums, k):
    held = []
    for j in reversed(touch_order):
        s = sums[j]
        if len(held) < k:
            held.append((s, j))
        elif k and s > min(held)[0]:
            held.remove(min(held))
            held.append((s, j))
    return sorted((j, s) for s, j in held)


def touch_orders(indptr, indices, n_cols):
    """Columns of W^T W row i in first-touch order: users of i ascending, stored order."""
    orders = [[] for _ in range(n_cols)]
    users = [[] for _ in range(n_cols)]
    for u in range(len(indptr) - 1):
        for c in indices[indptr[u]:indptr[u + 1]]:
            users[c].append(u)
    for i in range(n_cols):
        seen = set()
        for u in users[i]:
            for c in indices[indptr[u]:indptr[u + 1]]:
                if c not in seen:
                    seen.add(c)
                    orders[i].append(int(c))
    return orders


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("repeats", [False, True])
def test_gram_matches_scipy(seed, repeats):
    rng = np.random.default_rng(seed)
    indptr, indices, data, _ = random_csr(rng, 40, 25, density=0.25)
    if repeats:
        indptr, indices, data = with_repeats(rng, indptr, indices, data)
    r = summed(indptr, indices, data, 25)
    g = core.item_gram(indptr, indices, data, 25, 2)
    assert np.array_equal(g, (r.T @ r).toarray())


@pytest.mark.parametrize("case", ["ascending", "repeats", "no entries"])
def test_gram_writes_every_slot_of_reused_storage(case):
    # The result's storage is not zeroed up front: each row is cleared by the task that
    # fills it. Alternating with an all-ones result of the same size on one thread makes
    # the allocator hand back non-zero storage, which a skipped slot would show.
    rng = np.random.default_rng(5)
    n = 300
    ones = csr_of([[(j, 1.0) for j in range(n)]], n)
    if case == "no entries":
        sparse = (arr([0, 0, 0], I64), arr([], I64), arr([]))
    else:
        sparse = random_csr(rng, 60, n, density=0.01)[:3]
        if case == "repeats":
            sparse = with_repeats(rng, *sparse)
    r = summed(*sparse, n)
    ref = (r.T @ r).toarray()
    for _ in range(4):
        assert core.item_gram(*ones, n, 1).min() == 1.0
        assert np.array_equal(core.item_gram(*sparse, n, 1), ref)


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("k", [1, 3, 40])
def test_knn_matches_reference(seed, k):
    rng = np.random.default_rng(seed)
    indptr, indices, data, _ = random_csr(rng, 30, 20, density=0.2, low=0, high=3)
    if seed % 2:
        indptr, indices, data = with_repeats(rng, indptr, indices, data)
    g = (lambda r: (r.T @ r).toarray())(summed(indptr, indices, data, 20))
    orders = touch_orders(indptr, indices, 20)
    got = rows_of(core.item_knn_top_k(indptr, indices, data, 20, k, 2))
    assert got == [implicit_reference(orders[i], g[i], k) for i in range(20)]


@pytest.mark.parametrize("n_threads", [1, 8])
@pytest.mark.parametrize("seed", range(3))
def test_knn_ties_on_skewed_walks(seed, n_threads):
    # Every user holds item 0. The first users cover items 1-99 between them, so later
    # users bring few new columns; those also hold a few of items 100-199, first touched
    # late in the walk and mostly tied at 1. Every cut of row 0 is checked, as a column
    # touched out of order changes the row only where it crosses the k-th last offer.
    rng = np.random.default_rng(seed)
    rows = [[0] + list(rng.choice(np.arange(1, 100), size=30, replace=False)) for _ in range(30)]
    rows += [[0] + list(rng.choice(np.arange(1, 100), size=8, replace=False))
             + list(rng.choice(np.arange(100, 200), size=int(rng.integers(0, 4)), replace=False))
             for _ in range(40)]
    for r in rows:
        r.extend(rng.choice(200, size=int(rng.integers(0, 2))))  # repeated columns too
        rng.shuffle(r)
    indptr, indices, data = csr_of([[(c, 1.0) for c in r] for r in rows], 200)
    g = (lambda r: (r.T @ r).toarray())(summed(indptr, indices, data, 200))
    orders = touch_orders(indptr, indices, 200)
    for k in (1, 7, 40):
        got = rows_of(core.item_knn_top_k(indptr, indices, data, 200, k, n_threads))
        assert got == [implicit_reference(orders[i], g[i], k) for i in range(200)]
    hub = arr([0], I64)
    for k in range(1, len(orders[0]) + 1):
        got = rows_of(core.item_knn_top_k(indptr, indices, data, 200, k, n_threads, hub))
        assert got == [implicit_reference(orders[0], g[0], k)], k


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("k", [1, 4, 40])
def test_cosine_matches_dense(seed, k):
    rng = np.random.default_rng(seed)
    indptr, indices, data, _ = random_csr(rng, 30, 20, density=0.25)
    if seed % 2:
        indptr, indices, data = with_repeats(rng, indptr, indices, data)
    norms = rng.integers(1, 5, 20).astype(np.float64)  # integer norms keep the reference exact
    shrink = float(seed)
    r = summed(indptr, indices, data, 20)
    dots = (r.T @ r).toarray()
    scores = dots / (np.outer(norms, norms) + shrink)
    got = core.item_cosine_top_k(indptr, indices, data, 20, norms, shrink, k, 3)
    for i, row in enumerate(rows_of(got)):
        cand = np.array([j for j in range(20) if j != i and dots[i, j] != 0.0], dtype=I64)
        keep = best_k(cand, scores[i, cand], k)
        assert row == [(int(j), scores[i, j]) for j in keep]


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("k", [1, 4, 40])
def test_rp3beta_matches_dense(seed, k):
    rng = np.random.default_rng(seed)
    indptr, indices, data, _ = random_csr(rng, 30, 20, density=0.25, low=0, high=4)
    if seed % 2:
        indptr, indices, data = with_repeats(rng, indptr, indices, data)
    n_rows = len(indptr) - 1
    holds = sp.csr_matrix((np.ones(len(indices)), indices, indptr), shape=(n_rows, 20))
    walk = (holds.T @ summed(indptr, indices, data, 20)).toarray()
    row_scale = rng.integers(-2, 3, 20).astype(np.float64)
    col_scale = rng.integers(0, 3, 20).astype(np.float64)
    scores = (walk * row_scale[:, None]) * col_scale[None, :]
    got = core.rp3beta_similarity(indptr, indices, data, 20, row_scale, col_scale, k, 2)
    for i, row in enumerate(rows_of(got)):
        cand = np.array([j for j in range(20) if j != i and scores[i, j] != 0.0], dtype=I64)
        keep = best_k(cand, scores[i, cand], k)
        assert row == [(int(j), scores[i, j]) for j in keep]


@pytest.mark.parametrize("name", NEIGHBOURS)
def test_rows_subset_matches_full(name, rng):
    indptr, indices, data, _ = random_csr(rng, 50, 30, density=0.2)
    kw = dict(norms=rng.integers(1, 4, 30).astype(float), shrink=1.5)
    full = rows_of(fit(name, indptr, indices, data, 30, k=4, **kw))
    subset = arr([0, 7, 8, 29], I64)
    part = rows_of(fit(name, indptr, indices, data, 30, k=4, rows=subset, **kw))
    assert part == [full[i] for i in subset]


# ---- independence of the thread count -----------------------------------------------

@pytest.mark.parametrize("name", FITTERS)
def test_identical_for_every_thread_count(name):
    rng = np.random.default_rng(99)
    indptr, indices, _, _ = interactions(rng, 600, 150, per_user=12)
    data = rng.standard_normal(len(indices))  # inexact sums: the order shows in the bits
    kw = dict(norms=rng.random(150) + 0.5, shrink=0.3, row_scale=rng.random(150), col_scale=rng.random(150))
    results = [fit(name, indptr, indices, data, 150, k=10, n_threads=t, **kw) for t in THREADS]
    for other in results[1:]:
        if name == "item_gram":
            assert other.tobytes() == results[0].tobytes()
        else:
            assert all(a.tobytes() == b.tobytes() for a, b in zip(other, results[0]))


def test_gram_does_not_depend_on_row_order_within_users():
    # without repeated pairs each user adds one fused product per entry of G, users
    # ascending, so shuffling within rows keeps every bit (and G stays symmetric)
    rng = np.random.default_rng(5)
    indptr, indices, _, _ = interactions(rng, 400, 120, per_user=15)
    data = rng.standard_normal(len(indices))
    g = core.item_gram(indptr, indices, data, 120, 4)
    assert np.array_equal(g, g.T)
    shuffled_idx, shuffled_data = indices.copy(), data.copy()
    for u in range(len(indptr) - 1):
        perm = indptr[u] + rng.permutation(indptr[u + 1] - indptr[u])
        shuffled_idx[indptr[u]:indptr[u + 1]] = indices[perm]
        shuffled_data[indptr[u]:indptr[u + 1]] = data[perm]
    assert core.item_gram(indptr, shuffled_idx, shuffled_data, 120, 4).tobytes() == g.tobytes()
    # every entry is the fused sum over users ascending
    r = sp.csr_matrix((data, indices, indptr), shape=(len(indptr) - 1, 120)).tocsc()
    import math
    if hasattr(math, "fma"):
        for i, j in [(0, 0), (0, 1), (5, 17), (119, 3)]:
            acc = 0.0
            ci = dict(zip(r.indices[r.indptr[i]:r.indptr[i + 1]], r.data[r.indptr[i]:r.indptr[i + 1]]))
            cj = dict(zip(r.indices[r.indptr[j]:r.indptr[j + 1]], r.data[r.indptr[j]:r.indptr[j + 1]]))
            for u in sorted(set(ci) & set(cj)):
                acc = math.fma(cj[u], ci[u], acc)
            assert g[i, j] == acc
