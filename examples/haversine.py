"""Great-circle (haversine) distances for ten million coordinate pairs, computed by
quorvaline, by NumPy and, when it is installed, by numexpr, timed side by side, with the
agreement between the results.

Run: python3 examples/haversine.py [--n PAIRS] [--repeat R]
"""
from __future__ import annotations

import argparse
import math
import os
import sys
import time
from typing import Any, Callable, Dict, List, Tuple

import numpy as np
import numpy.typing as npt

import quorvaline as qv
from quorvaline import kernel, rt

try:
    import numexpr  # type: ignore[import-untyped, import-not-found, unused-ignore]
except ImportError:  # the comparison is left out
    numexpr = None

EARTH_RADIUS_KM = 6371.0088
RADIANS_PER_DEGREE = math.pi / 180.0


class NumpyMath:
    """NumPy's functions under the names `kernel` uses, so one formula serves both."""

    sin = staticmethod(np.sin)
    cos = staticmethod(np.cos)
    sqrt = staticmethod(np.sqrt)
    atan2 = staticmethod(np.arctan2)


def haversine(m: Any, lat1: Any, lon1: Any, lat2: Any, lon2: Any) -> Any:
    """Distance in km between points given in degrees; `m` is `kernel` or `NumpyMath`.

    Written as it is usually written: squares with `**2`, and the term `a` used twice. The
    kernel computes `a` once and each square for the price of a product, with `pow`'s bits.
    """
    dlat = (lat2 - lat1) * RADIANS_PER_DEGREE
    dlon = (lon2 - lon1) * RADIANS_PER_DEGREE
    a = (m.sin(dlat / 2) ** 2
         + m.cos(lat1 * RADIANS_PER_DEGREE) * m.cos(lat2 * RADIANS_PER_DEGREE) * m.sin(dlon / 2) ** 2)
    return 2 * EARTH_RADIUS_KM * m.atan2(m.sqrt(a), m.sqrt(1 - a))


_A = (f"(sin((lat2 - lat1) * {RADIANS_PER_DEGREE} / 2)**2 + cos(lat1 * {RADIANS_PER_DEGREE}) * "
      f"cos(lat2 * {RADIANS_PER_DEGREE}) * sin((lon2 - lon1) * {RADIANS_PER_DEGREE} / 2)**2)")
NUMEXPR_TEXT = f"2 * {EARTH_RADIUS_KM} * arctan2(sqrt({_A}), sqrt(1 - {_A}))"


def coordinates(n: int, seed: int = 20240607) -> Dict[str, npt.NDArray[np.float64]]:
    rng = np.random.default_rng(seed)
    return {
        "lat1": rng.uniform(-90.0, 90.0, n),
        "lon1": rng.uniform(-180.0, 180.0, n),
        "lat2": rng.uniform(-90.0, 90.0, n),
        "lon2": rng.uniform(-180.0, 180.0, n),
    }


def best_time(fn: Callable[[], Any], repeat: int) -> float:
    best = math.inf
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def main() -> int:
    parser = argparse.ArgumentParser(description="haversine distances, ours and our peers'")
    parser.add_argument("--n", type=int, default=10_000_000, help="coordinate pairs")
    parser.add_argument("--repeat", type=int, default=3, help="timed runs; the best counts")
    options = parser.parse_args()

    data = coordinates(options.n)
    expr = haversine(kernel, *kernel.args("lat1", "lon1", "lat2", "lon2"))
    spec = kernel.elementwise(expr)
    buffers = {name: rt.asarray(values) for name, values in data.items()}

    reference = haversine(NumpyMath, **data)
    results: List[Tuple[str, Callable[[], Any], npt.NDArray[np.float64]]] = [
        ("NumPy", lambda: haversine(NumpyMath, **data), reference),
        ("qv.evaluate (arrays read in place)", lambda: qv.evaluate(expr, data),
         qv.evaluate(expr, data)),
        ("rt.go, one kernel on Buffers", lambda: rt.go(kernel.map(spec, **buffers)).result(),
         rt.go(kernel.map(spec, **buffers)).result().numpy()),
    ]
    if numexpr is not None:
        numexpr.set_num_threads(pool_threads())
        results.append(("numexpr, same formula as text",
                        lambda: numexpr.evaluate(NUMEXPR_TEXT, local_dict=data),
                        numexpr.evaluate(NUMEXPR_TEXT, local_dict=data)))

    pool = pool_description()
    print(f"haversine distances, {options.n:,} coordinate pairs, {pool}, best of {options.repeat}")
    print()
    print(f"  {'method':<36}{'time ms':>10}{'speed-up':>11}{'max relative difference':>26}")
    numpy_time = best_time(results[0][1], options.repeat)
    worst = 0.0
    for name, fn, values in results:
        seconds = numpy_time if name == "NumPy" else best_time(fn, options.repeat)
        difference = np.abs(values - reference) / np.maximum(np.abs(reference), 1e-300)
        relative = float(difference.max(initial=0.0))
        worst = max(worst, relative)
        print(f"  {name:<36}{seconds * 1e3:>10.1f}{numpy_time / seconds:>10.2f}x{relative:>26.3g}")
    print()
    print(f"  agreement: max relative difference {worst:.3g} against NumPy")
    print(f"  mean distance {float(np.mean(results[1][2])) if options.n else 0.0:.3f} km")

    # The same formula in the same order; only the math libraries (and numexpr's x*x for
    # x**2) may differ, by a few units in the last place.
    if not worst <= 1e-9:
        print("results disagree", file=sys.stderr)
        return 1
    return 0


def pool_threads() -> int:
    for var in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        value = os.environ.get(var, "")
        if value.isdigit() and int(value) > 0:
            return int(value)
    return len(os.sched_getaffinity(0))


def pool_description() -> str:
    threads = os.environ.get("RAYON_NUM_THREADS") or os.environ.get("RAYON_RS_NUM_CPUS")
    return f"RAYON_NUM_THREADS={threads}" if threads else f"{pool_threads()} CPUs available"


if __name__ == "__main__":
    sys.exit(main())
