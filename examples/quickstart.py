"""Six recommenders and a popularity baseline on one data set, judged on interactions they
never saw.

The data is generated with a structure we know: items fall into taste groups, and each
user mostly picks from one or two favourite groups, with some globally popular items
mixed in. One interaction per user is held out; every method is fitted on the rest and
asked for ten items per user that the user has not interacted with. The hit rate@10 is
the share of users whose held-out item is among those ten. Recommending the most popular
unseen items is the baseline a method has to beat.

Everything here needs only NumPy and quorvane. Scores and rankings are the same on every
run. Most functions give the same bits for every thread count and run on all cores; BPR's
parallel updates race by design, so it trains on one thread; the latent-factor scorer may
differ in the last bits between thread counts, so it runs on a fixed number of them.
Times, of course, vary from machine to machine.
"""
import time

import numpy as np

from quorvane import _core

N_USERS, N_ITEMS, N_GROUPS = 8_000, 2_000, 40
K = 10
ALL_CORES = 0          # the default pool (see the README for what 0 means)
FIXED_THREADS = 4      # the factor scorer's path, and so its last bits, depend on it


def generate_events(rng):
    """Raw (user id, item id) events with planted taste groups, ids as a shop might have them,
    and the taste group of every raw item id."""
    group_of_item = rng.integers(0, N_GROUPS, N_ITEMS)
    popularity = 1.0 / np.arange(1, N_ITEMS + 1) ** 0.8
    popularity = popularity[rng.permutation(N_ITEMS)]
    users, items = [], []
    for u in range(N_USERS):
        favourites = rng.choice(N_GROUPS, size=rng.integers(1, 3), replace=False)
        liked = np.flatnonzero(np.isin(group_of_item, favourites))
        n = 5 + rng.poisson(10)
        in_taste = rng.random(n) < 0.75
        p = popularity[liked] / popularity[liked].sum()
        picks = np.where(in_taste, rng.choice(liked, size=n, p=p),
                         rng.choice(N_ITEMS, size=n, p=popularity / popularity.sum()))
        users.append(np.full(n, u))
        items.append(picks)
    user_ids = 100_000 + 37 * np.concatenate(users)         # sparse, unsorted-looking ids
    item_ids = 5_000_000 + 101 * np.concatenate(items)
    order = rng.permutation(len(user_ids))                   # events arrive in no order
    group_of = dict(zip((5_000_000 + 101 * np.arange(N_ITEMS)).tolist(), group_of_item.tolist()))
    return user_ids[order].astype(np.int64), item_ids[order].astype(np.int64), group_of


def hold_out_one(rng, indptr, indices, n_items):
    """Training CSR without one random interaction of each user, and the held-out items."""
    lengths = np.diff(indptr)
    users = np.flatnonzero(lengths >= 2)
    picked = indptr[users] + (rng.random(len(users)) * lengths[users]).astype(np.int64)
    keep = np.ones(len(indices), dtype=bool)
    keep[picked] = False
    rows = np.repeat(np.arange(len(lengths), dtype=np.int64), lengths)
    train = _core.coo_to_csr(rows[keep], indices[keep], np.ones(int(keep.sum())),
                             len(lengths), n_items, ALL_CORES)
    return train, users, indices[picked]


def timed(fn):
    t = time.perf_counter()
    result = fn()
    return result, time.perf_counter() - t


def main():
    rng = np.random.default_rng(2024)
    user_ids, item_ids, group_of = generate_events(rng)

    # Raw ids -> dense codes -> a users x items CSR matrix (repeat purchases summed).
    users, user_codes = _core.factorize(user_ids)
    items, item_codes = _core.factorize(item_ids)
    n_users, n_items = len(users), len(items)
    indptr, indices, data = _core.coo_to_csr(user_codes, item_codes, np.ones(len(user_codes)),
                                             n_users, n_items, ALL_CORES)
    print(f"{len(user_ids)} events: {n_users} users, {n_items} items, {len(indices)} distinct "
          f"user-item pairs, {N_GROUPS} planted taste groups")

    (tp, ti, td), test_users, held = hold_out_one(rng, indptr, indices, n_items)
    print(f"held out one interaction for each of {len(test_users)} users; "
          f"{len(ti)} remain for training\n")

    def serve_similarity(sim):
        s_ptr, s_idx, s_val = sim
        return _core.recommend_from_similarity(tp, ti, td, test_users, s_ptr, s_idx, s_val,
                                               None, True, K, ALL_CORES)

    def serve_factors(model):
        user_factors, item_factors, item_bias = model
        return _core.recommend_from_factors(user_factors, item_factors, item_bias, None, test_users,
                                            tp, ti, None, K, FIXED_THREADS)

    counts = np.bincount(ti, minlength=n_items).astype(np.float64)
    norms = np.sqrt(counts)            # column norms of a 0/1 matrix
    neighbours = 100

    def fit_rp3beta(alpha=1.0, beta=0.5):
        user_degree = np.maximum(np.diff(tp), 1).astype(np.float64)
        pui = (td / np.repeat(user_degree, np.diff(tp))) ** alpha
        degree = np.maximum(counts, 1.0)
        return _core.rp3beta_similarity(tp, ti, pui, n_items, degree ** -alpha, degree ** -beta,
                                        neighbours, ALL_CORES)

    def fit_slim():
        weights, _ = _core.slim_elasticnet_weights(tp, ti, td, n_items, alpha=1e-3, l1_ratio=0.5,
                                                   positive=True, max_iter=50, tol=1e-4,
                                                   k=neighbours, n_threads=ALL_CORES)
        return weights

    def fit_bpr(n_factors=48, epochs=30):
        init = np.random.default_rng(7)
        user_factors = init.normal(0.0, 0.01, (n_users, n_factors))
        item_factors = init.normal(0.0, 0.01, (n_items, n_factors))
        item_bias = np.zeros(n_items)
        _core.bpr_fit(tp, ti, n_items, user_factors, item_factors, item_bias, learning_rate=0.05,
                      regularization=0.002, use_bias=True, n_iter=epochs, seed=7, n_threads=1)
        return user_factors, item_factors, item_bias

    # A model with no factors and the item counts as its bias is the popularity baseline.
    no_factors = np.zeros((n_users, 0)), np.zeros((n_items, 0))
    methods = [
        ("popularity", lambda: (*no_factors, counts), serve_factors),
        ("co-occurrence", lambda: _core.item_knn_top_k(tp, ti, td, n_items, neighbours, ALL_CORES),
         serve_similarity),
        ("cosine", lambda: _core.item_cosine_top_k(tp, ti, td, n_items, norms, 10.0, neighbours,
                                                   ALL_CORES), serve_similarity),
        ("RP3beta", fit_rp3beta, serve_similarity),
        ("EASE", lambda: _core.ease_weights(tp, ti, td, n_items, 200.0, ALL_CORES),
         lambda w: _core.recommend_from_dense_rows(tp, ti, td, test_users, w, None, True, K,
                                                   ALL_CORES)),
        ("SLIM", fit_slim, serve_similarity),
        ("BPR (1 thread)", fit_bpr, serve_factors),
    ]

    print(f"{'method':<16}{'fit (ms)':>10}{'serve (ms)':>12}{'hit rate@10':>13}{'vs popularity':>15}")
    baseline = 0.0
    models = {}
    for name, fit, serve in methods:
        model, fit_time = timed(fit)
        models[name] = model
        (top, _), serve_time = timed(lambda: serve(model))
        hit_rate = float(np.mean(np.any(top == held[:, None], axis=1)))
        baseline = baseline or hit_rate  # the first row is the popularity baseline
        print(f"{name:<16}{fit_time * 1e3:>10.1f}{serve_time * 1e3:>12.1f}"
              f"{hit_rate:>13.4f}{hit_rate / baseline:>14.2f}x")
    print(f"\nserving = {K} unseen items for each of {len(test_users)} users in one call")

    # What one user gets, in the shop's own item ids, and the taste groups behind them.
    top, _ = _core.recommend_from_dense_rows(tp, ti, td, test_users[:1], models["EASE"], None, True,
                                             5, ALL_CORES)
    u = test_users[0]
    history, picks = items[ti[tp[u]:tp[u + 1]]].tolist(), items[top[0]].tolist()
    print(f"\nuser {users[u]} had items {history}")
    print(f"  from taste groups {[group_of[i] for i in history]}")
    print(f"EASE recommends {picks}")
    print(f"  from taste groups {[group_of[i] for i in picks]} (held out: {items[held[0]]}, "
          f"group {group_of[items[held[0]]]})")


if __name__ == "__main__":
    main()
