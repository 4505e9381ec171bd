"""Shared data generators: integer-valued data so that sums are exact in float64."""
import numpy as np
import pytest
import scipy.sparse as sp


M64 = (1 << 64) - 1


def mix(z):
    """The splitmix64 finaliser, as the kernels draw their seeded values."""
    z ^= z >> 30
    z = (z * 0xBF58476D1CE4E5B9) & M64
    z ^= z >> 27
    z = (z * 0x94D049BB133111EB) & M64
    return z ^ (z >> 31)


@pytest.fixture
def rng():
    return np.random.default_rng(12345)


def random_csr(rng, n_rows, n_cols, density=0.2, low=-3, high=4, canonical=True):
    """A CSR matrix with small integer values as (indptr, indices, data, scipy matrix)."""
    m = sp.random(n_rows, n_cols, density=density, format="csr", random_state=rng,
                  data_rvs=lambda n: rng.integers(low, high, n).astype(np.float64))
    if canonical:
        m.sort_indices()
    return (m.indptr.astype(np.int64), m.indices.astype(np.int64),
            m.data.astype(np.float64), m)


def interactions(rng, n_users, n_items, per_user=8):
    """A binary users x items interaction matrix with power-law item popularity."""
    pop = 1.0 / np.arange(1, n_items + 1) ** 0.8
    pop /= pop.sum()
    rows, cols = [], []
    for u in range(n_users):
        k = min(n_items, max(1, int(rng.poisson(per_user))))
        items = rng.choice(n_items, size=k, replace=False, p=pop)
        rows.extend([u] * k)
        cols.extend(items)
    m = sp.csr_matrix((np.ones(len(rows)), (rows, cols)), shape=(n_users, n_items))
    m.sum_duplicates()
    m.sort_indices()
    return (m.indptr.astype(np.int64), m.indices.astype(np.int64),
            m.data.astype(np.float64), m)


def stable_top_k(scores, k):
    """Columns of the k best per row: descending score, ties to the lower column."""
    order = np.argsort(-scores, axis=1, kind="stable")
    return order[:, :k]


THREADS = [1, 2, 8]
