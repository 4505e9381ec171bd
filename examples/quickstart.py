"""The main job end to end on generated interaction data.

Raw (user id, item id) events are factorized into dense codes, assembled into a CSR
interaction matrix, turned into top-k lists, and served as recommendations: from item
co-occurrence, from a closed-form item-item model, and from latent factors trained by BPR.
"""
import numpy as np
import scipy.sparse as sp

from quorvane import _core


def generate_events(rng, n_users=2_000, n_items=500, n_events=40_000):
    user_ids = rng.integers(10_000, 10_000 + 50 * n_users, n_events) // 50 * 50
    popularity = 1.0 / np.arange(1, n_items + 1) ** 0.9
    item_ids = 7 * rng.choice(n_items, size=n_events, p=popularity / popularity.sum()) + 3
    return user_ids.astype(np.int64), item_ids.astype(np.int64)


def main():
    rng = np.random.default_rng(0)
    user_ids, item_ids = generate_events(rng)

    users, user_codes = _core.factorize(user_ids)
    items, item_codes = _core.factorize(item_ids)
    print(f"{len(user_ids)} events, {len(users)} users, {len(items)} items")

    counts = np.ones(len(user_codes))
    indptr, indices, data = _core.coo_to_csr(user_codes, item_codes, counts, len(users), len(items), 0)
    print(f"interaction matrix: {len(indptr) - 1} x {len(items)}, {len(indices)} distinct pairs")

    # Most popular items per user, leaving out what the user already has.
    popularity = np.bincount(indices, weights=data, minlength=len(items))
    scores = np.tile(popularity, (5, 1))
    top = _core.top_k_per_row(scores, indptr[:6] - indptr[0], indices[: indptr[5]], 10)
    for u in range(5):
        print(f"user {users[u]}: recommend items {items[top[u]].tolist()}")

    pruned = _core.csr_top_k_per_row(indptr, indices, data, len(items), 3, 0)
    print(f"each user's 3 strongest interactions: {len(pruned[1])} entries kept")

    # Serving from item-item co-occurrence as a sparse similarity: 5 unseen items each
    # for the first three users.
    X = sp.csr_matrix((data, indices, indptr), shape=(len(users), len(items)))
    S = (X.T @ X).tocsr()
    S.setdiag(0)
    S.eliminate_zeros()
    S.sort_indices()
    rows = np.arange(3, dtype=np.int64)
    top, _ = _core.recommend_from_similarity(indptr, indices, data, rows, S.indptr.astype(np.int64),
                                             S.indices.astype(np.int64), S.data, None, True, 5, 0)
    for u in rows:
        print(f"user {users[u]}: co-occurrence recommends items {items[top[u]].tolist()}")

    # Latent factors by BPR, trained in place, then served with the seen items excluded.
    n_factors = 32
    user_factors = rng.normal(0.0, 0.01, (len(users), n_factors))
    item_factors = rng.normal(0.0, 0.01, (len(items), n_factors))
    item_bias = np.zeros(len(items))
    shares = _core.bpr_fit(indptr, indices, len(items), user_factors, item_factors, item_bias,
                           learning_rate=0.05, regularization=0.01, use_bias=True, n_iter=20,
                           seed=7, n_threads=0)
    print(f"BPR: share of correctly ranked triplets {shares[0]:.3f} -> {shares[-1]:.3f}")
    top, scores = _core.recommend_from_factors(user_factors, item_factors, item_bias, None, rows,
                                               indptr, indices, None, 5, 0)
    for u in rows:
        print(f"user {users[u]}: BPR recommends items {items[top[u]].tolist()} "
              f"(best score {scores[u, 0]:.2f})")

    # A closed-form item-item model (EASE), served as dense item weights.
    weights = _core.ease_weights(indptr, indices, data, len(items), 200.0, 0)
    top, _ = _core.recommend_from_dense_rows(indptr, indices, data, rows, weights, None, True, 5, 0)
    for u in rows:
        print(f"user {users[u]}: EASE recommends items {items[top[u]].tolist()}")


if __name__ == "__main__":
    main()
