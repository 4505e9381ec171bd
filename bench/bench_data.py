"""Data preparation: coo_to_csr, factorize, top_k_per_row, csr_top_k_per_row."""
import os
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import scipy.sparse as sp

from common import median_time, quick, threads
from quorvane import _core

try:
    import pandas as pd
except ImportError:  # pragma: no cover
    pd = None


def millions(n):
    return f"{n / 1e6:g}M" if n >= 1_000_000 else f"{n // 1000}k"


def copy_bandwidth(workers=None, mb_per_thread=128):
    """Bytes per second read plus written by one large copy per core, all at once."""
    workers = workers or os.cpu_count()
    n = mb_per_thread * (1 << 20) // 8
    src = [np.ones(n) for _ in range(workers)]
    dst = [np.empty(n) for _ in range(workers)]
    best = float("inf")
    with ThreadPoolExecutor(workers) as pool:  # NumPy copies without the interpreter lock
        for _ in range(5):
            t0 = time.perf_counter()
            list(pool.map(lambda i: np.copyto(dst[i], src[i]), range(workers)))
            best = min(best, time.perf_counter() - t0)
    return 2 * workers * n * 8 / best


def run(table):
    rng = np.random.default_rng(0)
    n_threads = threads(0)

    bandwidth = copy_bandwidth()
    table.note(f"streaming copy bandwidth, all cores, this run: {bandwidth / 1e9:.1f} GB/s")
    n_rows, n_cols = quick((160_000, 60_000), (40_000, 15_000))
    for nnz in quick((1_000_000, 25_000_000), (1_000_000, 2_000_000)):
        rows = rng.integers(0, n_rows, nnz)
        cols = rng.integers(0, n_cols, nnz)
        data = np.ones(nnz)
        ref = sp.coo_matrix((data, (rows, cols)), shape=(n_rows, n_cols)).tocsr()
        ref.sum_duplicates()
        # Every entry is read (24 bytes) and written (16 bytes) at least once.
        bound = 40 * nnz / bandwidth
        repeat = 5 if nnz < 5_000_000 else 3
        for n in sorted({2, n_threads}):
            ours = median_time(lambda: _core.coo_to_csr(rows, cols, data, n_rows, n_cols, n), repeat=repeat)
            peer = median_time(lambda: sp.coo_matrix((data, (rows, cols)), shape=(n_rows, n_cols)).tocsr(),
                               repeat=repeat)
            ip, ix, dv = _core.coo_to_csr(rows, cols, data, n_rows, n_cols, n)
            same = np.array_equal(ip, ref.indptr) and np.array_equal(ix, ref.indices) and np.array_equal(dv, ref.data)
            table.add(f"coo_to_csr {millions(nnz)}, {millions(n_rows)} x {millions(n_cols)}, {n or 'all'} threads",
                      ours, "scipy coo_matrix.tocsr", peer,
                      ("equal" if same else "DIFFERENT") + f"; {ours / bound:.1f}x the streaming bound")
            del ip, ix, dv
        del rows, cols, data, ref

    n_ids, n_distinct = quick((25_000_000, 1_000_000), (2_000_000, 100_000))
    ids = rng.integers(0, n_distinct, n_ids) * 7919 + 12345  # sparse range
    ids_case = f"factorize {millions(n_ids)} ids, {millions(n_distinct)} distinct"
    ours = median_time(lambda: _core.factorize(ids), repeat=3)
    u, c = _core.factorize(ids)
    if pd is not None:
        peer = median_time(lambda: pd.factorize(ids, sort=True), repeat=3)
        pc, pu = pd.factorize(ids, sort=True)
        table.add(ids_case, ours, "pandas.factorize(sort=True)", peer,
                  "equal" if np.array_equal(pu, u) and np.array_equal(pc, c) else "DIFFERENT")
    peer = median_time(lambda: np.unique(ids, return_inverse=True), repeat=3)
    nu, nc = np.unique(ids, return_inverse=True)
    table.add(ids_case, ours, "np.unique(return_inverse=True)", peer,
              "equal" if np.array_equal(nu, u) and np.array_equal(nc.reshape(-1), c) else "DIFFERENT")
    del ids, u, c

    score_rows, score_cols = quick((10_000, 20_000), (2_000, 10_000))
    scores = rng.random((score_rows, score_cols))
    empty_ptr = np.zeros(score_rows + 1, dtype=np.int64)
    empty_idx = np.zeros(0, dtype=np.int64)
    for k in (10, 100):
        ours = median_time(lambda: _core.top_k_per_row(scores, empty_ptr, empty_idx, k))

        def numpy_top_k():
            part = np.argpartition(-scores, k, axis=1)[:, :k]
            vals = np.take_along_axis(scores, part, axis=1)
            return np.take_along_axis(part, np.argsort(-vals, axis=1, kind="stable"), axis=1)

        peer = median_time(numpy_top_k, repeat=3)
        same = np.array_equal(_core.top_k_per_row(scores, empty_ptr, empty_idx, k), numpy_top_k())
        table.add(f"top_k_per_row {millions(score_rows)} x {millions(score_cols)}, k={k}", ours, "np.argpartition + sort", peer,
                  "equal" if same else "DIFFERENT")
    del scores

    m_rows = quick(100_000, 20_000)
    m = sp.random(m_rows, 20_000, density=0.005, format="csr", random_state=rng)
    m.sort_indices()
    ip, ix, dv = m.indptr.astype(np.int64), m.indices.astype(np.int64), m.data
    k = 20
    ours = median_time(lambda: _core.csr_top_k_per_row(ip, ix, dv, 20_000, k, n_threads))

    def numpy_prune():
        lengths = np.diff(ip)
        row_of = np.repeat(np.arange(len(lengths)), lengths)
        order = np.lexsort((-dv, row_of))
        rank = np.arange(len(dv)) - np.repeat(ip[:-1], lengths)
        keep = order[rank < k]
        keep.sort()
        counts = np.bincount(row_of[keep], minlength=len(lengths))
        return np.concatenate([[0], np.cumsum(counts)]), ix[keep], dv[keep]

    peer = median_time(numpy_prune, repeat=3)
    a = _core.csr_top_k_per_row(ip, ix, dv, 20_000, k, n_threads)
    b = numpy_prune()
    same = all(np.array_equal(x, y) for x, y in zip(a, b))
    table.add(f"csr_top_k_per_row {millions(m_rows)} x 20k, {millions(m.nnz)} nnz, k={k}", ours, "numpy lexsort reference", peer,
              "equal" if same else "DIFFERENT")
