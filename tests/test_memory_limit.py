"""Under an address-space limit, a call whose memory passes the size checks but cannot be
allocated ends with MemoryError (or the error documented for a pool that cannot start)
within seconds, on 1, 2 and the default number of threads, and the pool then serves the
next call normally. One case per kernel family, each in a child process with a timeout."""
import os
import subprocess
import sys
import textwrap

import pytest

SCRIPT = textwrap.dedent(r"""
    import resource, sys
    import numpy as np
    from quorvane import _core

    MiB = 1 << 20
    I = lambda *v: np.array(v, np.int64)
    Z = lambda n: np.zeros(n, np.int64)
    ip, ix, d = I(0, 2, 3), I(0, 5, 5), np.ones(3)
    x32 = np.arange(32, dtype=np.float64).reshape(32, 1)
    every = np.arange(32, dtype=np.int64)
    one_column = (np.arange(33, dtype=np.int64), Z(32), np.ones(32))  # 32 sparse items on column 0
    far_query = (I(0, 1), I(2**30 - 1), np.ones(1))  # scattered into a buffer of 2**30 entries
    case = sys.argv[1]
    # Each failing allocation below asks for at least twice the budget: memory the interpreter
    # or NumPy frees or keeps around the call must not decide whether it fails. Where one of
    # the same size must succeed first, both take 64 MiB and the budget holds what comes
    # before the failing one with 32 MiB to spare, and 32 MiB short of holding it too.
    budget = 256 * MiB
    n_graph = 2**24  # items of a graph whose packed levels take 64 MiB, as its search's own marks do
    empty_graph = (np.zeros(n_graph, np.int32), Z(n_graph + 1), np.zeros(0, np.int32), 0)
    if case == "item_knn_top_k":
        call = lambda t: _core.item_knn_top_k(ip, ix, d, 2**28, 2, t)
    elif case == "item_cosine_top_k":
        norms = np.ones(2**26)
        call = lambda t: _core.item_cosine_top_k(ip, ix, d, 2**26, norms, 1.0, 2, t)
    elif case == "rp3beta_similarity":
        scale = np.ones(2**26)
        call = lambda t: _core.rp3beta_similarity(ip, ix, d, 2**26, scale, scale, 2, t)
    elif case in ("item_gram", "ease_weights", "slim_elasticnet_weights"):
        extra = {"item_gram": (), "ease_weights": (1.0,), "slim_elasticnet_weights": (0.1, 0.5, False, 1, 1e-4, 2)}
        call = lambda t: getattr(_core, case)(ip, ix, d, 2**15, *extra[case], t)
    elif case == "coo_to_csr":
        call = lambda t: _core.coo_to_csr(Z(1), Z(1), np.ones(1), 2**30, 1, t)
    elif case == "csr_top_k_per_row":
        empty_rows = (Z(2**26 + 1), Z(0), np.zeros(0))
        call = lambda t: _core.csr_top_k_per_row(*empty_rows, 1, 1, t)
    elif case == "factorize":
        values = np.arange(2**27, dtype=np.int64)
        call = lambda t: _core.factorize(values)
    elif case == "bpr_fit":
        call = lambda t: _core.bpr_fit(ip, ix, 6, np.zeros((2, 2)), np.zeros((6, 2)), np.zeros(6), 0.1, 0.1, True,
                                       2**29, 0, t)
    elif case == "fm_als_fit":
        call = lambda t: _core.fm_als_fit(ip, ix, d, np.ones(2), Z(6), 0.0, np.zeros(6), np.zeros((2, 6)), 0.1,
                                          np.ones(1), np.ones(1), 2**29)
    elif case == "hnsw_search_sparse":
        graph = _core.hnsw_build_sparse(*one_column, 1, 4, 16, 0, 1)
        call = lambda t: _core.hnsw_search_sparse(*graph, *one_column, 2**30, *far_query, every, I(0, 0), Z(0), 2,
                                                  16, t)
    elif case == "hnsw_build_dense":  # level-0 lists of min(2m, n - 1) slots: 6.4 GB
        vectors = np.ones((40000, 4))
        call = lambda t: _core.hnsw_build_dense(vectors, 2**20, 40, 1, t)
    elif case in ("hnsw_search_dense", "hnsw_search_dense_every_item"):
        budget = 96 * MiB
        # A subset of candidates needs an item-to-position map; every item needs none, and the
        # search's visited marks fail instead.
        cands = np.arange(n_graph, dtype=np.int64) if case.endswith("every_item") else Z(1)
        empty = np.empty((n_graph, 0))
        call = lambda t: _core.hnsw_search_dense(*empty_graph, empty, np.empty((1, 0)), cands, Z(2), Z(0), 1, 16, t)
    elif case == "quantized_search_dense":  # a shortlist of 2**22 entries, then its exact scores
        budget = 128 * MiB  # 32 MiB more for the checked copy of the candidates
        n = 2**22
        codes, vectors, cands = np.zeros(n, np.uint8), np.ones((n, 1)), np.arange(n, dtype=np.int64)
        call = lambda t: _core.quantized_search_dense(codes, 8, np.ones(1), np.zeros(1), vectors, np.ones((1, 1)),
                                                      cands, Z(2), Z(0), 1, n)
    elif case == "quantized_search_sparse":
        codes = np.zeros(32, np.uint8)
        call = lambda t: _core.quantized_search_sparse(codes, 8, 1.0, 0.0, *one_column, 2**30, *far_query, every,
                                                       I(0, 0), Z(0), 2, 1)
    elif case == "recommend_from_dense_rows":
        rows, w = Z(2**23), np.ones((32, 32))
        call = lambda t: _core.recommend_from_dense_rows(I(0, 1), I(0), np.ones(1), rows, w, None, False, 16, t)
    elif case == "top_k_per_row":
        scores = np.zeros((2**23, 8))
        call = lambda t: _core.top_k_per_row(scores, Z(2**23 + 1), Z(0), 8)
    elif case == "tune_suggest":
        call = lambda t: _core.tune_suggest("categorical", 0.0, 0.0, False, 2**30, np.arange(20.0),
                                            np.linspace(0, 1, 20), 1, 24, 0)

    def address_space():
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))

    small = lambda t: _core.item_knn_top_k(ip, ix, d, 6, 2, t)[1].tolist()
    # Every pool starts before the cap, so that the cap meets the call's own allocations.
    _core.top_k_per_row(np.ones((1, 2)), Z(2), Z(0), 1)  # the process-wide default pool
    for t in (1, 2, 0):
        want = small(t)
        resource.setrlimit(resource.RLIMIT_AS, (address_space() + budget, resource.RLIM_INFINITY))
        try:
            call(t)
            outcome = "returned"
        except MemoryError as e:
            outcome = "MemoryError: " + str(e)
        except ValueError as e:
            outcome = "ValueError: " + str(e)
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        assert small(t) == want, "the pool does not serve the next call"
        print(t, outcome, flush=True)
""")

# The failed allocation each case meets, as its MemoryError names it.
CASES = {
    "item_knn_top_k": "Could not allocate a per-thread scatter accumulator of 268435457 entries (2147483656 bytes).",
    "item_cosine_top_k": "Could not allocate a per-thread scatter accumulator of 67108865 entries (536870920 bytes).",
    "rp3beta_similarity": "Could not allocate a per-thread scatter accumulator of 67108865 entries (536870920 bytes).",
    "item_gram": "Could not allocate an (n_cols, n_cols) matrix of 1073741824 entries (8589934592 bytes).",
    "ease_weights": "Could not allocate an (n_cols, n_cols) matrix of 1073741824 entries (8589934592 bytes).",
    "slim_elasticnet_weights": "Could not allocate an (n_cols, n_cols) matrix of 1073741824 entries (8589934592 bytes).",
    "coo_to_csr": "Could not allocate a CSR index pointer of 1073741825 entries (8589934600 bytes).",
    "csr_top_k_per_row": "Could not allocate a checked copy of indptr of 67108865 entries (536870920 bytes).",
    "factorize": "Could not allocate a table over the range of the values of 134217728 entries (536870912 bytes).",
    "bpr_fit": "Could not allocate one statistic per epoch of 536870912 entries (4294967296 bytes).",
    "fm_als_fit": "Could not allocate one statistic per sweep of 536870912 entries (4294967296 bytes).",
    "hnsw_build_dense":
        "Could not allocate the level-0 link lists (min(2m, n - 1) slots per node) of 1599960000 entries "
        "(6399840000 bytes).",
    "hnsw_search_dense": "Could not allocate an item-to-position map of the candidates of 16777216 entries "
                         "(67108864 bytes).",
    "hnsw_search_dense_every_item": "Could not allocate per-worker visited marks of 16777216 entries (67108864 bytes).",
    "hnsw_search_sparse":
        "Could not allocate a per-worker scatter buffer of dim values of 1073741824 entries (8589934592 bytes).",
    "quantized_search_dense": "Could not allocate the shortlist's exact scores of 4194304 entries (67108864 bytes).",
    "quantized_search_sparse":
        "Could not allocate a scatter buffer of dim values of 1073741824 entries (8589934592 bytes).",
    "recommend_from_dense_rows":
        "Could not allocate (len(rows), k) positions and scores of 134217728 entries (2147483648 bytes).",
    "top_k_per_row": "Could not allocate an (n_rows, k) result of 67108864 entries (536870912 bytes).",
    "tune_suggest": "Could not allocate one weight per choice of 1073741824 entries (8589934592 bytes).",
}


@pytest.mark.skipif(bool(os.environ.get("LD_PRELOAD")), reason="a preloaded sanitizer aborts on a failed allocation")
@pytest.mark.parametrize("case", CASES)
def test_failed_allocation_ends_the_call_and_the_pool_serves_the_next(case):
    try:
        out = subprocess.run([sys.executable, "-c", SCRIPT, case], capture_output=True, text=True, timeout=90)
    except subprocess.TimeoutExpired:
        pytest.fail(f"{case} did not return under the memory limit")
    assert out.returncode == 0, out.stderr[-2000:]
    lines = out.stdout.splitlines()
    assert [line.split()[0] for line in lines] == ["1", "2", "0"], out.stdout
    for line in lines:
        outcome = line.split(" ", 1)[1]
        if outcome.startswith("ValueError: "):  # a pool whose threads could not start under the cap
            assert outcome.endswith("(os error 11)"), line
        else:
            assert outcome == "MemoryError: " + CASES[case], line
