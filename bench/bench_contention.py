"""Beside busy processes: slowdown of the threaded kernels when other processes take 1, 2 or 4 cores.

A machine shared with other work (a notebook server, CI, a service) has fewer free cores
than the pool has threads. Each case runs quiet and beside 1, 2 and 4 processes that
each keep one core busy; the levels alternate in rounds and each figure is the median of
its rounds. The slowdown should follow the cores taken (8 / (8 - busy) on 8 processors
with a pool of 8), as NumPy's inverse does, rather than collapse because a thread that
lost its core holds up the others.
"""
import os
import statistics
import time

import numpy as np

from bench_linear import csr_args, interactions
from bench_recommend import K, batched
from bench_recommend import interactions as seen_items
from common import busy_cores, quick, settings
from quorvane import _core

LEVELS = (0, 1, 2, 4)
L2 = 200.0


def proportional(busy):
    """The slowdown if the pool lost exactly the cores taken."""
    cores = os.cpu_count() or 1
    return cores / max(cores - busy, 1)


def ease_cases(n, users):
    m = interactions(users, n, 40)
    args = csr_args(m)
    g = _core.item_gram(*args, n, 0)
    g[np.diag_indices_from(g)] += L2
    return args, g


def cases():
    """(name, ours, peer name, peer, rounds the peer runs in) for every case."""
    n_large, n_small = quick((10_000, 2_000), (2_000, 1_000))
    big_args, big_g = ease_cases(n_large, 10 * n_large)
    small_args, small_g = ease_cases(n_small, 10 * n_small)
    rng = np.random.default_rng(3)
    n_users, n_items, dim, n_queries = 10_000, quick(100_000, 20_000), 64, 1_000
    u = rng.standard_normal((n_users, dim))
    v = rng.standard_normal((n_items, dim))
    seen = seen_items(rng, n_users, n_items)
    sptr, sidx = seen.indptr.astype(np.int64), seen.indices.astype(np.int64)
    rows = rng.choice(n_users, n_queries, replace=False).astype(np.int64)
    # NumPy's inverse of the largest matrix takes many seconds: it runs in the first round only.
    slow_peer = 1 if n_large >= 10_000 else None
    return [
        (f"ease_weights n={n_large}", lambda: _core.ease_weights(*big_args, n_large, L2, 0),
         f"numpy inv n={n_large}", lambda: np.linalg.inv(big_g), slow_peer),
        (f"ease_weights n={n_small}", lambda: _core.ease_weights(*small_args, n_small, L2, 0),
         f"numpy inv n={n_small}", lambda: np.linalg.inv(small_g), None),
        (f"item_gram n={n_large}", lambda: _core.item_gram(*big_args, n_large, 0),
         f"numpy inv n={n_small}", lambda: np.linalg.inv(small_g), None),
        (f"recommend_from_factors {n_queries} queries, {n_items // 1000}k items x{dim}",
         lambda: _core.recommend_from_factors(u, v, None, None, rows, sptr, sidx, None, K, 0),
         "numpy matmul+argpartition", lambda: batched(rows, lambda r: u[r] @ v.T, seen), None),
    ]


def timed(fn):
    time.sleep(0.15)  # lets the previous call's spinning threads go to sleep
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def run(table):
    rounds = settings.repeat or quick(3, 2)
    table.note("making the data")
    work = cases()
    for _, ours, _, peer, _ in work:  # first-call costs (pools, pages) out of the way
        ours()
        peer()
    ours_t = {(name, b): [] for name, *_ in work for b in LEVELS}
    peer_t = {(name, b): [] for name, *_ in work for b in LEVELS}
    for r in range(rounds):
        table.note(f"round {r + 1} of {rounds}")
        for busy in LEVELS:
            with busy_cores(busy):
                for name, ours, _, peer, peer_rounds in work:
                    ours_t[name, busy].append(timed(ours))
                    if peer_rounds is None or r < peer_rounds:
                        peer_t[name, busy].append(timed(peer))
    med = {key: statistics.median(v) for key, v in ours_t.items()}
    peer_med = {key: statistics.median(v) for key, v in peer_t.items()}
    for name, _, peer_name, _, _ in work:
        for busy in LEVELS:
            slow = med[name, busy] / med[name, 0]
            peer_slow = peer_med[name, busy] / peer_med[name, 0]
            table.add(f"{name}, {busy} busy cores", med[name, busy], f"{peer_name}, same load",
                      peer_med[name, busy],
                      f"slowdown {slow:.2f}x, peer {peer_slow:.2f}x, proportional {proportional(busy):.2f}x")
    table.note("slowdown against the quiet time, busy cores " + " / ".join(map(str, LEVELS[1:])))
    for name, _, peer_name, _, _ in work:
        ours_s = " / ".join(f"{med[name, b] / med[name, 0]:.2f}" for b in LEVELS[1:])
        peer_s = " / ".join(f"{peer_med[name, b] / peer_med[name, 0]:.2f}" for b in LEVELS[1:])
        table.note(f"  {name:<52} ours {ours_s:<20} {peer_name}: {peer_s}")
    table.note("  proportional to the cores taken: " + " / ".join(f"{proportional(b):.2f}" for b in LEVELS[1:]))
