"""HNSW search against hnswlib, faiss IndexHNSWFlat and usearch, inner product.

Data: 100k x 64 vectors with lognormal(0, 0.7) norms (the shape of latent factors) and
300k x 32 unit vectors; M 16, ef_construction 200. Recall@10 is against the exact top 10
from numpy. For ef_search from 10 to 320: one query per call on one thread, and a batch
of 1,000 queries on 8 threads; then each peer's time per query over ours at equal recall
0.90, 0.95 and 0.99 (interpolated along each curve). The time of one query against the
item count, beside the time to read the index arrays once at the memory read bandwidth
of 8 threads measured in the same run: every call checks the whole index, so that read
is its floor. Filtered runs keep 10 % and 1 % of the items as candidates (hnswlib's filter
callback, faiss's ID selector; usearch's Python API has no filter), beside the exact scan
of the subset (`recommend_from_factors` with `candidates`). The peers work in float32,
we in float64, so a scored row costs us twice their memory traffic. Builds on one and
on 8 threads, with the share of nodes our repair leaves out of reach of the entry point.
"""
import statistics
import threading
import time

import numpy as np

from common import median_time, quick, threads
from quorvane import _core as core

M, EF_CONSTRUCTION, K = 16, 200, 10
RECALLS = (0.90, 0.95, 0.99)


def data(n, d, varied, seed, n_queries):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, d))
    if varied:
        x *= rng.lognormal(0.0, 0.7, (n, 1))
    else:
        x /= np.linalg.norm(x, axis=1, keepdims=True)
    return x, rng.standard_normal((n_queries, d))


def exact(x, q, cands, k):
    s = q @ x[cands].T
    top = np.argpartition(-s, k - 1, axis=1)[:, :k]
    return cands[top]


def recall(found, truth):
    return float(np.mean([len(set(f) & set(t)) / len(t) for f, t in zip(found, truth)]))


def no_exclusions(n_queries):
    return np.zeros(n_queries + 1, np.int64), np.zeros(0, np.int64)


def index_bytes(index):
    return sum(a.nbytes for a in index[:3])


def read_bandwidth(t, nbytes=256 << 20):
    """Bytes per second that `t` threads stream from memory: each reads its share of a
    buffer far larger than the caches with one NumPy reduction, which releases the
    interpreter lock. The index check reads the arrays in pieces that land on whichever
    thread is free, so memory, not a thread's own cache, is what it reads from."""
    buf = np.ones(nbytes, np.uint8)
    shares = np.array_split(buf, t)
    start, done = threading.Barrier(t + 1), threading.Barrier(t + 1)

    def work(v):
        start.wait()
        v.max()
        done.wait()

    best = 0.0
    for _ in range(5):
        workers = [threading.Thread(target=work, args=(v,)) for v in shares]
        for w in workers:
            w.start()
        start.wait()
        t0 = time.perf_counter()
        done.wait()
        best = max(best, buf.nbytes / (time.perf_counter() - t0))
        for w in workers:
            w.join()
    return best


def build_peers(x32, t, only=None):
    """The peers' indexes by name; `only` names the one to build."""
    peers = {}
    if only in (None, "hnswlib"):
        try:
            import hnswlib
            p = hnswlib.Index(space="ip", dim=x32.shape[1])
            p.init_index(max_elements=len(x32), ef_construction=EF_CONSTRUCTION, M=M)
            p.set_num_threads(t)
            p.add_items(x32)
            peers["hnswlib"] = p
        except ImportError:
            pass
    if only in (None, "faiss"):
        try:
            import faiss
            faiss.omp_set_num_threads(t)
            f = faiss.IndexHNSWFlat(x32.shape[1], M, faiss.METRIC_INNER_PRODUCT)
            f.hnsw.efConstruction = EF_CONSTRUCTION
            f.add(x32)
            peers["faiss"] = f
        except ImportError:
            pass
    if only in (None, "usearch"):
        try:
            from usearch.index import Index
            u = Index(ndim=x32.shape[1], metric="ip", dtype="f32", connectivity=M, expansion_add=EF_CONSTRUCTION)
            u.add(np.arange(len(x32)), x32, threads=t)
            peers["usearch"] = u
        except ImportError:
            pass
    return peers


def peer_search(name, index, ef, t, cands=None):
    """A callable answering a float32 query block, or None when the peer cannot filter."""
    if name == "hnswlib":
        index.set_num_threads(t)
        index.set_ef(ef)
        if cands is None:
            return lambda q: index.knn_query(q, k=K)[0]
        allowed = np.zeros(index.get_max_elements(), bool)
        allowed[cands] = True
        return lambda q: index.knn_query(q, k=K, filter=lambda i: allowed[i])[0]
    if name == "faiss":
        import faiss
        faiss.omp_set_num_threads(t)
        params = faiss.SearchParametersHNSW()
        params.efSearch = ef
        if cands is not None:
            sel = faiss.IDSelectorBatch(cands.astype(np.int64))
            params.sel = sel
            params._keep = sel
        return lambda q: index.search(q, K, params=params)[1]
    if name == "usearch":
        if cands is not None:
            return None
        index.expansion_search = ef
        return lambda q: index.search(q, K, threads=t).keys
    return None


def ours_search(index, x, ef, t, cands=None):
    cands = np.arange(len(x), dtype=np.int64) if cands is None else cands

    def run(q):
        return cands[core.hnsw_search_dense(*index, x, q, cands, *no_exclusions(len(q)), K, ef, t)[0]]
    return run


def one_by_one(fn, q):
    """Answers of one query per call, and the median time of a call."""
    found, times = [], []
    for i in range(len(q)):
        block = q[i:i + 1]
        fn(block)
        t0 = time.perf_counter()
        found.append(np.asarray(fn(block)).reshape(-1)[:K])
        times.append(time.perf_counter() - t0)
    return np.array(found), statistics.median(times)


def batch(fn, q):
    return fn(q), median_time(lambda: fn(q), repeat=3) / len(q)


def at_recall(points, target):
    """Seconds per query at `target` recall, interpolated along (recall, seconds) points
    taken in order of ef; None when the curve never gets there."""
    best = None
    for (r0, s0), (r1, s1) in zip(points, points[1:]):
        if r0 < target <= r1:
            return s0 + (s1 - s0) * (target - r0) / (r1 - r0)
    for r, s in points:
        if r >= target:
            best = s if best is None else min(best, s)
    return best


def sweep(table, label, x, q, index, peers, t):
    """Recall against time per query for every ef, one query per call on one thread and a
    batch on t threads; then the peers' time over ours at equal recall."""
    q32 = q.astype(np.float32)
    n_single = quick(200, 50)
    truth = exact(x, q, np.arange(len(x)), K)
    sides = {"ours": lambda ef, tt: ours_search(index, x, ef, tt)}
    for name, p in peers.items():
        sides[name] = lambda ef, tt, name=name, p=p: peer_search(name, p, ef, tt)
    for mode, tt in (("one query per call, 1 thread", 1), (f"{len(q)} queries, {t} threads", t)):
        title = f"{label}, {mode}"
        points = {name: [] for name in sides}
        for ef in quick([10, 20, 40, 80, 160, 320], [10, 40, 160]):
            for name, make in sides.items():  # interleaved, same ef
                fn = make(ef, tt)
                qq = q if name == "ours" else q32
                if tt == 1:
                    found, secs = one_by_one(fn, qq[:n_single])
                    r = recall(found, truth[:n_single])
                else:
                    found, secs = batch(fn, qq)
                    r = recall(found, truth)
                points[name].append((r, secs))
                table.curve(title, name, r, 1.0 / secs)
            ours_r, ours_s = points["ours"][-1]
            for name in peers:
                r, s = points[name][-1]
                table.add(f"{title}, ef {ef}", ours_s, name, s, f"recall@10 ours {ours_r:.3f}, peer {r:.3f}")
        for target in RECALLS:
            mine = at_recall(points["ours"], target)
            for name in peers:
                theirs = at_recall(points[name], target)
                if mine is None or theirs is None:
                    table.note(f"{title}: recall {target:.2f} not reached by "
                               + ("ours" if mine is None else name))
                    continue
                table.add(f"{title}, at recall {target:.2f}", mine, name, theirs, "per query, interpolated")


def filtered(table, label, x, q, index, peers, t):
    """Batches over 10 % and 1 % candidates, beside the exact scan of the subset."""
    rng = np.random.default_rng(7)
    q32 = q.astype(np.float32)
    rows = np.arange(len(q), dtype=np.int64)
    seen_ptr, seen_idx = np.zeros(len(q) + 1, np.int64), np.zeros(0, np.int64)
    for share in (0.1, 0.01):
        cands = np.sort(rng.choice(len(x), int(len(x) * share), replace=False)).astype(np.int64)
        truth = exact(x, q, cands, K)
        scan = median_time(lambda: core.recommend_from_factors(q, x, None, None, rows, seen_ptr, seen_idx, cands, K,
                                                               t), repeat=3) / len(q)
        title = f"{label}, {int(share * 100)} % candidates, {len(q)} queries, {t} threads"
        for ef in quick([10, 40, 160], [10, 40]):
            found, secs = batch(ours_search(index, x, ef, t, cands), q)
            r = recall(found, truth)
            table.curve(title, "ours", r, 1.0 / secs)
            table.add(f"{title}, ef {ef}", secs, "exact subset scan (ours)", scan, f"recall@10 ours {r:.3f}")
            for name, p in peers.items():
                fn = peer_search(name, p, ef, t, cands)
                if fn is None:
                    continue
                # hnswlib's filter calls back into Python for every node it visits: a few
                # queries, timed once, are enough to place it.
                few = quick(50, 10) if name == "hnswlib" else len(q)
                if few < len(q):
                    t0 = time.perf_counter()
                    pf = fn(q32[:few])
                    ps = (time.perf_counter() - t0) / few
                else:
                    pf, ps = batch(fn, q32)
                table.add(f"{title}, ef {ef}", secs, name, ps,
                          f"recall@10 ours {r:.3f}, peer {recall(pf, truth[:few]):.3f}")


def by_size(table, cases, t):
    """One query per call (ef 10) against the item count, on t threads and on one, beside
    the time to read the index arrays once at the bandwidth of t threads."""
    bandwidth = read_bandwidth(t, quick(256 << 20, 64 << 20))
    table.note(f"read bandwidth, {t} threads: {bandwidth / 1e9:.1f} GB/s")
    for n, x, q, index, peers in cases:
        nbytes = index_bytes(index)
        bound = nbytes / bandwidth
        one = q[:quick(300, 50)]
        _, many_t = one_by_one(ours_search(index, x, 10, t), one)
        _, one_t = one_by_one(ours_search(index, x, 10, 1), one)
        table.note(f"{n} x {x.shape[1]}: index {nbytes / 2**20:.2f} MiB, read once by {t} threads "
                   f"{bound * 1e6:.0f} us; one query on {t} threads {many_t * 1e6:.0f} us "
                   f"({many_t / bound:.2f} x the read), on 1 thread {one_t * 1e6:.0f} us")
        for name, p in peers.items():
            _, s = one_by_one(peer_search(name, p, 10, 1), one.astype(np.float32))
            table.add(f"one query, {n} items x {x.shape[1]}, ef 10, ours {t} threads", many_t, f"{name} 1 thread", s,
                      f"index read bound {bound * 1e6:.0f} us")


def run_build(table):
    """Build time on one and on eight threads, ours beside each peer's, with the share of
    nodes our repair leaves out of reach of the entry point over level-0 links."""
    def unreachable(index):
        node_level, indptr, indices, entry = index
        first = np.concatenate([[0], np.cumsum(node_level.astype(np.int64) + 1)])
        seen = np.zeros(len(node_level), bool)
        seen[entry] = True
        frontier = np.array([entry])
        while frontier.size:
            nxt = np.unique(np.concatenate([indices[indptr[s]:indptr[s + 1]] for s in first[frontier]]))
            frontier = nxt[~seen[nxt]]
            seen[frontier] = True
        return 1.0 - seen.mean()

    for label, n, d, varied, seed in (
            (quick("100k x 64 lognormal norms", "20k x 64 lognormal norms"), quick(100000, 20000), 64, True, 1),
            (quick("300k x 32 unit", "30k x 32 unit"), quick(300000, 30000), 32, False, 2)):
        x, _ = data(n, d, varied, seed, 1)
        x32 = x.astype(np.float32)
        for t in (1, threads(8)):
            t0 = time.perf_counter()
            index = core.hnsw_build_dense(x, M, EF_CONSTRUCTION, 0, t)
            ours = time.perf_counter() - t0
            note = f"unreachable from the entry point: ours {unreachable(index) * 100:.1f} %"
            del index
            for name in ("hnswlib", "faiss", "usearch"):
                t0 = time.perf_counter()
                if build_peers(x32, t, only=name):
                    table.add(f"{label}: build, {t} thread{'s' if t > 1 else ''}", ours, name,
                              time.perf_counter() - t0, note)


def run(table):
    run_build(table)
    t = threads(8)
    n_queries = quick(1000, 200)
    sized = []
    for n in (1000, 10000):
        x, q = data(n, 64, True, 10 + n, n_queries)
        sized.append((n, x, q, core.hnsw_build_dense(x, M, EF_CONSTRUCTION, 0, t),
                      build_peers(x.astype(np.float32), t, only="hnswlib")))
    for label, n, d, varied, seed in (
            (quick("100k x 64 lognormal norms", "20k x 64 lognormal norms"), quick(100000, 20000), 64, True, 1),
            (quick("300k x 32 unit", "30k x 32 unit"), quick(300000, 30000), 32, False, 2)):
        x, q = data(n, d, varied, seed, n_queries)
        table.note(f"{label}: building")
        index = core.hnsw_build_dense(x, M, EF_CONSTRUCTION, 0, t)
        peers = build_peers(x.astype(np.float32), t)
        sweep(table, label, x, q, index, peers, t)
        if varied:
            filtered(table, label, x, q, index, peers, t)
        sized.append((n, x, q, index, {"hnswlib": peers["hnswlib"]} if "hnswlib" in peers else {}))
        del peers
    by_size(table, sized, t)
