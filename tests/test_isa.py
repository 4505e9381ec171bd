"""Every vector path gives the portable path's bits: the same calls run in processes whose
QUORVANE_ISA caps the instruction set, and their results are compared byte for byte."""
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

# Gaussian data, so that any change in the order of the floating-point operations shows.
SCRIPT = textwrap.dedent("""
    import sys
    import numpy as np
    import scipy.sparse as sp
    from quorvane import _core

    rng = np.random.default_rng(7)
    out = {}

    def csr(n_rows, n_cols, density):
        m = sp.random(n_rows, n_cols, density=density, format="csr", random_state=rng,
                      data_rvs=rng.standard_normal)
        m.sort_indices()
        return m.indptr.astype(np.int64), m.indices.astype(np.int64), m.data

    def keep(name, value):
        if isinstance(value, (tuple, list)):
            for i, a in enumerate(value):
                keep(f"{name}.{i}", a)
        else:
            out[name] = np.asarray(value)

    # Latent factors: tiles of 4-8 queries, short chunks, and the split path of a large
    # catalogue on two threads; dims with and without a tail after blocks of 8.
    for dim in (5, 29, 64):
        U, V = rng.standard_normal((40, dim)), rng.standard_normal((3000, dim))
        bias, offset = rng.standard_normal(3000), rng.standard_normal(40)
        for n_q in (1, 3, 8, 19):
            rows = rng.integers(0, 40, n_q)
            keep(f"factors{dim}.{n_q}", _core.recommend_from_factors(
                U, V, bias, offset, rows, None, None, None, 50, 1))
    V = rng.standard_normal((40000, 64))
    keep("factors.split", _core.recommend_from_factors(
        rng.standard_normal((4, 64)), V, None, None, np.arange(3), None, None, None, 20, 2))

    # Item-item scores from dense weights.
    n = 37
    uptr, uidx, udata = csr(12, n, 0.3)
    keep("dense_rows", _core.recommend_from_dense_rows(
        uptr, uidx, udata, np.arange(12), rng.standard_normal((n, n)), None, False, 9, 1))

    indptr, indices, data = csr(300, 120, 0.1)
    keep("gram", _core.item_gram(indptr, indices, data, 120, 2))
    norms = np.sqrt(np.bincount(indices, weights=data * data, minlength=120)) + 0.5
    keep("cosine", _core.item_cosine_top_k(indptr, indices, data, 120, norms, 0.25, 10, 2))
    g = _core.item_gram(indptr, indices, data, 120, 1)
    keep("slim", _core.slim_elasticnet_weights_from_gram(g, 300.0, 0.002, 0.5, False, 20, 1e-6, 10, 1))

    # Quantized scans: the tiled dense path over 1 to 40 queries and widths around the
    # groups of eight codes, and the per-query passes of the two CSR forms.
    for bits in (1, 2, 4, 8):
        for dim in (3, 8, 29):
            V = rng.standard_normal((500, dim))
            per = 8 // bits
            codes = rng.integers(0, 256, 500 * -(-dim // per)).astype(np.uint8)
            scale, offset = rng.standard_normal(dim), rng.standard_normal(dim)
            for n_q in (1, 17, 40):
                keep(f"quantized{bits}.{dim}.{n_q}", _core.quantized_search_dense(
                    codes, bits, scale, offset, V, rng.standard_normal((n_q, dim)), np.arange(500),
                    np.zeros(n_q + 1, np.int64), np.zeros(0, np.int64), 7, 3))
            qp, qi, qd = csr(9, dim, 0.5)
            keep(f"quantized_sd{bits}.{dim}", _core.quantized_search_sparse_dense(
                codes, bits, scale, offset, V, qp, qi, qd, np.arange(500), np.zeros(10, np.int64),
                np.zeros(0, np.int64), 7, 3))
        ip, ix, idata = csr(400, 90, 0.1)
        qp, qi, qd = csr(9, 90, 0.2)
        keep(f"quantized_sparse{bits}", _core.quantized_search_sparse(
            rng.integers(0, 256, len(ix)).astype(np.uint8), bits, 0.3, -0.1, ip, ix, idata, 90, qp, qi, qd,
            np.arange(400), np.zeros(10, np.int64), np.zeros(0, np.int64), 7, 3))

    # One to three queries (candidates in the register lanes) over codes that are
    # permutations of one run, so that coarse scores differ little and their rounding shows;
    # an infinite scale turns the 1-bit codes 0 into NaN chains, which no shortcut may skip.
    for bits in (1, 2, 4, 8):
        for dim in (1, 7, 9, 64, 129):
            base = rng.integers(0, 2 ** bits, dim)
            rows = np.array([rng.permutation(base) for _ in range(300)])
            per = 8 // bits
            packed = np.zeros((300, -(-dim // per)), np.uint8)
            for d in range(dim):
                packed[:, d // per] |= (rows[:, d] << (bits * (d % per))).astype(np.uint8)
            scale = np.where(np.arange(dim) % 2 == 0, 0.1, 0.3)
            if bits == 1 and dim > 1:
                scale[dim // 2] = np.inf
            cand = np.flatnonzero(rng.random(300) < 0.8).astype(np.int64)
            for n_q in (1, 2, 3):
                ex = [np.flatnonzero(rng.random(len(cand)) < 0.1) for _ in range(n_q)]
                ex_ptr = np.concatenate([[0], np.cumsum([len(e) for e in ex])]).astype(np.int64)
                keep(f"quantized_few{bits}.{dim}.{n_q}", _core.quantized_search_dense(
                    packed.ravel(), bits, scale, np.full(dim, -0.7), rng.standard_normal((300, dim)),
                    np.ones((n_q, dim)) * rng.uniform(0.5, 3.0, (n_q, 1)), cand, ex_ptr,
                    np.concatenate(ex).astype(np.int64), 5, 1))

    # Trainers on one thread, whose updates then follow one order.
    ip, ix, _ = csr(60, 50, 0.15)
    U, V, b = rng.standard_normal((60, 12)) * 0.1, rng.standard_normal((50, 12)) * 0.1, np.zeros(50)
    shares = _core.bpr_fit(ip, ix, 50, U, V, b, 0.05, 0.01, True, 3, 11, 1)
    keep("bpr", (shares, U, V, b))
    xp, xi, xd = csr(500, 30, 0.2)
    y = rng.standard_normal(500)
    w, v = np.zeros(30), rng.standard_normal((4, 30)) * 0.1
    reg = np.full(2, 0.1)
    fitted = _core.fm_als_fit(xp, xi, xd, y, np.arange(30) % 2, 0.0, w, v, 0.1, reg, reg, 3)
    keep("fm_als", (fitted, w, v))
    # TPE proposals: long histories, whose mixtures have many components far from a candidate.
    observed = rng.uniform(1e-3, 10.0, 500)
    scores = -np.abs(np.log(observed) - 0.3) + rng.normal(0, 0.05, 500)
    keep("tune", [[_core.tune_suggest(kind, 1.0 if kind == "int" else 1e-3, 10.0, log, 0, observed, scores,
                                      10, 24, seed) for seed in range(20)]
                  for kind in ("float", "int") for log in (False, True)])
    np.savez(sys.argv[1], **out)
""")


def cpu_flags():
    try:
        with open("/proc/cpuinfo") as f:
            return set(next(l for l in f if l.startswith("flags")).split(":")[1].split())
    except (OSError, StopIteration):
        return set()


def run_at(level, tmp_path):
    path = tmp_path / f"{level}.npz"
    env = dict(os.environ, QUORVANE_ISA=level)
    subprocess.run([sys.executable, "-c", SCRIPT, str(path)], env=env, check=True, timeout=300)
    with np.load(path) as f:
        return {k: f[k] for k in f.files}


@pytest.mark.parametrize("level, needs", [("avx2", {"avx2", "fma"}),
                                          ("avx512", {"avx2", "fma", "avx512f", "avx512dq", "avx512vl", "avx512bw"})])
def test_vector_paths_give_the_portable_bits(tmp_path, level, needs):
    if not needs <= cpu_flags():
        pytest.skip(f"this processor does not run {level}")
    want, got = run_at("portable", tmp_path), run_at(level, tmp_path)
    assert want.keys() == got.keys()
    for name in want:
        assert want[name].dtype == got[name].dtype and want[name].shape == got[name].shape, name
        assert want[name].tobytes() == got[name].tobytes(), name
