"""Quantized flat scan: ours against faiss scalar quantizers with exact refinement and numpy brute force.

One thread each. Ours and faiss shortlist oversample x k candidates by their codes and
rescore them exactly; numpy scores every candidate exactly in float32. Quality is
recall@10 against the exact float64 top 10. Sides are timed in one process, interleaved,
and the median is kept.

Beside each single-query figure stand its bounds, measured in the same run: a coarse score
costs one fused multiply-add per code (so n x dim of them at the float64 multiply-add rate
of this core, taken from a one-thread BLAS product), and every code byte is read once (at
the rate one thread reads the very code array, from cache and, after a read of 256 MiB,
from memory; the interleaved timing leaves the codes mostly in memory). A batch reads each
code once per tile of 16 queries.
"""
import statistics
import time

import numpy as np
import scipy.sparse as sp

from common import quick, settings
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


def best_time(fn, runs=5):
    fn()
    best = float("inf")
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def fma_rate():
    """float64 multiply-adds per second of one core: a 1024^3 one-thread BLAS product runs
    close to the core's peak."""
    n = quick(1024, 512)
    a, b = np.random.default_rng(0).standard_normal((2, n, n))
    return n ** 3 / best_time(lambda: a @ b, 3)


def read_rate(buf, evict=None):
    """Bytes per second one thread reads from `buf`: where it lives (cache) or, with a
    large `evict` array read first each time, from memory."""
    words = np.frombuffer(buf, np.uint8, len(buf) // 8 * 8).view(np.uint64)
    best = float("inf")
    for _ in range(5 if evict is None else 3):
        if evict is not None:
            evict.max()
        t0 = time.perf_counter()
        words.max()
        best = min(best, time.perf_counter() - t0)
    return words.nbytes / best


def interleaved(fns, repeat):
    """Median seconds of each function, the functions called in turn `repeat` times."""
    repeat = settings.repeat or (min(repeat, 2) if settings.quick else repeat)
    for fn in fns.values():
        fn()
    times = {name: [] for name in fns}
    for _ in range(repeat):
        for name, fn in fns.items():
            t0 = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - t0)
    return {name: statistics.median(t) for name, t in times.items()}


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


def bound_note(n_codes, n_bytes, fmas, warm, cold):
    """The multiply-add time and the read times of one query's codes; the bound named is
    the larger of the multiply-adds and the read from memory."""
    t_fma, t_warm, t_cold = n_codes / fmas, n_bytes / warm, n_bytes / cold
    which = "FMA" if t_fma >= t_cold else "memory read"
    return max(t_fma, t_cold), (f"bound {which} {max(t_fma, t_cold) * 1e3:.2f} ms (FMA {t_fma * 1e3:.2f}, "
                                f"read {t_warm * 1e3:.2f} from cache, {t_cold * 1e3:.2f} from memory)")


def dense_family(table, rng, fmas, evict, n_items, dim, batches):
    V = rng.standard_normal((n_items, dim)) * np.linspace(1.0, 0.3, dim)
    Q = rng.standard_normal((max(batches), dim)) * np.linspace(1.0, 0.3, dim)
    V32, Q32 = V.astype(np.float32), Q.astype(np.float32)
    cand = np.arange(n_items, dtype=np.int64)
    try:
        import faiss
    except ImportError:
        faiss = None
    label = f"{n_items // 1000}k x {dim}"
    indexes = {}
    if faiss is not None:
        for bits in (8, 4):
            qt = faiss.ScalarQuantizer.QT_8bit if bits == 8 else faiss.ScalarQuantizer.QT_4bit
            base = faiss.IndexScalarQuantizer(dim, qt, faiss.METRIC_INNER_PRODUCT)
            base.train(V32)
            indexes[bits] = faiss.IndexRefineFlat(base)
            indexes[bits].add(V32)
    stores = {}
    for bits in (8, 4, 2, 1):
        codes, scale, offset = quantize(V, bits)
        stores[bits] = (pack_rows(codes, bits), scale, offset)
    for nq in batches:
        q, q32 = Q[:nq], Q32[:nq]
        ex = (np.zeros(nq + 1, np.int64), np.zeros(0, np.int64))
        truth = exact_top(q @ V.T)
        results = {}

        def keep(name, fn):
            return lambda: results.__setitem__(name, fn())

        fns = {"numpy": keep("numpy", lambda: exact_top(q32 @ V32.T))}
        for oversample in (1, 4):
            for bits, (packed, scale, offset) in stores.items():
                fns[f"ours {bits} {oversample}"] = keep(f"ours {bits} {oversample}", lambda p=packed, b=bits, s=scale,
                                                        o=offset, os_=oversample: _core.quantized_search_dense(
                                                            p, b, s, o, V, q, cand, *ex, K, os_)[0])
            for bits, index in indexes.items():
                params = faiss.IndexRefineSearchParameters(k_factor=float(oversample))
                fns[f"faiss {bits} {oversample}"] = keep(f"faiss {bits} {oversample}", lambda i=index, pr=params:
                                                         i.search(q32, K, params=pr)[1])
        t = interleaved(fns, 9 if nq == 1 else 3)
        table.note(f"{label}, {nq} q: timed")
        for oversample in (1, 4):
            for bits, (packed, scale, offset) in stores.items():
                name = f"ours {bits} {oversample}"
                case = f"dense {label}, {nq} q, {bits} bit, os {oversample}"
                quality = f"recall {recall(results[name], truth):.3f}"
                if nq == 1:
                    bound, note = bound_note(n_items * dim, len(packed), fmas, read_rate(packed),
                                             read_rate(packed, evict))
                    quality += f"; {note} = {t[name] / bound:.1f}x it"
                table.curve(f"dense {label}, {nq} queries", f"ours {bits} bit", recall(results[name], truth),
                            nq / t[name])
                table.add(case, t[name], "numpy float32 brute force", t["numpy"], quality)
                if bits in indexes:
                    peer = f"faiss {bits} {oversample}"
                    rec_f = recall(results[peer], truth)
                    table.add(case, t[name], f"faiss SQ{bits} + RefineFlat (float32)", t[peer],
                              f"faiss recall {rec_f:.3f}")
                    table.curve(f"dense {label}, {nq} queries", f"faiss SQ{bits}", rec_f, nq / t[peer])


def sparse_dense_family(table, rng, n_items, dim, nnz):
    """Dense codes, CSR queries of a few columns: each candidate reads one code per query
    entry, scattered over its run."""
    V = rng.standard_normal((n_items, dim))
    cand = np.arange(n_items, dtype=np.int64)
    cols = np.sort(rng.choice(dim, nnz, replace=False)).astype(np.int64)
    vals = rng.standard_normal(nnz)
    qp, ex = np.array([0, nnz], np.int64), (np.zeros(2, np.int64), np.zeros(0, np.int64))
    truth = exact_top((V[:, cols] @ vals)[None, :])
    fns, stores = {"numpy": lambda: exact_top((V[:, cols] @ vals)[None, :])}, {}
    for bits in (8, 1):
        codes, scale, offset = quantize(V, bits)
        stores[bits] = pack_rows(codes, bits)
        fns[bits] = lambda p=stores[bits], b=bits, s=scale, o=offset: _core.quantized_search_sparse_dense(
            p, b, s, o, V, qp, cols, vals, cand, *ex, K, 4)[0]
    t = interleaved(fns, 9)
    for bits in (8, 1):
        table.add(f"sparse-dense {n_items // 1000}k x {dim}, query of {nnz}, 1 q, {bits} bit, os 4", t[bits],
                  "numpy V[:, cols] @ vals", t["numpy"], f"recall {recall(fns[bits](), truth):.3f}; "
                  f"{n_items * nnz / t[bits] / 1e9:.2f} G codes gathered/s")


def sparse_family(table, rng):
    n_items, dim, per_row = quick((300_000, 50_000, 50), (50_000, 20_000, 50))
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
        truth = exact_top((items @ qm.T).T.toarray())
        fns = {"scipy": lambda: exact_top((items @ qm.T).T.toarray())}
        for bits in (8, 1):
            lo, hi = data.min(), data.max()
            scale = (hi - lo) / ((1 << bits) - 1)
            packed = pack_stream(np.clip(np.rint((data - lo) / scale), 0, (1 << bits) - 1).astype(np.uint8), bits)
            fns[bits] = lambda p=packed, b=bits, s=scale: _core.quantized_search_sparse(
                p, b, s, lo, indptr, indices, data, dim, qp, qi, qm.data, cand, *ex, K, 4)[0]
        t = interleaved(fns, 5)
        for bits in (8, 1):
            table.add(f"sparse {n_items // 1000}k x {dim // 1000}k, {per_row}/row, {nq} q, {bits} bit, os 4",
                      t[bits], "scipy items @ q.T + argpartition", t["scipy"],
                      f"recall {recall(fns[bits](), truth):.3f}; {nq * nnz / t[bits] / 1e9:.2f} G entries gathered/s")


def run(table):
    limit_threads()
    rng = np.random.default_rng(3)
    fmas = fma_rate()
    table.note(f"float64 multiply-adds of one core: {fmas / 1e9:.1f} G/s")
    table.rows.append((f"float64 multiply-adds, one core: {fmas / 1e9:.1f} G/s", 0.0, "-", 0.0, 0.0, ""))
    evict = np.ones(quick(1 << 25, 1 << 22), np.int64)  # far beyond every cache
    for n_items, dim, batches in quick([(100_000, 128, (1, 64)), (1_000_000, 64, (1, 64))],
                                       [(20_000, 64, (1, 32))]):
        dense_family(table, rng, fmas, evict, n_items, dim, batches)
    del evict
    sparse_dense_family(table, rng, *quick((100_000, 128, 16), (20_000, 64, 8)))
    sparse_family(table, rng)
