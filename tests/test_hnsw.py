"""HNSW index: build invariants and reproducibility, filtered search with its exact
fallback, recall against brute force, argument checks, and the guarded edge cases."""
import os
import subprocess
import sys

import numpy as np
import pytest

from quorvane import _core

from conftest import random_csr
from hnsw_model import Model

NONE = np.zeros(0, np.int64)


def no_exclusions(n_queries):
    return np.zeros(n_queries + 1, np.int64), NONE


def slots_of(node_level):
    return np.concatenate([[0], np.cumsum(node_level.astype(np.int64) + 1)])


def reachable(index):
    node_level, indptr, indices, entry = index
    first = slots_of(node_level)
    seen = np.zeros(len(node_level), bool)
    seen[entry] = True
    stack = [entry]
    while stack:
        s = first[stack.pop()]
        for v in indices[indptr[s]:indptr[s + 1]]:
            if not seen[v]:
                seen[v] = True
                stack.append(v)
    return seen


def varied_norms(rng, n, d):
    return rng.standard_normal((n, d)) * rng.lognormal(0.0, 1.0, (n, 1))


def search_dense(index, vectors, queries, candidates=None, k=10, ef=64, threads=1, excluded=None):
    if candidates is None:
        candidates = np.arange(len(vectors), dtype=np.int64)
    ptr, idx = excluded if excluded is not None else no_exclusions(len(queries))
    return _core.hnsw_search_dense(*index, vectors, queries, candidates, ptr, idx, k, ef, threads)


def recall(found, truth):
    return np.mean([len(set(f) & set(t)) / len(t) for f, t in zip(found, truth)])


# ---- build ----

@pytest.mark.parametrize("m, levels", [
    (2, [0, 1, 5, 0, 3, 1, 2, 0, 2, 0]),
    (1, [0, 1, 5, 0, 3, 1, 2, 0, 2, 0]),
    (16, [0, 0, 1, 0, 0, 0, 0, 0, 0, 0]),
])
def test_levels_come_from_the_seed_and_the_entry_is_the_lowest_top_node(rng, m, levels):
    index = _core.hnsw_build_dense(rng.standard_normal((10, 3)), m, 8, 0, 1)
    assert index[0].dtype == np.int32 and index[1].dtype == np.int64 and index[2].dtype == np.int32
    assert index[0].tolist() == levels
    assert index[3] == 2


@pytest.mark.parametrize("threads", [1, 4])
@pytest.mark.parametrize("form", ["dense", "sparse"])
@pytest.mark.parametrize("m", [1, 3, 8])
def test_graph_invariants(rng, threads, form, m):
    n = 400
    if form == "dense":
        index = _core.hnsw_build_dense(varied_norms(rng, n, 8), m, 20, 7, threads)
    else:
        ptr, idx, data, _ = random_csr(rng, n, 60, density=0.1)
        index = _core.hnsw_build_sparse(ptr, idx, data, 60, m, 20, 7, threads)
    node_level, indptr, indices, entry = index
    first = slots_of(node_level)
    assert len(indptr) == first[-1] + 1 and indptr[0] == 0 and indptr[-1] == len(indices)
    assert np.all(np.diff(indptr) >= 0)
    assert node_level[entry] == node_level.max() and entry == np.flatnonzero(node_level == node_level.max())[0]
    for i in range(n):
        for level in range(node_level[i] + 1):
            s = first[i] + level
            links = indices[indptr[s]:indptr[s + 1]]
            assert len(links) <= (2 * m if level == 0 else m)
            assert i not in links
            assert len(set(links.tolist())) == len(links)
            assert np.all(node_level[links] >= level)


@pytest.mark.parametrize("form", ["dense", "sparse"])
def test_one_thread_build_is_reproducible(rng, form):
    if form == "dense":
        x = varied_norms(rng, 500, 12)
        runs = [_core.hnsw_build_dense(x, 6, 30, 3, 1) for _ in range(2)]
    else:
        ptr, idx, data, _ = random_csr(rng, 500, 80, density=0.1)
        runs = [_core.hnsw_build_sparse(ptr, idx, data, 80, 6, 30, 3, 1) for _ in range(2)]
    for a, b in zip(runs[0][:3], runs[1][:3]):
        np.testing.assert_array_equal(a, b)
    assert runs[0][3] == runs[1][3]


def varied_integers(seed, n, d):
    """Small integers (exact dot products) scaled by very different norms."""
    rng = np.random.default_rng(seed)
    return (rng.integers(-3, 4, (n, d)) * rng.choice([1, 2, 5, 20], n)[:, None]).astype(np.float64)


def csr_of(x):
    nz = x != 0
    return (np.concatenate([[0], np.cumsum(nz.sum(axis=1))]).astype(np.int64),
            np.nonzero(nz)[1].astype(np.int64), x[nz])


# The repair passes stop once the graph repeats: seeds 0 and 3 with nothing to undo,
# seeds 1 and 2 by undoing their last pass; seed 4 runs all eight.
@pytest.mark.parametrize("form", ["dense", "sparse"])
@pytest.mark.parametrize("seed, n, d, m, ef", [
    (0, 120, 4, 2, 6), (1, 200, 6, 3, 10), (2, 150, 5, 2, 4), (3, 300, 8, 4, 12), (4, 80, 3, 1, 3),
])
def test_one_thread_build_is_the_modelled_graph(form, seed, n, d, m, ef):
    x = varied_integers(seed, n, d)
    want = Model(x, m, ef, seed).build()
    if form == "dense":
        got = _core.hnsw_build_dense(x, m, ef, seed, 1)
    else:
        got = _core.hnsw_build_sparse(*csr_of(x), d, m, ef, seed, 1)
    for a, b in zip(got[:3], want[:3]):
        np.testing.assert_array_equal(a, b)
    assert got[3] == want[3]
    # The repair links nodes back but leaves some unreached: it runs its passes and no more.
    assert 0 < (~reachable(want)).sum() < n


def test_the_build_ignores_the_environment():
    x = varied_integers(1, 200, 6)
    here = _core.hnsw_build_dense(x, 3, 10, 1, 1)
    code = ("import sys, numpy as np; from quorvane import _core; "
            "x = np.frombuffer(sys.stdin.buffer.read()).reshape(200, 6); "
            "sys.stdout.buffer.write(np.concatenate([a.astype(np.int64) for a in _core.hnsw_build_dense(x, 3, 10, 1, 1)[:3]]).tobytes())")
    out = subprocess.run([sys.executable, "-c", code], input=x.tobytes(), capture_output=True, check=True,
                         env={**os.environ, "QUORVANE_HNSW_REPAIR": "none"}).stdout
    np.testing.assert_array_equal(np.frombuffer(out, np.int64), np.concatenate([a.astype(np.int64) for a in here[:3]]))


@pytest.mark.parametrize("threads", [1, 8])
def test_nodes_no_walk_reaches_come_back_through_the_exact_scan(rng, threads):
    x = varied_integers(5, 2000, 16)
    index = _core.hnsw_build_dense(x, 4, 40, 1, threads)
    lost = np.flatnonzero(~reachable(index))
    assert len(lost) >= 3
    q = rng.integers(-3, 4, (5, 16)).astype(np.float64)
    cands = lost[:40]
    pos, scores = search_dense(index, x, q, cands, k=3, ef=16, threads=threads)
    want_pos, want_scores = brute(x, q, cands, 3)
    np.testing.assert_array_equal(pos, want_pos)
    np.testing.assert_array_equal(scores, want_scores)


@pytest.mark.parametrize("shape", [(0, 4), (5, 0), (0, 0)])
def test_empty_dense_build(shape):
    level, indptr, indices, entry = _core.hnsw_build_dense(np.zeros(shape), 4, 4, 0, 1)
    assert level.tolist() == [] and indptr.tolist() == [0] and indices.tolist() == [] and entry == -1
    assert level.dtype == np.int32 and indptr.dtype == np.int64 and indices.dtype == np.int32


def test_sparse_build_without_columns_indexes_every_row():
    index = _core.hnsw_build_sparse(np.zeros(4, np.int64), NONE, np.zeros(0), 0, 2, 4, 0, 1)
    assert len(index[0]) == 3 and reachable(index).all()
    empty = _core.hnsw_build_sparse(np.zeros(1, np.int64), NONE, np.zeros(0), 5, 2, 4, 0, 1)
    assert empty[3] == -1 and empty[1].tolist() == [0]


@pytest.mark.parametrize("call, message", [
    (lambda: _core.hnsw_build_dense(np.ones((4, 3))[:, ::2], 0, 0, 0, 1), "m must be >= 1."),
    (lambda: _core.hnsw_build_dense(np.ones((4, 3)), 1, 0, 0, 1), "ef_construction must be >= 1."),
    (lambda: _core.hnsw_build_sparse(np.array([0, 1]), np.array([0, 1]), np.ones(1), 3, 2, 2, 0, 1),
     "indices and data must have the same length."),
    (lambda: _core.hnsw_build_sparse(np.array([0, 1]), np.array([-1]), np.ones(1), 3, 2, 2, 0, 1),
     "indices value -1 out of range [0, 3)."),
    (lambda: _core.hnsw_build_sparse(np.array([0, 2]), np.array([1]), np.ones(1), 3, 2, 2, 0, 1),
     "indptr value 2 out of range [0, 2)."),
])
def test_build_checks(call, message):
    with pytest.raises(ValueError) as e:
        call()
    assert str(e.value) == message


def test_non_contiguous_vectors_fail_after_the_parameter_checks():
    with pytest.raises(TypeError, match="not contiguous"):
        _core.hnsw_build_dense(np.ones((4, 6))[:, ::2], 1, 1, 0, 1)


# ---- search ----

@pytest.fixture
def small(rng):
    """Integer vectors (exact scores), a one-thread index and queries."""
    x = rng.integers(-4, 5, (60, 6)).astype(np.float64)
    q = rng.integers(-4, 5, (7, 6)).astype(np.float64)
    return x, q, _core.hnsw_build_dense(x, 4, 60, 0, 1)


def brute(x, q, candidates, k):
    s = q @ x[candidates].T
    order = np.argsort(-s, axis=1, kind="stable")[:, :k]
    return order, np.take_along_axis(s, order, axis=1)


def test_wide_beam_on_a_small_graph_is_exact(small):
    x, q, index = small
    cands = np.arange(0, 60, 2)
    pos, scores = search_dense(index, x, q, cands, k=30, ef=200)
    want_pos, want_scores = brute(x, q, cands, 30)
    np.testing.assert_array_equal(scores, want_scores)
    np.testing.assert_array_equal(pos, want_pos)


def test_results_are_candidate_positions(small):
    x, q, index = small
    cands = np.array([5, 9])
    pos, scores = search_dense(index, x, q[:1], cands, k=2, ef=50)
    assert set(pos[0].tolist()) == {0, 1}
    np.testing.assert_array_equal(scores[0], np.sort(q[0] @ x[cands].T)[::-1])


def test_ties_go_to_the_lower_position():
    x = np.zeros((30, 4))
    # Every node lists every other, so the walk sees all ties (a build of equal vectors
    # leaves most nodes unreached: its neighbour heuristic discards equal similarities).
    others = [j for i in range(30) for j in range(30) if j != i]
    index = (np.zeros(30, np.int32), np.arange(0, 30 * 29 + 1, 29, dtype=np.int64), np.array(others, np.int32), 0)
    pos, scores = search_dense(index, x, np.ones((2, 4)), np.arange(3, 30), k=5, ef=5)
    assert pos.tolist() == [[0, 1, 2, 3, 4]] * 2


def test_walk_left_short_falls_back_to_an_exact_scan(rng):
    x = rng.integers(-4, 5, (50, 5)).astype(np.float64)
    q = rng.integers(-4, 5, (4, 5)).astype(np.float64)
    # No links at all: the walk only ever sees the entry point.
    index = (np.zeros(50, np.int32), np.zeros(51, np.int64), np.zeros(0, np.int32), 0)
    cands = np.arange(1, 50, 3)
    pos, scores = search_dense(index, x, q, cands, k=4, ef=10)
    want_pos, want_scores = brute(x, q, cands, 4)
    np.testing.assert_array_equal(pos, want_pos)
    np.testing.assert_array_equal(scores, want_scores)


def test_exclusions_leave_exactly_k_or_name_the_lowest_short_query(small):
    x, q, index = small
    cands = np.arange(10)
    # Query 0 keeps 3 eligible, queries 2 and 4 keep only 2.
    rows = [[0, 4, 5, 6, 7, 8, 9], [], [0, 1, 2, 3, 4, 5, 6, 7], [1], [2, 3, 4, 5, 6, 7, 8, 9], [], []]
    ptr = np.concatenate([[0], np.cumsum([len(r) for r in rows])]).astype(np.int64)
    idx = np.array([p for r in rows for p in r], np.int64)
    for threads in (1, 8):
        with pytest.raises(ValueError, match=r"^Cannot recommend 3 items: query 2 has only 2 eligible items\.$"):
            search_dense(index, x, q, cands, k=3, threads=threads, excluded=(ptr, idx))
    pos, _ = search_dense(index, x, q, cands, k=2, threads=8, excluded=(ptr, idx))
    assert set(pos[2].tolist()) == {8, 9}
    pos, _ = search_dense(index, x, q[:1], cands, k=3, excluded=(np.array([0, 7]), idx[:7]))
    assert set(pos[0].tolist()) == {1, 2, 3}


def test_k_zero_and_no_queries(small):
    x, q, index = small
    pos, scores = search_dense(index, x, q, NONE, k=0)
    assert pos.shape == (7, 0) and scores.shape == (7, 0)
    pos, scores = search_dense(index, x, q[:0], k=4)
    assert pos.shape == (0, 4)
    with pytest.raises(ValueError, match="ef_search must be >= 1."):
        search_dense(index, x, q[:0], k=0, ef=0)


def test_width_zero_answers_every_query_row():
    x = np.zeros((6, 0))
    index = _core.hnsw_build_dense(np.zeros((6, 1)), 2, 4, 0, 1)
    pos, scores = search_dense(index, x, np.zeros((3, 0)), k=2)
    assert pos.tolist() == [[0, 1]] * 3 and scores.tolist() == [[0.0, 0.0]] * 3


def test_answers_do_not_depend_on_the_thread_count(rng):
    x = varied_norms(rng, 3000, 16)
    index = _core.hnsw_build_dense(x, 8, 40, 5, 8)
    q = rng.standard_normal((300, 16))
    cands = np.sort(rng.choice(3000, 300, replace=False))
    a = search_dense(index, x, q, cands, ef=20, threads=1)
    for threads in (2, 8):
        b = search_dense(index, x, q, cands, ef=20, threads=threads)
        np.testing.assert_array_equal(a[0], b[0])
        np.testing.assert_array_equal(a[1], b[1])


# On varied norms the repair leaves about half the nodes unreached, so a walk over 1 %
# candidates finds only those it reaches (exactly scoring such a subset is the remedy).
@pytest.mark.parametrize("norms, share, floor", [
    ("unit", 1.0, 0.95), ("unit", 0.1, 0.95), ("unit", 0.01, 0.95),
    ("varied", 1.0, 0.95), ("varied", 0.1, 0.95), ("varied", 0.01, 0.6),
])
def test_recall_against_brute_force(rng, norms, share, floor):
    n, d = 5000, 24
    x = varied_norms(rng, n, d)
    if norms == "unit":
        x /= np.linalg.norm(x, axis=1, keepdims=True)
    index = _core.hnsw_build_dense(x, 16, 100, 2, 8)
    q = rng.standard_normal((200, d))
    cands = np.sort(rng.choice(n, int(n * share), replace=False))
    pos, _ = search_dense(index, x, q, cands, k=10, ef=100, threads=8)
    truth, _ = brute(x, q, cands, 10)
    assert recall(pos, truth) >= floor


def test_sparse_forms_score_by_gather(rng):
    n, d = 300, 40
    ptr, idx, data, m = random_csr(rng, n, d, density=0.2)
    qptr, qidx, qdata, qm = random_csr(rng, 5, d, density=0.3)
    index = _core.hnsw_build_sparse(ptr, idx, data, d, 6, 40, 0, 1)
    cands = np.arange(n)
    ex = no_exclusions(5)
    pos, scores = _core.hnsw_search_sparse(*index, ptr, idx, data, d, qptr, qidx, qdata, cands, *ex, n, 8, 1)
    want_pos, want_scores = brute(m.toarray(), qm.toarray(), cands, n)
    np.testing.assert_array_equal(scores, want_scores)
    np.testing.assert_array_equal(pos, want_pos)
    dense = m.toarray()
    dindex = _core.hnsw_build_dense(dense, 6, 40, 0, 1)
    pos, scores = _core.hnsw_search_sparse_dense(*dindex, dense, qptr, qidx, qdata, cands, *ex, n, 8, 1)
    np.testing.assert_array_equal(scores, want_scores)
    np.testing.assert_array_equal(pos, want_pos)


def test_scattered_query_keeps_the_last_value_and_gathered_sums_repeats():
    items = np.eye(4)
    ptr = np.array([0, 2], np.int64)
    qidx = np.array([3, 3], np.int64)
    qdata = np.array([1.0, 2.0])
    sp_items = (np.arange(5, dtype=np.int64), np.arange(4, dtype=np.int64), np.ones(4))
    index = _core.hnsw_build_dense(items, 2, 8, 0, 1)
    ex = no_exclusions(1)
    _, s = _core.hnsw_search_sparse(*index, *sp_items, 4, ptr, qidx, qdata, np.array([3]), *ex, 1, 4, 1)
    assert s.tolist() == [[2.0]]
    _, s = _core.hnsw_search_sparse_dense(*index, items, ptr, qidx, qdata, np.array([3]), *ex, 1, 4, 1)
    assert s.tolist() == [[3.0]]


# ---- search checks ----

def test_search_check_order(small):
    x, q, (level, ptr, idx, entry) = small
    cands = np.arange(60)
    ex = no_exclusions(7)
    cases = [
        (dict(queries=np.ones((2, 5))), ValueError, "queries must have the same width as the indexed vectors."),
        (dict(node_level=level[:-1], queries=np.ones((7, 6))[:, ::1]), ValueError,
         "node_level must have one entry per item."),
        (dict(node_level=np.full(60, 33, np.int32)), ValueError, "the index arrays do not describe a graph."),
        (dict(links_indices=np.full_like(idx, 60)), ValueError, "the index arrays do not describe a graph."),
        (dict(entry_point=-1), ValueError, "the index arrays do not describe a graph."),
        (dict(candidates=np.array([3, 3])), ValueError, "candidates must ascend."),
        (dict(candidates=np.array([60])), ValueError, "candidate value 60 out of range [0, 60)."),
        (dict(queries=np.ones((7, 12))[:, ::2]), TypeError, "The given array is not contiguous or is misaligned."),
        (dict(excluded_indptr=np.zeros(3, np.int64)), ValueError,
         "excluded_indptr must have one entry per row of scores, plus one."),
        (dict(ef_search=0), ValueError, "ef_search must be >= 1."),
    ]
    base = dict(node_level=level, links_indptr=ptr, links_indices=idx, entry_point=entry, vectors=x, queries=q,
                candidates=cands, excluded_indptr=ex[0], excluded_indices=ex[1], k=3, ef_search=10, n_threads=1)
    for change, kind, message in cases:
        with pytest.raises(kind) as e:
            _core.hnsw_search_dense(**{**base, **change})
        assert str(e.value) == message, change
    with pytest.raises(OverflowError) as e:
        _core.hnsw_search_dense(**{**base, "entry_point": 2**63})
    assert "entry_point" in "".join(getattr(e.value, "__notes__", []))


def test_sparse_search_checks_items_before_the_index(rng):
    ptr, idx, data, _ = random_csr(rng, 10, 5)
    ex = no_exclusions(1)
    with pytest.raises(ValueError, match="^indices and data must have the same length.$"):
        _core.hnsw_search_sparse(np.zeros(3, np.int32), np.zeros(1, np.int64), np.zeros(0, np.int32), 0, ptr, idx,
                                 data[:-1], 5,
                                 np.array([0, 0]), NONE, np.zeros(0), NONE, *ex, 0, 1, 1)
    level = np.zeros(3, np.int32)
    dindex = (level, np.zeros(4, np.int64), np.zeros(0, np.int32), 0)
    with pytest.raises(ValueError, match=r"^indices value 3 out of range \[0, 3\)\.$"):
        _core.hnsw_search_sparse_dense(*dindex, np.ones((3, 3)), np.array([0, 1]), np.array([3]), np.ones(1),
                                       NONE, *ex, 0, 1, 1)


# ---- guarded edge cases ----

def test_huge_counts_answer_at_once_or_raise_memory_error(rng):
    x = rng.standard_normal((50, 4))
    index = _core.hnsw_build_dense(x, 2**62, 2**63, 0, 2)
    assert reachable(index).all() and np.all(np.diff(index[1]) <= 49)
    pos, _ = search_dense(index, x, x[:3], k=5, ef=2**64 - 1)
    assert pos[:, 0].tolist() == np.argmax(x[:3] @ x.T, axis=1).tolist()
    with pytest.raises(ValueError, match="Cannot recommend"):
        search_dense(index, x, x[:3], k=2**63)
    sp_index = _core.hnsw_build_sparse(np.array([0, 1, 2]), np.array([0, 1]), np.ones(2), 2**62, 2, 4, 0, 1)
    pos, s = _core.hnsw_search_sparse(*sp_index, np.array([0, 1, 2]), np.array([0, 1]), np.ones(2), 2**62,
                                      np.array([0, 1]), np.array([1]), np.array([5.0]), np.arange(2),
                                      *no_exclusions(1), 1, 2**40, 1)
    assert pos.tolist() == [[1]] and s.tolist() == [[5.0]]


def test_nan_scores_do_not_hang_the_walks():
    code = """
import numpy as np
from quorvane import _core
rng = np.random.default_rng(0)
x = rng.standard_normal((400, 8))
x[rng.random(400) < 0.3] = np.nan
idx = _core.hnsw_build_dense(x, 4, 16, 0, 1)
q = rng.standard_normal((20, 8)); q[::2, 0] = np.nan
c = np.arange(400)
_core.hnsw_search_dense(*idx, x, q, c, np.zeros(21, np.int64), np.zeros(0, np.int64), 5, 8, 2)
print("ok")
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.stdout.strip() == "ok", out.stderr
