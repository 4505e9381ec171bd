"""Quantized flat scan: ours against faiss scalar quantizers with exact refinement and numpy brute force.

One thread each. Ours and faiss shortlist oversample x k candidates by their codes and
rescore them exactly; numpy scores every candidate exactly (float64 and float32). Quality
is recall@10 against the exact float64 top 10. The scan streams every candidate's codes
for every query, so its bound is memory bandwidth (measured in this run): "scan" reports
the code bytes a query reads per second (queries x candidates x code bytes / time) and
their share of the bandwidth; a tile of 16 queries reads each code once, so the bytes
actually fetched are a sixteenth of that for batches.
"""
import time

import numpy as np
import scipy.sparse as sp

from common import median_time, quick
from quorvane import _core

K = 10
PEERS = ("faiss", "numpy", "scipy")


def limit_threads():
    try:
        from threadpoolctl import threadpool_limits
        threadpool_limits(1)
    except ImportError:
        pass
    try:
        import faiss
        faiss.omp_set_num_threads(1)
    except ImportError:
        pass


def read_bandwidth():
    """Single-thread read bandwidth in bytes per second: the best of a few passes of a
    vectorized reduction over 1 GiB, far beyond every cache."""
    a = np.ones(quick(1 << 27, 1 << 25), np.int64)
    a.max()
    best = min(_timed(a.max) for _ in range(5))
    return a.nbytes / best


def _timed(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def quantize(x, bits):
    """Per-dimension min/max uniform codes: (codes, scale, offset)."""
    lo, hi = x.min(axis=0), x.max(axis=0)
    levels = (1 << bits) - 1
    scale = np.where(hi > lo, (hi - lo) / levels, 1.0)
    codes = np.clip(np.rint((x - lo) / scale), 0, levels).astype(np.uint8)
    return codes, scale, lo


def pack_rows(codes, bits):
    """Each item's codes as a byte-aligned run, the low-order code first."""
    n, dim = codes.shape
    per = 8 // bits
    width = -(-dim // per) * per
    padded = np.zeros((n, width), np.uint8)
    padded[:, :dim] = codes
    shifts = (np.arange(per, dtype=np.uint8) * bits).astype(np.uint8)
    grouped = padded.reshape(n, width // per, per) << shifts
    return np.bitwise_or.reduce(grouped, axis=2).astype(np.uint8).ravel()


def pack_stream(codes, bits):
    per = 8 // bits
    padded = np.zeros(-(-len(codes) // per) * per, np.uint8)
    padded[:len(codes)] = codes
    shifts = (np.arange(per, dtype=np.uint8) * bits).astype(np.uint8)
    return np.bitwise_or.reduce(padded.reshape(-1, per) << shifts, axis=1).astype(np.uint8)


def exact_top(scores):
    part = np.argpartition(-scores, K - 1, axis=1)[:, :K]
    order = np.argsort(-np.take_along_axis(scores, part, 1), axis=1, kind="stable")
    return np.take_along_axis(part, order, 1)


def recall(found, truth):
    return np.mean([len(set(a) & set(b)) / K for a, b in zip(found.tolist(), truth.tolist())])


def timed(fn, n_queries, heavy=False):
    box = []
    t = median_time(lambda: box.append(fn()), repeat=1 if heavy else 3, warmup=0 if heavy else 1)
    return t, box[-1]


def dense_family(table, rng, bandwidth, n_items, dim, batches):
    V = rng.standard_normal((n_items, dim)) * np.linspace(1.0, 0.3, dim)
    Q = rng.standard_normal((max(batches), dim)) * np.linspace(1.0, 0.3, dim)
    V32, Q32 = V.astype(np.float32), Q.astype(np.float32)
    try:
        import faiss
    except ImportError:
        faiss = None
    for share in (1.0, 0.1):
        cand = np.arange(n_items, dtype=np.int64) if share == 1.0 else \
            np.sort(rng.choice(n_items, int(n_items * share), replace=False)).astype(np.int64)
        label = f"{n_items // 1000}k x {dim}" + ("" if share == 1.0 else ", 10% candidates")
        for nq in batches:
            q = Q[:nq]
            ex = (np.zeros(nq + 1, np.int64), np.zeros(0, np.int64))
            truth = exact_top(q @ V[cand].T)
            heavy = nq * len(cand) * dim > 4e9
            t_np, _ = timed(lambda: exact_top(q @ V[cand].T if share < 1 else q @ V.T), nq, heavy)
            t_np32, _ = timed(lambda: exact_top(Q32[:nq] @ (V32[cand] if share < 1 else V32).T), nq, heavy)
            for bits in (8, 4, 2, 1):
                codes, scale, offset = quantize(V, bits)
                packed = pack_rows(codes, bits)
                row_bytes = len(packed) // n_items
                index = None
                if faiss is not None and bits in (8, 4):
                    qt = faiss.ScalarQuantizer.QT_8bit if bits == 8 else faiss.ScalarQuantizer.QT_4bit
                    base = faiss.IndexScalarQuantizer(dim, qt, faiss.METRIC_INNER_PRODUCT)
                    base.train(V32)
                    index = faiss.IndexRefineFlat(base)
                    index.add(V32)
                for oversample in (1, 4, 16):
                    t, (pos, _) = timed(lambda: _core.quantized_search_dense(
                        packed, bits, scale, offset, V, q, cand, *ex, K, oversample), nq)
                    rec = recall(cand[pos] if share < 1 else pos, cand[truth] if share < 1 else truth)
                    rate = nq * len(cand) * row_bytes / t
                    case = f"dense {label}, {nq} q, {bits} bit, os {oversample}"
                    quality = f"recall {rec:.3f}; scan {rate / 1e9:.1f} GB/s = {rate / bandwidth:.2f} x bw"
                    table.curve(f"dense {label}, {nq} queries", f"ours {bits} bit", rec, nq / t)
                    table.add(case, t, "numpy float64 brute force", t_np, quality)
                    table.add(case, t, "numpy float32 brute force", t_np32, "recall 1.000 (float64 truth)")
                    if index is not None:
                        params = faiss.IndexRefineSearchParameters(k_factor=float(oversample))
                        if share < 1:
                            params.base_index_params = faiss.SearchParametersPreTransform()
                            params = faiss.IndexRefineSearchParameters(
                                k_factor=float(oversample),
                                base_index_params=faiss.SearchParameters(sel=faiss.IDSelectorBatch(cand)))
                        t_f, (_, ids) = timed(lambda: index.search(Q32[:nq], K, params=params), nq)
                        rec_f = recall(ids, cand[truth] if share < 1 else truth)
                        table.add(case, t, f"faiss SQ{bits} + RefineFlat (float32)", t_f, f"faiss recall {rec_f:.3f}")
                        table.curve(f"dense {label}, {nq} queries", f"faiss SQ{bits}", rec_f, nq / t_f)
                del index


def sparse_family(table, rng, bandwidth):
    n_items, dim, per_row = quick((1_000_000, 50_000, 50), (100_000, 20_000, 50))
    nnz = n_items * per_row
    indptr = np.arange(0, nnz + 1, per_row, dtype=np.int64)
    indices = np.sort(rng.integers(0, dim, nnz).reshape(n_items, per_row), axis=1).ravel().astype(np.int64)
    data = rng.random(nnz)
    items = sp.csr_matrix((data, indices, indptr), shape=(n_items, dim))
    cand = np.arange(n_items, dtype=np.int64)
    for nq in (1, 16):
        qm = sp.random(nq, dim, density=50 / dim, format="csr", random_state=rng)
        qm.sort_indices()
        qp, qi = qm.indptr.astype(np.int64), qm.indices.astype(np.int64)
        ex = (np.zeros(nq + 1, np.int64), np.zeros(0, np.int64))
        t_sp, _ = timed(lambda: exact_top((items @ qm.T).T.toarray()), nq)
        truth = exact_top((items @ qm.T).T.toarray())
        for bits in (8, 4, 2, 1):
            lo, hi = data.min(), data.max()
            scale = (hi - lo) / ((1 << bits) - 1)
            packed = pack_stream(np.clip(np.rint((data - lo) / scale), 0, (1 << bits) - 1).astype(np.uint8), bits)
            for oversample in (1, 4, 16):
                t, (pos, _) = timed(lambda: _core.quantized_search_sparse(
                    packed, bits, scale, lo, indptr, indices, data, dim, qp, qi, qm.data, cand, *ex, K,
                    oversample), nq)
                # Per query the scan streams every item's codes, column indices and pointer.
                rate = nq * (len(packed) + indices.nbytes + indptr.nbytes) / t
                table.add(f"sparse {n_items // 1000}k x {dim // 1000}k, {per_row}/row, {nq} q, {bits} bit, "
                          f"os {oversample}", t, "scipy items @ q.T + argpartition", t_sp,
                          f"recall {recall(pos, truth):.3f}; scan {rate / 1e9:.2f} GB/s = {rate / bandwidth:.2f} x bw")


def run(table):
    limit_threads()
    rng = np.random.default_rng(3)
    bandwidth = read_bandwidth()
    table.note(f"single-thread read bandwidth {bandwidth / 1e9:.1f} GB/s")
    table.rows.append((f"memory bandwidth, one thread: {bandwidth / 1e9:.1f} GB/s", 0.0, "-", 0.0, 0.0, ""))
    for n_items, dim, batches in quick([(100_000, 128, (1, 64)), (1_000_000, 64, (1, 64))],
                                       [(20_000, 64, (1, 32))]):
        dense_family(table, rng, bandwidth, n_items, dim, batches)
    sparse_family(table, rng, bandwidth)
