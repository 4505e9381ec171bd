"""EASE and SLIM: closed-form inverse and weights, elastic-net coordinate descent."""
import numpy as np
import pytest
import scipy.sparse as sp

from conftest import THREADS, interactions, random_csr
from quorvane import _core


def csr(m):
    m = sp.csr_matrix(m)
    return m.indptr.astype(np.int64), m.indices.astype(np.int64), m.data.astype(np.float64)


def message_number(l2_reg):
    # A NaN value makes the Gram matrix NaN, so every l2_reg fails and prints itself.
    a = (np.array([0, 1], np.int64), np.array([0], np.int64), np.array([np.nan]))
    with pytest.raises(ValueError) as e:
        _core.ease_inverse_gram(*a, 1, l2_reg, 1)
    prefix, suffix = "The item Gram matrix is not positive definite with l2_reg=", "; use a larger l2_reg."
    text = str(e.value)
    assert text.startswith(prefix) and text.endswith(suffix)
    return text[len(prefix):-len(suffix)]


# ---- EASE ----

def test_one_by_one():
    a = csr(np.array([[1.0]]))
    assert _core.ease_inverse_gram(*a, 1, 3.0, 0).tolist() == [[0.25]]
    w = _core.ease_weights(*a, 1, 3.0, 0)
    assert w.tolist() == [[0.0]] and w.dtype == np.float64 and w.flags.c_contiguous


@pytest.mark.parametrize("fn", [_core.ease_weights, _core.ease_inverse_gram])
def test_item_nobody_holds(fn):
    a = csr(np.array([[1.0, 0.0, 1.0], [1.0, 0.0, 0.0]]))
    with pytest.raises(ValueError, match=r"^The item Gram matrix is not positive definite "
                       r"with l2_reg=0; use a larger l2_reg\.$"):
        fn(*a, 3, 0.0, 2)
    assert fn(*a, 3, 1.0, 2).shape == (3, 3)


@pytest.mark.parametrize("unheld", [0, 299, 650])
def test_item_nobody_holds_anywhere_in_a_large_matrix(rng, unheld):
    # The failing pivot may lie in any block of the factorisation.
    dense = (rng.random((900, 700)) < 0.05).astype(np.float64)
    dense[:, unheld] = 0.0
    a = csr(dense)
    with pytest.raises(ValueError, match="not positive definite with l2_reg=0;"):
        _core.ease_weights(*a, 700, 0.0, 3)
    assert _core.ease_inverse_gram(*a, 700, 1.0, 3)[unheld, unheld] == 1.0


@pytest.mark.parametrize("l2_reg, text", [
    (100.0, "100"), (0.5, "0.5"), (-0.5, "-0.5"), (1e-8, "0.00000001"), (0.0, "0"), (-0.0, "-0"),
    (float("nan"), "NaN"), (float("inf"), "inf"), (-float("inf"), "-inf"),
    (1e22, "1" + "0" * 22), (1.2345678901234568e20, "123456789012345680000"),
    (0.1 + 0.2, "0.30000000000000004"), (-1.5e-5, "-0.000015"),
])
def test_message_numbers(l2_reg, text):
    assert message_number(l2_reg) == text


@pytest.mark.parametrize("row, l2_reg, shown", [
    ([1.0, 1.0], float("nan"), "NaN"),
    ([np.inf, np.inf], 1.0, "1"),
    ([1e155, 1e155], 1.0, "1"),  # the squares overflow
    ([1.0, 1.0], float("inf"), "inf"),
])
def test_non_finite_pivots_fail_even_where_lapack_would_pass(row, l2_reg, shown):
    # LAPACK's pivot test lets NaN and infinity through; the factor's diagonal is checked
    # afterwards.
    m = np.eye(4)
    m[2, 1:3] = row
    a = csr(m)
    for fn in (_core.ease_weights, _core.ease_inverse_gram):
        with pytest.raises(ValueError, match=f"not positive definite with l2_reg={shown};"):
            fn(*a, 4, l2_reg, 1)


@pytest.mark.parametrize("l2_reg", [0.0, float("nan"), -1.0])
def test_empty_problem(l2_reg):
    a = (np.zeros(3, np.int64), np.zeros(0, np.int64), np.zeros(0))
    for fn in (_core.ease_weights, _core.ease_inverse_gram):
        assert fn(*a, 0, l2_reg, 1).shape == (0, 0)
    assert _core.ease_weights_from_inverse(np.zeros((0, 0)), 1).shape == (0, 0)


@pytest.mark.parametrize("n_cols", [2**33, 2**40, 2**63])
def test_impossible_size_is_memory_error(n_cols):
    a = (np.zeros(1, np.int64), np.zeros(0, np.int64), np.zeros(0))
    for fn in (_core.ease_weights, _core.ease_inverse_gram):
        with pytest.raises(MemoryError):
            fn(*a, n_cols, 1.0, 1)
    with pytest.raises(MemoryError):
        _core.slim_elasticnet_weights(*a, n_cols, 0.1, 0.5, False, 10, 1e-4, 5, 1)


@pytest.mark.parametrize("n_items, l2_reg", [(7, 0.5), (60, 10.0), (300, 50.0), (700, 20.0)])
def test_ease_against_numpy(rng, n_items, l2_reg):
    indptr, indices, data, m = interactions(rng, 400, n_items)
    g = np.ascontiguousarray((m.T @ m).toarray())
    ref = np.linalg.inv(g + l2_reg * np.eye(n_items))
    first = _core.ease_inverse_gram(indptr, indices, data, n_items, l2_reg, 1)
    for t in THREADS:
        p = _core.ease_inverse_gram(indptr, indices, data, n_items, l2_reg, t)
        assert p.tobytes() == first.tobytes()
        np.testing.assert_allclose(p, ref, rtol=1e-9, atol=1e-12)
        assert np.array_equal(p, p.T)  # bitwise: the same bits, NaN-free here
        w = _core.ease_weights(indptr, indices, data, n_items, l2_reg, t)
        assert np.all(np.diag(w) == 0.0) and not np.signbit(np.diag(w)).any()
        ref_w = -ref / np.diag(ref)[None, :]
        np.fill_diagonal(ref_w, 0.0)
        np.testing.assert_allclose(w, ref_w, rtol=1e-8, atol=1e-12)
        assert np.array_equal(w, _core.ease_weights_from_inverse(p, t))


def test_negative_l2_reg_beyond_smallest_eigenvalue(rng):
    indptr, indices, data, m = interactions(rng, 200, 20)
    smallest = np.linalg.eigvalsh(np.ascontiguousarray((m.T @ m).toarray())).min()
    _core.ease_inverse_gram(indptr, indices, data, 20, -0.5 * smallest, 1)
    with pytest.raises(ValueError, match="not positive definite"):
        _core.ease_inverse_gram(indptr, indices, data, 20, -2.0 * smallest - 1.0, 1)


def test_weights_from_inverse_writes_every_slot_of_reused_storage():
    # As for the Gram matrix: a non-zero result of the same size just freed must not
    # show through the diagonal of the next one.
    n = 300
    full = np.full((n, n), 2.0)
    p = np.eye(n) * 4.0
    for _ in range(4):
        assert _core.ease_weights_from_inverse(full, 1).min() == -1.0
        w = _core.ease_weights_from_inverse(p, 1)
        assert np.array_equal(w, np.zeros((n, n))) and not np.signbit(np.diag(w)).any()


def test_weights_from_inverse_general_p():
    p = np.array([[2.0, 1.0, 3.0], [4.0, 0.0, -2.0], [1.0, 5.0, 4.0]])
    w = _core.ease_weights_from_inverse(p, 2)
    assert w[0].tolist() == [0.0, -np.inf, -0.75]
    assert w[1, 0] == -2.0 and w[1, 1] == 0.0 and w[1, 2] == 0.5
    assert w[2, 0] == -0.5 and w[2, 1] == -np.inf and w[2, 2] == 0.0
    assert p[1, 1] == 0.0  # the input is never written


@pytest.mark.parametrize("p, error, text", [
    (np.zeros((3, 4)), ValueError, "p must be square."),
    (np.zeros((4, 4))[:, ::2][:2], TypeError, None),
    (np.zeros((4, 4))[::2, ::2], TypeError, None),
])
def test_weights_from_inverse_refusals(p, error, text):
    with pytest.raises(error) as e:
        _core.ease_weights_from_inverse(p, 1)
    if text:
        assert str(e.value) == text


def test_ease_argument_order():
    with pytest.raises(ValueError, match="indptr is not a valid CSR index pointer."):
        _core.ease_weights(np.array([0, 2], np.int64), np.zeros(2, np.int64), np.ones(3), 2, 1.0, 1)
    with pytest.raises(ValueError, match="indices and data must have the same length."):
        _core.ease_weights(np.array([0, 3], np.int64), np.zeros(2, np.int64), np.ones(3), 2, 1.0, 1)
    with pytest.raises(ValueError, match="out of range"):
        _core.ease_inverse_gram(np.array([0, 1], np.int64), np.array([2], np.int64), np.ones(1), 2, 1.0, 1)


# ---- SLIM ----

def sklearn_weights(x, alpha, l1_ratio, positive, targets=None):
    linear_model = pytest.importorskip("sklearn.linear_model")
    n = x.shape[1]
    out = np.zeros((n, n))
    for j in range(n) if targets is None else targets:
        xj = x.copy()
        xj[:, j] = 0.0
        m = linear_model.ElasticNet(alpha=alpha, l1_ratio=l1_ratio, positive=positive, fit_intercept=False,
                                    selection="cyclic", max_iter=5000, tol=1e-12)
        out[j] = m.fit(xj, x[:, j]).coef_
    return out


def dense_rows(result, n, n_rows=None):
    (indptr, indices, data), count = result
    rows = len(indptr) - 1 if n_rows is None else n_rows
    assert all(np.all(np.diff(indices[indptr[r]:indptr[r + 1]]) > 0) for r in range(rows))
    return sp.csr_matrix((data, indices, indptr), shape=(rows, n)).toarray(), count


@pytest.mark.parametrize("alpha, l1_ratio, positive", [(0.01, 0.5, False), (0.005, 0.9, True),
                                                       (0.02, 0.1, False), (0.001, 1.0, True)])
def test_slim_against_sklearn(rng, alpha, l1_ratio, positive):
    indptr, indices, data, m = interactions(rng, 150, 25, per_user=6)
    x = m.toarray()
    w, count = dense_rows(_core.slim_elasticnet_weights(indptr, indices, data, 25, alpha, l1_ratio, positive,
                                                        5000, 1e-12, 25, 2), 25)
    assert count == 0
    np.testing.assert_allclose(w, sklearn_weights(x, alpha, l1_ratio, positive), rtol=0, atol=1e-9)
    assert np.all(np.diag(w) == 0.0)
    if positive:
        assert np.all(w >= 0.0)


def test_slim_from_gram_matches_direct(rng):
    indptr, indices, data, m = interactions(rng, 300, 40)
    args = (0.003, 0.6, False, 200, 1e-6, 7)
    direct = _core.slim_elasticnet_weights(indptr, indices, data, 40, *args, 4)
    gram = np.ascontiguousarray((m.T @ m).toarray())
    from_gram = _core.slim_elasticnet_weights_from_gram(gram, 300.0, *args, 4)
    if hasattr(_core, "item_gram"):
        assert np.array_equal(_core.item_gram(indptr, indices, data, 40, 4), gram)
    for a, b in zip(direct[0], from_gram[0]):
        assert np.array_equal(a, b)
    assert direct[1] == from_gram[1]


def test_slim_same_for_every_thread_count(rng):
    indptr, indices, data, m = interactions(rng, 500, 120, per_user=10)
    results = [_core.slim_elasticnet_weights(indptr, indices, data, 120, 0.002, 0.5, False, 30, 1e-6, 9, t)
               for t in THREADS]
    gram = np.ascontiguousarray((m.T @ m).toarray())
    cols = np.arange(3, 120, 7, dtype=np.int64)
    subset = [_core.slim_elasticnet_weights_from_gram(gram, 500.0, 0.002, 0.5, True, 3, 1e-6, 5, t, cols)
              for t in THREADS]
    for group in (results, subset):
        for r in group[1:]:
            assert r[1] == group[0][1]
            for a, b in zip(r[0], group[0][0]):
                assert a.tobytes() == b.tobytes()
    assert results[0][1] > 0  # 30 sweeps at this tolerance leave some targets unconverged


def test_slim_k_keeps_largest_signed(rng):
    indptr, indices, data, m = interactions(rng, 200, 30)
    full, _ = dense_rows(_core.slim_elasticnet_weights(indptr, indices, data, 30, 0.001, 0.2, False, 100, 1e-8, 30, 1), 30)
    cut, _ = dense_rows(_core.slim_elasticnet_weights(indptr, indices, data, 30, 0.001, 0.2, False, 100, 1e-8, 3, 1), 30)
    for j in range(30):
        nz = [(-v, c) for c, v in enumerate(full[j]) if v != 0.0]
        keep = sorted(c for _, c in sorted(nz)[:3])
        assert np.flatnonzero(cut[j]).tolist() == keep
        assert np.array_equal(cut[j, keep], full[j, keep])
    (indptr0, indices0, _), count = _core.slim_elasticnet_weights(indptr, indices, data, 30, 0.001, 0.2, False, 100, 1e-8, 0, 1)
    assert indptr0.tolist() == [0] * 31 and len(indices0) == 0


def test_slim_zero_columns_and_max_iter_zero():
    # item 1 nobody holds: never a target that is solved, never a weight
    x = np.array([[1.0, 0.0, 1.0, 1.0], [1.0, 0.0, 0.0, 1.0], [0.0, 0.0, 1.0, 1.0]])
    g = x.T @ x
    w, count = dense_rows(_core.slim_elasticnet_weights_from_gram(g, 3.0, 0.01, 0.5, False, 100, 1e-10, 4, 1), 4)
    assert not w[1].any() and not w[:, 1].any() and count == 0
    # max_iter = 0: warm values minus the diagonal and zero-Gram items, later duplicates win
    warm = (np.array([0, 4, 4, 4, 6], np.int64), np.array([2, 0, 1, 2, 0, 0], np.int64),
            np.array([-1.0, 5.0, 7.0, 2.0, 9.0, 3.0]))
    (ip, ix, d), count = _core.slim_elasticnet_weights_from_gram(g, 3.0, 0.01, 0.5, False, 0, 1e-10, 4, 1, None, *warm)
    assert ip.tolist() == [0, 1, 1, 1, 2] and ix.tolist() == [2, 0] and d.tolist() == [2.0, 3.0] and count == 0
    (ip, ix, d), count = _core.slim_elasticnet_weights_from_gram(g, 3.0, 0.01, 0.5, False, 0, 1e-10, 4, 1)
    assert ip.tolist() == [0] * 5 and count == 0


def test_slim_warm_start_converges_to_same_solution(rng):
    indptr, indices, data, m = interactions(rng, 300, 30)
    g = np.ascontiguousarray((m.T @ m).toarray())
    args = (300.0, 0.002, 0.5, False, 10000, 1e-13, 30, 2)
    cold, _ = dense_rows(_core.slim_elasticnet_weights_from_gram(g, *args), 30)
    cols = np.array([1, 4, 9], np.int64)
    start = sp.csr_matrix(cold[cols] * 1.5 + 0.01)
    warm_args = (start.indptr.astype(np.int64), start.indices.astype(np.int64), start.data)
    (ip, ix, d), count = _core.slim_elasticnet_weights_from_gram(g, *args, cols, *warm_args)
    warm = sp.csr_matrix((d, ix, ip), shape=(3, 30)).toarray()
    np.testing.assert_allclose(warm, cold[cols], atol=1e-8)


@pytest.mark.parametrize("kwargs, error, text", [
    (dict(gram=np.zeros((3, 4))), ValueError, "gram must be square."),
    (dict(columns=np.array([2, 1], np.int64)), ValueError, "rows must be sorted and distinct."),
    (dict(columns=np.array([6], np.int64)), ValueError, "rows value 6 out of range [0, 6)."),
    (dict(warm_indices=np.zeros(0, np.int64)), ValueError,
     "warm_indptr, warm_indices and warm_data must be given together."),
    (dict(warm_indptr=np.zeros(7, np.int64), warm_data=np.zeros(0)), ValueError,
     "warm_indptr, warm_indices and warm_data must be given together."),
    (dict(warm_indptr=np.array([1, 1], np.int64), warm_indices=np.zeros(0, np.int64), warm_data=np.zeros(1)),
     ValueError, "indptr is not a valid CSR index pointer."),
    (dict(warm_indptr=np.zeros(3, np.int64), warm_indices=np.zeros(0, np.int64), warm_data=np.zeros(0)),
     ValueError, "warm_indptr must have one entry per solved column, plus one."),
    (dict(warm_indptr=np.array([0] * 6 + [1], np.int64), warm_indices=np.zeros(2, np.int64), warm_data=np.zeros(1)),
     ValueError, "warm_indices and warm_data must have the same length."),
    (dict(warm_indptr=np.array([0] * 6 + [1], np.int64), warm_indices=np.array([6], np.int64), warm_data=np.zeros(1)),
     ValueError, "warm_indices value 6 out of range [0, 6)."),
    (dict(columns=np.array([], np.int64), warm_indptr=np.array([0], np.int64),
          warm_indices=np.zeros(0, np.int64), warm_data=np.zeros(0)), None, None),
])
def test_slim_from_gram_checks(kwargs, error, text):
    call = dict(gram=np.eye(6), n_rows=3.0, alpha=0.1, l1_ratio=0.5, positive=False, max_iter=10, tol=1e-4, k=3,
                n_threads=1)
    call.update(kwargs)
    if error is None:
        (ip, ix, d), count = _core.slim_elasticnet_weights_from_gram(**call)
        assert ip.tolist() == [0] and count == 0
        return
    with pytest.raises(error) as e:
        _core.slim_elasticnet_weights_from_gram(**call)
    assert str(e.value) == text


def test_slim_empty_inputs():
    (ip, ix, d), count = _core.slim_elasticnet_weights(np.zeros(3, np.int64), np.zeros(0, np.int64), np.zeros(0),
                                                       0, 0.1, 0.5, False, 10, 1e-4, 3, 1)
    assert ip.tolist() == [0] and len(ix) == 0 and len(d) == 0 and count == 0
    (ip, _, _), count = _core.slim_elasticnet_weights_from_gram(np.zeros((0, 0)), 0.0, 0.1, 0.5, False, 10, 1e-4, 3, 1)
    assert ip.tolist() == [0] and count == 0
