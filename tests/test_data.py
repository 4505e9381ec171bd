"""coo_to_csr, factorize, top_k_per_row, csr_top_k_per_row against numpy/scipy."""
import numpy as np
import pytest
import scipy.sparse as sp

from conftest import THREADS, random_csr, stable_top_k
from quorvane import _core

NAN = float("nan")
INF = float("inf")


def i64(*v):
    return np.array(v, dtype=np.int64)


def f64(*v):
    return np.array(v, dtype=np.float64)


# ---- coo_to_csr ----

@pytest.mark.parametrize("nnz", [0, 50, 70_000, 300_000])
def test_coo_to_csr_matches_scipy_for_every_thread_count(rng, nnz):
    n_rows, n_cols = 900, 700
    rows = rng.integers(0, n_rows, nnz)
    cols = rng.integers(0, n_cols, nnz)
    data = rng.integers(-3, 4, nnz).astype(np.float64)
    ref = sp.coo_matrix((data, (rows, cols)), shape=(n_rows, n_cols)).tocsr()
    ref.sum_duplicates()
    results = [_core.coo_to_csr(rows, cols, data, n_rows, n_cols, t) for t in THREADS]
    indptr, indices, values = results[0]
    # explicit zeros are kept, so compare the pattern of distinct pairs, not scipy's pruned one
    pairs = np.unique(rows * n_cols + cols)
    assert len(indices) == len(pairs)
    assert np.array_equal(np.repeat(np.arange(n_rows), np.diff(indptr)) * n_cols + indices, pairs)
    dense = np.zeros((n_rows, n_cols))
    dense[np.repeat(np.arange(n_rows), np.diff(indptr)), indices] = values
    assert np.array_equal(dense, ref.toarray())
    for other in results[1:]:
        for a, b in zip(results[0], other):
            assert np.array_equal(a, b) and a.tobytes() == b.tobytes()


def test_coo_to_csr_sums_duplicates_left_to_right_and_keeps_zeros():
    indptr, indices, data = _core.coo_to_csr(
        i64(1, 1, 0, 1, 0, 0), i64(2, 2, 5, 2, 5, 1), f64(1e16, 1.0, 1.0, -1e16, -1.0, 0.0), 3, 6, 2)
    assert indptr.tolist() == [0, 2, 3, 3]
    assert indices.tolist() == [1, 5, 2]
    # (1e16 + 1.0) - 1e16 in that order is 0.0, not 1.0
    assert data.tolist() == [0.0, 0.0, 0.0]


def reference_csr(rows, cols, data, n_rows):
    """Canonical CSR with repeated pairs summed one by one in input order."""
    order = np.lexsort((cols, rows))  # stable: repeats stay in input order
    r, c, v = rows[order], cols[order], data[order]
    starts = np.flatnonzero(np.r_[True, (r[1:] != r[:-1]) | (c[1:] != c[:-1])])
    sums = []
    for b, e in zip(starts, np.r_[starts[1:], len(v)]):
        acc = v[b]
        for x in v[b + 1:e]:
            acc += x
        sums.append(acc)
    indptr = np.searchsorted(r[starts], np.arange(n_rows + 1))
    return indptr, c[starts], np.array(sums)


@pytest.mark.parametrize("n_rows, n_cols", [
    (1, 50), (300_000, 3), (5_000, 40_000), (200_000, 2**61), (7, 2**63 - 1), (1_000_000, 2**62),
    (5, 2**64 - 1)])  # the last: no key bits left for a row
@pytest.mark.parametrize("presorted", [False, True])
def test_coo_to_csr_sums_repeats_in_input_order_across_blocks(rng, n_rows, n_cols, presorted):
    # Each pair comes three times, far apart in the input, with values whose sum depends
    # on the order of the additions.
    n_pairs = 60_000
    rows = rng.integers(0, n_rows, n_pairs)
    cols = rng.integers(0, min(n_cols, 2**62), n_pairs) * (min(n_cols, 2**63 - 1) // min(n_cols, 2**62))
    if presorted:
        order = np.lexsort((cols, rows))
        rows, cols = rows[order], cols[order]
    rows, cols = np.tile(rows, 3), np.tile(cols, 3)
    data = rng.choice([1e16, -1e16, 1.0, -0.0, 3.0], len(rows))
    expected = reference_csr(rows, cols, data, n_rows)
    for threads in (1, 3, 8):
        got = _core.coo_to_csr(rows, cols, data, n_rows, n_cols, threads)
        for a, b in zip(got, expected):
            assert a.tobytes() == b.astype(a.dtype).tobytes()


@pytest.mark.parametrize("n_threads", [1, 4])
def test_coo_to_csr_sums_duplicates_in_input_order_in_long_rows(rng, n_threads):
    # Rows of well over 32 entries, each repeated column given three values whose sum
    # shows the order: (1e16 + 1) - 1e16 is 0, (1e16 - 1e16) + 1 is 1.
    n_rows, n_cols = 3, 200
    triples = [(1e16, 1.0, -1e16), (1e16, -1e16, 1.0), (1.0, 1e16, -1e16), (-1e16, 1.0, 1e16)]
    groups = []  # entries whose relative order is kept
    for r in range(n_rows):
        groups += [[(r, int(c), float(rng.integers(-3, 4)))] for c in rng.permutation(n_cols - 40)[:60]]
        groups += [[(r, n_cols - 1 - c, v) for v in t] for c, t in enumerate(triples * 10)]
    # Scatter every group over the input, each keeping its own order.
    keys = rng.permutation(sum(len(g) for g in groups))
    entries, at = [], 0
    for g in groups:
        entries += zip(np.sort(keys[at:at + len(g)]), g)
        at += len(g)
    entries = [e for _, e in sorted(entries)]
    rows, cols, vals = (np.array(x) for x in zip(*entries))
    expected = {}
    for r, c, v in entries:
        expected[(r, c)] = expected[(r, c)] + v if (r, c) in expected else v
    indptr, indices, data = _core.coo_to_csr(rows.astype(np.int64), cols.astype(np.int64), vals, n_rows, n_cols,
                                             n_threads)
    assert np.all(np.diff(indptr) > 32)
    got = {(r, int(c)): v for r in range(n_rows)
           for c, v in zip(indices[indptr[r]:indptr[r + 1]], data[indptr[r]:indptr[r + 1]])}
    assert got == expected


@pytest.mark.parametrize("args, out", [
    ((i64(0, 0), i64(0, 0), f64(1, 2), 0, 5), ([0], [], [])),
    ((i64(1, 0), i64(0, 0), f64(1, 2), 2, 0), ([0, 0, 0], [], [])),
    ((i64(), i64(), f64(), 3, 3), ([0, 0, 0, 0], [], [])),
])
def test_coo_to_csr_empty_shapes(args, out):
    got = _core.coo_to_csr(*args, 1)
    assert [a.tolist() for a in got] == [list(x) for x in out]


@pytest.mark.parametrize("args, message", [
    ((i64(0, 1, 2), i64(0, 1, 2), f64(1, 2), 5, 5), "rows, cols and data must have the same length."),
    ((i64(7), i64(0), f64(1), 5, 5), "row value 7 out of range [0, 5)."),
    ((i64(0), i64(-1), f64(1), 5, 4), "column value -1 out of range [0, 4)."),
    ((i64(1), i64(0), f64(1), 0, 4), "row value 1 out of range [0, 1)."),
])
def test_coo_to_csr_errors(args, message):
    with pytest.raises(ValueError) as e:
        _core.coo_to_csr(*args, 1)
    assert str(e.value) == message


# Positions spread over several input blocks of every pool size: the first bad row in
# input order wins over every column, then the first bad column.
@pytest.mark.parametrize("bad, n_cols, message", [
    ({"rows": [(250_000, 900), (190_000, -2)], "cols": [(10, 700)]}, 700, "row value -2 out of range [0, 900)."),
    ({"rows": [(299_999, 905)]}, 700, "row value 905 out of range [0, 900)."),
    ({"cols": [(280_000, -1), (140_000, 701), (70_000 - 1, 2**63 - 1)]}, 700,
     "column value 9223372036854775807 out of range [0, 700)."),
    ({"cols": [(200_000, 2**63 - 1)]}, 2**64 - 1,
     "column value 9223372036854775807 out of range [0, 9223372036854775807)."),
])
@pytest.mark.parametrize("n_threads", [1, 3, 8])
def test_coo_to_csr_reports_the_first_bad_index_of_a_large_input(rng, bad, n_cols, message, n_threads):
    rows = rng.integers(0, 900, 300_000)
    cols = rng.integers(0, 700, 300_000)
    for name, array in (("rows", rows), ("cols", cols)):
        for at, value in bad.get(name, []):
            array[at] = value
    with pytest.raises(ValueError) as e:
        _core.coo_to_csr(rows, cols, np.ones(300_000), 900, n_cols, n_threads)
    assert str(e.value) == message


@pytest.mark.parametrize("n_rows, n_cols, message", [
    (2**62, 5, "row value -1 out of range [0, 4611686018427387904)."),  # before the size is refused
    (0, 5, "row value 3 out of range [0, 1)."),
    (4, 0, "column value 1 out of range [0, 1)."),
])
def test_coo_to_csr_reports_a_bad_index_before_an_empty_or_impossible_shape(n_rows, n_cols, message):
    rows, cols = np.zeros(100_000, dtype=np.int64), np.zeros(100_000, dtype=np.int64)
    rows[-1] = -1 if n_rows else 3
    if not n_cols:
        rows[-1], cols[-1] = 0, 1
    with pytest.raises(ValueError) as e:
        _core.coo_to_csr(rows, cols, np.ones(100_000), n_rows, n_cols, 2)
    assert str(e.value) == message


def test_coo_to_csr_refuses_an_impossible_size_without_aborting():
    with pytest.raises(MemoryError):
        _core.coo_to_csr(i64(), i64(), f64(), 2**62, 3, 1)


# ---- factorize ----

@pytest.mark.parametrize("values", [
    [], [5, 3, 5, 9], [-1, 2, -5], [42], [0, 1000],
    [np.iinfo(np.int64).min, np.iinfo(np.int64).max, 0],
    [7] * 1000 + [10**15],
])
def test_factorize_examples(values):
    v = np.array(values, dtype=np.int64)
    u, c = _core.factorize(v)
    ru, rc = np.unique(v, return_inverse=True)
    assert u.dtype == np.int64 and c.dtype == np.int64
    assert np.array_equal(u, ru) and np.array_equal(c, rc.reshape(-1))


@pytest.mark.parametrize("n, spread", [(10, 5), (5000, 3000), (5000, 10**12), (200_000, 4000), (100_000, 2**63)])
def test_factorize_matches_numpy_on_both_paths(rng, n, spread):
    v = rng.integers(-(spread // 2), spread // 2 + 1, n, dtype=np.int64)
    u, c = _core.factorize(v)
    ru, rc = np.unique(v, return_inverse=True)
    assert np.array_equal(u, ru) and np.array_equal(c, rc.reshape(-1))


# ---- top_k_per_row ----

def exclusions(rng, n_rows, n_cols, p=0.2):
    mask = rng.random((n_rows, n_cols)) < p
    m = sp.csr_matrix(mask)
    m.sort_indices()
    return m.indptr.astype(np.int64), m.indices.astype(np.int64), mask


@pytest.mark.parametrize("n_rows, n_cols, k", [(1, 1, 1), (40, 30, 5), (300, 64, 21), (7, 200, 200 // 2)])
def test_top_k_per_row_matches_stable_argsort(rng, n_rows, n_cols, k):
    scores = rng.integers(-5, 5, (n_rows, n_cols)).astype(np.float64)  # many ties
    ptr, idx, mask = exclusions(rng, n_rows, n_cols, 0.1 if k > 1 else 0.0)
    if np.any((~mask).sum(axis=1) < k):
        pytest.skip("generated a short row")
    got = _core.top_k_per_row(scores, ptr, idx, k)
    ref = stable_top_k(np.where(mask, -np.inf, scores), k)
    assert got.shape == (n_rows, k) and got.dtype == np.int64
    assert np.array_equal(got, ref)


def test_top_k_ties_and_signed_zero():
    scores = f64(0.0, -0.0, 1.0, 1.0).reshape(1, 4)
    assert _core.top_k_per_row(scores, i64(0, 0), i64(), 4).tolist() == [[2, 3, 0, 1]]


def test_top_k_nan_never_displaces_a_held_column():
    scores = f64(1.0, 2.0, NAN, NAN).reshape(1, 4)
    assert sorted(_core.top_k_per_row(scores, i64(0, 0), i64(), 2)[0].tolist()) == [0, 1]
    # with NaNs present every row still gets k distinct columns
    scores = np.array([[NAN, 1.0, NAN, 3.0] * 10])
    got = _core.top_k_per_row(scores, i64(0, 0), i64(), 30)
    assert len(set(got[0].tolist())) == 30


@pytest.mark.parametrize("scores, ptr, idx, k, message", [
    (np.zeros((2, 0)), i64(0, 0, 0), i64(), 1, "Cannot recommend 1 items: query 0 has only 0 eligible items."),
    (np.zeros((3, 3)), i64(0, 0, 3, 3), i64(0, 1, 2), 1, "Cannot recommend 1 items: query 1 has only 0 eligible items."),
    (np.zeros((3, 3)), i64(0, 0, 0, 0), i64(), 10**18, "Cannot recommend 1000000000000000000 items: query 0 has only 3 eligible items."),
    (np.zeros((0, 3)), i64(0), i64(), 2**63, "ShapeError/Overflow: arithmetic overflow"),
    (np.zeros((2, 3)), i64(0, 1, 1), i64(3), 1, "excluded column value 3 out of range [0, 3)."),
    (np.zeros((2, 3)), i64(), i64(), 1, "indptr must not be empty."),
    (np.zeros((2, 3)), i64(0, 1), i64(0), 1, "excluded_indptr must have one entry per row of scores, plus one."),
    (np.zeros((2, 3)), i64(0, 2, 2), i64(1, 1), 1, "excluded column indices must ascend within a row."),
    (np.zeros((2, 3)), i64(0, 2, 1), i64(0, 1), 0, "indptr is not a valid CSR index pointer."),
])
def test_top_k_per_row_errors(scores, ptr, idx, k, message):
    with pytest.raises(ValueError) as e:
        _core.top_k_per_row(scores, ptr, idx, k)
    assert str(e.value) == message


def test_top_k_reports_the_lowest_failing_row_whatever_the_threads():
    n_rows, n_cols = 5000, 20
    rng = np.random.default_rng(3)
    counts = np.zeros(n_rows, dtype=np.int64)
    short = [1234, 2500, 4999]
    counts[short] = n_cols
    ptr = np.concatenate([[0], np.cumsum(counts)])
    idx = np.concatenate([np.arange(n_cols)] * len(short)).astype(np.int64)
    with pytest.raises(ValueError, match="query 1234 has only 0"):
        _core.top_k_per_row(rng.random((n_rows, n_cols)), ptr, idx, 1)


@pytest.mark.parametrize("shape, k", [((3, 0), 0), ((0, 5), 4), ((2, 2), 0)])
def test_top_k_empty_results(shape, k):
    ptr = np.zeros(shape[0] + 1, dtype=np.int64)
    got = _core.top_k_per_row(np.zeros(shape), ptr, i64(), k)
    assert got.shape == (shape[0], k)


# ---- csr_top_k_per_row ----

@pytest.mark.parametrize("k", [0, 1, 3, 50])
@pytest.mark.parametrize("threads", THREADS)
def test_csr_top_k_matches_stable_sort(rng, k, threads):
    indptr, indices, data, m = random_csr(rng, 120, 60, density=0.3, canonical=False)
    # shuffle each row so that storage order differs from column order
    perm = np.concatenate([rng.permutation(np.arange(indptr[r], indptr[r + 1])) for r in range(120)]).astype(np.int64)
    indices, data = indices[perm], data[perm]
    p, i, d = _core.csr_top_k_per_row(indptr, indices, data, 60, k, threads)
    for r in range(120):
        s, e = indptr[r], indptr[r + 1]
        order = np.argsort(-data[s:e], kind="stable")[:k]
        keep = sorted(zip(indices[s:e][order], data[s:e][order]))
        assert list(zip(i[p[r]:p[r + 1]], d[p[r]:p[r + 1]])) == keep


def test_csr_top_k_total_order():
    neg_nan = -np.array(NAN)
    row = f64(-0.0, 0.0, INF, NAN, neg_nan, -INF)
    p, i, d = _core.csr_top_k_per_row(i64(0, 6), i64(0, 1, 2, 3, 4, 5), row, 6, 4, 1)
    assert i.tolist() == [0, 1, 2, 3]  # -NaN and -inf dropped; +NaN and +inf kept
    p, i, d = _core.csr_top_k_per_row(i64(0, 2), i64(0, 1), f64(-0.0, 0.0), 2, 1, 1)
    assert i.tolist() == [1]
    p, i, d = _core.csr_top_k_per_row(i64(0, 3), i64(7, 2, 5), f64(1.0, 3.0, 1.0), 8, 2, 1)
    assert i.tolist() == [2, 7] and d.tolist() == [3.0, 1.0]


@pytest.mark.parametrize("args, message", [
    ((i64(0, 2), i64(0, 1), f64(1), 3), "indptr value 2 out of range [0, 2)."),
    ((i64(0, 1), i64(0, 1), f64(1), 3), "indices and data must have the same length."),
    ((i64(0, 2), i64(0), f64(1, 2), 3), "indices and data must have the same length."),
    ((i64(0, 1), i64(3), f64(1), 3), "indices value 3 out of range [0, 3)."),
    ((i64(0, 1), i64(0), f64(1), 0), "indices value 0 out of range [0, 0)."),
])
def test_csr_top_k_check_order(args, message):
    with pytest.raises(ValueError) as e:
        _core.csr_top_k_per_row(*args, 1, 1)
    assert str(e.value) == message
