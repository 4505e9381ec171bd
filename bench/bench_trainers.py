"""Latent-factor trainers side by side.

BPR against implicit's CPU BayesianPersonalizedRanking on interactions shaped like a large
ratings set (power-law items, log-normal user activity), 64 factors plus an item bias, the
same epochs, learning rate, regularization and threads, and the same sampling (implicit
draws negatives as the items of random stored entries, our `popularity_negatives`):
seconds per epoch and the AUC on one held-out interaction per user against sampled unseen
items. Both sides update shared rows without locks, so what bounds them on many threads is
the popular item rows moving between cores (three in four samples touch one of the 1,000
most popular items); the last line compares how much of the one-thread speed each keeps
per thread.

FM ALS against a numpy implementation of the same coordinate updates and, when it is
installed, myFM's Gibbs-sampling regressor: seconds per sweep and training RMSE.
"""
import contextlib
import io
import os
import time

import numpy as np
import scipy.sparse as sp

from common import quick, threads
from quorvane import _core

FACTORS = 64
LR, REG = 0.05, 0.01


def ratings_like(rng, n_users=100_000, n_items=20_000, nnz=5_000_000):
    pop = 1.0 / np.arange(1, n_items + 1) ** 0.9
    pop /= pop.sum()
    activity = rng.lognormal(0.0, 1.0, n_users)
    activity *= nnz * 1.1 / activity.sum()
    rows = np.repeat(np.arange(n_users), rng.poisson(activity))
    # A planted taste: each user favours one of 20 item groups.
    groups = rng.integers(0, 20, n_users)
    cols = rng.choice(n_items, size=len(rows), p=pop)
    liked = rng.random(len(rows)) < 0.5
    cols[liked] = (cols[liked] // 20) * 20 + groups[rows[liked]]
    cols = np.minimum(cols, n_items - 1)
    m = sp.csr_matrix((np.ones(len(rows)), (rows, cols)), shape=(n_users, n_items))
    m.sum_duplicates()
    m.sort_indices()
    m.data[:] = 1.0
    return m


def hold_out(rng, m):
    """One interaction of every user with at least two, removed from the training matrix."""
    lengths = np.diff(m.indptr)
    users = np.flatnonzero(lengths >= 2)
    pick = m.indptr[users] + (rng.random(len(users)) * lengths[users]).astype(np.int64)
    keep = np.ones(m.nnz, bool)
    keep[pick] = False
    rows = np.repeat(np.arange(m.shape[0]), lengths)
    train = sp.csr_matrix((m.data[keep], (rows[keep], m.indices[keep])), shape=m.shape)
    train.sort_indices()
    return train, users, m.indices[pick]


def auc(rng, full, users, held, user_factors, item_factors, n_neg=100):
    neg = rng.integers(0, full.shape[1], (len(users), n_neg))
    sub = full[users]
    seen = np.asarray(sub[np.arange(len(users))[:, None], neg].todense()) > 0
    u = user_factors[users]
    pos = np.einsum("ij,ij->i", u, item_factors[held])[:, None]
    negs = np.einsum("ik,ijk->ij", u, item_factors[neg])
    wins = (pos > negs) + 0.5 * (pos == negs)
    return float((wins * ~seen).sum() / (~seen).sum())


def implicit_fit(train, n_threads, epochs):
    try:
        from implicit.cpu.bpr import BayesianPersonalizedRanking
    except ImportError as e:
        print(f"  implicit not available: {e}")
        return None
    model = BayesianPersonalizedRanking(factors=FACTORS, learning_rate=LR, regularization=REG,
                                        iterations=epochs, num_threads=n_threads, random_state=7)
    data = train.astype(np.float32)
    t = time.perf_counter()
    model.fit(data, show_progress=False)
    model.elapsed = time.perf_counter() - t
    return model


def bench_bpr(table):
    n_threads, n_epochs, rounds = threads(8), quick(10, 3), quick(2, 1)
    rng = np.random.default_rng(0)
    full = ratings_like(rng, *quick((100_000, 20_000, 5_000_000), (10_000, 3_000, 300_000)))
    train, users, held = hold_out(rng, full)
    n_users, n_items = train.shape
    indptr, indices = train.indptr.astype(np.int64), train.indices.astype(np.int64)
    table.note(f"BPR data: {n_users} users, {n_items} items, {train.nnz} training interactions")

    # The machine is shared: each side runs rounds times, alternating, and the fastest
    # round counts.
    ours = peer = float("inf")
    for _ in range(rounds):
        # implicit's initialisation; its bias is the last item column.
        init = np.random.default_rng(1)
        U = (init.random((n_users, FACTORS)) - 0.5) / FACTORS
        V = (init.random((n_items, FACTORS)) - 0.5) / FACTORS
        b = np.zeros(n_items)
        t = time.perf_counter()
        _core.bpr_fit(indptr, indices, n_items, U, V, b, LR, REG, True, n_epochs, 7, n_threads,
                      popularity_negatives=True)
        ours = min(ours, (time.perf_counter() - t) / n_epochs)
        model = implicit_fit(train, n_threads, n_epochs)
        if model is not None:
            peer = min(peer, model.elapsed / n_epochs)
    ours_auc = auc(np.random.default_rng(2), full, users, held,
                   np.hstack([U, np.ones((n_users, 1))]), np.hstack([V, b[:, None]]))
    case = f"bpr_fit {train.nnz // 1000}k nnz F={FACTORS} {n_threads}T (s/epoch)"
    if model is None:
        table.add(case, ours, "no peer", float("nan"), f"AUC ours {ours_auc:.4f}")
        return
    peer_auc = auc(np.random.default_rng(2), full, users, held, np.asarray(model.user_factors),
                   np.asarray(model.item_factors))
    table.add(case, ours, "implicit BPR (float32)", peer, f"AUC ours {ours_auc:.4f} / implicit {peer_auc:.4f}")

    # One worker each: the cost per sample without the shared memory system in the way.
    epochs = quick(3, 1)
    init = np.random.default_rng(1)
    U = (init.random((n_users, FACTORS)) - 0.5) / FACTORS
    V = (init.random((n_items, FACTORS)) - 0.5) / FACTORS
    b = np.zeros(n_items)
    t = time.perf_counter()
    _core.bpr_fit(indptr, indices, n_items, U, V, b, LR, REG, True, epochs, 7, 1, popularity_negatives=True)
    ours_1 = (time.perf_counter() - t) / epochs
    model = implicit_fit(train, 1, epochs)
    table.add(f"bpr_fit {train.nnz // 1000}k nnz F={FACTORS} 1T (s/epoch)", ours_1, "implicit BPR (float32)",
              model.elapsed / epochs, f"{epochs} epochs each")
    workers = n_threads or os.cpu_count()
    table.note(f"BPR on {workers} threads: {ours_1 / ours:.2f}x one thread for ours "
               f"({ours_1 / ours / workers:.0%} per thread), {model.elapsed / epochs / peer:.2f}x for implicit "
               f"({model.elapsed / epochs / peer / workers:.0%})")


def fm_data(rng, n_users=10_000, n_items=2_000, n=500_000, rank=4):
    u = rng.integers(0, n_users, n)
    i = rng.integers(0, n_items, n)
    p, q = rng.normal(0, 0.5, (n_users, rank)), rng.normal(0, 0.5, (n_items, rank))
    y = 3.0 + rng.normal(0, 0.3, n_users)[u] + rng.normal(0, 0.3, n_items)[i] + (p[u] * q[i]).sum(1)
    y += rng.normal(0, 0.5, n)
    rows = np.repeat(np.arange(n), 2)
    cols = np.stack([u, n_users + i], 1).ravel()
    X = sp.csr_matrix((np.ones(2 * n), (rows, cols)), shape=(n, n_users + n_items))
    group = np.concatenate([np.zeros(n_users, np.int64), np.ones(n_items, np.int64)])
    return X, y, group


def fm_numpy(X, y, group, w0, w, v, reg0, reg_w, reg_v, n_iter):
    """The same coordinate updates with numpy over the columns of a CSC copy."""
    Xc = X.tocsc()
    indptr, rows, vals = Xc.indptr, Xc.indices, Xc.data
    xv = X @ v.T
    e = w0 + X @ w + 0.5 * (xv ** 2 - (X.multiply(X)) @ (v ** 2).T).sum(1) - y
    rmse = []
    for _ in range(n_iter):
        new = -(e - w0).sum() / (reg0 + len(y))
        e += new - w0
        w0 = new
        for j in range(len(w)):
            r, x = rows[indptr[j]:indptr[j + 1]], vals[indptr[j]:indptr[j + 1]]
            num = x @ (e[r] - w[j] * x)
            new = -num / (x @ x + reg_w[group[j]])
            e[r] += (new - w[j]) * x
            w[j] = new
        for f in range(v.shape[0]):
            q = X @ v[f]
            for j in range(len(w)):
                r, x = rows[indptr[j]:indptr[j + 1]], vals[indptr[j]:indptr[j + 1]]
                h = x * q[r] - x * x * v[f, j]
                den = h @ h
                new = (v[f, j] * den - h @ e[r]) / (reg_v[group[j]] + den)
                d = new - v[f, j]
                e[r] += h * d
                q[r] += x * d
                v[f, j] = new
        rmse.append(float(np.sqrt(np.mean(e ** 2))))
    return w0, rmse


def bench_fm(table):
    rng = np.random.default_rng(3)
    n_users, n_items, n_samples = quick((10_000, 2_000, 500_000), (2_000, 500, 50_000))
    X, y, group = fm_data(rng, n_users, n_items, n_samples)
    n, nf = X.shape
    rank, sweeps, ref_sweeps = 8, quick(10, 3), quick(2, 1)
    reg_w, reg_v = np.array([1.0, 1.0]), np.array([5.0, 5.0])
    v0 = np.random.default_rng(4).normal(0, 0.1, (rank, nf))
    table.note(f"FM data: {n} samples, {nf} one-hot features, rank {rank}")
    args = (X.indptr.astype(np.int64), X.indices.astype(np.int64), X.data, y, group)

    w, v = np.zeros(nf), v0.copy()
    t = time.perf_counter()
    _, rmse = _core.fm_als_fit(*args, 0.0, w, v, 1.0, reg_w, reg_v, sweeps)
    ours = (time.perf_counter() - t) / sweeps

    w, v = np.zeros(nf), v0.copy()
    _, rmse_short = _core.fm_als_fit(*args, 0.0, w, v, 1.0, reg_w, reg_v, ref_sweeps)
    w, v = np.zeros(nf), v0.copy()
    t = time.perf_counter()
    _, ref = fm_numpy(X, y, group, 0.0, w, v, 1.0, reg_w, reg_v, ref_sweeps)
    peer = (time.perf_counter() - t) / ref_sweeps
    table.add(f"fm_als_fit {n // 1000}k x {nf} rank {rank} (s/sweep)", ours, "numpy, same updates", peer,
              f"RMSE after {ref_sweeps}: ours {rmse_short[-1]:.5f} / numpy {ref[-1]:.5f}")
    try:
        import myfm
    except ImportError as e:
        print(f"  myfm not available: {e}")
        return
    model = myfm.MyFMRegressor(rank=rank, random_seed=5)
    t = time.perf_counter()
    with contextlib.redirect_stderr(io.StringIO()):  # its progress bar
        model.fit(X, y, n_iter=sweeps, n_kept_samples=1, group_shapes=[n_users, n_items])
    peer = (time.perf_counter() - t) / sweeps
    peer_rmse = float(np.sqrt(np.mean((model.predict(X) - y) ** 2)))
    table.add(f"fm_als_fit {n // 1000}k x {nf} rank {rank} (s/sweep)", ours, "myFM Gibbs regressor", peer,
              f"train RMSE after {sweeps}: ours {rmse[-1]:.5f} / myFM {peer_rmse:.5f}")


def run(table):
    bench_bpr(table)
    bench_fm(table)
