"""Haversine distances for a hundred million coordinate pairs on a Dask cluster of worker
processes: the coordinates are made chunk by chunk on the workers (never all in memory at
once), each chunk's distances computed by one quorvaline kernel, then the mean distance,
chained in order over the chunks; the same run through Dask and NumPy for comparison.

Run: python3 examples/dask_haversine.py [--n PAIRS] [--chunk PAIRS] [--workers W]
"""
from __future__ import annotations

import argparse
import logging
import sys
import time
from typing import Any, Dict, Tuple

import dask.array as da
import distributed
from distributed.diagnostics.progressbar import progress
from haversine import haversine

import quorvaline.dask as qvd
from quorvaline import kernel

SEED = 20240607


class DaskMath:
    """Dask's functions (NumPy's, chunk by chunk) under the names `kernel` uses."""

    sin = staticmethod(da.sin)
    cos = staticmethod(da.cos)
    sqrt = staticmethod(da.sqrt)
    atan2 = staticmethod(da.arctan2)


def coordinates(n: int, chunk: int) -> Dict[str, da.Array]:
    rng = da.random.default_rng(SEED)
    lat = (-90.0, 90.0)
    lon = (-180.0, 180.0)
    return {name: rng.uniform(*bounds, size=n, chunks=chunk)
            for name, bounds in (("lat1", lat), ("lon1", lon), ("lat2", lat), ("lon2", lon))}


def distances_ours(lat1: Any, lon1: Any, lat2: Any, lon2: Any) -> Any:
    return haversine(kernel, lat1, lon1, lat2, lon2)


def timed_mean(client: distributed.Client, mean: da.Array, label: str) -> Tuple[float, float]:
    print(f"{label}:")
    t0 = time.perf_counter()
    future = client.compute(mean)
    progress(future)
    value = float(future.result())
    seconds = time.perf_counter() - t0
    print()
    return value, seconds


def main() -> int:
    parser = argparse.ArgumentParser(description="haversine distances on a Dask cluster")
    parser.add_argument("--n", type=int, default=100_000_000, help="coordinate pairs")
    parser.add_argument("--chunk", type=int, default=5_000_000, help="pairs per chunk")
    parser.add_argument("--workers", type=int, default=2, help="worker processes")
    options = parser.parse_args()

    with distributed.LocalCluster(n_workers=options.workers, threads_per_worker=1,
                                  processes=True, host="127.0.0.1",
                                  dashboard_address="127.0.0.1:0",
                                  silence_logs=logging.ERROR) as cluster, \
            distributed.Client(cluster) as client:
        coords = coordinates(options.n, options.chunk)
        ours, t_ours = timed_mean(client, qvd.mean(qvd.evaluate(distances_ours, coords)),
                                  "Dask + quorvaline")
        theirs, t_theirs = timed_mean(client, da.mean(haversine(DaskMath, **coords)),
                                      "Dask + NumPy")

    chunks = -(-options.n // options.chunk)
    print(f"haversine distances, {options.n:,} coordinate pairs in {chunks} chunks, "
          f"{options.workers} worker processes of one thread")
    print()
    print(f"  {'method':<22}{'time s':>9}{'speed-up':>11}{'mean distance km':>22}")
    for name, value, seconds in (("Dask + NumPy", theirs, t_theirs),
                                 ("Dask + quorvaline", ours, t_ours)):
        print(f"  {name:<22}{seconds:>9.2f}{t_theirs / seconds:>10.2f}x{value:>22.6f}")
    relative = abs(ours - theirs) / abs(theirs)
    print()
    print(f"  agreement of the means: relative difference {relative:.3g}")
    # The same formula in the same order; the math libraries and NumPy's pairwise mean
    # differ from our in-order mean by rounding alone.
    if not relative <= 1e-9:
        print("results disagree", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
