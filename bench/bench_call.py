"""Call overhead of a compiled Kernel at small sizes, side by side with the engine's own call
and with numexpr on the same formula.

Run: python3 bench/bench_call.py [--rounds 5]
A Python-int scalar operand is timed against a Python-float one (int / float ratios).
The floor is what a Kernel call must do anyway: rt.go(kernel.map(spec, ...)).result() plus
the NumPy conversions (rt.asarray of each operand, Buffer.numpy() of the result). Ratios are
ours / theirs, one per round, reported as ranges; below 1.0 we are faster.
"""
import argparse
import os
import pickle
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from common import best_of, pool_threads  # noqa: E402

import quorvaline as qv  # noqa: E402
from quorvaline import kernel, rt  # noqa: E402

try:
    import numexpr as ne
except ImportError:  # numexpr is optional (pip install ".[bench]")
    ne = None

FORMULA = "2*a + 3*b"
SCALED = ("a*k + b", "a*(k + 1) + b")


def measure(n, threads):
    """Per-call seconds of each way to compute FORMULA at n elements, in one process."""
    a = np.linspace(0.0, 1.0, n)
    b = np.linspace(1.0, 2.0, n)
    k = qv.compile(FORMULA)
    expr = qv.parse(FORMULA)
    spec = k.spec
    times = {
        "floor": best_of(lambda: rt.go(kernel.map(spec, a=rt.asarray(a), b=rt.asarray(b)))
                         .result().numpy()),
        "Kernel call": best_of(lambda: k(a=a, b=b)),
        "evaluate(text)": best_of(lambda: qv.evaluate(FORMULA, a=a, b=b)),
        "evaluate(Expr)": best_of(lambda: qv.evaluate(expr, a=a, b=b)),
        "parse": best_of(lambda: qv.parse(FORMULA)),
        "compile": best_of(lambda: qv.compile(FORMULA)),
        "pickle round trip": best_of(lambda: pickle.loads(pickle.dumps(k))),
    }
    # A Python-int scalar against a float one: with a part over it alone, which Python folds at
    # each call (a*(k + 1)), and without (a*k).
    for text in SCALED:
        scaled = qv.compile(text)
        for k in (3, 3.0):
            times[f"Kernel {text}, k={k!r}"] = best_of(
                lambda s=scaled, k=k: s(a=a, b=b, k=k))
            times[f"evaluate {text}, k={k!r}"] = best_of(
                lambda t=text, k=k: qv.evaluate(t, a=a, b=b, k=k))
    if ne is not None:
        ne.set_num_threads(threads)
        local = {"a": a, "b": b}
        times["numexpr.evaluate"] = best_of(lambda: ne.evaluate(FORMULA, local_dict=local))
        ne.evaluate(FORMULA, local_dict=local)
        times["numexpr.re_evaluate"] = best_of(lambda: ne.re_evaluate(local_dict=local))
    return times


def run(n=10, rounds=5, threads=None):
    """Rounds of measure(); returns {name: [seconds per round]}."""
    threads = threads or pool_threads()
    per_round = [measure(n, threads) for _ in range(rounds)]
    return {name: [r[name] for r in per_round] for name in per_round[0]}


def ratio_range(ours, theirs):
    ratios = sorted(o / t for o, t in zip(ours, theirs))
    return ratios[0], ratios[len(ratios) // 2], ratios[-1]


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--sizes", default="10,1000")
    args = p.parse_args()
    threads = pool_threads()
    print(f"threads {threads}, load {os.getloadavg()[0]:.1f}, formula {FORMULA!r}")
    for n in [int(float(s)) for s in args.sizes.split(",")]:
        times = run(n, args.rounds, threads)
        print(f"\nn = {n}: best per call over {args.rounds} rounds")
        for name, ts in times.items():
            print(f"  {name:<34}{min(ts) * 1e6:9.2f} us")
        print("  ratios (min / median / max over the rounds):")
        pairs = [("Kernel call", "floor"), ("evaluate(text)", "floor"),
                 ("Kernel call", "numexpr.evaluate"), ("Kernel call", "numexpr.re_evaluate"),
                 ("evaluate(text)", "numexpr.evaluate")]
        pairs += [(f"{way} {text}, k=3", f"{way} {text}, k=3.0")
                  for way in ("Kernel", "evaluate") for text in SCALED]
        for ours, theirs in pairs:
            if theirs in times:
                lo, mid, hi = ratio_range(times[ours], times[theirs])
                print(f"  {ours} / {theirs}: {lo:.2f} / {mid:.2f} / {hi:.2f}")


if __name__ == "__main__":
    main()
