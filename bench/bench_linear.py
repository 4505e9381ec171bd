"""EASE against numpy and scipy inversion, SLIM against scikit-learn's per-item loop.

EASE beside busy processes is in bench_contention.py.
"""
import subprocess
import sys
import time

import numpy as np
import scipy.linalg
import scipy.sparse as sp

from common import median_time, quick, threads
from quorvane import _core


def interactions(n_users, n_items, per_user, seed=0):
    rng = np.random.default_rng(seed)
    pop = 1.0 / np.arange(1, n_items + 1) ** 0.7
    pop /= pop.sum()
    counts = np.clip(rng.poisson(per_user, n_users), 1, n_items)
    rows = np.repeat(np.arange(n_users), counts)
    cols = rng.choice(n_items, size=counts.sum(), p=pop)
    m = sp.csr_matrix((np.ones(len(rows)), (rows, cols)), shape=(n_users, n_items))
    m.data[:] = 1.0
    m.sort_indices()
    return m


def csr_args(m):
    return m.indptr.astype(np.int64), m.indices.astype(np.int64), m.data


def numpy_ease(m, l2):
    g = (m.T @ m).toarray()
    g[np.diag_indices_from(g)] += l2
    p = np.linalg.inv(g)
    w = -p / np.diag(p)
    np.fill_diagonal(w, 0.0)
    return w


def scipy_ease(m, l2):
    g = (m.T @ m).toarray()
    g[np.diag_indices_from(g)] += l2
    c, low = scipy.linalg.cho_factor(g, overwrite_a=True, check_finite=False)
    p = scipy.linalg.cho_solve((c, low), np.eye(g.shape[0]), overwrite_b=True, check_finite=False)
    w = -p / np.diag(p)
    np.fill_diagonal(w, 0.0)
    return w


PEAK_SCRIPT = """
import sys
sys.path.insert(0, {bench!r})
from bench_linear import interactions, csr_args
from quorvane import _core
m = interactions({users}, {n}, 40)
args = csr_args(m)
del m

def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key):
            return int(line.split()[1]) / 2**20

with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # resets the peak resident size to the current one
base = status("VmRSS")
w = _core.ease_weights(*args, {n}, 200.0, 0)
print(status("VmHWM") - base)
"""


def ease_peak_gb(n, users):
    """Peak resident memory added by one ease_weights call, in a fresh process."""
    import os
    bench = os.path.dirname(os.path.abspath(__file__))
    out = subprocess.run([sys.executable, "-c", PEAK_SCRIPT.format(bench=bench, users=users, n=n)],
                         capture_output=True, text=True, check=True).stdout
    return float(out)


def run(table):
    l2 = 200.0
    n_threads = threads(0)
    # 20k items would hold three 3.2 GB matrices per peer; 5k and 10k show the trend.
    for n, users, repeat in quick([(5_000, 50_000, 3), (10_000, 100_000, 2)], [(1_000, 20_000, 2)]):
        m = interactions(users, n, 40)
        args = csr_args(m)
        ours = median_time(lambda: _core.ease_weights(*args, n, l2, n_threads), repeat=repeat)
        w = _core.ease_weights(*args, n, l2, n_threads)
        peak = ease_peak_gb(n, users)
        note = f"our peak +{peak:.2f} GB (one n x n matrix is {n * n * 8 / 2**30:.2f} GB)"
        ref = numpy_ease(m, l2)
        err = np.abs(w - ref).max()
        del ref, w
        t_np = median_time(lambda: numpy_ease(m, l2), repeat=repeat)
        table.add(f"ease_weights n={n}", ours, "numpy inv", t_np, f"max |dW| {err:.1e}; {note}")
        t_sp = median_time(lambda: scipy_ease(m, l2), repeat=repeat)
        table.add(f"ease_weights n={n}", ours, "scipy cho_factor/cho_solve", t_sp, "")

    try:
        from sklearn.linear_model import ElasticNet
    except ImportError:
        print("  scikit-learn not installed: SLIM peer skipped")
        return
    n, users = quick((5_000, 50_000), (1_000, 10_000))
    m = interactions(users, n, 40, seed=1)
    args = csr_args(m)
    alpha, l1_ratio, max_iter, tol, k = 1e-4, 0.5, 100, 1e-4, 100
    ours = median_time(lambda: _core.slim_elasticnet_weights(*args, n, alpha, l1_ratio, True, max_iter, tol, k,
                                                             n_threads), repeat=3)
    (indptr, indices, data), count = _core.slim_elasticnet_weights(*args, n, alpha, l1_ratio, True, max_iter, tol, k,
                                                                   n_threads)
    ours_w = sp.csr_matrix((data, indices, indptr), shape=(n, n))
    rng = np.random.default_rng(2)
    n_sample = quick(20, 5)
    sample = np.sort(rng.choice(n, n_sample, replace=False))
    x = m.tocsc()
    model = ElasticNet(alpha=alpha, l1_ratio=l1_ratio, positive=True, fit_intercept=False, selection="cyclic",
                       max_iter=max_iter, tol=tol, copy_X=False)
    t0 = time.perf_counter()
    err = 0.0
    for j in sample:
        y = x[:, j].toarray().ravel()
        xj = x.copy()
        xj.data[xj.indptr[j]:xj.indptr[j + 1]] = 0.0
        model.fit(xj, y)
        coef = model.coef_.copy()
        if np.count_nonzero(coef) > k:
            keep = np.argsort(-coef, kind="stable")[:k]
            mask = np.zeros(n, bool)
            mask[keep] = True
            coef[~mask] = 0.0
        err = max(err, np.abs(coef - ours_w[j].toarray().ravel()).max())
    per_item_sk = (time.perf_counter() - t0) / len(sample)
    table.add(f"slim n={n} ({users} users), per item", ours / n, f"sklearn ElasticNet loop ({n_sample} items)",
              per_item_sk, f"max |dW| {err:.1e} on sampled items; unconverged {count}")
