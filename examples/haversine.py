"""Great-circle (haversine) distances for ten million coordinate pairs, computed by
quorvaline, by NumPy and, when it is installed, by numexpr, timed side by side, with the
agreement between the results. Each row says its thread count: one thread against NumPy
(which has one), the pool's threads against numexpr on as many; every row ends with a NumPy
array.

Run: python3 examples/haversine.py [--n PAIRS] [--repeat R]
"""
from __future__ import annotations

import argparse
import contextlib
import math
import os
import sys
import time
from typing import Any, Callable, Dict, Iterator, List, Tuple

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
         + m.cos(lat1 * RADIANS_PER_DEGREE) * m.cos(lat2 * RADIANS_PER_DEGREE)
         * m.sin(dlon / 2) ** 2)
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


Row = Tuple[str, int, Callable[[], npt.NDArray[np.float64]]]


def main() -> int:
    parser = argparse.ArgumentParser(description="haversine distances, ours and our peers'")
    parser.add_argument("--n", type=int, default=10_000_000, help="coordinate pairs")
    parser.add_argument("--repeat", type=int, default=3, help="timed runs; the best counts")
    options = parser.parse_args()

    data = coordinates(options.n)
    expr = haversine(kernel, *kernel.args("lat1", "lon1", "lat2", "lon2"))
    spec = kernel.elementwise(expr)
    buffers = {name: rt.asarray(values) for name, values in data.items()}
    threads = pool_threads()

    # Every row takes NumPy arrays (or Buffers made once, as labelled) and ends with a NumPy
    # array, on the thread count in its row: one thread against NumPy, which has one, and
    # the pool's threads against numexpr on as many.
    rows: List[Row] = [("NumPy (a temporary per operator)", 1,
                        lambda: haversine(NumpyMath, **data))]
    for count in sorted({1, threads}):
        if numexpr is not None:
            rows.append(("numexpr, the same formula as text", count,
                         lambda: numexpr.evaluate(NUMEXPR_TEXT, local_dict=data)))
        rows.append(("qv.evaluate (arrays read in place)", count,
                     lambda: qv.evaluate(expr, data)))
    rows.append(("rt.go on Buffers, result to NumPy", threads,
                 lambda: rt.go(kernel.map(spec, **buffers)).result().numpy()))

    print(f"haversine distances, {options.n:,} coordinate pairs, best of {options.repeat}; "
          f"pool: {pool_description()}")
    print()
    print(f"  {'method':<36}{'threads':>8}{'time ms':>10}{'vs NumPy':>10}"
          f"{'max relative difference':>26}")
    reference = rows[0][2]()
    numpy_time = math.nan
    worst, mean_km = 0.0, 0.0
    for name, count, fn in rows:
        with thread_count(count):
            values = fn()
            seconds = best_time(fn, options.repeat)
        if name.startswith("NumPy"):
            numpy_time = seconds
        if name.startswith("qv.evaluate") and options.n:
            mean_km = float(np.mean(values))
        difference = np.abs(values - reference) / np.maximum(np.abs(reference), 1e-300)
        relative = float(difference.max(initial=0.0))
        worst = max(worst, relative)
        print(f"  {name:<36}{count:>8}{seconds * 1e3:>10.1f}{numpy_time / seconds:>9.2f}x"
              f"{relative:>26.3g}")
    print()
    print(f"  agreement: max relative difference {worst:.3g} against NumPy")
    print(f"  mean distance {mean_km:.3f} km")

    # The same formula in the same order; only the math libraries (and numexpr's x*x for
    # x**2) may differ, by a few units in the last place.
    if not worst <= 1e-9:
        print("results disagree", file=sys.stderr)
        return 1
    return 0


@contextlib.contextmanager
def thread_count(count: int) -> Iterator[None]:
    """Ours and numexpr on `count` threads for the block (NumPy has one anyway)."""
    previous = qv.set_num_threads(count)
    previous_ne = numexpr.set_num_threads(count) if numexpr is not None else 0
    try:
        yield
    finally:
        qv.set_num_threads(previous)
        if numexpr is not None:
            numexpr.set_num_threads(previous_ne)


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
