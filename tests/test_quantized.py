"""The quantized flat scan: packed codes choose the shortlist, exact scores rank it."""
import numpy as np
import pytest
import scipy.sparse as sp

from quorvane import _core


def pack_rows(codes, bits):
    """Each row of codes as its own byte-aligned run, the low-order code first."""
    n, dim = codes.shape
    per = 8 // bits
    out = np.zeros((n, -(-dim // per)), np.uint8)
    for d in range(dim):
        out[:, d // per] |= (codes[:, d].astype(np.uint8) << (bits * (d % per))).astype(np.uint8)
    return out.ravel()


def pack_stream(codes, bits):
    """One continuous run of codes."""
    per = 8 // bits
    out = np.zeros(-(-len(codes) // per), np.uint8)
    for p, c in enumerate(codes):
        out[p // per] |= np.uint8(int(c) << (bits * (p % per)))
    return out


def no_exclusions(n_queries):
    return np.zeros(n_queries + 1, np.int64), np.zeros(0, np.int64)


def random_exclusions(rng, n_queries, n_candidates, share=0.2):
    rows = [np.flatnonzero(rng.random(n_candidates) < share) for _ in range(n_queries)]
    indptr = np.concatenate([[0], np.cumsum([len(r) for r in rows])]).astype(np.int64)
    return indptr, np.concatenate(rows + [np.zeros(0, np.int64)]).astype(np.int64)


def reference(coarse, exact, indptr, indices, k, oversample):
    """Shortlist by coarse score (ties to the lower position), rank it by exact score."""
    n_queries, n_candidates = coarse.shape
    pos = np.zeros((n_queries, k), np.int64)
    val = np.zeros((n_queries, k))
    L = min(oversample * k, max(k, n_candidates))
    for q in range(n_queries):
        eligible = np.setdiff1d(np.arange(n_candidates), indices[indptr[q]:indptr[q + 1]])
        short = eligible[np.lexsort((eligible, -coarse[q, eligible]))][:L]
        ranked = short[np.lexsort((short, -exact[q, short]))][:k]
        pos[q], val[q] = ranked, exact[q, ranked]
    return pos, val


def dense_case(rng, bits, n_items, dim, n_queries):
    """Small integers everywhere, so every sum is exact in any order and ties are real.
    The codes are drawn apart from the vectors, so the shortlist depends on them alone."""
    codes = rng.integers(0, 2 ** bits, (n_items, dim))
    scale = rng.integers(-2, 3, dim).astype(np.float64)
    offset = rng.integers(-2, 3, dim).astype(np.float64)
    vectors = rng.integers(-3, 4, (n_items, dim)).astype(np.float64)
    queries = rng.integers(-2, 3, (n_queries, dim)).astype(np.float64)
    return codes, scale, offset, vectors, queries


@pytest.mark.parametrize("bits", [1, 2, 4, 8])
@pytest.mark.parametrize("n_queries,dim", [(1, 13), (16, 8), (17, 3), (40, 21)])
@pytest.mark.parametrize("oversample", [1, 3, 1000])
def test_dense_and_sparse_dense_follow_codes_then_exact_scores(rng, bits, n_queries, dim, oversample):
    n_items, k = 60, 4
    codes, scale, offset, vectors, queries = dense_case(rng, bits, n_items, dim, n_queries)
    candidates = np.flatnonzero(rng.random(n_items) < 0.7).astype(np.int64)
    ex_ptr, ex_idx = random_exclusions(rng, n_queries, len(candidates))
    decoded = offset + scale * codes
    coarse = queries @ decoded[candidates].T
    exact = queries @ vectors[candidates].T
    want_pos, want_val = reference(coarse, exact, ex_ptr, ex_idx, k, oversample)
    packed = pack_rows(codes, bits)

    pos, val = _core.quantized_search_dense(packed, bits, scale, offset, vectors, queries, candidates,
                                            ex_ptr, ex_idx, k, oversample)
    np.testing.assert_array_equal(pos, want_pos)
    np.testing.assert_array_equal(val, want_val)

    q = sp.csr_matrix(queries)
    pos, val = _core.quantized_search_sparse_dense(
        packed, bits, scale, offset, vectors, q.indptr.astype(np.int64), q.indices.astype(np.int64), q.data,
        candidates, ex_ptr, ex_idx, k, oversample)
    np.testing.assert_array_equal(pos, want_pos)
    np.testing.assert_array_equal(val, want_val)


@pytest.mark.parametrize("bits", [1, 2, 4, 8])
@pytest.mark.parametrize("oversample", [1, 2, 1000])
def test_sparse_follows_the_code_stream_then_exact_scores(rng, bits, oversample):
    n_items, dim, n_queries, k = 50, 30, 7, 3
    items = sp.random(n_items, dim, density=0.3, format="csr", random_state=rng,
                      data_rvs=lambda n: rng.integers(-3, 4, n).astype(np.float64))
    items.sort_indices()
    codes = rng.integers(0, 2 ** bits, items.nnz)
    scale, offset = 2.0, -1.0
    # Queries with a repeated column whose last value wins.
    qptr, qidx, qdat = [0], [], []
    for _ in range(n_queries):
        cols = list(rng.choice(dim, 6, replace=False))
        cols.append(cols[0])
        qidx += cols
        qdat += list(rng.integers(-2, 3, len(cols)).astype(np.float64))
        qptr.append(len(qidx))
    qptr, qidx, qdat = (np.array(qptr, np.int64), np.array(qidx, np.int64), np.array(qdat))
    dense_q = np.zeros((n_queries, dim))
    for r in range(n_queries):
        for p in range(qptr[r], qptr[r + 1]):
            dense_q[r, qidx[p]] = qdat[p]
    decoded = sp.csr_matrix((offset + scale * codes, items.indices, items.indptr), shape=items.shape)
    candidates = np.arange(n_items, dtype=np.int64)
    ex_ptr, ex_idx = random_exclusions(rng, n_queries, n_items)
    coarse = dense_q @ decoded.toarray().T
    exact = dense_q @ items.toarray().T
    want_pos, want_val = reference(coarse, exact, ex_ptr, ex_idx, k, oversample)
    pos, val = _core.quantized_search_sparse(
        pack_stream(codes, bits), bits, scale, offset, items.indptr.astype(np.int64), items.indices.astype(np.int64),
        items.data, dim, qptr, qidx, qdat, candidates, ex_ptr, ex_idx, k, oversample)
    np.testing.assert_array_equal(pos, want_pos)
    np.testing.assert_array_equal(val, want_val)


def test_large_oversample_is_exact_brute_force(rng):
    vectors = rng.standard_normal((300, 24))
    queries = rng.standard_normal((33, 24))
    codes = np.zeros((300, 24), np.int64)  # codes that say nothing
    k = 10
    pos, val = _core.quantized_search_dense(pack_rows(codes, 1), 1, np.ones(24), np.zeros(24), vectors, queries,
                                            np.arange(300, dtype=np.int64), *no_exclusions(33), k, 30)
    exact = queries @ vectors.T
    np.testing.assert_array_equal(pos, np.argsort(-exact, axis=1)[:, :k])
    np.testing.assert_allclose(val, np.take_along_axis(exact, pos, 1), rtol=1e-12)


def assert_each_query_as_alone(store, queries, candidates, ex_ptr, ex_idx, k, oversample):
    """Each query's row of a dense call is, to the bit, the call of that query alone."""
    pos, val = _core.quantized_search_dense(*store, queries, candidates, ex_ptr, ex_idx, k, oversample)
    for q in range(len(queries)):
        row = ex_idx[ex_ptr[q]:ex_ptr[q + 1]]
        p1, v1 = _core.quantized_search_dense(*store, queries[q:q + 1], candidates,
                                              np.array([0, len(row)], np.int64), row, k, oversample)
        np.testing.assert_array_equal(p1[0], pos[q], err_msg=f"query {q}")
        assert v1[0].tobytes() == val[q].tobytes()


@pytest.mark.parametrize("bits", [1, 8])
def test_tiles_answer_each_query_as_alone(rng, bits):
    dim, n_items, n_queries = 19, 120, 40
    codes = rng.integers(0, 2 ** bits, (n_items, dim))
    scale, offset = rng.standard_normal(dim), rng.standard_normal(dim)
    vectors = rng.standard_normal((n_items, dim))
    queries = rng.standard_normal((n_queries, dim))
    candidates = np.arange(5, n_items, dtype=np.int64)
    ex_ptr, ex_idx = random_exclusions(rng, n_queries, len(candidates))
    assert_each_query_as_alone((pack_rows(codes, bits), bits, scale, offset, vectors), queries, candidates,
                               ex_ptr, ex_idx, 6, 2)


def order_sensitive_case(rng, bits, n_items, dim, n_queries):
    """Items whose codes are permutations of one run within the even and within the odd
    dimensions, under weights that take one value on each: every coarse score is the same
    real number, and only the rounding of one fused chain in dimension order tells them
    apart, so a scan that summed in any other order would shortlist other items."""
    base = rng.integers(0, 2 ** bits, dim)
    codes = np.empty((n_items, dim), np.int64)
    for i in range(n_items):
        row = base.copy()
        for parity in (0, 1):
            row[parity::2] = rng.permutation(row[parity::2])
        codes[i] = row
    scale = np.where(np.arange(dim) % 2 == 0, 0.1, 0.3)
    offset = np.full(dim, -0.7)
    queries = np.ones((n_queries, dim)) * rng.uniform(0.5, 3.0, (n_queries, 1))
    return codes, scale, offset, rng.standard_normal((n_items, dim)), queries


@pytest.mark.parametrize("bits", [1, 2, 4, 8])
@pytest.mark.parametrize("dim", [1, 7, 8, 9, 64, 129])
@pytest.mark.parametrize("n_queries", [2, 3, 17])
@pytest.mark.parametrize("nan", [False, True])
def test_few_queries_give_the_bits_of_each_query_alone(rng, bits, dim, n_queries, nan):
    # A lone query and up to four take the candidate-lane scorer; the first sixteen of
    # seventeen take the query-lane tile. Each query alone must match its row in a batch,
    # also when an infinite weight makes the chains of code 0 NaN and the rest infinite.
    n_items = 300
    codes, scale, offset, vectors, queries = order_sensitive_case(rng, bits, n_items, dim, n_queries)
    if nan:
        scale[dim // 2] = np.inf
    candidates = np.flatnonzero(rng.random(n_items) < 0.8).astype(np.int64)
    ex_ptr, ex_idx = random_exclusions(rng, n_queries, len(candidates), share=0.1)
    assert_each_query_as_alone((pack_rows(codes, bits), bits, scale, offset, vectors), queries, candidates,
                               ex_ptr, ex_idx, 5, 1)


@pytest.mark.parametrize("bits", [1, 2, 4, 8])
@pytest.mark.parametrize("dim", [1, 7, 8, 9, 64, 129])
@pytest.mark.parametrize("n_queries", [1, 2, 3, 17])
def test_last_item_read_to_its_last_byte(rng, bits, dim, n_queries):
    # The codes array ends with the last item's run, which the scan must read in full and
    # no further; exact integer sums leave the reference nothing to round.
    n_items, k = 70, 4
    codes, scale, offset, vectors, queries = dense_case(rng, bits, n_items, dim, n_queries)
    codes[-1] = 2 ** bits - 1  # the last item leads wherever the weights are positive
    candidates = np.sort(np.concatenate([rng.choice(n_items - 1, 30, replace=False), [n_items - 1]]))
    candidates = candidates.astype(np.int64)
    ex_ptr, ex_idx = random_exclusions(rng, n_queries, len(candidates))
    packed = pack_rows(codes, bits)
    assert len(packed) == n_items * -(-dim * bits // 8)
    decoded = offset + scale * codes
    want = reference(queries @ decoded[candidates].T, queries @ vectors[candidates].T, ex_ptr, ex_idx, k, 1)
    got = _core.quantized_search_dense(packed, bits, scale, offset, vectors, queries, candidates, ex_ptr, ex_idx,
                                       k, 1)
    np.testing.assert_array_equal(got[0], want[0])
    np.testing.assert_array_equal(got[1], want[1])


def three_calls(k, candidates, queries, ex_ptr, ex_idx, oversample=1, width=2):
    """The same request through each function, over items of value 0 and codes 0."""
    n_items = 4
    vectors = np.zeros((n_items, width))
    codes = np.zeros(n_items * width, np.uint8)
    q = sp.csr_matrix(queries)
    qp, qi = q.indptr.astype(np.int64), q.indices.astype(np.int64)
    return [
        lambda: _core.quantized_search_dense(codes, 8, np.ones(width), np.zeros(width), vectors, queries,
                                             candidates, ex_ptr, ex_idx, k, oversample),
        lambda: _core.quantized_search_sparse_dense(codes, 8, np.ones(width), np.zeros(width), vectors, qp, qi,
                                                    q.data, candidates, ex_ptr, ex_idx, k, oversample),
        lambda: _core.quantized_search_sparse(np.zeros(0, np.uint8), 8, 1.0, 0.0, np.zeros(n_items + 1, np.int64),
                                              np.zeros(0, np.int64), np.zeros(0), width, qp, qi, q.data,
                                              candidates, ex_ptr, ex_idx, k, oversample),
    ]


@pytest.mark.parametrize("which", range(3))
@pytest.mark.parametrize("k,candidates,excluded,message", [
    (2, [0, 1, 2], [[], [0, 1], [0], [0, 1]], "Cannot recommend 2 items: query 1 has only 1 eligible items."),
    (3, [0, 1], [[], [], [], []], "Cannot recommend 3 items: query 0 has only 2 eligible items."),
    (1, [], [[], [], [], []], "Cannot recommend 1 items: query 0 has only 0 eligible items."),
    (2 ** 62, [0], [[], [], [], []],
     "Cannot recommend 4611686018427387904 items: query 0 has only 1 eligible items."),
])
def test_shortfall_names_the_lowest_short_query(which, k, candidates, excluded, message):
    ex_ptr = np.concatenate([[0], np.cumsum([len(r) for r in excluded])]).astype(np.int64)
    ex_idx = np.array([p for r in excluded for p in r], np.int64)
    call = three_calls(k, np.array(candidates, np.int64), np.ones((4, 2)), ex_ptr, ex_idx, oversample=2 ** 40)[which]
    with pytest.raises(ValueError, match=f"^{message}$"):
        call()


@pytest.mark.parametrize("which", range(3))
def test_exactly_k_eligible_and_k_zero(which):
    ex_ptr = np.array([0, 1, 1, 1, 1], np.int64)
    ex_idx = np.array([1], np.int64)
    pos, val = three_calls(2, np.array([0, 2, 3], np.int64), np.ones((4, 2)), ex_ptr, ex_idx)[which]()
    # Every score ties, so the lowest eligible positions come back in order.
    np.testing.assert_array_equal(pos, [[0, 2], [0, 1], [0, 1], [0, 1]])
    pos, val = three_calls(0, np.zeros(0, np.int64), np.ones((4, 2)), *no_exclusions(4))[which]()
    assert pos.shape == val.shape == (4, 0) and pos.dtype == np.int64


def test_empty_sparse_query_scores_negative_zero():
    vectors = np.arange(12, dtype=np.float64).reshape(4, 3)
    pos, val = _core.quantized_search_sparse_dense(
        np.zeros(12, np.uint8), 8, np.ones(3), np.zeros(3), vectors, np.array([0, 0], np.int64),
        np.zeros(0, np.int64), np.zeros(0), np.arange(4, dtype=np.int64), *no_exclusions(1), 3, 1)
    np.testing.assert_array_equal(pos, [[0, 1, 2]])
    assert np.all(val == 0) and np.all(np.signbit(val))


def test_width_zero_items():
    # Dense: one row per query row, every candidate scoring +0.0.
    queries = np.zeros((3, 0))
    pos, val = _core.quantized_search_dense(np.zeros(0, np.uint8), 4, np.zeros(0), np.zeros(0), np.zeros((5, 0)),
                                            queries, np.array([1, 3, 4], np.int64), *no_exclusions(3), 2, 1)
    np.testing.assert_array_equal(pos, [[0, 1]] * 3)
    assert np.all(val == 0) and not np.any(np.signbit(val))
    # Sparse over dense: empty query rows, -0.0.
    pos, val = _core.quantized_search_sparse_dense(
        np.zeros(0, np.uint8), 4, np.zeros(0), np.zeros(0), np.zeros((5, 0)), np.zeros(3, np.int64),
        np.zeros(0, np.int64), np.zeros(0), np.array([1, 3, 4], np.int64), *no_exclusions(2), 2, 1)
    np.testing.assert_array_equal(pos, [[0, 1]] * 2)
    assert np.all(np.signbit(val))


def test_repeated_calls_are_bit_identical(rng):
    codes, scale, offset, vectors, queries = dense_case(rng, 2, 40, 9, 20)
    args = (pack_rows(codes, 2), 2, rng.standard_normal(9), offset, vectors, queries * 0.37,
            np.arange(40, dtype=np.int64), *no_exclusions(20), 5, 2)
    a, b = _core.quantized_search_dense(*args), _core.quantized_search_dense(*args)
    assert a[0].tobytes() == b[0].tobytes() and a[1].tobytes() == b[1].tobytes()


# ---- argument checks, in their order ----

def dense_args(**over):
    a = dict(codes=np.zeros(6, np.uint8), bits=2, scale=np.ones(5), offset=np.zeros(5), vectors=np.ones((3, 5)),
             queries=np.ones((2, 5)), candidates=np.arange(3, dtype=np.int64),
             excluded_indptr=np.zeros(3, np.int64), excluded_indices=np.zeros(0, np.int64), k=1, oversample=1)
    a.update(over)
    return a


def sparse_args(**over):
    a = dict(codes=np.zeros(2, np.uint8), bits=1, scale=1.0, offset=0.0,
             vectors_indptr=np.array([0, 4, 9], np.int64), vectors_indices=np.arange(9, dtype=np.int64) % 4,
             vectors_data=np.ones(9), dim=4, queries_indptr=np.array([0, 1], np.int64),
             queries_indices=np.array([3], np.int64), queries_data=np.ones(1),
             candidates=np.arange(2, dtype=np.int64), excluded_indptr=np.zeros(2, np.int64),
             excluded_indices=np.zeros(0, np.int64), k=1, oversample=1)
    a.update(over)
    return a


def sparse_dense_args(**over):
    a = dense_args(**over)
    del a["queries"]
    a.setdefault("queries_indptr", np.array([0, 1, 1], np.int64))
    a.setdefault("queries_indices", np.array([4], np.int64))
    a.setdefault("queries_data", np.ones(1))
    for key in ("queries_indptr", "queries_indices", "queries_data"):
        a[key] = over.get(key, a[key])
    return a


I64 = lambda *v: np.array(v, np.int64)  # noqa: E731

CHECKS = [
    # the width of dense queries, before anything is viewed
    ("dense", dict(queries=np.ones((2, 4)), bits=3), "queries must have the same width as the indexed vectors."),
    ("dense", dict(bits=3, oversample=0, codes=np.zeros(0, np.uint8)), r"bits must be one of \[1, 2, 4, 8\], got 3."),
    ("dense", dict(bits=0), r"bits must be one of \[1, 2, 4, 8\], got 0."),
    ("sparse_dense", dict(bits=16), r"bits must be one of \[1, 2, 4, 8\], got 16."),
    ("sparse", dict(bits=5, oversample=0), r"bits must be one of \[1, 2, 4, 8\], got 5."),
    ("dense", dict(oversample=0, codes=np.zeros(0, np.uint8)), "oversample must be >= 1."),
    ("sparse", dict(oversample=0, codes=np.zeros(0, np.uint8)), "oversample must be >= 1."),
    ("dense", dict(codes=np.zeros(5, np.uint8)), "the code arrays do not describe a quantized store."),
    ("dense", dict(scale=np.ones(4)), "the code arrays do not describe a quantized store."),
    ("sparse_dense", dict(offset=np.ones(6)), "the code arrays do not describe a quantized store."),
    ("sparse", dict(codes=np.zeros(1, np.uint8)), "the code arrays do not describe a quantized store."),
    ("dense", dict(candidates=I64(0, 3), codes=np.zeros(5, np.uint8)), "the code arrays"),
    ("dense", dict(candidates=I64(0, 3)), r"candidate value 3 out of range \[0, 3\)."),
    ("sparse", dict(candidates=I64(1, 1)), "candidates must ascend."),
    ("sparse_dense", dict(candidates=I64(-1)), r"candidate value -1 out of range \[0, 3\)."),
    ("dense", dict(excluded_indices=I64(3), excluded_indptr=I64(0, 1, 1)),
     r"excluded column value 3 out of range \[0, 3\)."),
    ("dense", dict(excluded_indptr=I64(0, 0)), "excluded_indptr must have one entry per row of scores, plus one."),
    ("sparse", dict(excluded_indices=I64(1, 0), excluded_indptr=I64(0, 2)),
     "excluded column indices must ascend within a row."),
    # the item CSR of the sparse form, before the codes are looked at
    ("sparse", dict(vectors_indices=np.zeros(8, np.int64), bits=3), "indices and data must have the same length."),
    ("sparse", dict(vectors_indices=np.full(9, 4, np.int64), bits=3), r"indices value 4 out of range \[0, 4\)."),
    ("sparse", dict(vectors_indptr=I64(0, 5, 4), bits=3), "indptr is not a valid CSR index pointer."),
    ("sparse", dict(vectors_indptr=np.zeros(0, np.int64), bits=3), "indptr must not be empty."),
    # query CSRs are held to dim; no width message
    ("sparse_dense", dict(queries_indices=I64(5)), r"indices value 5 out of range \[0, 5\)."),
    ("sparse", dict(queries_indptr=I64(0, 2)), r"indptr value 2 out of range \[0, 2\)."),
    ("sparse_dense", dict(candidates=I64(2, 1), queries_indices=I64(9)), "candidates must ascend."),
]


@pytest.mark.parametrize("form,over,message", CHECKS)
def test_checks_in_order(form, over, message):
    fn = {"dense": (_core.quantized_search_dense, dense_args),
          "sparse": (_core.quantized_search_sparse, sparse_args),
          "sparse_dense": (_core.quantized_search_sparse_dense, sparse_dense_args)}[form]
    with pytest.raises(ValueError, match="^" + message):
        fn[0](**fn[1](**over))


def test_valid_baselines_and_accepted_edges():
    for fn, make in [(_core.quantized_search_dense, dense_args), (_core.quantized_search_sparse, sparse_args),
                     (_core.quantized_search_sparse_dense, sparse_dense_args)]:
        pos, _ = fn(**make())
        assert pos.shape[1] == 1
        fn(**make(oversample=2 ** 64 - 1))
    # longer code arrays pass; dim 0 takes any codes
    _core.quantized_search_dense(**dense_args(codes=np.zeros(7, np.uint8)))
    _core.quantized_search_sparse(**sparse_args(codes=np.zeros(3, np.uint8), scale=float("nan")))


def test_non_contiguous_codes_before_bits():
    with pytest.raises(TypeError, match="not contiguous"):
        _core.quantized_search_dense(**dense_args(codes=np.zeros(12, np.uint8)[::2], bits=3))


@pytest.mark.parametrize("name", ["bits", "k", "oversample"])
def test_negative_counts_overflow(name):
    with pytest.raises(OverflowError) as e:
        _core.quantized_search_dense(**dense_args(**{name: -1}))
    assert any(name in n for n in getattr(e.value, "__notes__", []))


def test_exact_scores_are_the_graph_search_scores(rng):
    vectors = rng.standard_normal((200, 37))
    queries = rng.standard_normal((5, 37))
    candidates = np.arange(200, dtype=np.int64)
    graph = _core.hnsw_build_dense(vectors, 8, 50, 1, 1)
    g_pos, g_val = _core.hnsw_search_dense(*graph, vectors, queries, candidates, *no_exclusions(5), 10, 200, 1)
    pos, val = _core.quantized_search_dense(np.zeros(200 * 37, np.uint8), 8, np.ones(37), np.zeros(37), vectors,
                                            queries, candidates, *no_exclusions(5), 200, 1)
    for q in range(5):
        ours = dict(zip(pos[q].tolist(), val[q].tolist()))
        for p, s in zip(g_pos[q].tolist(), g_val[q].tolist()):
            assert np.float64(ours[p]).tobytes() == np.float64(s).tobytes()


# ---- NaN coarse scores: the shortlist rule decides which candidates stay ----

def pop_then_push(scores, L):
    """The shortlist of positions 0, 1, ... offered in order: pushed while it fills; once
    full, a newcomer better than the root pops it (the last entry takes the root's place,
    sinks along the worse child to the bottom and rises again) and is then pushed."""
    def worse(a, b):
        return a[0] < b[0] or (not a[0] > b[0] and a[1] > b[1])

    heap = []

    def up(i):
        while i > 0 and worse(heap[i], heap[(i - 1) // 2]):
            heap[i], heap[(i - 1) // 2] = heap[(i - 1) // 2], heap[i]
            i = (i - 1) // 2

    for c in zip(scores, range(len(scores))):
        if len(heap) == L:
            if not worse(heap[0], c):
                continue
            last, hole, child = heap.pop(), 0, 1
            if heap:
                while child + 1 < len(heap):
                    pick = child if worse(heap[child], heap[child + 1]) else child + 1
                    heap[hole], hole, child = heap[pick], pick, 2 * pick + 1
                if child + 1 == len(heap):
                    heap[hole], hole = heap[child], child
                heap[hole] = last
                up(hole)
        heap.append(c)
        up(len(heap) - 1)
    return sorted(i for _, i in heap)


def test_nan_coarse_scores_keep_the_pop_then_push_shortlist():
    nan = np.nan
    vals = [nan, 0.0, nan, 0.0, 3.0, nan, 4.0, 3.0, 2.0, 2.0, nan, 0.0]
    # Column 0 holds code v; a NaN slot holds column 1 with code 0, scored against +inf.
    ip = np.arange(13, dtype=np.int64)
    ix = np.array([1 if np.isnan(v) else 0 for v in vals], np.int64)
    codes = np.array([0 if np.isnan(v) else int(v) for v in vals], np.uint8)
    pos, _ = _core.quantized_search_sparse(codes, 8, 1.0, 0.0, ip, ix, np.ones(12), 2, np.array([0, 2], np.int64),
                                           np.array([0, 1], np.int64), np.array([1.0, np.inf]),
                                           np.arange(12, dtype=np.int64), *no_exclusions(1), 5, 1)
    assert sorted(pos[0].tolist()) == pop_then_push(vals, 5) == [0, 1, 2, 4, 6]


def nan_case(rng, form, n_items=60, n_queries=40):
    """Coarse scores that mix NaN, infinities and small integers, with their values.
    sparse: an infinite query value makes every item that stores its column NaN (B x 0).
    sparse_dense: weights of +-1e308 overflow against codes of 2 and 3 and meet as
    inf - inf; row order and unfused sums as the scan adds them. dense: an overflowing
    weight (the tiled scan's fused chain never meets inf - inf otherwise) gives NaN or +inf."""
    codes = rng.integers(0, 4, (n_items, 4))
    if form == "sparse":
        items = sp.random(n_items, 6, density=0.4, format="csr", random_state=rng,
                          data_rvs=lambda n: np.ones(n))
        items.sort_indices()
        stream = rng.integers(0, 4, items.nnz)
        q = rng.integers(-3, 4, (n_queries, 6)).astype(np.float64)
        q[np.arange(n_queries), rng.integers(0, 6, n_queries)] = np.inf
        qs = sp.csr_matrix(q)
        coarse = np.array([[np.nan if np.isinf(q[r, items.indices[items.indptr[i]:items.indptr[i + 1]]]).any()
                            else float(q[r, items.indices[items.indptr[i]:items.indptr[i + 1]]]
                                       @ stream[items.indptr[i]:items.indptr[i + 1]])
                            for i in range(n_items)] for r in range(n_queries)])
        call = lambda qq: _core.quantized_search_sparse(
            pack_stream(stream, 2), 2, 1.0, 0.0, items.indptr.astype(np.int64), items.indices.astype(np.int64),
            items.data, 6, *qq, np.arange(n_items, dtype=np.int64), *no_exclusions(len(qq[0]) - 1), 5, 1)
        rows = [(qs.indptr[r:r + 2] - qs.indptr[r], qs.indices[qs.indptr[r]:qs.indptr[r + 1]],
                 qs.data[qs.indptr[r]:qs.indptr[r + 1]]) for r in range(n_queries)]
        batch = (qs.indptr.astype(np.int64), qs.indices.astype(np.int64), qs.data)
        return coarse, call, batch, [tuple(np.asarray(a, dt) for a, dt in zip(r, (np.int64, np.int64, float)))
                                     for r in rows]
    vectors = rng.integers(-3, 4, (n_items, 4)).astype(np.float64)
    args = (pack_rows(codes, 2), 2, np.ones(4), np.zeros(4), vectors)
    tail = (np.arange(n_items, dtype=np.int64),)
    if form == "dense":
        q = rng.integers(-3, 4, (n_queries, 4)).astype(np.float64)
        q[:, 0] = 1e200
        scale = np.array([1e200, 1.0, 1.0, 1.0])
        args = (pack_rows(codes, 2), 2, scale, np.zeros(4), vectors)
        coarse = np.where(codes[:, 0] == 0, np.nan, np.inf)[None, :].repeat(n_queries, 0)
        call = lambda qq: _core.quantized_search_dense(*args, qq, *tail, *no_exclusions(len(qq)), 5, 1)
        return coarse, call, q, [q[r:r + 1] for r in range(n_queries)]
    coarse = np.zeros((n_queries, n_items))
    qptr, qidx, qdat = [0], [], []
    for r in range(n_queries):
        cols = rng.permutation(4)  # the first two carry the overflowing weights
        vals = {cols[0]: 1e308, cols[1]: -1e308, cols[2]: float(rng.integers(-3, 4)),
                cols[3]: float(rng.integers(-3, 4))}
        cols = rng.permutation(cols)
        for i in range(n_items):
            s = 0.0
            for c in cols:
                s = s + vals[c] * float(codes[i, c])
            coarse[r, i] = s + 0.0
        qidx += list(cols)
        qdat += [vals[c] for c in cols]
        qptr.append(len(qidx))
    qptr, qidx, qdat = np.array(qptr, np.int64), np.array(qidx, np.int64), np.array(qdat)
    call = lambda qq: _core.quantized_search_sparse_dense(*args, *qq, *tail, *no_exclusions(len(qq[0]) - 1), 5, 1)
    rows = [(qptr[r:r + 2] - qptr[r], qidx[qptr[r]:qptr[r + 1]], qdat[qptr[r]:qptr[r + 1]]) for r in range(n_queries)]
    return coarse, call, (qptr, qidx, qdat), rows


@pytest.mark.parametrize("form", ["dense", "sparse_dense", "sparse"])
@pytest.mark.parametrize("seed", range(4))
def test_nan_coarse_scores_shortlist_alike_in_every_form_and_tiling(form, seed):
    coarse, call, batch, rows = nan_case(np.random.default_rng(seed), form)
    assert np.isnan(coarse).any() and not np.isnan(coarse).all()
    together, _ = call(batch)  # dense: tiles of 16, 16 and 8 queries
    for r, row in enumerate(rows):
        alone, _ = call(row)
        assert sorted(alone[0].tolist()) == sorted(together[r].tolist()) == pop_then_push(coarse[r].tolist(), 5), r
