"""What users with several threads, forks and services meet: arrays written while a call
runs, interpreter exit, absurd thread counts, borrows held across calls."""
import subprocess
import sys
import textwrap

import pytest

# Builds the inputs of every function with an index array a caller could write while the
# call runs, then calls it in a loop while a second thread flips one index to 2**40, to -1
# and back. Each call may fail with ValueError or the panic exception, or return a wrong
# result, but every result must still be well formed.
WRITER = textwrap.dedent(r"""
    import sys, threading, time
    import numpy as np
    import scipy.sparse as sp
    from quorvane import _core

    case = sys.argv[1]
    rng = np.random.default_rng(0)
    n_users, n_items = 3000, 400
    m = sp.random(n_users, n_items, density=0.05, format="csr", random_state=rng,
                  data_rvs=lambda k: rng.integers(1, 4, k).astype(np.float64))
    m.sort_indices()
    ip, ix, d = m.indptr.astype(np.int64), m.indices.astype(np.int64), m.data.copy()
    n = n_items

    def csr_ok(out, n_cols):
        p, i, v = out
        assert p[0] == 0 and p[-1] == len(i) == len(v) and np.all(np.diff(p) >= 0), "index pointer"
        assert len(i) == 0 or (i.min() >= 0 and i.max() < n_cols), "column out of range"

    def ranked_ok(out, n_candidates):
        pos, _ = out
        assert pos.size == 0 or (pos.min() >= 0 and pos.max() < n_candidates), "position out of range"

    rows = np.arange(0, n_users, 50, dtype=np.int64)
    sim = _core.item_knn_top_k(ip, ix, d, n, 20, 1)
    short = _core.item_knn_top_k(ip, ix, d, n, 2, 1)  # few terms a query: the sparse scorer
    queries = len(rows)
    ex_ptr = np.arange(0, 2 * queries + 1, 2, dtype=np.int64)
    ex_idx = np.tile(np.array([3, 7], dtype=np.int64), queries)
    if case == "factorize":
        values = rng.integers(0, 5000, 200_000)
        target, call = values, lambda: _core.factorize(values)

        def check(out):
            u, c = out
            assert np.all(np.diff(u) > 0) and c.min() >= 0 and c.max() < len(u), "codes"
    elif case in ("coo_rows", "coo_cols"):
        r = np.repeat(np.arange(n_users, dtype=np.int64), 60)
        c = rng.integers(0, n_items, r.size)
        v = np.ones(r.size)
        target = r if case == "coo_rows" else c
        call = lambda: _core.coo_to_csr(r, c, v, n_users, n_items, 2)
        check = lambda out: csr_ok(out, n_items)
    elif case == "csr_top_k_per_row":
        target, call = ix, lambda: _core.csr_top_k_per_row(ip, ix, d, n, 3, 2)
        check = lambda out: csr_ok(out, n)
    elif case == "item_gram":
        target, call = ix, lambda: _core.item_gram(ip, ix, d, n, 2)
        check = lambda out: None
    elif case == "item_knn_top_k":
        target, call = ix, lambda: _core.item_knn_top_k(ip, ix, d, n, 5, 2)
        check = lambda out: csr_ok(out, n)
    elif case == "item_cosine_top_k":
        norms = np.ones(n)
        target, call = ix, lambda: _core.item_cosine_top_k(ip, ix, d, n, norms, 1.0, 5, 2)
        check = lambda out: csr_ok(out, n)
    elif case == "rp3beta_similarity":
        s = np.ones(n)
        target, call = ix, lambda: _core.rp3beta_similarity(ip, ix, d, n, s, s, 5, 2)
        check = lambda out: csr_ok(out, n)
    elif case in ("ease_inverse_gram", "ease_weights"):
        f = getattr(_core, case)
        target, call = ix, lambda: f(ip, ix, d, n, 10.0, 2)
        check = lambda out: None
    elif case == "slim_elasticnet_weights":
        target = ix
        call = lambda: _core.slim_elasticnet_weights(ip, ix, d, n, 0.1, 0.5, False, 2, 1e-4, 5, 2)
        check = lambda out: csr_ok(out[0], n)
    elif case == "slim_warm_indices":
        g = _core.item_gram(ip, ix, d, n, 2)
        wp, wi, wd = _core.csr_top_k_per_row(*sim, n, 20, 1)
        target = wi
        call = lambda: _core.slim_elasticnet_weights_from_gram(g, 3000.0, 0.1, 0.5, False, 1, 1e-4, 5, 2,
                                                               None, wp, wi, wd)
        check = lambda out: csr_ok(out[0], n)
    elif case == "bpr_fit":
        uf, itf, b = np.zeros((n_users, 4)), np.zeros((n, 4)), np.zeros(n)
        target = ix
        call = lambda: _core.bpr_fit(ip, ix, n, uf, itf, b, 0.05, 0.01, True, 2, 1, 2)
        check = lambda out: None
    elif case == "fm_als_fit":
        y = rng.random(n_users)
        group = np.zeros(n, dtype=np.int64)
        w, v, reg = np.zeros(n), np.zeros((2, n)), np.ones(1)
        target = ix
        call = lambda: _core.fm_als_fit(ip, ix, d, y, group, 0.0, w, v, 0.1, reg, reg, 1)
        check = lambda out: None
    elif case.startswith("recommend_") or case == "top_k_per_row":
        target = ex_idx
        if case == "recommend_from_similarity":
            call = lambda: _core.recommend_from_similarity(ip, ix, d, rows, *short, None, True, 5, 2, 0,
                                                           ex_ptr, ex_idx)
        elif case == "recommend_from_dense_rows":
            w = np.ones((n, n))
            call = lambda: _core.recommend_from_dense_rows(ip, ix, d, rows, w, None, True, 5, 2, 0, ex_ptr, ex_idx)
        elif case == "recommend_from_factors":
            uf, itf = rng.random((n_users, 8)), rng.random((n, 8))
            call = lambda: _core.recommend_from_factors(uf, itf, None, None, rows, ip, ix, None, 5, 2, 0,
                                                        ex_ptr, ex_idx)
        else:
            scores = rng.random((queries, n))
            call = lambda: (_core.top_k_per_row(scores, ex_ptr, ex_idx, 5), None)
        check = lambda out: ranked_ok(out, n)
    else:
        raise SystemExit("unknown case " + case)

    stop = False
    def writer():
        j = len(target) // 2
        keep = target[j]
        while not stop:
            target[j] = 2**40
            target[j] = -1
            target[j] = keep

    t = threading.Thread(target=writer, daemon=True)
    t.start()
    deadline = time.monotonic() + 0.4
    calls = 0
    while calls < 3 or time.monotonic() < deadline:
        try:
            out = call()
        except ValueError:
            pass
        except BaseException as e:
            if type(e).__name__ != "PanicException":
                raise
        else:
            check(out)
        calls += 1
    stop = True
    t.join()
    print("ok")
""")

WRITTEN = ["factorize", "coo_rows", "coo_cols", "csr_top_k_per_row", "item_gram", "item_knn_top_k",
           "item_cosine_top_k", "rp3beta_similarity", "ease_inverse_gram", "ease_weights",
           "slim_elasticnet_weights", "slim_warm_indices", "bpr_fit", "fm_als_fit",
           "recommend_from_similarity", "recommend_from_dense_rows", "recommend_from_factors",
           "top_k_per_row"]


def run_script(code, *args, timeout=60, env=None):
    return subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True,
                          timeout=timeout, env=env)


@pytest.mark.parametrize("case", WRITTEN)
def test_index_written_during_the_call_never_crashes(case):
    out = run_script(WRITER, case)
    assert out.returncode == 0 and out.stdout.strip() == "ok", (out.returncode, out.stderr[-2000:])


def test_fork_while_a_dense_solve_runs_lets_every_call_finish():
    code = textwrap.dedent("""
        import os, threading, numpy as np, scipy.sparse as sp
        from quorvane import _core
        m = sp.random(3000, 400, density=0.05, format="csr", random_state=0)
        ip, ix, d = m.indptr.astype(np.int64), m.indices.astype(np.int64), m.data
        stop = False
        calls = 0
        def loop():
            global calls
            while not stop:
                _core.ease_weights(ip, ix, d, 400, 1.0, 2)
                calls += 1
        t = threading.Thread(target=loop, daemon=True)
        t.start()
        for _ in range(50):
            pid = os.fork()
            if pid == 0:
                os._exit(0)
            os.waitpid(pid, 0)
        stop = True
        t.join(20)
        print("hung" if t.is_alive() else "ok", calls)
    """)
    out = run_script(code)
    assert out.stdout.split()[:1] == ["ok"], (out.stdout, out.stderr[-2000:])
