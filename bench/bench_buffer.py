"""Times the two copies between NumPy and the engine against numpy.copy, in one process.

rt.asarray + Buffer.numpy() makes two copies, so it is compared against two numpy.copy
calls; each single copy is also compared against one numpy.copy. Target: within 1.2x.
Run: python3 bench/bench_buffer.py [n] [repeats]
"""
import sys

import numpy as np
from common import best_times

import _quorvaline


def main():
    n = int(float(sys.argv[1])) if len(sys.argv) > 1 else 10_000_000
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 15
    rt = _quorvaline._RuntimeModule()
    a = np.random.default_rng(0).standard_normal(n)
    buf = rt.asarray(a)

    t_copy, t_copy2, t_asarray, t_numpy, t_round = best_times(repeats, [
        lambda: np.copy(a),
        lambda: np.copy(np.copy(a)),
        lambda: rt.asarray(a),
        buf.numpy,
        lambda: rt.asarray(a).numpy(),
    ])

    print(f"n = {n:.0e} float64, best of {repeats}")
    print(f"numpy.copy                 {t_copy * 1e3:8.2f} ms")
    print(f"numpy.copy x2              {t_copy2 * 1e3:8.2f} ms")
    print(f"rt.asarray                 {t_asarray * 1e3:8.2f} ms  ratio {t_asarray / t_copy:.2f}")
    print(f"Buffer.numpy()             {t_numpy * 1e3:8.2f} ms  ratio {t_numpy / t_copy:.2f}")
    print(f"asarray + numpy()          {t_round * 1e3:8.2f} ms  ratio {t_round / t_copy2:.2f}"
          " (vs two copies)")


if __name__ == "__main__":
    main()
