"""HNSW build and search against hnswlib, faiss IndexHNSWFlat and usearch, inner product.

Data: 100k x 64 vectors of varied norms (the shape of latent factors) and 1M x 32 unit
vectors, M 16, ef_construction 200; ef_search swept. Recall@10 is against the exact top
10 from numpy. Search runs a batch of queries on 8 threads and on one thread; filtered runs
keep 10 % and 1 % of the items as candidates (hnswlib's filter callback, faiss's ID
selector; usearch's Python API has no filter). Also: build times on one and eight threads
and the share of nodes that level-0 links leave unreachable from the entry point after
the repair. The peers work in float32, we in float64, so the memory
bound of a scored row is twice theirs.
"""
import time

import numpy as np

from common import median_time, quick, threads
from quorvane import _core as core

PEERS = ("hnswlib", "faiss", "usearch")
M, EF_CONSTRUCTION, K = 16, 200, 10


def data(n, d, varied, seed):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, d))
    if varied:
        x *= rng.lognormal(0.0, 0.7, (n, 1))
    else:
        x /= np.linalg.norm(x, axis=1, keepdims=True)
    q = rng.standard_normal((quick(1000, 200), d))
    return x, q


def exact(x, q, cands, k):
    s = q @ x[cands].T
    top = np.argpartition(-s, k - 1, axis=1)[:, :k]
    return cands[top]


def recall(found, truth):
    return float(np.mean([len(set(f) & set(t)) / len(t) for f, t in zip(found, truth)]))


def unreachable(index):
    node_level, indptr, indices, entry = index
    first = np.concatenate([[0], np.cumsum(node_level.astype(np.int64) + 1)])
    n = len(node_level)
    seen = np.zeros(n, bool)
    seen[entry] = True
    frontier = np.array([entry])
    while frontier.size:
        s = first[frontier]
        nxt = np.concatenate([indices[indptr[a]:indptr[a + 1]] for a in s]) if s.size else np.zeros(0, np.int32)
        nxt = np.unique(nxt)
        nxt = nxt[~seen[nxt]]
        seen[nxt] = True
        frontier = nxt
    return 1.0 - seen.mean()


def build_peers(x32, t):
    peers = {}
    try:
        import hnswlib
        p = hnswlib.Index(space="ip", dim=x32.shape[1])
        p.init_index(max_elements=len(x32), ef_construction=EF_CONSTRUCTION, M=M)
        p.set_num_threads(t)
        t0 = time.perf_counter()
        p.add_items(x32)
        peers["hnswlib"] = (p, time.perf_counter() - t0)
    except ImportError:
        pass
    try:
        import faiss
        faiss.omp_set_num_threads(t)
        f = faiss.IndexHNSWFlat(x32.shape[1], M, faiss.METRIC_INNER_PRODUCT)
        f.hnsw.efConstruction = EF_CONSTRUCTION
        t0 = time.perf_counter()
        f.add(x32)
        peers["faiss"] = (f, time.perf_counter() - t0)
    except ImportError:
        pass
    try:
        from usearch.index import Index
        u = Index(ndim=x32.shape[1], metric="ip", dtype="f32", connectivity=M, expansion_add=EF_CONSTRUCTION)
        t0 = time.perf_counter()
        u.add(np.arange(len(x32)), x32, threads=t)
        peers["usearch"] = (u, time.perf_counter() - t0)
    except ImportError:
        pass
    return peers


def peer_search(name, index, q32, ef, t, cands=None):
    """A callable answering the queries, or None when the peer cannot filter."""
    if name == "hnswlib":
        index.set_num_threads(t)
        if cands is None:
            return lambda: index.set_ef(ef) or index.knn_query(q32, k=K)[0]
        allowed = np.zeros(index.get_max_elements(), bool)
        allowed[cands] = True
        return lambda: index.set_ef(ef) or index.knn_query(q32, k=K, filter=lambda i: allowed[i])[0]
    if name == "faiss":
        import faiss
        faiss.omp_set_num_threads(t)
        params = faiss.SearchParametersHNSW()
        params.efSearch = ef
        if cands is not None:
            sel = faiss.IDSelectorBatch(cands.astype(np.int64))
            params.sel = sel
            params._keep = sel
        return lambda: index.search(q32, K, params=params)[1]
    if name == "usearch":
        if cands is not None:
            return None
        def run():
            index.expansion_search = ef
            return index.search(q32, K, threads=t).keys
        return run
    return None


def memory(index):
    return sum(a.nbytes for a in index[:3])


def peer_memory(name, index):
    if name == "faiss":
        import faiss
        return faiss.serialize_index(index).nbytes
    if name == "usearch":
        return index.memory_usage
    if name == "hnswlib":
        return index.index_file_size()
    return 0


def run_case(table, label, n, d, varied, seed):
    t = threads(8)
    x, q = data(n, d, varied, seed)
    x32, q32 = x.astype(np.float32), q.astype(np.float32)
    table.note(f"{label}: building")
    t0 = time.perf_counter()
    index = core.hnsw_build_dense(x, M, EF_CONSTRUCTION, 0, t)
    ours_build = time.perf_counter() - t0
    peers = build_peers(x32, t)
    for name, (p, seconds) in peers.items():
        table.add(f"{label}: build, {t} threads", ours_build, name, seconds,
                  f"memory ours {memory(index) / 2**20:.1f} MiB + vectors {x.nbytes / 2**20:.0f} MiB, "
                  f"peer {peer_memory(name, p) / 2**20:.1f} MiB")
    all_items = np.arange(n, dtype=np.int64)
    rng = np.random.default_rng(seed + 1)
    for share in (1.0, 0.1, 0.01):
        cands = all_items if share == 1.0 else np.sort(rng.choice(n, int(n * share), replace=False)).astype(np.int64)
        truth = exact(x, q, cands, K)
        ex_ptr = np.zeros(len(q) + 1, np.int64)
        ex_idx = np.zeros(0, np.int64)
        for ef in quick([10, 20, 40, 80, 160], [10, 40, 160]):
            for tt in ((t, 1) if share == 1.0 else (t,)):
                def ours():
                    return core.hnsw_search_dense(*index, x, q, cands, ex_ptr, ex_idx, K, ef, tt)[0]
                ours_time = median_time(ours, repeat=3)
                r_ours = recall(cands[ours()], truth)
                title = f"{label}, {int(share * 100)} % candidates, {tt} thread{'s' if tt > 1 else ''}"
                table.curve(title, "ours", r_ours, len(q) / ours_time)
                for name, (p, _) in peers.items():
                    fn = peer_search(name, p, q32, ef, tt, None if share == 1.0 else cands)
                    if fn is None:
                        continue
                    peer_time = median_time(fn, repeat=3)
                    r_peer = recall(fn(), truth)
                    table.curve(title, name, r_peer, len(q) / peer_time)
                    table.add(f"{title}, ef {ef}", ours_time, name, peer_time,
                              f"recall@10 ours {r_ours:.3f}, peer {r_peer:.3f}")


def run_build(table):
    """Build time on one and on eight threads beside the peers', with the share of nodes
    our repair leaves out of reach of the entry point."""
    cases = ((quick("100k x 64 varied norms", "20k x 64 varied norms"), quick(100000, 20000), 64, True, 1),
             (quick("300k x 32 unit", "30k x 32 unit"), quick(300000, 30000), 32, False, 2))
    for label, n, d, varied, seed in cases:
        x, _ = data(n, d, varied, seed)
        x32 = x.astype(np.float32)
        for t in (1, threads(8)):
            t0 = time.perf_counter()
            index = core.hnsw_build_dense(x, M, EF_CONSTRUCTION, 0, t)
            ours = time.perf_counter() - t0
            for name, (_, seconds) in build_peers(x32, t).items():
                table.add(f"{label}: build, {t} thread{'s' if t > 1 else ''}", ours, name, seconds,
                          f"unreachable from the entry point: ours {unreachable(index) * 100:.1f} %")


def run(table):
    run_build(table)
    run_case(table, quick("100k x 64 varied norms", "20k x 64 varied norms"), quick(100000, 20000), 64, True, 1)
    run_case(table, quick("1M x 32 unit", "50k x 32 unit"), quick(1000000, 50000), 32, False, 2)
