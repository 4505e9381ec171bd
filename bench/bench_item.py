"""Item-item models against scipy (R^T R, then per-row top-k) and implicit's item-item fit.

Data: a generated users x items interaction matrix shaped like a large public ratings
set (about 140k users, 27k items, 19M entries, item popularity and user activity both
heavy-tailed). The scipy peers run on a smaller slice (20k users, 10k items), since a
sparse R^T R of the full set holds hundreds of millions of entries.
"""
import os
import tempfile

import numpy as np
import scipy.sparse as sp

from common import median_time, quick, threads
from quorvane import _core as core

K = 100


def interactions(n_users, n_items, nnz, seed):
    path = os.path.join(tempfile.gettempdir(), f"quorvane_bench_item_{n_users}_{n_items}_{nnz}_{seed}.npz")
    if os.path.exists(path):
        z = np.load(path)
        return sp.csr_matrix((z["data"], z["indices"], z["indptr"]), shape=(n_users, n_items))
    rng = np.random.default_rng(seed)
    p = (np.arange(1, n_items + 1) + 100.0) ** -1.3
    p /= p.sum()
    perm = rng.permutation(n_items)
    act = 20 + rng.lognormal(4.2, 1.1, n_users)
    act = np.minimum(act / act.sum() * nnz * 1.08, n_items // 3).astype(np.int64)
    users = np.repeat(np.arange(n_users, dtype=np.int64), act)
    key = np.unique(users * n_items + perm[rng.choice(n_items, size=users.size, p=p)])
    m = sp.csr_matrix((np.ones(key.size), (key // n_items, key % n_items)), shape=(n_users, n_items))
    m.sort_indices()
    np.savez(path, indptr=m.indptr, indices=m.indices, data=m.data)
    return m


def arrays(m):
    return m.indptr.astype(np.int64), m.indices.astype(np.int64), m.data.astype(np.float64)


def scipy_top_k(s, k):
    """Per-row top-k of a CSR product, as (indptr, indices, data) with sorted columns."""
    s = s.tocsr()
    out_ptr, out_idx, out_val = [0], [], []
    for r in range(s.shape[0]):
        b, e = s.indptr[r], s.indptr[r + 1]
        cols, vals = s.indices[b:e], s.data[b:e]
        if e - b > k:
            keep = np.argpartition(-vals, k - 1)[:k]
            order = np.sort(keep)
            cols, vals = cols[order], vals[order]
        out_idx.append(cols)
        out_val.append(vals)
        out_ptr.append(out_ptr[-1] + len(cols))
    return np.array(out_ptr), np.concatenate(out_idx), np.concatenate(out_val)


def same_scores(a, b):
    """Rows hold the same multiset of scores (ties may pick different columns)."""
    (pa, _, da), (pb, _, db) = a, b
    if len(pa) != len(pb):
        return False
    return all(np.allclose(np.sort(da[pa[r]:pa[r + 1]]), np.sort(db[pb[r]:pb[r + 1]]), rtol=1e-12, atol=0)
               for r in range(len(pa) - 1))


def neighbour_recall(ours, peer):
    """Share of the peer's neighbour sets that ours contains (row by row, pooled)."""
    (pa, ia, _), peer_csr = ours, peer.tocsr()
    hit = total = 0
    for r in range(len(pa) - 1):
        theirs = peer_csr.indices[peer_csr.indptr[r]:peer_csr.indptr[r + 1]]
        theirs = theirs[theirs != r]
        hit += np.intersect1d(ia[pa[r]:pa[r + 1]], theirs).size
        total += theirs.size
    return hit / max(total, 1)


def shape(m):
    return f"{m.shape[0] // 1000}k x {m.shape[1] // 1000}k"


def run(table):
    n_threads = threads(0)  # the default pool: every core
    small = interactions(*quick((20_000, 10_000, 1_500_000), (5_000, 3_000, 200_000)), seed=3)
    ip, ix, d = arrays(small)
    n = small.shape[1]
    table.note(f"medium: {small.shape[0]} users x {n} items, {small.nnz} entries")

    ours = median_time(lambda: core.item_gram(ip, ix, d, n, n_threads), repeat=3)
    peer = median_time(lambda: (small.T @ small).toarray(), repeat=3)
    equal = np.array_equal(core.item_gram(ip, ix, d, n, n_threads), (small.T @ small).toarray())
    table.add(f"item_gram {shape(small)}", ours, "scipy R.T @ R, dense", peer, "equal" if equal else "DIFFERENT")

    f_ours = lambda: core.item_knn_top_k(ip, ix, d, n, K, n_threads)
    f_peer = lambda: scipy_top_k(small.T @ small, K)
    ok = same_scores(f_ours(), f_peer())
    table.add(f"item_knn_top_k k={K} {shape(small)}", median_time(f_ours, repeat=3), "scipy R.T @ R + top-k",
              median_time(f_peer, repeat=1, warmup=0), "equal scores" if ok else "DIFFERENT")

    norms = np.sqrt(np.asarray(small.multiply(small).sum(axis=0)).ravel())
    shrink = 10.0

    def cosine_peer():
        s = (small.T @ small).tocsr()
        s.setdiag(0)
        s.eliminate_zeros()
        rows = np.repeat(np.arange(n), np.diff(s.indptr))
        s.data = s.data / (norms[rows] * norms[s.indices] + shrink)
        return scipy_top_k(s, K)

    f_ours = lambda: core.item_cosine_top_k(ip, ix, d, n, norms, shrink, K, n_threads)
    ok = same_scores(f_ours(), cosine_peer())
    table.add(f"item_cosine_top_k k={K} {shape(small)}", median_time(f_ours, repeat=3), "scipy R.T @ R, scaled + top-k",
              median_time(cosine_peer, repeat=1, warmup=0), "equal scores" if ok else "DIFFERENT")

    alpha, beta = 0.8, 0.3
    deg_u = np.maximum(np.diff(small.indptr), 1)
    pui = small.copy()
    pui.data = (pui.data / np.repeat(deg_u, np.diff(small.indptr))) ** alpha
    pop = np.maximum(np.asarray(small.sum(axis=0)).ravel(), 1)
    row_scale = np.ones(n)
    col_scale = pop ** -beta
    pp, px, pd = arrays(pui)

    def rp3_peer():
        holds = small.copy()
        holds.data[:] = 1.0
        s = (holds.T @ pui).tocsr()
        s.setdiag(0)
        s.eliminate_zeros()
        s.data = s.data * col_scale[s.indices]
        return scipy_top_k(s, K)

    f_ours = lambda: core.rp3beta_similarity(pp, px, pd, n, row_scale, col_scale, K, n_threads)
    ok = same_scores(f_ours(), rp3_peer())
    table.add(f"rp3beta_similarity k={K} {shape(small)}", median_time(f_ours, repeat=3), "scipy walk product + top-k",
              median_time(rp3_peer, repeat=1, warmup=0), "equal scores" if ok else "DIFFERENT")

    big = interactions(*quick((140_000, 27_000, 20_000_000), (20_000, 6_000, 1_000_000)), seed=7)
    bp, bx, bd = arrays(big)
    bn = big.shape[1]
    table.note(f"large: {big.shape[0]} users x {bn} items, {big.nnz} entries")
    try:
        from implicit.nearest_neighbours import CosineRecommender, ItemItemRecommender
    except ImportError as e:
        print(f"  implicit not available: {e}")
        return
    bnorms = np.sqrt(np.asarray(big.multiply(big).sum(axis=0)).ravel())
    f_ours = lambda: core.item_cosine_top_k(bp, bx, bd, bn, bnorms, 0.0, K, n_threads)
    model = CosineRecommender(K=K + 1)  # its neighbour lists include the item itself
    f_peer = lambda: model.fit(big, show_progress=False)
    t_ours = median_time(f_ours, repeat=3, warmup=1)
    t_peer = median_time(f_peer, repeat=3, warmup=1)
    recall = neighbour_recall(f_ours(), model.similarity)
    table.add(f"item_cosine_top_k k={K} {shape(big)}", t_ours, "implicit CosineRecommender.fit", t_peer,
              f"neighbour recall {recall:.4f}")

    f_ours = lambda: core.item_knn_top_k(bp, bx, bd, bn, K, n_threads)
    model = ItemItemRecommender(K=K)
    f_peer = lambda: model.fit(big, show_progress=False)
    t_ours = median_time(f_ours, repeat=3, warmup=1)
    t_peer = median_time(f_peer, repeat=3, warmup=1)
    recall = neighbour_recall(f_ours(), model.similarity)
    table.add(f"item_knn_top_k k={K} {shape(big)}", t_ours, "implicit ItemItemRecommender.fit", t_peer,
              f"neighbour recall {recall:.4f}")
