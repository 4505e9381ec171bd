"""bpr_fit and fm_als_fit: exact updates against plain-Python references, the sampling
stream, read-write refusals, argument checks, and that both trainers actually learn."""
import math
import os
import subprocess
import sys
from fractions import Fraction

import numpy as np
import pytest
import scipy.sparse as sp

from quorvane import _core

from conftest import M64, mix


def fma(a, b, c):
    """a*b + c rounded once."""
    return float(Fraction(a) * Fraction(b) + Fraction(c))


def bpr_reference(indptr, indices, n_cols, U, V, b, lr, reg, use_bias, n_iter, seed,
                  positives=None, popularity=False):
    """One worker, samples in order: the exact sequence of draws and updates."""
    U, V, b = U.tolist(), V.tolist(), b.tolist()
    nnz = len(indices)
    owner = np.repeat(np.arange(len(indptr) - 1), np.diff(indptr)).tolist()
    rows = [set(indices[indptr[r]:indptr[r + 1]].tolist()) for r in range(len(indptr) - 1)]
    n = nnz if positives is None else len(positives)
    F = len(U[0]) if U else 0
    shares = []
    for e in range(n_iter):
        correct = skipped = 0
        for s in range(n):
            c = (e * n + s) & M64
            r1 = mix(seed ^ mix((2 * c) & M64))
            r2 = mix(seed ^ mix((2 * c + 1) & M64))
            entry = r1 % n if positives is None else int(positives[r1 % n])
            u, i = owner[entry], int(indices[entry])
            j = int(indices[r2 % nnz]) if popularity else r2 % n_cols
            if j in rows[u]:
                skipped += 1
                continue
            x = b[i] - b[j] if use_bias else 0.0
            for f in range(F):
                x = fma(U[u][f], V[i][f] - V[j][f], x)
            z = 1.0 / (math.exp(x) + 1.0)
            for f in range(F):
                uf, vi, vj = U[u][f], V[i][f], V[j][f]
                U[u][f] = fma(lr, fma(-reg, uf, z * (vi - vj)), uf)
                V[i][f] = fma(lr, fma(-reg, vi, z * uf), vi)
                V[j][f] = fma(lr, fma(-reg, vj, (-z) * uf), vj)
            if use_bias:
                bi, bj = b[i], b[j]
                b[i] = fma(lr, fma(-reg, bi, z), bi)
                b[j] = fma(lr, fma(-reg, bj, -z), bj)
            correct += z < 0.5
        shares.append(0.0 if skipped == n else correct / (n - skipped))
    return np.array(U).reshape(-1, F), np.array(V).reshape(-1, F), np.array(b), shares


def bpr_data(rng, n_users=7, n_items=9, F=3):
    m = sp.random(n_users, n_items, density=0.35, format="csr", random_state=rng)
    m.sort_indices()
    U = rng.normal(0, 0.3, (n_users, F))
    V = rng.normal(0, 0.3, (n_items, F))
    b = rng.normal(0, 0.1, n_items)
    return m.indptr.astype(np.int64), m.indices.astype(np.int64), U, V, b


# Factor counts around the vector width and the cache line: whole blocks, a remainder,
# a remainder alone, and a row whose bias fills its line exactly.
@pytest.mark.parametrize("use_bias,popularity,with_pool,seed,F", [
    (True, False, False, 7, 4),
    (False, True, False, M64, 9),
    (True, True, True, 2**63 + 5, 7),
    (False, False, True, 0, 1),
    (True, True, False, 3, 16),
])
def test_bpr_matches_reference_with_one_worker(rng, use_bias, popularity, with_pool, seed, F):
    indptr, indices, U, V, b = bpr_data(rng, 12, 15, F)
    positives = rng.integers(0, len(indices), 11).astype(np.int64) if with_pool else None
    want = bpr_reference(indptr, indices, V.shape[0], U, V, b, 0.1, 0.02, use_bias, 3, seed,
                         positives, popularity)
    shares = _core.bpr_fit(indptr, indices, V.shape[0], U, V, b, 0.1, 0.02, use_bias, 3, seed, 1,
                           positives=positives, popularity_negatives=popularity)
    assert shares == want[3]
    assert np.array_equal(U, want[0]) and np.array_equal(V, want[1]) and np.array_equal(b, want[2])


def test_bpr_one_worker_is_reproducible_and_epochs_differ(rng):
    indptr, indices, U, V, b = bpr_data(rng, 60, 40, 8)
    runs = []
    for _ in range(2):
        arrays = (U.copy(), V.copy(), b.copy())
        shares = _core.bpr_fit(indptr, indices, 40, *arrays, 0.05, 0.01, True, 4, 99, 1)
        runs.append((shares, arrays))
    assert runs[0][0] == runs[1][0]
    for a, c in zip(runs[0][1], runs[1][1]):
        assert np.array_equal(a, c)
    # The counter includes the epoch: one two-epoch run differs from two one-epoch runs.
    twice = (U.copy(), V.copy(), b.copy())
    for _ in range(2):
        _core.bpr_fit(indptr, indices, 40, *twice, 0.05, 0.01, True, 1, 99, 1)
    once = (U.copy(), V.copy(), b.copy())
    _core.bpr_fit(indptr, indices, 40, *once, 0.05, 0.01, True, 2, 99, 1)
    assert not np.array_equal(once[0], twice[0])


@pytest.mark.parametrize("case", ["f0", "n_iter0", "no_entries", "empty_pool", "full_rows"])
@pytest.mark.parametrize("n_threads", [1, 8])
def test_bpr_cases_that_change_nothing(rng, case, n_threads):
    indptr, indices, U, V, b = bpr_data(rng, 30, 20, 4)
    n_iter, use_bias, positives = 3, True, None
    if case == "f0":
        U, V, use_bias = np.zeros((30, 0)), np.zeros((20, 0)), False
    elif case == "n_iter0":
        n_iter = 0
    elif case == "no_entries":
        indptr, indices = np.zeros(31, np.int64), np.zeros(0, np.int64)
    elif case == "empty_pool":
        positives = np.zeros(0, np.int64)
    else:  # every user has every item: every negative is rejected
        indptr = np.arange(31, dtype=np.int64) * 20
        indices = np.tile(np.arange(20, dtype=np.int64), 30)
    before = (U.copy(), V.copy(), b.copy())
    shares = _core.bpr_fit(indptr, indices, 20, U, V, b, 0.1, 0.01, use_bias, n_iter, 3, n_threads,
                           positives)
    assert shares == [0.0] * n_iter
    for a, c in zip(before, (U, V, b)):
        assert np.array_equal(a, c)


def test_bpr_positives_restrict_the_trained_users(rng):
    indptr, indices, U, V, b = bpr_data(rng, 30, 20, 4)
    u = int(np.argmax(np.diff(indptr)))
    positives = np.arange(indptr[u], indptr[u + 1], dtype=np.int64)
    U0 = U.copy()
    _core.bpr_fit(indptr, indices, 20, U, V, b, 0.1, 0.01, True, 5, 1, 4, positives)
    changed = np.flatnonzero((U != U0).any(axis=1))
    assert changed.tolist() == [u]


def planted(rng, n_users=600, n_items=300, n_groups=6, per_user=20):
    """Users interact mostly within their own group of items."""
    ug = rng.integers(0, n_groups, n_users)
    ig = np.arange(n_items) % n_groups
    rows, cols = [], []
    for u in range(n_users):
        own = np.flatnonzero(ig == ug[u])
        items = np.concatenate([rng.choice(own, per_user - 2, replace=False),
                                rng.choice(n_items, 2, replace=False)])
        items = np.unique(items)
        rows += [u] * len(items)
        cols += items.tolist()
    return sp.csr_matrix((np.ones(len(rows)), (rows, cols)), shape=(n_users, n_items))


def test_bpr_learns_planted_structure(rng):
    m = planted(rng)
    n_users, n_items = m.shape
    # Hold out one interaction per user.
    train = m.tolil()
    held = []
    for u in range(n_users):
        items = m.indices[m.indptr[u]:m.indptr[u + 1]]
        i = int(rng.choice(items))
        train[u, i] = 0
        held.append(i)
    train = train.tocsr()
    train.eliminate_zeros()
    train.sort_indices()
    U = rng.normal(0, 0.01, (n_users, 16))
    V = rng.normal(0, 0.01, (n_items, 16))
    b = np.zeros(n_items)
    shares = _core.bpr_fit(train.indptr.astype(np.int64), train.indices.astype(np.int64), n_items,
                           U, V, b, 0.05, 0.001, True, 30, 5, 4)
    assert shares[-1] > 0.8 and shares[-1] > shares[0]
    scores = U @ V.T + b
    neg = rng.integers(0, n_items, (n_users, 50))
    seen = m.toarray() > 0
    ok = ~seen[np.arange(n_users)[:, None], neg]
    pos = scores[np.arange(n_users), held][:, None]
    auc = ((pos > scores[np.arange(n_users)[:, None], neg]) & ok).sum() / ok.sum()
    assert auc > 0.85


# ---- read-write refusals ----

def refused(call, word):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "PanicException"
    assert not isinstance(info.value, Exception)
    assert word in str(info.value)


def test_bpr_refuses_shared_or_read_only_arrays(rng):
    indptr, indices, U, V, b = bpr_data(rng, 9, 9, 3)
    args = lambda u, v, bias: (indptr, indices, 9, u, v, bias, 0.1, 0.0, True, 2, 0, 1)
    M = rng.normal(size=(9, 3))
    M0 = M.copy()
    refused(lambda: _core.bpr_fit(*args(M, M, b)), "AlreadyBorrowed")
    # Overlapping views of one buffer are refused too.
    buf = rng.normal(size=(14, 3))
    buf0 = buf.copy()
    refused(lambda: _core.bpr_fit(*args(buf[:9], buf[5:], b)), "AlreadyBorrowed")
    empty = np.zeros((0, 0))
    refused(lambda: _core.bpr_fit(np.zeros(1, np.int64), indices[:0], 0, empty, empty, np.zeros(0),
                                  0.1, 0.0, True, 2, 0, 1), "AlreadyBorrowed")
    ro = b.copy()
    ro.flags.writeable = False
    U0, V0 = U.copy(), V.copy()
    refused(lambda: _core.bpr_fit(*args(U, V, ro)), "NotWriteable")
    # A read-only argument may not alias a trained array either.
    shared = np.zeros(9 * 3 + 10)
    refused(lambda: _core.bpr_fit(indptr, indices, 9, U, shared[:27].reshape(9, 3), b, 0.1, 0.0, True,
                                  2, 0, 1, shared[26:27].view(np.int64)), "AlreadyBorrowed")
    assert np.array_equal(M, M0) and np.array_equal(buf, buf0)
    assert np.array_equal(U, U0) and np.array_equal(V, V0)
    # Refusal comes before the value checks.
    refused(lambda: _core.bpr_fit(indptr, indices, 5, M, M, b, 0.1, 0.0, True, 2, 0, 1), "AlreadyBorrowed")


def test_fm_refuses_shared_or_read_only_arrays(rng):
    X = sp.random(10, 4, density=0.5, format="csr", random_state=rng)
    base = (X.indptr.astype(np.int64), X.indices.astype(np.int64), X.data, rng.normal(size=10),
            np.zeros(4, np.int64))
    reg = np.ones(1)
    buf = rng.normal(size=12)
    buf0 = buf.copy()
    refused(lambda: _core.fm_als_fit(*base, 0.0, buf[:4], buf[:8].reshape(2, 4), 0.0, reg, reg, 1),
            "AlreadyBorrowed")
    w = np.zeros(4)
    refused(lambda: _core.fm_als_fit(*base, 0.0, w, np.zeros((2, 4)), 0.0, w, reg, 1), "AlreadyBorrowed")
    ro = np.zeros((2, 4))
    ro.flags.writeable = False
    refused(lambda: _core.fm_als_fit(*base, 0.0, w, ro, 0.0, reg, reg, 1), "NotWriteable")
    assert np.array_equal(buf, buf0) and not w.any()


# ---- argument checks ----

def test_bpr_checks_in_order(rng):
    indptr, indices, U, V, b = bpr_data(rng, 6, 5, 2)

    def call(**kw):
        a = dict(indptr=indptr, indices=indices, n_cols=5, user_factors=U.copy(),
                 item_factors=V.copy(), item_bias=b.copy(), learning_rate=0.1, regularization=0.0,
                 use_bias=True, n_iter=1, seed=0, n_threads=1)
        a.update(kw)
        return _core.bpr_fit(**a)

    def fails(exc, msg, **kw):
        with pytest.raises(exc) as info:
            call(**kw)
        assert str(info.value) == msg

    fails(ValueError, "user_factors and item_factors must have the same number of columns.",
          item_factors=np.zeros((4, 3)), n_cols=3)
    fails(ValueError, "item_factors and item_bias must have n_cols rows.", n_cols=4, item_bias=np.zeros(3))
    fails(TypeError, "The given array is not contiguous or is misaligned.",
          item_bias=np.zeros(10)[::2], indptr=indptr[::-1].copy())
    fails(ValueError, "item_factors and item_bias must have n_cols rows.", item_bias=np.zeros(4))
    fails(ValueError, "indptr is not a valid CSR index pointer.", indptr=indptr[::-1].copy())
    fails(ValueError, "indptr must have one entry per user, plus one.", indptr=indptr[:-1].copy(),
          indices=indices[:indptr[-2]].copy())
    bad = indices.copy()
    bad[-1] = 5
    fails(ValueError, "indices value 5 out of range [0, 5).", indices=bad)
    fails(ValueError, f"indices value {indices[0]} out of range [0, 0).", n_cols=0,
          item_factors=np.zeros((0, 2)), item_bias=np.zeros(0))
    row = int(np.argmax(np.diff(indptr)))
    dup = indices.copy()
    dup[indptr[row] + 1] = dup[indptr[row]]
    fails(ValueError, "indices must be sorted and unique within each row.", indices=dup,
          positives=np.array([-1]))
    nnz = len(indices)
    fails(ValueError, f"positives value {nnz} out of range [0, {nnz}).", positives=np.array([0, nnz]))
    fails(ValueError, f"positives value -1 out of range [0, {nnz}).", positives=np.array([-1]))
    fails(TypeError, "The given array is not contiguous or is misaligned.", user_factors=np.zeros((6, 4))[:, ::2])
    with pytest.raises(OverflowError):
        call(seed=-1)


def fm_args(rng, n=12, nf=5, F=2, density=0.4):
    X = sp.random(n, nf, density=density, format="csr", random_state=rng, data_rvs=rng.standard_normal)
    return dict(indptr=X.indptr.astype(np.int64), indices=X.indices.astype(np.int64), data=X.data.copy(),
                y=rng.normal(size=n), group=(np.arange(nf) % 2).astype(np.int64), w0=0.0,
                w=rng.normal(0, 0.1, nf), v=rng.normal(0, 0.1, (F, nf)), reg0=0.5,
                reg_w=np.array([0.5, 1.0]), reg_v=np.array([0.7, 1.5]), n_iter=2)


@pytest.mark.parametrize("change,exc,msg", [
    (dict(y=np.zeros(24)[::2], indptr=np.zeros(3, np.int64)), TypeError, "contiguous"),
    (dict(v=np.zeros((2, 10))[:, ::2], indptr=np.zeros(3, np.int64)), TypeError, "contiguous"),
    (dict(indptr=np.zeros(12, np.int64), indices=np.zeros(3, np.int64)[::-1][::2]), ValueError,
     "indptr must have len(y) + 1 entries."),
    (dict(indices=np.zeros(30, np.int64)[::2], v=np.zeros((1, 4))), TypeError, "contiguous"),
    (dict(indices=np.zeros(1, np.int64), v=np.zeros((1, 4))), ValueError,
     "indices and data must have the same length."),
    (dict(v=np.zeros((1, 4)), group=np.zeros(3, np.int64)[::-1][::2]), ValueError,
     "v columns and group must match len(w)."),
    (dict(group=np.zeros(4, np.int64), reg_v=np.ones(3)), ValueError, "v columns and group must match len(w)."),
    (dict(reg_v=np.ones(3), indptr=np.full(13, 7, np.int64)), ValueError,
     "reg_w and reg_v must have the same length."),
    (dict(indptr=np.full(13, 7, np.int64), group=np.full(5, 2, np.int64)), ValueError,
     "indptr is not a valid CSR index pointer."),
    (dict(indices=None, group=np.full(5, 2, np.int64)), ValueError, "indices value 5 out of range [0, 5)."),
    (dict(group=np.array([0, 1, 2, 0, 1])), ValueError, "group value 2 out of range [0, 2)."),
    (dict(group=np.array([0, 1, -1, 0, 1])), ValueError, "group value -1 out of range [0, 2)."),
])
def test_fm_checks_in_order(rng, change, exc, msg):
    a = fm_args(rng)
    if "indices" in change and change["indices"] is None:
        change = dict(change)
        change["indices"] = a["indices"].copy()
        change["indices"][-1] = 5
    a.update(change)
    before = (a["w"].copy(), a["v"].copy())
    with pytest.raises(exc) as info:
        _core.fm_als_fit(**a)
    assert msg in str(info.value)
    assert np.array_equal(before[0], a["w"]) and np.array_equal(before[1], a["v"])


# ---- factorization machine ----

def fm_reference(indptr, indices, data, y, group, w0, w, v, reg0, reg_w, reg_v, n_iter):
    """The coordinate updates in plain Python with their exact rounding order."""
    n, nf = len(y), len(w)
    F = v.shape[0] if nf else 0
    w, v = w.tolist(), v.tolist()
    rows = [[(int(indices[p]), float(data[p])) for p in range(indptr[i], indptr[i + 1])] for i in range(n)]
    cols = [[] for _ in range(nf)]
    for i in range(n):
        for j, x in rows[i]:
            cols[j].append((i, x))
    e = []
    for i in range(n):
        acc = w0
        for j, x in rows[i]:
            acc = fma(w[j], x, acc)
        for f in range(F):
            s = sq = 0.0
            for j, x in rows[i]:
                t = v[f][j] * x
                s, sq = s + t, fma(t, t, sq)
            acc = fma(fma(s, s, -sq), 0.5, acc)
        e.append(acc - y[i])
    rmse = []
    for _ in range(n_iter):
        d = reg0 + float(n)
        if d != 0.0:
            s = 0.0
            for i in range(n):
                s = s + (e[i] - w0)
            new = (-s) / d
            e = [ei + (new - w0) for ei in e]
            w0 = new
        for j in range(nf):
            num = den = 0.0
            for i, x in cols[j]:
                num = fma(x, fma(-w[j], x, e[i]), num)
                den = fma(x, x, den)
            d = den + reg_w[group[j]]
            new = 0.0 if d == 0.0 else (-num) / d
            for i, x in cols[j]:
                e[i] = fma(new - w[j], x, e[i])
            w[j] = new
        for f in range(F):
            q = []
            for i in range(n):
                acc = 0.0
                for j, x in rows[i]:
                    acc = acc + v[f][j] * x
                q.append(acc)
            for j in range(nf):
                num = den = 0.0
                h = []
                for i, x in cols[j]:
                    h.append(fma(-(x * x), v[f][j], x * q[i]))
                    num, den = fma(h[-1], e[i], num), fma(h[-1], h[-1], den)
                d = reg_v[group[j]] + den
                new = 0.0 if d == 0.0 else fma(v[f][j], den, -num) / d
                for (i, x), hk in zip(cols[j], h):
                    e[i] = fma(hk, new - v[f][j], e[i])
                    q[i] = fma(x, new - v[f][j], q[i])
                v[f][j] = new
        s = 0.0
        for ei in e:
            s = s + ei * ei
        rmse.append(0.0 if n == 0 else math.sqrt(s / n))
    return w0, rmse, np.array(w), np.array(v).reshape(F, nf)


@pytest.mark.parametrize("variant", ["plain", "unsorted_duplicates", "zero_reg", "unused_feature"])
def test_fm_matches_reference(rng, variant):
    a = fm_args(rng, n=15, nf=6, F=3)
    a["n_iter"] = 3
    if variant == "unsorted_duplicates":
        # Reverse each row and store one feature twice: entries are never merged.
        p = a["indptr"]
        a["indices"] = np.concatenate([a["indices"][p[i]:p[i + 1]][::-1] for i in range(15)] + [[2]])
        a["data"] = np.concatenate([a["data"][p[i]:p[i + 1]][::-1] for i in range(15)] + [[2.0]])
        a["indptr"] = np.append(p[:-1], p[-1] + 1)
        a["indices"][p[-1] - 1] = 2
    elif variant == "zero_reg":
        a["reg0"], a["reg_w"], a["reg_v"] = 0.0, np.zeros(2), np.zeros(2)
    elif variant == "unused_feature":
        keep = a["indices"] != 3
        counts = np.array([keep[a["indptr"][i]:a["indptr"][i + 1]].sum() for i in range(15)])
        a["indptr"] = np.concatenate([[0], np.cumsum(counts)]).astype(np.int64)
        a["indices"], a["data"] = a["indices"][keep].copy(), a["data"][keep].copy()
    ref = fm_reference(**{k: (val.copy() if isinstance(val, np.ndarray) else val) for k, val in a.items()})
    w0, rmse = _core.fm_als_fit(**a)
    assert w0 == ref[0] and rmse == ref[1]
    assert np.array_equal(a["w"], ref[2]) and np.array_equal(a["v"], ref[3])
    if variant == "unused_feature":
        assert a["w"][3] == 0 and (a["v"][:, 3] == 0).all()


@pytest.mark.parametrize("reg0", [0.0, 2.5])
def test_fm_without_features_fits_the_mean(rng, reg0):
    y = rng.normal(3.0, 2.0, 50)
    w0, rmse = _core.fm_als_fit(np.zeros(51, np.int64), np.zeros(0, np.int64), np.zeros(0), y,
                                np.zeros(0, np.int64), 10.0, np.zeros(0), np.zeros((0, 0)), reg0,
                                np.ones(1), np.ones(1), 2)
    assert w0 == pytest.approx(y.sum() / (50 + reg0), rel=1e-14)
    if reg0 == 0.0:
        assert rmse[0] == pytest.approx(y.std(), rel=1e-13)


@pytest.mark.parametrize("reg0,expect", [(0.0, 4.0), (1.0, 0.0), (-0.0, 4.0)])
def test_fm_without_samples(reg0, expect):
    w0, rmse = _core.fm_als_fit(np.zeros(1, np.int64), np.zeros(0, np.int64), np.zeros(0), np.zeros(0),
                                np.zeros(2, np.int64), 4.0, np.ones(2), np.ones((3, 2)), reg0, np.ones(1),
                                np.ones(1), 3)
    assert w0 == expect and rmse == [0.0, 0.0, 0.0]


def test_fm_n_iter_zero_and_singular_bias(rng):
    a = fm_args(rng)
    a["n_iter"] = 0
    w, v = a["w"].copy(), a["v"].copy()
    assert _core.fm_als_fit(**a) == (0.0, [])
    assert np.array_equal(w, a["w"]) and np.array_equal(v, a["v"])
    a.update(n_iter=2, w0=1.5, reg0=-float(len(a["y"])))
    assert _core.fm_als_fit(**a)[0] == 1.5


def test_fm_linear_part_solves_ridge(rng):
    n, nf = 200, 8
    X = rng.normal(size=(n, nf)) * (rng.random((n, nf)) < 0.6)
    y = X @ rng.normal(size=nf) + 1.5 + 0.1 * rng.normal(size=n)
    Xs = sp.csr_matrix(X)
    group = (np.arange(nf) % 2).astype(np.int64)
    reg_w, reg0 = np.array([0.5, 3.0]), 2.0
    w = np.zeros(nf)
    w0, rmse = _core.fm_als_fit(Xs.indptr.astype(np.int64), Xs.indices.astype(np.int64), Xs.data, y, group,
                                0.0, w, np.zeros((0, nf)), reg0, reg_w, np.zeros(2), 300)
    A = np.hstack([np.ones((n, 1)), X])
    theta = np.linalg.solve(A.T @ A + np.diag(np.concatenate([[reg0], reg_w[group]])), A.T @ y)
    assert np.allclose(np.concatenate([[w0], w]), theta, rtol=1e-9, atol=1e-10)
    assert rmse[-1] == pytest.approx(np.sqrt(np.mean((A @ theta - y) ** 2)), rel=1e-9)


def fm_objective(X, y, w0, w, v, reg0, reg_w, reg_v, group):
    xv = X @ v.T
    pred = w0 + X @ w + 0.5 * (xv ** 2 - (X ** 2) @ (v ** 2).T).sum(axis=1)
    return (((pred - y) ** 2).sum() + reg0 * w0 ** 2 + (reg_w[group] * w ** 2).sum()
            + (reg_v[group] * v ** 2).sum())


def test_fm_objective_never_increases(rng):
    n, nf, F = 300, 20, 4
    X = rng.normal(size=(n, nf)) * (rng.random((n, nf)) < 0.3)
    y = rng.normal(size=n) + X[:, 0] * X[:, 1]
    Xs = sp.csr_matrix(X)
    group = (np.arange(nf) % 3).astype(np.int64)
    reg_w, reg_v = np.array([0.1, 1.0, 5.0]), np.array([0.2, 2.0, 0.5])
    w, v, w0 = np.zeros(nf), rng.normal(0, 0.1, (F, nf)), 0.0
    objs = [fm_objective(X, y, w0, w, v, 0.3, reg_w, reg_v, group)]
    for _ in range(8):
        w0, _ = _core.fm_als_fit(Xs.indptr.astype(np.int64), Xs.indices.astype(np.int64), Xs.data, y, group,
                                 w0, w, v, 0.3, reg_w, reg_v, 1)
        objs.append(fm_objective(X, y, w0, w, v, 0.3, reg_w, reg_v, group))
    assert all(b <= a * (1 + 1e-12) for a, b in zip(objs, objs[1:]))
    assert objs[-1] < 0.9 * objs[0]


FM_CHILD = r"""
import hashlib, sys
import numpy as np, scipy.sparse as sp
from quorvane import _core
rng = np.random.default_rng(3)
n, nf, F = 9000, 40, 3
X = sp.random(n, nf, density=0.1, format="csr", random_state=rng)
y = rng.normal(size=n)
w, v = np.zeros(nf), rng.normal(0, 0.1, (F, nf))
w0, rmse = _core.fm_als_fit(X.indptr.astype(np.int64), X.indices.astype(np.int64), X.data, y,
                            np.zeros(nf, np.int64), 0.0, w, v, 1.0, np.ones(1), np.ones(1), 3)
h = hashlib.sha256(np.array([w0] + rmse).tobytes() + w.tobytes() + v.tobytes()).hexdigest()
print(h)
"""


def test_fm_independent_of_default_pool_size():
    out = []
    for threads in ("1", "8"):
        env = dict(os.environ, RAYON_NUM_THREADS=threads)
        r = subprocess.run([sys.executable, "-c", FM_CHILD], env=env, capture_output=True, text=True,
                           timeout=120, check=True)
        out.append(r.stdout.strip())
    assert out[0] == out[1] and len(out[0]) == 64


def test_unreservable_n_iter_fails_before_training(rng):
    indptr, indices, U, V, b = bpr_data(rng, 8, 6, 2)
    before = (U.copy(), V.copy(), b.copy())
    with pytest.raises(MemoryError):
        _core.bpr_fit(indptr, indices, 6, U, V, b, 0.1, 0.0, True, 2**62, 0, 1)
    a = fm_args(rng)
    a["n_iter"] = 2**62
    w, v = a["w"].copy(), a["v"].copy()
    with pytest.raises(MemoryError):
        _core.fm_als_fit(**a)
    for x, y in zip(before + (w, v), (U, V, b, a["w"], a["v"])):
        assert np.array_equal(x, y)
