"""Formulas as their users write them, side by side with NumPy, numexpr and numba.

Each formula is written once the way its users write it (`**2`, terms used twice, nested
`where`): over `kernel` for us, over NumPy for NumPy, as the same text for numexpr, and as the
same scalar formula in a numba `prange` loop (compiled before timing). Ours runs on prebuilt
Buffers (`rt.go`); every peer runs on the pool's thread count (NumPy on one). Contenders are
timed in turns, round after round, and the best round of each counts. Each result is
checked against NumPy's to a relative 1e-9 of its largest magnitude. The floor is the time
of the formula's math-library calls alone after sharing (each call once, on its real
arguments, on the same threads, through the entries the engine calls: on x86-64 glibc the
cores of exp, log, pow and atan2 without their errno wrappers, the same bits and cheaper).

Before the table, each constant exponent with a fast path is checked bit for bit against the
platform's pow (random, wide-range, special, and squares constructed to sit between 0.45 and
0.5 ulp from a double, across both thresholds), on as many values as the largest size unless
--pow-values says how many (0 skips the check).

Run: python3 bench/bench_workloads.py [--sizes 1e5,1e6,1e7] [--only haversine,clip]
         [--pow-values 1e7] [--repeat 7] [--clock wall|cpu] [--chart docs/workloads.svg]
Ratios are ours / peer (below 1.0 means we are faster). --chart also draws each formula's
time, ours and the peers', as a multiple of NumPy's, one panel per size (an SVG file).
"""
import argparse
import math
import os
import sys
import time

# numba's OpenMP workers otherwise spin after each loop and take the CPUs from whoever runs
# next in this process; passive, they sleep as our pool's workers and numexpr's do.
os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

import numpy as np  # noqa: E402

sys.path.insert(0, os.path.dirname(__file__))
from common import libm_calls_floor, libm_pow, pool_threads  # noqa: E402
from svg_chart import relative_bars  # noqa: E402

from quorvaline import kernel, rt  # noqa: E402

try:
    import numexpr as ne
except ImportError:  # the benchmark still runs, without that column
    ne = None
try:
    import numba
    from numba import njit, prange
except ImportError:
    numba = None

DEG = math.pi / 180.0
R_EARTH = 6371.0088
RATE, VOL = 0.03, 0.25
MU, SIGMA = 0.5, 1.5
LO, HI = -0.5, 0.5


class KernelMath:
    sin, cos, exp, log, sqrt, atan2 = (kernel.sin, kernel.cos, kernel.exp, kernel.log,
                                       kernel.sqrt, kernel.atan2)
    where = kernel.where_


class NumpyMath:
    sin, cos, exp, log, sqrt, atan2 = np.sin, np.cos, np.exp, np.log, np.sqrt, np.arctan2
    where = np.where


# ---- the formulas, over `m` (kernel or NumPy) ----

def haversine(m, lat1, lon1, lat2, lon2):
    dlat = (lat2 - lat1) * DEG
    dlon = (lon2 - lon1) * DEG
    a = m.sin(dlat / 2) ** 2 + m.cos(lat1 * DEG) * m.cos(lat2 * DEG) * m.sin(dlon / 2) ** 2
    return 2 * R_EARTH * m.atan2(m.sqrt(a), m.sqrt(1 - a))


def norm_cdf(m, x):
    k = 1 / (1 + 0.2316419 * abs(x))
    poly = k * (0.319381530 + k * (-0.356563782 + k * (1.781477937 + k * (-1.821255978
                                                                          + k * 1.330274429))))
    w = 1 - 0.3989422804014327 * m.exp(-x ** 2 / 2) * poly
    return m.where(x < 0, 1 - w, w)


def black_scholes(m, S, K, T):
    d1 = (m.log(S / K) + (RATE + VOL ** 2 / 2) * T) / (VOL * m.sqrt(T))
    d2 = d1 - VOL * m.sqrt(T)
    return S * norm_cdf(m, d1) - K * m.exp(-RATE * T) * norm_cdf(m, d2)


def distance3(m, x1, y1, z1, x2, y2, z2):
    return m.sqrt((x1 - x2) ** 2 + (y1 - y2) ** 2 + (z1 - z2) ** 2)


def gaussian(m, x):
    return m.exp(-(x - MU) ** 2 / (2 * SIGMA ** 2)) / (SIGMA * math.sqrt(2 * math.pi))


def clip(m, x):
    return m.where(x < LO, LO, m.where(x > HI, HI, x))


def sigmoid(m, x):
    return 1 / (1 + m.exp(-x))


def log_returns(m, p0, p1):
    return m.log(p1 / p0)


def fma_like(m, a, b, c):
    return a * b + c


# ---- the same formulas as numexpr text ----

def ne_norm_cdf(x):
    k = f"(1 / (1 + 0.2316419 * abs({x})))"
    poly = (f"{k} * (0.319381530 + {k} * (-0.356563782 + {k} * (1.781477937 + {k} * "
            f"(-1.821255978 + {k} * 1.330274429))))")
    w = f"(1 - 0.3989422804014327 * exp(-{x}**2 / 2) * {poly})"
    return f"where({x} < 0, 1 - {w}, {w})"


_D1 = f"((log(S / K) + ({RATE} + {VOL}**2 / 2) * T) / ({VOL} * sqrt(T)))"
_D2 = f"({_D1} - {VOL} * sqrt(T))"
_A = (f"(sin((lat2 - lat1) * {DEG} / 2)**2 + cos(lat1 * {DEG}) * cos(lat2 * {DEG}) * "
      f"sin((lon2 - lon1) * {DEG} / 2)**2)")
NE_TEXT = {
    "haversine": f"2 * {R_EARTH} * arctan2(sqrt({_A}), sqrt(1 - {_A}))",
    "black_scholes": f"S * {ne_norm_cdf(_D1)} - K * exp(-{RATE} * T) * {ne_norm_cdf(_D2)}",
    "distance3": "sqrt((x1 - x2)**2 + (y1 - y2)**2 + (z1 - z2)**2)",
    "gaussian": f"exp(-(x - {MU})**2 / (2 * {SIGMA}**2)) / ({SIGMA} * {math.sqrt(2 * math.pi)})",
    "clip": f"where(x < {LO}, {LO}, where(x > {HI}, {HI}, x))",
    "sigmoid": "1 / (1 + exp(-x))",
    "log_returns": "log(p1 / p0)",
    "fma_like": "a * b + c",
}


# ---- the same formulas as numba scalar functions in a prange loop ----

def numba_kernels():
    if numba is None:
        return {}

    @njit(inline="always")
    def nb_norm_cdf(x):
        k = 1 / (1 + 0.2316419 * abs(x))
        poly = k * (0.319381530 + k * (-0.356563782 + k * (1.781477937 + k * (-1.821255978
                                                                              + k * 1.330274429))))
        w = 1 - 0.3989422804014327 * math.exp(-x ** 2 / 2) * poly
        return 1 - w if x < 0 else w

    @njit(parallel=True)
    def nb_haversine(lat1, lon1, lat2, lon2):
        out = np.empty_like(lat1)
        for i in prange(lat1.size):
            dlat = (lat2[i] - lat1[i]) * DEG
            dlon = (lon2[i] - lon1[i]) * DEG
            a = (math.sin(dlat / 2) ** 2
                 + math.cos(lat1[i] * DEG) * math.cos(lat2[i] * DEG) * math.sin(dlon / 2) ** 2)
            out[i] = 2 * R_EARTH * math.atan2(math.sqrt(a), math.sqrt(1 - a))
        return out

    @njit(parallel=True)
    def nb_black_scholes(S, K, T):
        out = np.empty_like(S)
        for i in prange(S.size):
            d1 = (math.log(S[i] / K[i]) + (RATE + VOL ** 2 / 2) * T[i]) / (VOL * math.sqrt(T[i]))
            d2 = d1 - VOL * math.sqrt(T[i])
            out[i] = S[i] * nb_norm_cdf(d1) - K[i] * math.exp(-RATE * T[i]) * nb_norm_cdf(d2)
        return out

    @njit(parallel=True)
    def nb_distance3(x1, y1, z1, x2, y2, z2):
        out = np.empty_like(x1)
        for i in prange(x1.size):
            out[i] = math.sqrt((x1[i] - x2[i]) ** 2 + (y1[i] - y2[i]) ** 2 + (z1[i] - z2[i]) ** 2)
        return out

    @njit(parallel=True)
    def nb_gaussian(x):
        out = np.empty_like(x)
        for i in prange(x.size):
            out[i] = (math.exp(-(x[i] - MU) ** 2 / (2 * SIGMA ** 2))
                      / (SIGMA * math.sqrt(2 * math.pi)))
        return out

    @njit(parallel=True)
    def nb_clip(x):
        out = np.empty_like(x)
        for i in prange(x.size):
            out[i] = LO if x[i] < LO else (HI if x[i] > HI else x[i])
        return out

    @njit(parallel=True)
    def nb_sigmoid(x):
        out = np.empty_like(x)
        for i in prange(x.size):
            out[i] = 1 / (1 + math.exp(-x[i]))
        return out

    @njit(parallel=True)
    def nb_log_returns(p0, p1):
        out = np.empty_like(p0)
        for i in prange(p0.size):
            out[i] = math.log(p1[i] / p0[i])
        return out

    @njit(parallel=True)
    def nb_fma_like(a, b, c):
        out = np.empty_like(a)
        for i in prange(a.size):
            out[i] = a[i] * b[i] + c[i]
        return out

    return {"haversine": nb_haversine, "black_scholes": nb_black_scholes,
            "distance3": nb_distance3, "gaussian": nb_gaussian, "clip": nb_clip,
            "sigmoid": nb_sigmoid, "log_returns": nb_log_returns, "fma_like": nb_fma_like}


# ---- inputs and the math-library calls that remain after sharing ----

def inputs(name, n, rng):
    if name == "haversine":
        return {"lat1": rng.uniform(-90, 90, n), "lon1": rng.uniform(-180, 180, n),
                "lat2": rng.uniform(-90, 90, n), "lon2": rng.uniform(-180, 180, n)}
    if name == "black_scholes":
        return {"S": rng.uniform(50, 150, n), "K": rng.uniform(50, 150, n),
                "T": rng.uniform(0.1, 2.0, n)}
    if name == "distance3":
        return {k: rng.standard_normal(n) for k in ("x1", "y1", "z1", "x2", "y2", "z2")}
    if name == "log_returns":
        p0 = rng.uniform(10, 100, n)
        return {"p0": p0, "p1": p0 * rng.lognormal(0, 0.02, n)}
    if name == "fma_like":
        return {k: rng.standard_normal(n) for k in ("a", "b", "c")}
    return {"x": rng.standard_normal(n) * 3}


def libm_calls(name, v):
    if name == "haversine":
        dlat = (v["lat2"] - v["lat1"]) * DEG
        dlon = (v["lon2"] - v["lon1"]) * DEG
        a = (np.sin(dlat / 2) ** 2
             + np.cos(v["lat1"] * DEG) * np.cos(v["lat2"] * DEG) * np.sin(dlon / 2) ** 2)
        return [("sin", dlat / 2), ("sin", dlon / 2), ("cos", v["lat1"] * DEG),
                ("cos", v["lat2"] * DEG), ("atan2", np.sqrt(a), np.sqrt(1 - a))]
    if name == "black_scholes":
        S, K, T = v["S"], v["K"], v["T"]
        d1 = (np.log(S / K) + (RATE + VOL ** 2 / 2) * T) / (VOL * np.sqrt(T))
        d2 = d1 - VOL * np.sqrt(T)
        return [("log", S / K), ("exp", -d1 ** 2 / 2), ("exp", -d2 ** 2 / 2), ("exp", -RATE * T)]
    if name == "gaussian":
        return [("exp", -(v["x"] - MU) ** 2 / (2 * SIGMA ** 2))]
    if name == "sigmoid":
        return [("exp", -v["x"])]
    if name == "log_returns":
        return [("log", v["p1"] / v["p0"])]
    return []


FORMULAS = {"haversine": haversine, "black_scholes": black_scholes, "distance3": distance3,
            "gaussian": gaussian, "clip": clip, "sigmoid": sigmoid, "log_returns": log_returns,
            "fma_like": fma_like}


def agree(ours, ref):
    scale = float(np.max(np.abs(ref))) if ref.size else 0.0
    return bool(np.all(np.abs(ours - ref) <= 1e-9 * max(scale, 1e-300)))


def square_hard_lanes(count, rng):
    """x whose square lies between 0.45 and 0.5 ulp from a double, near 1 and beyond 2^16: the
    lanes on both sides of the thresholds where x ** 2 leaves the lane to pow."""
    x = rng.uniform(1.0, 2.0, 20 * count) * np.ldexp(1.0, rng.integers(-24, 24, 20 * count))
    d = x * x
    split = 134217729.0 * x                      # Dekker's exact x * x - d, as the engine does
    hi = split - (split - x)
    lo = x - hi
    residual = ((hi * hi - d) + 2 * hi * lo) + lo * lo
    r = np.abs(residual) / np.spacing(d)
    return x[(r > 0.45) & (r < 0.5)][:count]


def check_pow(count, rng):
    """Our x ** c against the platform's pow, bit for bit, per exponent."""
    x = kernel.arg("x")
    half = count // 2
    values = np.concatenate([
        square_hard_lanes(count // 10, rng),
        rng.uniform(-4, 4, half // 2 - count // 10),
        np.exp(rng.uniform(-745, 709, half - half // 2))
        * rng.choice([-1.0, 1.0], half - half // 2),
        rng.standard_normal(count - half) * 10.0 ** rng.integers(-310, 300, count - half),
        np.array([0.0, -0.0, np.inf, -np.inf, np.nan, -np.nan, 5e-324, -5e-324, 1.0, -1.0, 2.0,
                  0.5, 2.0 ** -200, 2.0 ** 200, 2.0 ** -900, 2.0 ** 1000, 1.7976931348623157e308]),
    ])
    print(f"x ** c against the platform's pow, {values.size:,} values per exponent")
    for c in (2.0, 3.0, 4.0, -1.0, 0.5, 1.0, 0.0, -0.0):
        want = libm_pow(values, c)
        got = rt.go(kernel.map(kernel.elementwise(x ** c), x=rt.asarray(values))).result().numpy()
        differ = int(np.count_nonzero(got.view(np.uint64) != want.view(np.uint64)))
        print(f"  c = {c:>4}: {differ} lanes differ")
        if differ:
            raise SystemExit(f"x ** {c} differs from pow in {differ} lanes")


def counts(text):
    """A comma-separated list of element counts, each an integer or a float such as 1e6."""
    try:
        values = [int(float(s)) for s in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a list of counts such as 1e5,1e6")
    if any(v < 0 for v in values):
        raise argparse.ArgumentTypeError(f"{text!r} has a negative count")
    return values


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=counts, default="1e5,1e6,1e7",
                        help="elements per array, comma-separated, as integers or floats "
                             "(1e5,1e6 or 100000); default 1e5,1e6,1e7")
    parser.add_argument("--pow-values", type=counts,
                        help="values per exponent in the bit-for-bit check of x ** c against "
                             "pow; default the largest size, 0 skips it")
    parser.add_argument("--repeat", type=int, default=7, help="rounds of turns")
    parser.add_argument("--only", default="",
                        help="comma-separated formula names, of: " + ", ".join(FORMULAS))
    parser.add_argument("--clock", choices=("wall", "cpu"), default="wall",
                        help="cpu: the CPU time of every thread of the process (the floor's "
                             "too), which other work on a busy machine does not inflate")
    parser.add_argument("--chart", metavar="PATH",
                        help="also write the times as a bar chart (SVG) to PATH")
    options = parser.parse_args()
    names = [s for s in options.only.split(",") if s] or list(FORMULAS)
    unknown = [s for s in names if s not in FORMULAS]
    if unknown:
        parser.error(f"unknown formula {', '.join(unknown)}; the formulas are "
                     f"{', '.join(FORMULAS)}")
    clock = time.process_time if options.clock == "cpu" else time.perf_counter
    threads = pool_threads()
    rng = np.random.default_rng(20240613)
    pow_values = max(options.pow_values or options.sizes)
    if pow_values > 0:
        check_pow(pow_values, rng)
        print()

    if ne is not None:
        ne.set_num_threads(threads)
    if numba is not None:
        numba.set_num_threads(threads)
    nb = numba_kernels()
    print(f"formulas as written, {threads} threads for ours, numexpr and numba; "
          f"ratios are ours / peer, best of {options.repeat} rounds, {options.clock} clock")
    print(f"{'formula':<14}{'n':>6}{'ours ms':>10}{'/NumPy':>8}{'/numexpr':>10}{'/numba':>8}"
          f"{'/floor':>8}")
    times = {}
    for size in options.sizes:
        for name in names:
            row, times[size, name] = formula_row(name, size, rng, nb, threads, options, clock)
            print(row, flush=True)
    if options.chart:
        load = os.getloadavg()
        relative_bars(
            options.chart, "Formulas as written: time as a multiple of NumPy's (lower is faster)",
            f"{threads} threads for ours, numexpr and numba, NumPy on one; best of "
            f"{options.repeat} rounds, {options.clock} clock; load average {load[0]:.1f} "
            f"on {os.cpu_count()} CPUs (a shared machine: figures are noisy)",
            [(f"n = {size:.0e}", {name: times[size, name] for name in names})
             for size in options.sizes],
            names, [p for p in ("ours", "numexpr", "numba") if p == "ours" or p in
                    next(iter(times.values()))], "NumPy")
        print(f"chart written to {options.chart}")


def formula_row(name, size, rng, nb, threads, options, clock):
    """One row of the table and the times it shows: the formula timed and checked at one
    size. Its arrays die with the call, before the next row allocates its own."""
    v = inputs(name, size, rng)
    fn = FORMULAS[name]
    spec = kernel.elementwise(fn(KernelMath, *kernel.args(*v)))
    mapped = kernel.map(spec, **{k: rt.asarray(a) for k, a in v.items()})
    ref = fn(NumpyMath, **v)
    runs = {"ours": lambda: rt.go(mapped).result(), "NumPy": lambda: fn(NumpyMath, **v)}
    results = {"ours": rt.go(mapped).result().numpy()}
    if ne is not None:
        text = NE_TEXT[name]
        runs["numexpr"] = lambda: ne.evaluate(text, local_dict=v)
    if name in nb:
        args = list(v.values())
        runs["numba"] = lambda: nb[name](*args)
    for peer in ("numexpr", "numba"):
        if peer in runs:
            results[peer] = runs[peer]()
    for who, values in results.items():
        if not agree(values, ref):
            raise SystemExit(f"{name}: {who} disagrees with NumPy")
    t = interleaved(runs, options.repeat, clock)
    row = f"{name:<14}{size:>6.0e}{t['ours'] * 1e3:>10.3f}{t['ours'] / t['NumPy']:>8.2f}"
    for peer, width in (("numexpr", 10), ("numba", 8)):
        row += f"{t['ours'] / t[peer]:>{width}.2f}" if peer in t else f"{'-':>{width}}"
    calls = libm_calls(name, v)
    if calls:
        floor = libm_calls_floor(calls, threads, cpu=options.clock == "cpu")
        row += f"{t['ours'] / floor:>8.2f}"
    else:
        row += f"{'-':>8}"
    return row, t


def interleaved(runs, rounds, clock=time.perf_counter, min_time=0.02):
    """Best per-call time of each run, timed in turns round after round, so that a machine
    shared with other work slows every contender alike."""
    calls = {}
    for who, fn in runs.items():
        fn()
        n, t0 = 1, clock()
        fn()
        while clock() - t0 < min_time and n < 1 << 16:
            n *= 2
            t0 = clock()
            for _ in range(n):
                fn()
        calls[who] = n
    best = {who: math.inf for who in runs}
    for _ in range(rounds):
        for who, fn in runs.items():
            t0 = clock()
            for _ in range(calls[who]):
                fn()
            best[who] = min(best[who], (clock() - t0) / calls[who])
    return best

if __name__ == "__main__":
    main()
