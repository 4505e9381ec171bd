"""Serving top-k recommendations: ours against numpy/scipy, implicit and faiss on the same data.

Every peer ranks the same scores, leaves out the same seen items and keeps k = 10 per
query. Quality: the share of queries whose top-k positions equal ours (numpy, same float64
arithmetic up to rounding order) or the mean overlap of the top-k sets (implicit, faiss).
faiss's flat inner-product index holds float32 vectors and cannot leave out each user's
seen items, so it is asked for k plus the most items any of the users saw and is timed
without the filtering that follows.

A request of a few queries reads every item vector once: its bound is the factor bytes
over the machine's read bandwidth (all cores, measured at the start of the run), printed
beside the result. Requests are timed as a serving loop meets them: one at a time, with
a pause before each, so the pool's workers are asleep when the request arrives.
"""
import os
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import scipy.sparse as sp

from bench_data import copy_bandwidth
from common import median_time, quick, threads
from quorvane import _core

K = 10
BATCH = 256  # numpy peers score this many queries at a time to bound their memory
bandwidth = None  # bytes read per second, all cores, measured at the start of the run
PEERS = ("faiss-cpu",)


def read_bandwidth(mb_per_thread=32, passes=4):
    """Bytes per second read by reductions over one large array per thread, two threads per
    core, each thread passing over its array several times so that the threads' staggered
    starts do not count (best of 5)."""
    workers = 2 * os.cpu_count()
    n = mb_per_thread * (1 << 20) // 8
    src = [np.ones(n) for _ in range(workers)]

    def read(i):
        for _ in range(passes):
            np.max(src[i])

    best = float("inf")
    with ThreadPoolExecutor(workers) as pool:  # NumPy reduces without the interpreter lock
        for _ in range(5):
            t0 = time.perf_counter()
            list(pool.map(read, range(workers)))
            best = min(best, time.perf_counter() - t0)
    return workers * n * 8 * passes / best


def timed(fn, heavy):
    """(median seconds, last result); a heavy case runs once after no warm-up, a case of a
    few milliseconds gets more runs, its spread being that of one wake-up."""
    box = []

    def run():
        box.append(fn())

    if heavy:
        t0 = time.perf_counter()
        run()
        return time.perf_counter() - t0, box[-1]
    t0 = time.perf_counter()
    run()
    return median_time(run, repeat=15 if time.perf_counter() - t0 < 0.01 else 5), box[-1]


def counts(full, small):
    """Query counts: the full list, or under --quick the small one."""
    return quick(full, small)


def interactions(rng, n_users, n_items, per_user=20):
    rows = np.repeat(np.arange(n_users), per_user)
    cols = rng.integers(0, n_items, n_users * per_user)
    m = sp.csr_matrix((np.ones(len(rows)), (rows, cols)), shape=(n_users, n_items))
    m.sum_duplicates()
    m.sort_indices()
    return m


def top_k_dense(scores, seen_rows):
    """Masking of seen items, argpartition, sort of the k."""
    if seen_rows is not None:
        r, c = seen_rows.nonzero()
        scores[r, c] = -np.inf
    part = np.argpartition(-scores, K - 1, axis=1)[:, :K]
    vals = np.take_along_axis(scores, part, 1)
    order = np.argsort(-vals, axis=1, kind="stable")
    return np.take_along_axis(part, order, 1)


def batched(rows, score_fn, seen):
    out = []
    for s in range(0, len(rows), BATCH):
        r = rows[s:s + BATCH]
        out.append(top_k_dense(score_fn(r), seen[r]))
    return np.vstack(out)


def same_rows(a, b):
    return f"equal {np.mean(np.all(a == b, axis=1)):.3f}"


def overlap(a, b):
    return f"overlap {np.mean([len(set(x) & set(y)) / K for x, y in zip(a.tolist(), b.tolist())]):.3f}"


def csr(m):
    return m.indptr.astype(np.int64), m.indices.astype(np.int64), m.data.astype(np.float64)


def flat_ip_index(V, n_threads):
    """faiss's exact inner-product index over float32 copies of the item vectors, or None."""
    try:
        import faiss
    except ImportError:
        return None
    faiss.omp_set_num_threads(n_threads or os.cpu_count())
    index = faiss.IndexFlatIP(V.shape[1])
    index.add(V.astype(np.float32))
    return index


def unseen_top_k(ids, seen, rows):
    """Each row of ids without the user's seen items, cut to K."""
    out = []
    for r, u in zip(ids.tolist(), rows):
        skip = set(seen[u].indices.tolist())
        out.append([i for i in r if i not in skip][:K])
    return np.array(out)


def bench_factors(table, rng):
    try:
        from implicit.cpu.als import AlternatingLeastSquares
    except ImportError:
        AlternatingLeastSquares = None
    n_users, dim = 10_000, 64
    U = rng.standard_normal((n_users, dim))
    n_threads = threads(0)
    sizes = quick([(100_000, [1, 10, 100, 1_000, 10_000]), (1_000_000, [1, 10, 100, 1_000])],
                  [(20_000, [1, 100, 1_000])])
    for n_items, query_counts in sizes:
        V = rng.standard_normal((n_items, dim))
        seen = interactions(rng, n_users, n_items)
        sptr, sidx, _ = csr(seen)
        model = None
        if AlternatingLeastSquares is not None:
            model = AlternatingLeastSquares(factors=dim, dtype=np.float64)
            model.user_factors, model.item_factors = U, V
        model32 = None
        if AlternatingLeastSquares is not None:
            model32 = AlternatingLeastSquares(factors=dim, dtype=np.float32)
            model32.user_factors, model32.item_factors = U.astype(np.float32), V.astype(np.float32)
        flat = flat_ip_index(V, n_threads)
        U32 = U.astype(np.float32)
        extra = int(np.diff(seen.indptr).max())
        for nq in query_counts:
            rows = rng.choice(n_users, nq, replace=False).astype(np.int64)
            heavy = nq * n_items > 10**8
            t_ours, mine = timed(lambda: _core.recommend_from_factors(U, V, None, None, rows, sptr, sidx, None, K, n_threads)[0],
                                 False)
            case = f"factors {n_items // 1000}k items x{dim}, {nq} queries"
            if nq <= 8:
                # A few queries read every item vector once: the request's memory-traffic bound.
                bound = V.nbytes / bandwidth
                table.note(f"{case}: ours {t_ours * 1e3:.2f} ms, {t_ours / bound:.2f}x the memory-traffic bound "
                           f"({V.nbytes / 1e6:.0f} MB at {bandwidth / 1e9:.0f} GB/s read: {bound * 1e3:.2f} ms)")
            if nq * n_items <= 10**8:
                t_peer, theirs = timed(lambda: batched(rows, lambda r: U[r] @ V.T, seen), heavy)
                table.add(case, t_ours, "numpy matmul+argpartition", t_peer, same_rows(mine, theirs))
            if model is not None:
                user_items = seen[rows]
                t_peer, theirs = timed(
                    lambda: model.recommend(rows, user_items, N=K, filter_already_liked_items=True)[0], heavy)
                table.add(case, t_ours, "implicit recommend (float64)", t_peer, overlap(mine, np.atleast_2d(theirs)))
            if model32 is not None and nq <= 1_000:
                user_items = seen[rows]
                t_peer, theirs = timed(
                    lambda: model32.recommend(rows, user_items, N=K, filter_already_liked_items=True)[0], heavy)
                table.add(case, t_ours, "implicit recommend (float32)", t_peer, overlap(mine, np.atleast_2d(theirs)))
            if flat is not None and nq <= 1_000:
                q32 = U32[rows]
                t_peer, theirs = timed(lambda: flat.search(q32, K + extra)[1], heavy)
                table.add(case, t_ours, "faiss flat IP (float32, k+seen)", t_peer,
                          overlap(mine, unseen_top_k(theirs, seen, rows)))
        del V, model, model32, flat


def bench_few_candidates(table, rng):
    """One query over a handful of candidates of a huge catalogue: no work in proportion to it."""
    n_items, dim, n_cand = quick(10_000_000, 1_000_000), 16, 20
    V = rng.standard_normal((n_items, dim))
    U = rng.standard_normal((1_000, dim))
    seen = interactions(rng, 1_000, n_items)
    sptr, sidx, _ = csr(seen)
    cand = np.sort(rng.choice(n_items, n_cand, replace=False)).astype(np.int64)
    rows = np.array([7], dtype=np.int64)
    t_ours, mine = timed(lambda: _core.recommend_from_factors(U, V, None, None, rows, sptr, sidx, cand, 5, 0)[0], False)

    def peer():
        scores = V[cand] @ U[rows[0]]
        scores[np.isin(cand, seen[rows[0]].indices)] = -np.inf
        return cand[np.argsort(-scores, kind="stable")[:5]]

    t_peer, theirs = timed(peer, False)
    table.add(f"factors {n_items // 1_000_000}M items x{dim}, {n_cand} candidates, 1 query", t_ours,
              "numpy V[candidates] @ u + argsort", t_peer, "equal" if np.array_equal(cand[mine[0]], theirs) else "DIFFERENT")


def bench_dense(table, rng):
    n_users, n_items = 10_000, quick(20_000, 4_000)
    W = rng.standard_normal((n_items, n_items))
    X = interactions(rng, n_users, n_items)
    uptr, uidx, udata = csr(X)
    n_threads = threads(0)
    for nq in counts([1, 100, 1_000, 10_000], [1, 100, 1_000]):
        rows = rng.choice(n_users, nq, replace=False).astype(np.int64)

        t_ours, mine = timed(
            lambda: _core.recommend_from_dense_rows(uptr, uidx, udata, rows, W, None, True, K, n_threads)[0], False)
        t_peer, theirs = timed(lambda: batched(rows, lambda r: np.asarray(X[r] @ W), X), nq > 1_000)
        table.add(f"dense weights {n_items // 1000}k items, {nq} queries", t_ours, "scipy X[rows] @ W + argpartition", t_peer,
                  same_rows(mine, theirs))
    del W


def bench_similarity(table, rng):
    n_users, n_items, neighbours = 10_000, quick(50_000, 10_000), 100
    n_threads = threads(0)
    rows_s = np.repeat(np.arange(n_items), neighbours)
    cols_s = rng.integers(0, n_items, n_items * neighbours)
    S = sp.csr_matrix((rng.random(len(rows_s)), (rows_s, cols_s)), shape=(n_items, n_items))
    S.sum_duplicates()
    S.sort_indices()
    X = interactions(rng, n_users, n_items)
    uptr, uidx, udata = csr(X)
    sptr, sidx, sdata = csr(S)
    for nq in counts([1, 100, 1_000, 10_000], [1, 100, 1_000]):
        rows = rng.choice(n_users, nq, replace=False).astype(np.int64)

        t_ours, mine = timed(
            lambda: _core.recommend_from_similarity(uptr, uidx, udata, rows, sptr, sidx, sdata, None, True, K,
                                                    n_threads)[0],
            False)
        t_peer, theirs = timed(lambda: batched(rows, lambda r: (X[r] @ S).toarray(), X), nq > 1_000)
        table.add(f"similarity {n_items // 1000}k items x{neighbours} nbrs, {nq} queries", t_ours,
                  "scipy (X[rows] @ S).toarray + argpartition", t_peer, same_rows(mine, theirs))


def run(table):
    rng = np.random.default_rng(7)
    global bandwidth
    bandwidth = read_bandwidth()
    table.note(f"streaming copy bandwidth, all cores, this run: {copy_bandwidth() / 1e9:.1f} GB/s; "
               f"read bandwidth: {bandwidth / 1e9:.1f} GB/s")
    bench_factors(table, rng)
    bench_few_candidates(table, rng)
    bench_dense(table, rng)
    bench_similarity(table, rng)
