"""HNSW search calls: the index check on large arrays split over threads, the every-item
candidate path against the mapped one, and scratch kept between calls leaking nothing."""
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from quorvane import _core

NONE = np.zeros(0, np.int64)
GRAPH = "the index arrays do not describe a graph."


def synthetic_index(n, seed, links_per_list=4):
    """Index arrays large enough for the check to run on several threads (the graph's
    quality is beside the point): levels mostly 0, a few up to 3."""
    rng = np.random.default_rng(seed)
    level = np.minimum(rng.geometric(0.9, n) - 1, 3).astype(np.int32)
    entry = int(np.argmax(level))
    slots = int(level.sum()) + n
    indptr = np.arange(slots + 1, dtype=np.int64) * links_per_list
    indices = rng.integers(0, n, slots * links_per_list).astype(np.int32)
    return level, indptr, indices, entry


@pytest.fixture(scope="module")
def large():
    n = 300_000
    index = synthetic_index(n, 3)
    rng = np.random.default_rng(4)
    return index, rng.standard_normal((n, 2)), rng.standard_normal((3, 2))


def search(index, x, q, cands, threads, k=5, ef=8, ex=None):
    ptr, idx = ex if ex is not None else (np.zeros(len(q) + 1, np.int64), NONE)
    return _core.hnsw_search_dense(*index, x, q, cands, ptr, idx, k, ef, threads)


def corrupt(index, n, case):
    level, indptr, indices, entry = (a.copy() if isinstance(a, np.ndarray) else a for a in index)
    if case == "level above 32":
        level[-5] = 33
    elif case == "negative level":
        level[-3] = -1
    elif case == "one more slot":
        level[-1] += 1
    elif case == "pointer steps down":
        indptr[-10] = indptr[-11] - 1
    elif case == "negative pointer":
        indptr[-10] = -1
    elif case == "pointer short of the links":
        indptr[-1] -= 1
    elif case == "link equal to n":
        indices[-7] = n
    elif case == "negative link":
        indices[-7] = -1
    elif case == "early and late links":
        indices[3], indices[-2] = n, -5
    elif case == "entry point":
        entry = n
    return level, indptr, indices, entry


@pytest.mark.parametrize("threads", [1, 3, 8])
@pytest.mark.parametrize("case", ["level above 32", "negative level", "one more slot", "pointer steps down",
                                  "negative pointer", "pointer short of the links", "link equal to n",
                                  "negative link", "early and late links", "entry point"])
def test_a_fault_near_the_end_of_a_large_index_is_found_on_any_thread_count(large, threads, case):
    index, x, q = large
    n = len(x)
    cands = np.arange(n, dtype=np.int64)
    before = search(index, x, q, cands, threads)
    with pytest.raises(ValueError) as e:
        search(corrupt(index, n, case), x, q, cands, threads)
    assert str(e.value) == GRAPH
    after = search(index, x, q, cands, threads)
    for a, b in zip(before, after):
        np.testing.assert_array_equal(a, b)


def with_changes(cands, changes):
    cands = cands.copy()
    for at, value in changes:
        cands[at] = value
    return cands


@pytest.mark.parametrize("threads", [1, 8])
@pytest.mark.parametrize("index_case, level_cut, changes, message", [
    # The length of node_level comes before everything else in the index.
    ("link equal to n", 1, [], "node_level must have one entry per item."),
    # A faulty index is reported before faulty candidates.
    ("negative link", 0, [(5, -1)], GRAPH),
    # Of two values out of range the first in array order is named, wherever each falls.
    (None, 0, [(1000, 300_005), (299_990, -1)], "candidate value 300005 out of range [0, 300000)."),
    (None, 0, [(7, -2), (299_000, 300_001)], "candidate value -2 out of range [0, 300000)."),
    # The range is checked over the whole list before the order is.
    (None, 0, [(10, 9), (299_997, 300_000)], "candidate value 300000 out of range [0, 300000)."),
    (None, 0, [(299_998, 299_997)], "candidates must ascend."),
])
def test_the_first_check_in_order_names_the_fault(large, threads, index_case, level_cut, changes, message):
    index, x, q = large
    n = len(x)
    level, indptr, indices, entry = corrupt(index, n, index_case)
    cands = with_changes(np.arange(n, dtype=np.int64), changes)
    with pytest.raises(ValueError) as e:
        search((level[:n - level_cut], indptr, indices, entry), x, q, cands, threads)
    assert str(e.value) == message


# ---- every item against the mapped path ----

@pytest.fixture(scope="module")
def built():
    rng = np.random.default_rng(8)
    n, d = 3000, 6
    x = rng.integers(-5, 6, (n, d)).astype(np.float64) * rng.integers(1, 4, (n, 1))
    return x, rng.integers(-5, 6, (40, d)).astype(np.float64), _core.hnsw_build_dense(x, 6, 40, 1, 1)


def as_csr(m):
    rows, cols = np.nonzero(m)
    indptr = np.searchsorted(rows, np.arange(len(m) + 1)).astype(np.int64)
    return indptr, cols.astype(np.int64), m[rows, cols]


def run_form(form, index, x, q, cands, ex_ptr, ex_idx, k, ef, threads):
    if form == "dense":
        return _core.hnsw_search_dense(*index, x, q, cands, ex_ptr, ex_idx, k, ef, threads)
    qp, qi, qd = as_csr(q)
    if form == "sparse_dense":
        return _core.hnsw_search_sparse_dense(*index, x, qp, qi, qd, cands, ex_ptr, ex_idx, k, ef, threads)
    xp, xi, xd = as_csr(x)
    return _core.hnsw_search_sparse(*index, xp, xi, xd, x.shape[1], qp, qi, qd, cands, ex_ptr, ex_idx, k, ef,
                                     threads)


@pytest.mark.parametrize("form", ["dense", "sparse_dense", "sparse"])
@pytest.mark.parametrize("graph", ["built", "no links"])
@pytest.mark.parametrize("threads", [1, 4])
def test_every_item_as_candidates_gives_the_bits_of_the_mapped_path(built, form, graph, threads):
    x, q, index = built
    n = len(x)
    if graph == "no links":  # the walk stops at the entry point and the exact scan answers
        index = (np.zeros(n, np.int32), np.zeros(n + 1, np.int64), np.zeros(0, np.int32), 0)
    rng = np.random.default_rng(9)
    dropped = np.sort(rng.choice(n, 300, replace=False))
    # Every item, the dropped ones excluded for every query ...
    every = np.arange(n, dtype=np.int64)
    ex_ptr = np.arange(len(q) + 1, dtype=np.int64) * len(dropped)
    ex_idx = np.tile(dropped, len(q)).astype(np.int64)
    pos_a, s_a = run_form(form, index, x, q, every, ex_ptr, ex_idx, 10, 16, threads)
    # ... and the same eligible items as a subset, which goes through the map.
    subset = np.setdiff1d(every, dropped)
    pos_b, s_b = run_form(form, index, x, q, subset, np.zeros(len(q) + 1, np.int64), NONE, 10, 16, threads)
    np.testing.assert_array_equal(pos_a, subset[pos_b])
    assert s_a.tobytes() == s_b.tobytes()


# ---- scratch kept between calls ----

CALLS = textwrap.dedent("""
    import hashlib, sys
    import numpy as np
    from quorvane import _core

    def data(n, d, seed):
        rng = np.random.default_rng(seed)
        x = rng.integers(-4, 5, (n, d)).astype(np.float64)
        return x, rng.integers(-4, 5, (64, d)).astype(np.float64)

    BIG, SMALL = data(4000, 12, 1), data(150, 5, 2)
    INDEX = {"big": _core.hnsw_build_dense(BIG[0], 6, 30, 0, 1), "small": _core.hnsw_build_dense(SMALL[0], 3, 20, 0, 1)}

    def csr(m):
        rows, cols = np.nonzero(m)
        return np.searchsorted(rows, np.arange(len(m) + 1)).astype(np.int64), cols.astype(np.int64), m[rows, cols]

    def call(name, threads):
        size, form, nq, filt = name.split("-")
        x, q = BIG if size == "big" else SMALL
        q = q[:int(nq)]
        n = len(x)
        rng = np.random.default_rng(len(name))
        cands = np.arange(n, dtype=np.int64) if filt == "all" else np.sort(rng.choice(n, n // 3, replace=False))
        # every query excludes a different run of positions
        rows = [np.sort(rng.choice(len(cands), int(rng.integers(0, 20)), replace=False)) for _ in range(len(q))]
        ptr = np.concatenate([[0], np.cumsum([len(r) for r in rows])]).astype(np.int64)
        idx = np.concatenate(rows + [np.zeros(0)]).astype(np.int64)
        index = INDEX[size]
        if form == "dense":
            out = _core.hnsw_search_dense(*index, x, q, cands, ptr, idx, 7, 12, threads)
        else:
            xp, xi, xd = csr(x)
            qp, qi, qd = csr(q)
            out = _core.hnsw_search_sparse(*index, xp, xi, xd, x.shape[1], qp, qi, qd, cands, ptr, idx, 7, 12,
                                           threads)
        return hashlib.sha256(out[0].tobytes() + out[1].tobytes()).hexdigest()

    if __name__ == "__main__":
        print(call(sys.argv[1], int(sys.argv[2])))
""")

NAMES = ["big-dense-64-all", "small-dense-1-sub", "big-sparse-1-all", "small-sparse-64-all", "big-dense-1-sub",
         "small-dense-64-all", "big-sparse-64-sub"]


@pytest.mark.parametrize("threads", [1, 4])
def test_calls_of_different_sizes_in_turn_give_the_bits_of_fresh_calls(tmp_path, threads):
    script = tmp_path / "calls.py"
    script.write_text(CALLS)
    fresh = {}
    for name in NAMES:
        out = subprocess.run([sys.executable, str(script), name, str(threads)], capture_output=True, text=True,
                             timeout=120)
        assert out.returncode == 0, out.stderr[-2000:]
        fresh[name] = out.stdout.strip()
    module = {"__name__": "calls"}
    exec(compile(CALLS, str(script), "exec"), module)
    # Forward, backward and forward again on this process's pools and scratch.
    for name in NAMES + NAMES[::-1] + NAMES:
        assert module["call"](name, threads) == fresh[name], name
