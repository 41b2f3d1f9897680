"""The kernel cache under a formula that changes on every call, side by side with numexpr.

A loop over a parameter written into the formula (``lambda x: x * s + 1.0`` with a new `s`
each call, the same as text, or compiled with `qv.compile`) makes a new kernel every call.
Part one: resident memory over that many calls, each form in a fresh interpreter, numexpr's
`evaluate` of the same texts beside it. Part two: the cost of a cache hit, per call at a
small size: `qv.evaluate` of a prebuilt Expr (which looks its kernel up each call) against
a compiled Kernel's call (which keeps its kernel and skips the lookup), and numexpr's
`evaluate` (its own cache hit); rounds in turns, reported as ranges.

Run: python3 bench/bench_kernel_cache.py [--calls 100000] [--rounds 5] [--skip-memory]
"""
import argparse
import os
import subprocess
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from common import best_of, pool_threads  # noqa: E402

import quorvaline as qv  # noqa: E402

try:
    import numexpr as ne
except ImportError:  # the benchmark still runs, without that row
    ne = None

FORMS = ("lambda", "text", "compile") + (("numexpr",) if ne is not None else ())


def resident_mib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def new_formula_calls(form, calls):
    """Runs `calls` calls of `form`, each with a new constant; prints resident MiB before and
    after (a warm-up of 1000 calls comes first)."""
    x = np.ones(8)
    call = {
        "lambda": lambda s: qv.evaluate(lambda x: x * s + 1.0, x=x),
        "text": lambda s: qv.evaluate(f"x * {s!r} + 1.0", x=x),
        "compile": lambda s: qv.compile(f"x * {s!r} + 1.0")(x=x),
        "numexpr": lambda s: ne.evaluate(f"x * {s!r} + 1.0", local_dict={"x": x}),
    }[form]
    for i in range(1000):
        call(0.5 + i)
    before = resident_mib()
    for i in range(calls):
        call(1000.5 + i)
    print(f"{before:.1f} {resident_mib():.1f}")


def memory_table(calls):
    print(f"resident memory over {calls} calls, a new constant each call (MiB)")
    print(f"  {'form':<10}{'before':>9}{'after':>9}{'growth':>9}")
    for form in FORMS:
        done = subprocess.run([sys.executable, __file__, "--child", form, "--calls", str(calls)],
                              capture_output=True, text=True, check=True)
        before, after = map(float, done.stdout.split())
        print(f"  {form:<10}{before:9.1f}{after:9.1f}{after - before:9.1f}")


def hit_path(rounds):
    x = np.ones(10)
    expr = qv.parse("x * 1.5 + 1.0")
    k = qv.compile(expr)
    contenders = {"evaluate(Expr)": lambda: qv.evaluate(expr, x=x), "Kernel call": lambda: k(x=x)}
    if ne is not None:
        ne.set_num_threads(pool_threads())
        contenders["numexpr"] = lambda: ne.evaluate("x * 1.5 + 1.0", local_dict={"x": x})
    times = {name: [] for name in contenders}
    for _ in range(rounds):
        for name, fn in contenders.items():
            times[name].append(best_of(fn))
    print(f"\ncache hit at 10 elements: us per call, best of each round "
          f"(min / median / max over {rounds} rounds)")
    for name, ts in times.items():
        ts = sorted(ts)
        print(f"  {name:<16}{ts[0] * 1e6:8.2f}{ts[len(ts) // 2] * 1e6:8.2f}{ts[-1] * 1e6:8.2f}")
    lookup = sorted(e - c for e, c in zip(times["evaluate(Expr)"], times["Kernel call"]))
    print(f"  lookup and spec (evaluate(Expr) - Kernel call): {lookup[0] * 1e6:.2f} to "
          f"{lookup[-1] * 1e6:.2f} us")


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--calls", type=int, default=100_000, help="calls per form (default 100000)")
    p.add_argument("--rounds", type=int, default=5, help="rounds of the hit-path timing")
    p.add_argument("--skip-memory", action="store_true", help="only the hit-path timing")
    p.add_argument("--child", choices=FORMS, help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.child:
        new_formula_calls(args.child, args.calls)
        return
    print(f"threads {pool_threads()}, load {os.getloadavg()[0]:.1f}")
    if not args.skip_memory:
        memory_table(args.calls)
    hit_path(args.rounds)


if __name__ == "__main__":
    main()
