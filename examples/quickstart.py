"""The main job end to end on generated interaction data.

Raw (user id, item id) events are factorized into dense codes, assembled into a CSR
interaction matrix, turned into top-k lists, and used to fit a closed-form item-item model that recommends.
"""
import numpy as np

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

    # A closed-form item-item model: score every item for a few users from the items they
    # hold, then keep the 10 best they do not have yet.
    weights = _core.ease_weights(indptr, indices, data, len(items), 200.0, 0)
    rows = np.arange(5)
    held = np.zeros((len(rows), len(items)))
    for r, u in enumerate(rows):
        held[r, indices[indptr[u]:indptr[u + 1]]] = data[indptr[u]:indptr[u + 1]]
    ease_scores = held @ weights
    ease_top = _core.top_k_per_row(ease_scores, indptr[: len(rows) + 1] - indptr[0], indices[: indptr[len(rows)]], 10)
    for r, u in enumerate(rows):
        print(f"user {users[u]}: EASE recommends items {items[ease_top[r]].tolist()}")


if __name__ == "__main__":
    main()
