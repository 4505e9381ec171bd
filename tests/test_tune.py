"""tune_suggest: TPE proposals against an independent model, start-up uniformity, search
quality, the argument checks and their order."""
import math
import struct
from fractions import Fraction

import numpy as np
import pytest
from scipy import stats

from quorvane import _core

# ---- an independent model of the proposal, in plain Python floats ----

M64 = (1 << 64) - 1


def fma(a, b, c):
    if not (math.isfinite(a) and math.isfinite(b) and math.isfinite(c)):
        return a * b + c
    exact = Fraction(a) * Fraction(b) + Fraction(c)
    return float(exact) if exact else a * b + c


def div(a, b):
    with np.errstate(all="ignore"):
        return float(np.float64(a) / np.float64(b))


def ln(x):
    if math.isnan(x) or x < 0:
        return math.nan
    return -math.inf if x == 0 else math.log(x)


def exp(x):
    try:
        return math.exp(x)
    except OverflowError:
        return math.inf


def total_key(x):
    b = struct.unpack("<q", struct.pack("<d", x))[0]
    return b ^ 0x7FFFFFFFFFFFFFFF if b < 0 else b


def nanmax(a, b):
    return b if math.isnan(a) else a if math.isnan(b) else max(a, b)


def clamp(v, lo, hi):
    return hi if (lo if v < lo else v) > hi else (lo if v < lo else v)


def midpoint(lo, hi):
    half = 8.988465674311579e307
    return (lo + hi) * 0.5 if abs(lo) <= half and abs(hi) <= half else lo * 0.5 + hi * 0.5


class Rng:
    def __init__(self, seed):
        def mix(z):
            z ^= z >> 30
            z = z * 0xBF58476D1CE4E5B9 & M64
            z ^= z >> 27
            z = z * 0x94D049BB133111EB & M64
            return z ^ (z >> 31)
        self.s = [mix((seed + i * 0x9E3779B97F4A7C15) & M64) for i in (1, 2, 3, 4)]

    def uniform(self):
        rotl = lambda x, k: (x << k | x >> (64 - k)) & M64
        s0, s1, s2, s3 = self.s
        out = rotl(s1 * 5 & M64, 7) * 9 & M64
        t = s1 << 17 & M64
        s2 ^= s0
        s3 ^= s1
        s1 ^= s2
        s0 ^= s3
        s2 ^= t
        self.s = [s0, s1, s2, rotl(s3, 45)]
        return (out >> 11) * 2.0**-53


def erfc(x):
    s = abs(x)
    t = 1.0 / fma(0.5, s, 1.0)
    p = fma(t, 0.17087277, -0.82215223)
    for c in (1.48851587, -1.13520398, 0.27886807, -0.18628806, 0.09678418, 0.37409196, 1.00002368):
        p = fma(t, p, c)
    r = t * exp(fma(t, p, fma(-s, s, -1.26551223)))
    return 2.0 - r if x < 0 else r


class Parzen:
    def __init__(self, values, weights, low, high):
        mus = list(values) + [midpoint(low, high)]
        w = list(weights) + [1.0]
        width, n = high - low, len(mus)
        order = sorted(range(n), key=lambda i: total_key(mus[i]))
        floor = width / min(n + 1.0, 100.0)
        sig = [width] * n
        for j, c in enumerate(order):
            left = mus[order[j - 1]] if j else low
            right = mus[order[j + 1]] if j + 1 < n else high
            d = nanmax(mus[c] - left, right - mus[c])
            d = floor if d < floor else d
            sig[c] = width if d > width else d
        sig[-1] = width
        total = -0.0
        for x in w:
            total += x
        self.mus, self.sig, self.w = mus, sig, [x / total for x in w]
        self.norm = []
        for mu, s in zip(mus, sig):
            a, b = div(low - mu, s), div(high - mu, s)
            k = 0.7071067811865476
            z = 0.5 * erfc(a * k) - 0.5 * erfc(b * k) if a > 0 else 0.5 * erfc(b * -k) - 0.5 * erfc(a * -k)
            self.norm.append(ln(nanmax(z, 2.2250738585072014e-308)))

    def log_pdf(self, x):
        terms = []
        for mu, s, w, norm in zip(self.mus, self.sig, self.w, self.norm):
            z = div(x - mu, s)
            e = fma(-(z * 0.5), z, ln(w)) - ln(s)
            terms.append(fma(0.5, -1.8378770664093453, e) - norm)
        m = -math.inf
        for t in terms:
            m = t if t > m else m
        if m == -math.inf:
            return m
        total = -0.0
        for t in terms:
            total += exp(t - m)
        return m + ln(total)


def recency(n):
    if n < 25:
        return [1.0] * n
    first = 1.0 / n
    ramp = [first + (i * (1.0 - first)) / (n - 26) for i in range(n - 25)] if n > 26 else [first] * (n - 25)
    return ramp + [1.0] * 25


def pick(weights, target):
    for c, w in enumerate(weights):
        if target < w:
            return c
        target -= w
    return len(weights) - 1


def model(kind, low, high, log, n_choices, observed, scores, n_startup, n_ei, seed):
    """The proposal, with observations clamped into the linear range before any logarithm
    and the convex-combination draw where the range's width overflows."""
    n = len(observed)
    lin = (0.0, n_choices - 1.0) if kind == "categorical" else (low, high) if kind == "float" else (low - 0.5, high + 0.5)
    lo, hi = (ln(lin[0]), ln(lin[1])) if log and kind != "categorical" else lin

    def uniform_in(u):
        return fma(hi - lo, u, lo) if math.isfinite(hi - lo) else lo * (1.0 - u) + hi * u

    def to_internal(v):
        v = clamp(v, *lin)
        return clamp(ln(v), lo, hi) if log and kind != "categorical" else v

    def to_external(x):
        y = exp(x) if log else x
        if kind == "int":
            f = math.floor(abs(y))
            y = math.copysign(f + 1.0 if abs(y) - f >= 0.5 else f, y)
        return clamp(y, low, high)

    rng = Rng(seed)
    if n < max(n_startup, 1) or n_ei == 0:
        u = rng.uniform()
        if kind == "categorical":
            return float(min(n_choices - 1, int(u * n_choices)))
        return to_external(uniform_in(u))
    ranked = sorted(range(n), key=lambda i: (-total_key(scores[i]), i))
    n_good = min(-(-n // 10), 25)
    groups = [sorted(ranked[:n_good]), sorted(ranked[n_good:])]
    (gv, bv) = [[to_internal(observed[t]) for t in g] for g in groups]
    (gw, bw) = [recency(len(g)) for g in groups]
    if kind == "categorical":
        def table(values, weights):
            counts = [1.0 / n_choices] * n_choices
            for v, w in zip(values, weights):
                c = min(int(v), n_choices - 1)
                counts[c] = w + counts[c]
            total = -0.0
            for c in counts:
                total += c
            return [c / total for c in counts]
        l, g = table(gv, gw), table(bv, bw)
        total = -0.0
        for p in l:
            total += p
        answer, best = 0, -math.inf
        for _ in range(n_ei):
            c = pick(l, total * rng.uniform())
            score = ln(l[c]) - ln(g[c])
            if score > best:
                answer, best = c, score
        return float(answer)
    good, bad = Parzen(gv, gw, lo, hi), Parzen(bv, bw, lo, hi)
    total = -0.0
    for w in good.w:
        total += w
    answer, best = midpoint(lo, hi), -math.inf
    for _ in range(n_ei):
        c = pick(good.w, total * rng.uniform())
        for _ in range(64):
            u1, u2 = rng.uniform(), rng.uniform()
            x = fma(good.sig[c], math.sqrt(ln(1.0 - u1) * -2.0) * math.cos(u2 * 6.283185307179586), good.mus[c])
            if lo <= x <= hi:
                break
        else:
            x = uniform_in(rng.uniform())
        score = good.log_pdf(x) - bad.log_pdf(x)
        if score > best:
            answer, best = x, score
    return to_external(answer)


def suggest(kind="float", low=0.0, high=1.0, log=False, n_choices=0, observed=(), scores=(), n_startup_trials=10,
            n_ei_candidates=24, seed=0):
    return _core.tune_suggest(kind, low, high, log, n_choices, np.asarray(observed, np.float64),
                              np.asarray(scores, np.float64), n_startup_trials, n_ei_candidates, seed)


# ---- exact proposals ----

DOMAINS = {
    "unit": ("float", 0.0, 1.0, False, 0),
    "signed": ("float", -5.0, 5.0, False, 0),
    "log": ("float", 1e-3, 10.0, True, 0),
    "point": ("float", 2.5, 2.5, False, 0),
    "huge": ("float", -1e308, 1e308, False, 0),
    "int": ("int", -3.0, 12.0, False, 0),
    "log_int": ("int", 1.0, 1000.0, True, 0),
    "one_int": ("int", 4.0, 4.0, False, 0),
    "categorical": ("categorical", 0.0, 0.0, False, 5),
    "one_choice": ("categorical", 7.0, -7.0, True, 1),
}


def history(domain, n, rng):
    """Values mostly inside the domain, a few beyond it (and at or below zero for the log
    scales); integer-valued scores, so ties and both signs of zero occur."""
    kind, low, high, log, n_choices = domain
    if kind == "categorical":
        observed = rng.integers(-1, n_choices + 2, n) + rng.choice([0.0, 0.7], n)
    elif low == -1e308:
        observed = 1e308 * rng.uniform(-1, 1, n)
    elif log:
        observed = np.exp(rng.uniform(np.log(low), np.log(high), n))
        observed[rng.random(n) < 0.1] = rng.choice([0.0, -1.0, 2 * high, low / 3])
    else:
        span = high - low + 1.0
        observed = rng.uniform(low - 0.2 * span, high + 0.2 * span, n)
        if kind == "int":
            observed = np.round(observed)
    scores = rng.integers(-3, 4, n).astype(np.float64)
    scores[scores == 0] = rng.choice([0.0, -0.0], int((scores == 0).sum()))
    return observed, scores


SETTINGS = [(10, 24), (0, 1), (1, 0), (3, 5)]


@pytest.mark.parametrize("name", DOMAINS)
def test_proposals_match_the_model(name):
    domain = DOMAINS[name]
    rng = np.random.default_rng(list(DOMAINS).index(name))
    mismatches = []
    for n in [0, 1, 3, 11, 29, 40]:
        observed, scores = history(domain, n, rng)
        for seed in [0, 7, M64]:
            for n_startup, n_ei in SETTINGS:
                args = (*domain, [float(v) for v in observed], [float(v) for v in scores], n_startup, n_ei, seed)
                got = _core.tune_suggest(*domain, observed, scores, n_startup, n_ei, seed)
                want = model(*args)
                if struct.pack("<d", got) != struct.pack("<d", want):
                    mismatches.append((n, seed, n_startup, n_ei, got, want))
    assert mismatches == []


@pytest.mark.parametrize("name", ["unit", "log", "int", "log_int"])
def test_long_history_matches_the_model(name):
    # Past 250 trials the good group stops growing at 25 and both groups get recency ramps;
    # most components then lie many bandwidths from a candidate, and repeated values occur.
    domain = DOMAINS[name]
    rng = np.random.default_rng(3)
    observed, _ = history(domain, 300, rng)
    observed[::7] = observed[0]
    scores = -np.abs(observed - observed[5]) + rng.normal(0, 0.01, 300)
    for seed in [1, 2]:
        got = _core.tune_suggest(*domain, observed, scores, 10, 24, seed)
        assert got == model(*domain, [float(v) for v in observed], list(scores), 10, 24, seed)


def test_no_state_between_calls():
    observed, scores = history(DOMAINS["unit"], 20, np.random.default_rng(1))
    first = [suggest(observed=observed, scores=scores, seed=s) for s in range(5)]
    assert [suggest(observed=observed, scores=scores, seed=s) for s in reversed(range(5))] == first[::-1]
    assert len(set(first)) == 5


# ---- start-up draws ----

def test_startup_float_draws_are_uniform():
    draws = np.array([suggest(low=-1.0, high=3.0, seed=s) for s in range(4000)])
    assert stats.kstest((draws + 1.0) / 4.0, "uniform").pvalue > 1e-3


@pytest.mark.parametrize("kind, low, high, log, n_choices, values", [
    ("int", -2.0, 4.0, False, 0, range(-2, 5)),
    ("categorical", 0.0, 0.0, False, 6, range(6)),
])
def test_startup_discrete_draws_are_uniform(kind, low, high, log, n_choices, values):
    draws = [suggest(kind, low, high, log, n_choices, seed=s) for s in range(7000)]
    counts = [draws.count(float(v)) for v in values]
    assert sum(counts) == len(draws)
    assert stats.chisquare(counts).pvalue > 1e-3


# ---- search quality ----

def run_search(objective, kind, low, high, log=False, n_choices=0, trials=60, seed=0):
    observed, scores = [], []
    for t in range(trials):
        x = suggest(kind, low, high, log, n_choices, observed, scores, 10, 24, seed * 1000 + t)
        observed.append(x)
        scores.append(objective(x))
    return np.array(observed[10:])


@pytest.mark.parametrize("objective, kind, low, high, log, n_choices, near, uniform_share", [
    (lambda x: -(x - 0.3) ** 2, "float", 0.0, 1.0, False, 0, lambda x: abs(x - 0.3) < 0.1, 0.2),
    (lambda x: -(math.log(x) - math.log(0.01)) ** 2, "float", 1e-5, 100.0, True, 0,
     lambda x: abs(math.log(x / 0.01)) < 1.0, 2 / math.log(1e7)),
    (lambda x: -(x - 17) ** 2, "int", -50.0, 50.0, False, 0, lambda x: abs(x - 17) <= 5, 11 / 101),
    (lambda x: float(x == 7), "categorical", 0.0, 0.0, False, 12, lambda x: x == 7, 1 / 12),
])
def test_proposals_concentrate_near_the_optimum(objective, kind, low, high, log, n_choices, near, uniform_share):
    shares = [np.mean([near(x) for x in run_search(objective, kind, low, high, log, n_choices, seed=s)])
              for s in range(4)]
    assert np.median(shares) > 2 * uniform_share


# ---- the mends ----

@pytest.mark.parametrize("kind, low, high", [("float", 1e-3, 10.0), ("int", 1.0, 1000.0)])
@pytest.mark.parametrize("bad_value", [0.0, -4.0])
def test_log_scale_observation_at_or_below_zero(kind, low, high, bad_value):
    # Such an observation counts as the lower bound instead of a NaN that would make every
    # later proposal the midpoint.
    rng = np.random.default_rng(5)
    observed = list(np.exp(rng.uniform(np.log(low), np.log(high), 15)))
    if kind == "int":
        observed = list(np.round(observed))
    scores = list(rng.normal(size=15))
    observed[4] = bad_value
    got = [suggest(kind, low, high, True, observed=observed, scores=scores, seed=s) for s in range(6)]
    assert len(set(got)) > 1
    assert got == [model(kind, low, high, True, 0, observed, scores, 10, 24, s) for s in range(6)]
    observed[4] = low
    assert got == [suggest(kind, low, high, True, observed=observed, scores=scores, seed=s) for s in range(6)]


@pytest.mark.parametrize("kind, low, high", [("float", -1e308, 1e308), ("float", -1.7e308, 1.7e308),
                                             ("int", -1e308, 1e308)])
def test_bounds_whose_width_overflows(kind, low, high):
    draws = np.array([suggest(kind, low, high, seed=s) for s in range(2000)])
    assert np.isfinite(draws).all() and (draws >= low).all() and (draws <= high).all()
    assert stats.kstest((draws / high + 1.0) / 2.0, "uniform").pvalue > 1e-3
    observed, scores = draws[:30], -np.abs(draws[:30])
    x = suggest(kind, low, high, observed=observed, scores=scores, seed=1)
    assert math.isfinite(x) and low <= x <= high


@pytest.mark.parametrize("n_choices", [2**61, 2**63, M64])
def test_categorical_too_large_to_allocate(n_choices):
    observed, scores = [0.0, 1.0, 3.0], [1.0, 0.0, 2.0]
    assert 0 <= suggest("categorical", n_choices=n_choices, observed=observed, scores=scores) < n_choices
    with pytest.raises(MemoryError):
        suggest("categorical", n_choices=n_choices, observed=observed, scores=scores, n_startup_trials=1)


# ---- arguments ----

@pytest.mark.parametrize("kwargs, text", [
    (dict(kind="Float"), """kind must be 'float', 'int' or 'categorical', got "Float"."""),
    (dict(kind=" float"), """kind must be 'float', 'int' or 'categorical', got " float"."""),
    (dict(kind='a"b\\c\0\t\r\n\x01é\u00a0\u0301\''),
     """kind must be 'float', 'int' or 'categorical', got "a\\"b\\\\c\\0\\t\\r\\n\\u{1}é\\u{a0}\\u{301}'"."""),
    (dict(kind="categorical", n_choices=0, low=5.0, high=1.0), "n_choices must be at least 1."),
    (dict(low=1.5, high=0.5), "bounds must be finite with low <= high, got [1.5, 0.5]."),
    (dict(low=-math.inf, high=1e22), "bounds must be finite with low <= high, got [-inf, 10000000000000000000000]."),
    (dict(low=0.0, high=math.nan), "bounds must be finite with low <= high, got [0, NaN]."),
    (dict(kind="int", low=0.5, high=math.inf, log=True), "bounds must be finite with low <= high, got [0.5, inf]."),
    (dict(kind="int", low=0.0, log=True), "a log-scaled int needs low >= 1, got 0."),
    (dict(kind="int", low=0.5, log=True), "a log-scaled int needs low >= 1, got 0.5."),
    (dict(low=-1e-5, log=True),
     f"a log-scaled float needs low >= 0.{'0' * 307}22250738585072014, got -0.00001."),
    (dict(low=2.225073858507201e-308, log=True),
     f"a log-scaled float needs low >= 0.{'0' * 307}22250738585072014, got 0.{'0' * 307}2225073858507201."),
    (dict(kind="int", low=0.5, high=2.0), "int bounds must be integers."),
    (dict(kind="int", low=1.0, high=2.25), "int bounds must be integers."),
    (dict(observed=[1.0, 2.0], scores=[1.0]), "observed and scores must have the same length."),
    (dict(observed=[0.5, math.nan], scores=[1.0, 2.0]), "observed and scores must be finite."),
    (dict(observed=[0.5, 0.2], scores=[1.0, -math.inf]), "observed and scores must be finite."),
])
def test_value_errors(kwargs, text):
    with pytest.raises(ValueError) as e:
        suggest(**kwargs)
    assert str(e.value) == text


@pytest.mark.parametrize("kwargs", [
    dict(kind="float", n_choices=0),
    dict(kind="float", low=2.2250738585072014e-308, high=1.0, log=True),
    dict(kind="int", low=1.0, high=1.0, log=True),
    dict(kind="categorical", n_choices=1, low=math.nan, high=-math.inf, log=True),
    dict(kind="float", low=1.0, high=2.0, log=np.True_),
    dict(kind="float", low=np.float32(0.25), high=3, log=np.False_),
])
def test_accepted(kwargs):
    assert math.isfinite(suggest(**kwargs))


def test_check_order():
    strided = np.arange(8.0)[::2]
    with pytest.raises(ValueError, match="^bounds"):
        _core.tune_suggest("float", 1.0, 0.0, False, 0, strided, strided, 1, 1, 0)
    with pytest.raises(TypeError, match="^The given array is not contiguous or is misaligned.$"):
        _core.tune_suggest("float", 0.0, 1.0, False, 0, strided, np.zeros(2), 1, 1, 0)
    with pytest.raises(TypeError, match="^The given array is not contiguous"):
        _core.tune_suggest("float", 0.0, 1.0, False, 0, np.zeros(3), strided, 1, 1, 0)
    with pytest.raises(ValueError, match="^observed and scores must have the same length"):
        _core.tune_suggest("float", 0.0, 1.0, False, 0, np.array([np.nan]), np.zeros(2), 1, 1, 0)
    with pytest.raises(ValueError, match="^observed and scores must be finite"):
        _core.tune_suggest("float", 0.0, 1.0, False, 0, np.zeros(1), np.array([np.inf]), 1, 1, 0)


@pytest.mark.parametrize("position, value, error", [
    (0, b"float", TypeError),
    (1, "0.0", TypeError),
    (3, 1, TypeError),
    (3, None, TypeError),
    (4, -1, OverflowError),
    (5, np.zeros(2, np.float32), TypeError),
    (6, np.zeros((2, 1)), TypeError),
    (7, -1, OverflowError),
    (8, 2.0, TypeError),
    (9, -1, OverflowError),
])
def test_conversion_errors_name_the_parameter(position, value, error):
    names = ["kind", "low", "high", "log", "n_choices", "observed", "scores", "n_startup_trials", "n_ei_candidates",
             "seed"]
    # Every other argument is fine, and conversion precedes every check: the bounds are bad too.
    args = ["float", 1.0, 0.0, False, 0, np.zeros(2), np.zeros(2), 1, 1, 0]
    args[position] = value
    with pytest.raises(error) as e:
        _core.tune_suggest(*args)
    assert e.value.__notes__ == [f"while processing '{names[position]}'"]
