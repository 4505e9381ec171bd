"""Beside busy processes: slowdown of the threaded kernels when other processes take 1, 2 or 4 cores.

A machine shared with other work (a notebook server, CI, a service) has fewer free cores
than the pool has threads. Each case runs quiet and then beside 1, 2 and 4 processes that
each keep one core busy, in rounds; a slowdown is the loaded time over the quiet time of
the same round (so a drift in the machine's own load cancels), and each figure is the
median over the rounds. The slowdown should follow the cores taken (8 / (8 - busy) on 8
processors with a pool of 8), as NumPy's inverse does, rather than collapse because a
thread that lost its core holds up the others.
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
    """(name, ours(n_threads), peer name, peer, rounds the peer runs in) for every case."""
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
        (f"ease_weights n={n_large}", lambda t=0: _core.ease_weights(*big_args, n_large, L2, t),
         f"numpy inv n={n_large}", lambda: np.linalg.inv(big_g), slow_peer),
        (f"ease_weights n={n_small}", lambda t=0: _core.ease_weights(*small_args, n_small, L2, t),
         f"numpy inv n={n_small}", lambda: np.linalg.inv(small_g), None),
        (f"item_gram n={n_large}", lambda t=0: _core.item_gram(*big_args, n_large, t),
         f"numpy inv n={n_small}", lambda: np.linalg.inv(small_g), None),
        (f"recommend_from_factors {n_queries} queries, {n_items // 1000}k items x{dim}",
         lambda t=0: _core.recommend_from_factors(u, v, None, None, rows, sptr, sidx, None, K, t),
         "numpy matmul+argpartition", lambda: batched(rows, lambda r: u[r] @ v.T, seen), None),
    ]


def timed(fn):
    time.sleep(0.15)  # lets the previous call's spinning threads go to sleep
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def cpu_ticks_per_thread():
    """Processor time of each thread of this process so far, in clock ticks (Linux only)."""
    ticks = {}
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:  # the thread ended meanwhile
            continue
        ticks[tid] = int(fields[11]) + int(fields[12])  # user + system time
    return ticks


def threads_that_ran(fn, n_threads):
    """How many threads of this process took processor time during fn(n_threads): the
    caller's thread and the pool's (at most n_threads + 1), never another library's
    spinning threads."""
    fn(n_threads)  # the pool of that size exists from here on
    time.sleep(0.3)  # a peer's threads that spin after its call have stopped
    before = cpu_ticks_per_thread()
    fn(n_threads)
    time.sleep(0.3)  # time spent polling after the call counts too
    after = cpu_ticks_per_thread()
    return sum(1 for tid, t in after.items() if t > before.get(tid, 0))


def run(table):
    rounds = settings.repeat or quick(3, 2)
    table.note("making the data")
    work = cases()
    for _, ours, _, peer, _ in work:  # first-call costs (pools, pages) out of the way
        ours()
        peer()
    times = {}  # (who, case, busy) -> seconds per round
    for r in range(rounds):
        table.note(f"round {r + 1} of {rounds}")
        for name, ours, _, peer, peer_rounds in work:
            for busy in LEVELS:
                with busy_cores(busy):
                    times.setdefault(("ours", name, busy), []).append(timed(ours))
                    if peer_rounds is None or r < peer_rounds:
                        times.setdefault(("peer", name, busy), []).append(timed(peer))

    def median(who, name, busy):
        return statistics.median(times[who, name, busy])

    def slowdown(who, name, busy):
        quiet, loaded = times[who, name, 0], times[who, name, busy]
        return statistics.median(b / a for a, b in zip(quiet, loaded))

    for name, _, peer_name, _, _ in work:
        for busy in LEVELS:
            table.add(f"{name}, {busy} busy cores", median("ours", name, busy), f"{peer_name}, same load",
                      median("peer", name, busy),
                      f"slowdown {slowdown('ours', name, busy):.2f}x, peer {slowdown('peer', name, busy):.2f}x, "
                      f"proportional {proportional(busy):.2f}x")
    table.note("slowdown against the quiet time, busy cores " + " / ".join(map(str, LEVELS[1:])))
    for name, _, peer_name, _, _ in work:
        ours_s = " / ".join(f"{slowdown('ours', name, b):.2f}" for b in LEVELS[1:])
        peer_s = " / ".join(f"{slowdown('peer', name, b):.2f}" for b in LEVELS[1:])
        table.note(f"  {name:<52} ours {ours_s:<20} {peer_name}: {peer_s}")
    if os.path.isdir("/proc/self/task"):
        for name, ours, *_ in work:
            counts = ", ".join(f"n_threads={t}: {threads_that_ran(ours, t)}" for t in (1, 2, 4))
            table.note(f"  threads that took processor time in one call of {name}: {counts}")
    table.note("  proportional to the cores taken: " + " / ".join(f"{proportional(b):.2f}" for b in LEVELS[1:]))
