"""Great-circle (haversine) distances for ten million coordinate pairs, computed by
quorvaline and by NumPy, timed side by side, with the agreement between the two results.

Run: python3 examples/haversine.py [--n PAIRS] [--repeat R]
"""
from __future__ import annotations

import argparse
import math
import os
import sys
import time
from typing import Any, Callable, Dict

import numpy as np
import numpy.typing as npt

import quorvaline as qv
from quorvaline import kernel, rt

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

    The same operations in the same order for both, so any difference between the two
    results comes from the math library, not from the formula. (NumPy computes each sine
    once and multiplies the array by itself; the kernel computes `sin_dphi * sin_dphi`
    as written, the sine twice per element.)
    """
    phi1 = lat1 * RADIANS_PER_DEGREE
    phi2 = lat2 * RADIANS_PER_DEGREE
    sin_dphi = m.sin((lat2 - lat1) * (RADIANS_PER_DEGREE / 2))
    sin_dlambda = m.sin((lon2 - lon1) * (RADIANS_PER_DEGREE / 2))
    a = sin_dphi * sin_dphi + m.cos(phi1) * m.cos(phi2) * sin_dlambda * sin_dlambda
    return (2 * EARTH_RADIUS_KM) * m.atan2(m.sqrt(a), m.sqrt(1 - a))


def haversine_staged(buffers: Dict[str, Any]) -> Any:
    """The same formula as kernels over Buffers that stay in the engine between stages.

    A kernel computes every subexpression as often as it appears, so the sines and `a`,
    each used twice, are computed once into a Buffer of their own and read from there:
    the engine then makes the same math-library calls per element as NumPy does, spread
    over the worker pool.
    """
    def run(expr: Any, **bound: Any) -> Any:
        return rt.go(kernel.map(kernel.elementwise(expr), **bound)).result()

    lat1, lon1, lat2, lon2 = kernel.args("lat1", "lon1", "lat2", "lon2")
    sin_dphi = run(kernel.sin((lat2 - lat1) * (RADIANS_PER_DEGREE / 2)),
                   lat1=buffers["lat1"], lat2=buffers["lat2"])
    sin_dlambda = run(kernel.sin((lon2 - lon1) * (RADIANS_PER_DEGREE / 2)),
                      lon1=buffers["lon1"], lon2=buffers["lon2"])
    lat1, lat2, s, t = kernel.args("lat1", "lat2", "s", "t")
    a = run(s * s + kernel.cos(lat1 * RADIANS_PER_DEGREE) * kernel.cos(lat2 * RADIANS_PER_DEGREE)
            * t * t, lat1=buffers["lat1"], lat2=buffers["lat2"], s=sin_dphi, t=sin_dlambda)
    x = kernel.arg("a")
    return run((2 * EARTH_RADIUS_KM) * kernel.atan2(kernel.sqrt(x), kernel.sqrt(1 - x)), a=a)


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
    parser = argparse.ArgumentParser(description="haversine distances, ours and NumPy's")
    parser.add_argument("--n", type=int, default=10_000_000, help="coordinate pairs")
    parser.add_argument("--repeat", type=int, default=3, help="timed runs; the best counts")
    options = parser.parse_args()

    data = coordinates(options.n)
    expr = haversine(kernel, *kernel.args("lat1", "lon1", "lat2", "lon2"))
    spec = kernel.elementwise(expr)
    buffers = {name: rt.asarray(values) for name, values in data.items()}

    reference = haversine(NumpyMath, **data)
    ours = qv.evaluate(expr, data)

    rows = [
        ("NumPy", best_time(lambda: haversine(NumpyMath, **data), options.repeat)),
        ("qv.evaluate (copies in and out)",
         best_time(lambda: qv.evaluate(expr, data), options.repeat)),
        ("rt.go, one kernel on Buffers",
         best_time(lambda: rt.go(kernel.map(spec, **buffers)).result(), options.repeat)),
        ("rt.go, staged kernels on Buffers",
         best_time(lambda: haversine_staged(buffers), options.repeat)),
    ]

    staged = haversine_staged(buffers).numpy()
    if not np.array_equal(staged, ours):
        print("staged and single-kernel results differ", file=sys.stderr)
        return 1
    difference = np.abs(ours - reference)
    max_abs = float(difference.max(initial=0.0))
    max_rel = float((difference / np.maximum(np.abs(reference), 1e-300)).max(initial=0.0))

    cpus = len(os.sched_getaffinity(0))
    threads = os.environ.get("RAYON_NUM_THREADS") or os.environ.get("RAYON_RS_NUM_CPUS")
    pool = f"RAYON_NUM_THREADS={threads}" if threads else f"{cpus} CPUs available"
    print(f"haversine distances, {options.n:,} coordinate pairs, {pool}, "
          f"best of {options.repeat}")
    print()
    print(f"  {'method':<36}{'time ms':>10}{'speed-up':>11}")
    numpy_time = rows[0][1]
    for name, seconds in rows:
        print(f"  {name:<36}{seconds * 1e3:>10.1f}{numpy_time / seconds:>10.2f}x")
    print()
    print(f"  agreement: max |difference| {max_abs:.3g} km, max relative {max_rel:.3g}")
    print(f"  mean distance {float(np.mean(ours)) if options.n else 0.0:.3f} km")

    # Both use IEEE arithmetic in the same order; only the math libraries may differ,
    # by a few units in the last place.
    if not max_rel <= 1e-9:
        print("results disagree", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
