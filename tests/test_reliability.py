"""What users with several threads, forks and services meet: arrays written while a call
runs, interpreter exit, absurd thread counts, borrows held across calls."""
import os
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest
import scipy.sparse as sp

from quorvane import _core


def I64(*v):
    return np.array(v, dtype=np.int64)

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
    elif case.startswith("hnsw_"):
        x = rng.standard_normal((n, 8))
        level, links_ptr, links, entry = _core.hnsw_build_dense(x, 4, 20, 0, 1)
        q_ptr, q_idx = ip[:queries + 1].copy(), ix[:ip[queries]].copy()
        q_data = d[:ip[queries]].copy()
        cands = np.arange(n, dtype=np.int64)
        tail = (cands, ex_ptr, ex_idx, 5, 30, 2)
        target = {"hnsw_links": links, "hnsw_levels": level, "hnsw_excluded": ex_idx,
                  "hnsw_query_columns": q_idx}[case]
        if case == "hnsw_query_columns":
            # sparse items: each query is scattered into a buffer sized by its columns
            call = lambda: _core.hnsw_search_sparse(level, links_ptr, links, entry, ip[:n + 1].copy(),
                                                    ix[:ip[n]].copy(), d[:ip[n]].copy(), n, q_ptr, q_idx,
                                                    q_data, *tail)
        else:
            call = lambda: _core.hnsw_search_dense(level, links_ptr, links, entry, x, x[:queries].copy(), *tail)
        check = lambda out: ranked_ok(out, n)
    elif case == "quantized_query_columns":
        vectors = rng.standard_normal((n, n))
        codes = rng.integers(0, 256, n * n, dtype=np.uint8)
        q_ptr, q_idx, q_data = ip[:queries + 1].copy(), ix[:ip[queries]].copy(), d[:ip[queries]].copy()
        target = q_idx
        call = lambda: _core.quantized_search_sparse_dense(codes, 8, np.ones(n), np.zeros(n), vectors, q_ptr, q_idx,
                                                           q_data, np.arange(n, dtype=np.int64), ex_ptr, ex_idx, 5, 2)
        check = lambda out: ranked_ok(out, n)
    else:
        raise SystemExit("unknown case " + case)

    stop = False
    def writer():
        j = len(target) // 2
        keep = target[j]
        big = min(2**40, np.iinfo(target.dtype).max)
        while not stop:
            target[j] = big
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
           "top_k_per_row", "hnsw_links", "hnsw_levels", "hnsw_excluded", "hnsw_query_columns",
           "quantized_query_columns"]


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


def test_interpreter_exit_with_a_daemon_thread_inside_a_call():
    # At exit, the interpreter ends daemon threads that wait for the lock by unwinding them.
    code = textwrap.dedent("""
        import threading, time, numpy as np, scipy.sparse as sp
        from quorvane import _core
        m = sp.random(2000, 300, density=0.05, format="csr", random_state=0)
        ip, ix, d = m.indptr.astype(np.int64), m.indices.astype(np.int64), m.data
        def loop():
            while True:
                _core.item_gram(ip, ix, d, 300, 2)
        threading.Thread(target=loop, daemon=True).start()
        time.sleep(0.5)
    """)
    for _ in range(3):
        out = run_script(code)
        assert out.returncode == 0, (out.returncode, out.stderr[-2000:])


def thread_bound():
    return max(256, 4 * os.cpu_count())


@pytest.mark.parametrize("call", [
    lambda n: _core.coo_to_csr(I64(0), I64(0), np.ones(1), 1, 1, n),
    lambda n: _core.item_gram(I64(0, 1), I64(0), np.ones(1), 1, n),
    lambda n: _core.ease_weights_from_inverse(np.ones((1, 1)), n),
])
@pytest.mark.parametrize("n", [2**63 - 1, 2**64 - 1])
def test_absurd_thread_count_is_refused_before_any_thread_starts(call, n):
    before = threading.active_count(), len(os.listdir("/proc/self/task"))
    with pytest.raises(ValueError, match=rf"^n_threads value {n} out of range \[0, {thread_bound() + 1}\)\.$"):
        call(n)
    assert (threading.active_count(), len(os.listdir("/proc/self/task"))) == before


def test_thread_bound_is_exact():
    code = textwrap.dedent(f"""
        import numpy as np
        from quorvane import _core
        a = np.zeros(1, np.int64)
        print(_core.coo_to_csr(a, a, np.ones(1), 1, 1, {thread_bound()})[0].tolist())
        try:
            _core.coo_to_csr(a, a, np.ones(1), 1, 1, {thread_bound() + 1})
        except ValueError as e:
            print(e)
    """)
    out = run_script(code)
    assert out.stdout.splitlines() == [
        "[0, 1]", f"n_threads value {thread_bound() + 1} out of range [0, {thread_bound() + 1})."], out.stderr


@pytest.mark.parametrize("variable", ["RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"])
def test_absurd_default_pool_size_names_the_variable(variable):
    code = textwrap.dedent("""
        import os, numpy as np
        from quorvane import _core
        a = np.zeros(1, np.int64)
        calls = [lambda: _core.coo_to_csr(a, a, np.ones(1), 1, 1, 0),
                 lambda: _core.top_k_per_row(np.ones((1, 2)), np.zeros(2, np.int64), a[:0], 1)]
        before = len(os.listdir("/proc/self/task"))
        for call in calls:
            try:
                call()
            except ValueError as e:
                print(e)
        print(len(os.listdir("/proc/self/task")) == before)
    """)
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON")}
    out = run_script(code, env={**env, variable: "1000000000"})
    message = f"{variable} value 1000000000 out of range [0, {thread_bound() + 1})."
    assert out.stdout.splitlines() == [message, message, "True"], out.stderr[-2000:]


def bpr_model(n_users=400, n_items=300, per_user=30, seed=0):
    rng = np.random.default_rng(seed)
    m = sp.random(n_users, n_items, density=per_user / n_items, format="csr", random_state=rng)
    m.sort_indices()
    return (m.indptr.astype(np.int64), m.indices.astype(np.int64), n_items,
            rng.standard_normal((n_users, 8)) * 0.1, rng.standard_normal((n_items, 8)) * 0.1, np.zeros(n_items))


def conflicts_while_training(second):
    """Runs a long bpr_fit in one thread and `second` in a loop in another until it ends;
    returns the borrow refusals the second thread met and what it raised otherwise."""
    indptr, indices, n_items, U, V, b = model = bpr_model()
    started, refused, other = threading.Event(), [], []

    def train():
        started.set()
        _core.bpr_fit(indptr, indices, n_items, U, V, b, 0.01, 0.01, True, 400, 1, 2)

    t = threading.Thread(target=train)
    t.start()
    started.wait()
    while t.is_alive():
        try:
            second(model)
        except BaseException as e:  # the panic exception is a BaseException
            (refused if "AlreadyBorrowed" in str(e) else other).append(e)
    t.join()
    return refused, other


@pytest.mark.parametrize("second", [
    lambda m: _core.bpr_fit(m[0], m[1], m[2], m[3], m[4], m[5], 0.01, 0.01, True, 1, 2, 1),
    lambda m: _core.bpr_fit(m[0], m[1], m[2], m[3].copy(), m[4][::1], m[5].copy(), 0.01, 0.01, True, 1, 2, 1),
    lambda m: _core.recommend_from_factors(m[3], m[4], None, None, I64(0, 1), None, None, None, 3, 1),
    lambda m: _core.recommend_from_factors(m[3][:5], np.ones((4, 8)), None, None, I64(0), None, None, None, 3, 1),
], ids=["same-arrays", "overlapping-view", "reader", "reader-of-a-slice"])
def test_arrays_held_read_write_by_a_running_call_are_refused(second):
    refused, other = conflicts_while_training(second)
    assert refused and not other, other[:1]
    assert "which a running bpr_fit call holds read-write" in str(refused[0])


def test_read_only_borrows_share_and_read_write_ones_are_released():
    indptr, indices, n_items, U, V, b = bpr_model()
    _, other = conflicts_while_training(
        lambda m: _core.recommend_from_factors(m[3].copy(), m[4].copy(), None, None, I64(0), None, None, None, 3, 1))
    assert not other
    # Released on every exit: after a refused check, after a failing one, after success.
    for bad_n_cols in (n_items + 1, n_items):
        try:
            _core.bpr_fit(indptr, indices, bad_n_cols, U, V, b, 0.01, 0.01, True, 1, 1, 1)
        except ValueError:
            pass
    _core.recommend_from_factors(U, V, None, None, I64(0), None, None, None, 3, 1)
    _core.bpr_fit(indptr, indices, n_items, U, V, b, 0.01, 0.01, True, 1, 1, 1)


FIXED_DOC_LINES = {
    "coo_to_csr": ["A CSR matrix built from coordinate triples, with duplicate pairs summed.", ""],
    "factorize": ["The sorted distinct values of `values`, and the position of each value among them.", ""],
    "recommend_from_factors": [
        "The `k` best candidates of a latent-factor model for users `rows`, and their scores.", "",
        "`score(u, j) = item_bias[j] + <user_factors[u], item_factors[j]> + user_offset[u]`,",
        "either bias optional; a model with no factors passes zero-width factor matrices. The",
        "seen matrix, when given, is the fitted interaction matrix whose row `u` lists what",
        "user `u` must not be recommended. Result as for `recommend_from_similarity`."],
    "item_knn_top_k": [
        "Top `k` entries of every row of `W^T W` for a users x items CSR matrix `W`.", "",
        "Returns the item-item similarity as CSR `(indptr, indices, data)` with sorted",
        "column indices. `n_threads == 0` uses all cores."],
    "item_cosine_top_k": [
        "Top `k` cosine neighbours of every item for a users x items CSR matrix `W`.", "",
        "`norms` holds the Euclidean norm of each column of `W`; entry `(i, j)` of the result",
        "is `<W_i, W_j> / (norms[i] * norms[j] + shrink)`. Returns the item-item similarity as",
        "CSR `(indptr, indices, data)` with sorted column indices and a zero diagonal.",
        "`n_threads == 0` uses all cores."],
    "rp3beta_similarity": [
        "Top `k` entries of every row of the `RP3beta` walk matrix for a users x items CSR `Pui`.", "",
        "`Pui` must already carry the row normalization and the `alpha` power; `row_scale` and",
        "`col_scale` hold the walk and popularity damping per item. Returns the item-item",
        "similarity as CSR `(indptr, indices, data)` with sorted column indices and a zero",
        "diagonal. `n_threads == 0` uses all cores."],
}


@pytest.mark.parametrize("name", FIXED_DOC_LINES)
def test_docstrings_open_with_their_fixed_lines(name):
    lines = getattr(_core, name).__doc__.split("\n")
    fixed = FIXED_DOC_LINES[name]
    assert lines[:len(fixed)] == fixed


@pytest.mark.parametrize("call, argument, value", [
    (lambda: _core.coo_to_csr(I64(), I64(), np.zeros(0), 2**62, 3, 1), "n_rows", 2**62),
    (lambda: _core.item_gram(I64(0), I64(), np.zeros(0), 2**40, 1), "n_cols", 2**40),
    (lambda: _core.ease_weights(I64(0), I64(), np.zeros(0), 2**33, 1.0, 1), "n_cols", 2**33),
    (lambda: _core.slim_elasticnet_weights(I64(0), I64(), np.zeros(0), 2**63, 0.1, 0.5, False, 1, 1e-4, 5, 1),
     "n_cols", 2**63),
    (lambda: _core.recommend_from_factors(np.empty((1, 0)), np.empty((2**40, 0)), None, None,
                                          np.zeros(2**20, np.int64), None, None, None, 2**40, 1), "k", 2**40),
    (lambda: _core.bpr_fit(*bpr_model(4, 3, 1)[:3], *[a.copy() for a in bpr_model(4, 3, 1)[3:]], 0.1, 0.0, True,
                           2**62, 0, 1), "n_iter", 2**62),
])
def test_impossible_sizes_name_the_argument(call, argument, value):
    with pytest.raises(MemoryError) as e:
        call()
    assert str(e.value).startswith(f"{argument}={value} asks for "), str(e.value)
