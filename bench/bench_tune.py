"""Hyperparameter proposals by TPE against optuna's TPESampler and random search.

Latency: one proposal of one parameter from a history of 10 to 10,000 finished trials,
against the sampler's own `sample_independent` on a study holding the same trials (its
fastest form: no `ask`, no storage write), with the settings that correspond: 10 start-up
trials, 24 candidates, prior weight 1, the good group min(ceil(n/10), 25), univariate.
Ours is one call with the history already in two arrays, as a caller keeps it.

Quality: the median over 20 seeds of the best value after 100 trials, minimising a shifted
quadratic, Rosenbrock in 4-d with one log-scaled parameter, and a mixed integer/categorical/
float objective; ours proposes each parameter from its own history and the shared scores.
Random search draws every parameter uniformly (log-uniformly where log-scaled).

The bound of one proposal: each candidate evaluates both mixtures at one point, a division
for every component and the C library's exp for every component near enough to move the
sum (within about 8.6 bandwidths; the others are dropped without it). The results must be
that exp's bits, so its cost (some 8 ns a call) times those calls is the floor, plus the
mixtures' set-up (a sort and a logarithm per component). The table reports nanoseconds per
component evaluation, 2 x 24 x (n + 2) of them per proposal.
"""
import math
import time

import numpy as np
from scipy import stats

from common import median_time, quick
from quorvane import _core

N_STARTUP, N_EI = 10, 24


def optuna_or_none():
    try:
        import optuna
    except ImportError:
        return None
    optuna.logging.set_verbosity(optuna.logging.WARNING)
    return optuna


def sampler(optuna, seed):
    return optuna.samplers.TPESampler(n_startup_trials=N_STARTUP, n_ei_candidates=N_EI, prior_weight=1.0,
                                      multivariate=False, seed=seed)


# ---- search spaces: (name, kind, low, high, log, n_choices) ----

def optuna_distribution(optuna, kind, low, high, log, n_choices):
    d = optuna.distributions
    if kind == "float":
        return d.FloatDistribution(low, high, log=log)
    if kind == "int":
        return d.IntDistribution(int(low), int(high), log=log)
    return d.CategoricalDistribution(list(range(n_choices)))


def random_value(rng, kind, low, high, log, n_choices):
    if kind == "categorical":
        return int(rng.integers(n_choices))
    if kind == "int":
        if log:
            return int(np.clip(np.round(np.exp(rng.uniform(np.log(low - 0.5), np.log(high + 0.5)))), low, high))
        return int(rng.integers(int(low), int(high) + 1))
    return float(np.exp(rng.uniform(np.log(low), np.log(high)))) if log else float(rng.uniform(low, high))


# ---- latency ----

def history(rng, n, kind, low, high, log, n_choices):
    observed = np.array([random_value(rng, kind, low, high, log, n_choices) for _ in range(n)], np.float64)
    scores = -np.abs(observed - (low + high) / 3) + rng.normal(0, 0.01, n)
    return observed, scores


def latency(table, optuna, n, space, label):
    name, kind, low, high, log, n_choices = space
    rng = np.random.default_rng(n)
    observed, scores = history(rng, n, kind, low, high, log, n_choices)
    calls = max(1, min(2000, 200_000 // (n + 10)))

    def ours():
        for seed in range(calls):
            _core.tune_suggest(kind, low, high, log, n_choices, observed, scores, N_STARTUP, N_EI, seed)

    ours_s = median_time(ours, repeat=5) / calls
    components = 2 * N_EI * (n + 2)
    quality = f"{ours_s / components * 1e9:.1f} ns per component evaluation"
    if optuna is None:
        table.add(f"{label}, {n:,} trials", ours_s, "optuna (not installed)", float("nan"), quality)
        return
    dist = optuna_distribution(optuna, kind, low, high, log, n_choices)
    study = optuna.create_study(direction="maximize", sampler=sampler(optuna, 0))
    cast = (lambda v: int(v)) if kind != "float" else float
    study.add_trials([optuna.trial.create_trial(params={name: cast(v)}, distributions={name: dist}, value=float(s))
                      for v, s in zip(observed, scores)])
    trial = study.ask()
    peer_calls = max(1, min(50, 20_000 // (n + 10)))

    def peer():
        for _ in range(peer_calls):
            study.sampler.sample_independent(study, trial, name, dist)

    peer_s = median_time(peer, repeat=3) / peer_calls
    table.add(f"{label}, {n:,} trials", ours_s, "optuna TPESampler.sample_independent", peer_s, quality)


# ---- quality ----

def shifted_quadratic(p):
    return (p["x"] - 1.3) ** 2 + (p["y"] + 0.7) ** 2


def rosenbrock_4d(p):
    x = [p["x0"], p["x1"], p["x2"], p["x3"]]
    return sum(100.0 * (x[i + 1] - x[i] ** 2) ** 2 + (1.0 - x[i]) ** 2 for i in range(3))


CATEGORY_COST = [0.8, 0.3, 0.0, 1.0, 0.5, 0.9]


def mixed(p):
    return ((p["n"] - 23) / 10.0) ** 2 + CATEGORY_COST[p["c"]] + (p["lr"] - 0.02) ** 2 * 100.0


OBJECTIVES = [
    ("shifted quadratic, 2-d", shifted_quadratic,
     [("x", "float", -5.0, 5.0, False, 0), ("y", "float", -5.0, 5.0, False, 0)]),
    ("Rosenbrock 4-d, one log-scaled", rosenbrock_4d,
     [("x0", "float", 0.01, 10.0, True, 0)] + [(f"x{i}", "float", -2.0, 2.0, False, 0) for i in (1, 2, 3)]),
    ("int + categorical + float", mixed,
     [("n", "int", 1.0, 64.0, False, 0), ("c", "categorical", 0.0, 0.0, False, len(CATEGORY_COST)),
      ("lr", "float", 1e-4, 1.0, True, 0)]),
]


def study_ours(objective, space, trials, seed):
    observed = {s[0]: [] for s in space}
    scores, best, spent = [], math.inf, 0.0
    for t in range(trials):
        params = {}
        for j, (name, kind, low, high, log, n_choices) in enumerate(space):
            # One stream per (study, trial, parameter): parameters must not share draws.
            s = (seed * 1_000_003 + t) * len(space) + j
            o, sc = np.array(observed[name]), np.array(scores)
            t0 = time.perf_counter()
            x = _core.tune_suggest(kind, low, high, log, n_choices, o, sc, N_STARTUP, N_EI, s)
            spent += time.perf_counter() - t0
            params[name] = int(x) if kind != "float" else x
        value = objective(params)
        for name in params:
            observed[name].append(float(params[name]))
        scores.append(-value)
        best = min(best, value)
    return best, spent


def study_optuna(optuna, objective, space, trials, seed):
    dists = {s[0]: optuna_distribution(optuna, *s[1:]) for s in space}
    study = optuna.create_study(direction="minimize", sampler=sampler(optuna, seed))
    spent = 0.0
    for _ in range(trials):
        t0 = time.perf_counter()
        trial = study.ask(dists)
        spent += time.perf_counter() - t0
        value = objective(trial.params)
        study.tell(trial, value)
    return study.best_value, spent


def study_random(objective, space, trials, seed):
    rng = np.random.default_rng(seed)
    return min(objective({s[0]: random_value(rng, *s[1:]) for s in space}) for _ in range(trials))


def quality(table, optuna, trials, seeds):
    for label, objective, space in OBJECTIVES:
        ours = [study_ours(objective, space, trials, s) for s in range(seeds)]
        rand = [study_random(objective, space, trials, s) for s in range(seeds)]
        ours_best, ours_s = np.median([b for b, _ in ours]), np.median([t for _, t in ours])
        note = f"median best of {seeds} seeds: ours {ours_best:.4g}, random {np.median(rand):.4g}"
        if optuna is None:
            table.add(f"{label}: {trials} trials", ours_s, "optuna (not installed)", float("nan"), note)
            continue
        peer = [study_optuna(optuna, objective, space, trials, s) for s in range(seeds)]
        note += f", optuna {np.median([b for b, _ in peer]):.4g}"
        # The seeds draw different streams in each library, so the two sets of best values
        # are compared as samples: a small p says their medians differ.
        p_value = stats.mannwhitneyu([b for b, _ in ours], [b for b, _ in peer]).pvalue
        note += f" (Mann-Whitney p = {p_value:.2f})"
        table.add(f"{label}: {trials} trials, all proposals", ours_s, "optuna ask (TPESampler)",
                  np.median([t for _, t in peer]), note)


def run(table):
    optuna = optuna_or_none()
    if optuna is None:
        table.note("optuna is not installed: pip install '.[bench]' for the peer")
    for n in quick([10, 100, 1_000, 10_000], [10, 1_000]):
        latency(table, optuna, n, ("x", "float", -3.0, 7.0, False, 0), "float")
    n = quick(1_000, 100)
    latency(table, optuna, n, ("lr", "float", 1e-5, 1.0, True, 0), "log-scaled float")
    latency(table, optuna, n, ("depth", "int", 1.0, 64.0, False, 0), "int")
    latency(table, optuna, n, ("c", "categorical", 0.0, 0.0, False, 20), "categorical of 20")
    quality(table, optuna, trials=100, seeds=quick(20, 3))
