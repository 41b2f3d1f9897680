"""The ways of writing one formula, side by side: a NumPy function run by NumPy, the same
function compiled (per call, and once), the text through qv.evaluate, through numexpr and
through the drop-in quorvaline.numexpr.

Run: python3 bench/bench_numexpr_lang.py [--sizes 1000,1000000] [--rounds 3]
Each round times every candidate interleaved (best of --repeats); ratios are the candidate
over numexpr.evaluate in that round, reported as ranges over the rounds (below 1.0 faster).
"""
import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from common import best_times, pool_threads  # noqa: E402

import quorvaline as qv  # noqa: E402
import quorvaline.numexpr as qne  # noqa: E402

try:
    import numexpr as ne
except ImportError:  # numexpr is optional (pip install ".[bench]")
    ne = None

TEXT = "where(x > y, sqrt(x), -y) + sin(x) ** 2"


def soft(x, y):
    return np.where(x > y, np.sqrt(x), -y) + np.sin(x) ** 2


def candidates(x, y):
    compiled = qv.compile(soft)
    scope = {"x": x, "y": y}
    found = {
        "NumPy, the function": lambda: soft(x, y),
        "qv.evaluate(function)": lambda: qv.evaluate(soft, x=x, y=y),
        "qv.compile(function), then k(x, y)": lambda: compiled(x, y),
        "qv.evaluate(text)": lambda: qv.evaluate(TEXT, x=x, y=y),
        "quorvaline.numexpr.evaluate(text)": lambda: qne.evaluate(TEXT, local_dict=scope),
    }
    if ne is not None:
        found["numexpr.evaluate(text)"] = lambda: ne.evaluate(TEXT, local_dict=scope)
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="1000,1000000",
                        help="comma-separated element counts (default 1000,1000000)")
    parser.add_argument("--rounds", type=int, default=3, help="rounds per size (default 3)")
    parser.add_argument("--repeats", type=int, default=15, help="calls per candidate per round")
    options = parser.parse_args()
    threads = pool_threads()
    if ne is not None:
        ne.set_num_threads(threads)
    load = os.getloadavg()[0]
    print(f"threads: {threads} (our pool and numexpr's); NumPy on one; load {load:.1f}")
    for n in (int(s) for s in options.sizes.split(",")):
        x, y = np.random.default_rng(0).random((2, n))
        fns = candidates(x, y)
        rounds = [dict(zip(fns, best_times(options.repeats, list(fns.values()))))
                  for _ in range(options.rounds)]
        print(f"\nn = {n}: {TEXT}")
        print(f"{'candidate':40s} {'best time':>12s} {'/ numexpr':>12s}")
        for name in fns:
            best = min(r[name] for r in rounds)
            if ne is not None:
                ratios = [r[name] / r["numexpr.evaluate(text)"] for r in rounds]
                ratio = f"{min(ratios):.2f}-{max(ratios):.2f}"
            else:
                ratio = "-"
            print(f"{name:40s} {best * 1e6:10.1f}us {ratio:>12s}")


if __name__ == "__main__":
    main()
