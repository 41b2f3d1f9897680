"""Fused reductions, sum(a*b) and sum(x**2, axis=1), side by side with NumPy and numexpr:
time (same threads, interleaved, best of each round, several rounds) and peak memory.

Run: python3 bench/bench_fused_reduce.py [--n 1e7] [--threads 2] [--rounds 3] [--dtype float32]
Ratios are ours / peer (below 1.0 means we are faster). "ours" is `qv.evaluate` on the text,
"ours, as numexpr" the drop-in `quorvaline.numexpr.evaluate` on numexpr's text; "ours,
materialised" is the same result computed the long way (the formula into an array, then
qv.sum), to show the fusion.
Peak memory is the rise of the process's peak resident size during one call, in a fresh
process per case, as a multiple of one input array.
"""
import argparse
import json
import os
import subprocess
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from common import rounds_against_first  # noqa: E402

import quorvaline as qv  # noqa: E402
import quorvaline.numexpr as qne  # noqa: E402

try:
    import numexpr as ne
except ImportError:  # the peer is optional
    ne = None

# name -> (our text, NumPy, numexpr text); operands a, b of n elements, x of shape (n/100, 100).
CASES = {
    "sum(a*b)": ("sum(a*b)", lambda o: np.sum(o["a"] * o["b"]), "sum(a*b)"),
    "sum(x**2, axis=1)": ("sum(x**2, axis=1)", lambda o: np.sum(o["x"] ** 2, axis=1),
                          "sum(x**2, axis=1)"),
}


def operands(n, dtype="float64"):
    """Floats in [0, 1), or small integers (whose sums are exact in every order)."""
    rng = np.random.default_rng(7)
    a, b = rng.random((2, n))
    ops = {"a": a, "b": b, "x": rng.random((n // 100, 100))}
    if np.dtype(dtype).kind in "iu":
        return {k: (v * 100).astype(dtype) for k, v in ops.items()}
    return {k: v.astype(dtype) for k, v in ops.items()}


def contenders(case, ops):
    text, numpy_fn, ne_text = CASES[case]
    ops = {name: ops[name] for name in ("x",)} if "x" in text else {"a": ops["a"], "b": ops["b"]}
    inner = text[4:-1].split(",")[0]
    axis = 1 if "axis" in text else None
    fns = {
        "ours": lambda: qv.evaluate(text, ops),
        "ours, as numexpr": lambda: qne.evaluate(ne_text, local_dict=ops),
        "ours, materialised": lambda: qv.sum(qv.evaluate(inner, ops), axis=axis),
        "numpy": lambda: numpy_fn(ops),
    }
    if ne is not None:
        fns["numexpr"] = lambda: ne.evaluate(ne_text, local_dict=ops)
    return fns


PROBE = """
import json, sys
sys.path.insert(0, {bench!r})
import bench_fused_reduce as b
b.contenders({case!r}, b.operands(10_000, {dtype!r}))[{who!r}]()  # warm, not at size
fn = b.contenders({case!r}, b.operands({n}, {dtype!r}))[{who!r}]
def status(field):
    for line in open("/proc/self/status"):
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS")
fn()
print(json.dumps((status("VmHWM") - before) / (b.np.dtype({dtype!r}).itemsize * {n})))
"""


def peak_rise(case, who, n, threads, dtype):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads), NUMEXPR_MAX_THREADS=str(threads),
               NUMEXPR_NUM_THREADS=str(threads))
    code = PROBE.format(bench=os.path.dirname(os.path.abspath(__file__)), n=n, case=case, who=who,
                        dtype=dtype)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=300, check=True, env=env)
    return json.loads(done.stdout)


def run(n, threads, rounds, dtype):
    qv.set_num_threads(threads)
    if ne is not None:
        ne.set_num_threads(threads)
    ops = operands(n, dtype)
    print(f"n = {n}, dtype = {dtype}, threads = {threads}, load: {os.getloadavg()[0]:.1f}")
    print(f"{'case':<20}{'who':<20}{'ms (best of rounds)':>21}{'ours / who':>22}{'peak rise':>12}")
    for case in CASES:
        fns = contenders(case, ops)
        got = {name: np.asarray(fn()) for name, fn in fns.items()}
        rtol = 1e-3 if dtype == "float32" else 1e-9  # NumPy sums float32 pairwise
        assert got["ours"].dtype == got["numpy"].dtype, case
        # numexpr sums int32 into int32, wrapping; NumPy and we into int64
        assert all(np.allclose(got["ours"], v, rtol=rtol) for v in got.values()
                   if v.dtype == got["ours"].dtype), case
        for name, (best, low, high) in rounds_against_first(fns, rounds).items():
            rise = peak_rise(case, name, n, threads, dtype)
            print(f"{case:<20}{name:<20}{best * 1e3:>21.2f}"
                  f"{low:>12.2f}-{high:<9.2f}{rise:>11.2f}x")


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--n", default="1e7", help="elements per operand (default 1e7)")
    p.add_argument("--threads", type=int, default=len(os.sched_getaffinity(0)))
    p.add_argument("--rounds", type=int, default=3, help="timing rounds (default 3)")
    p.add_argument("--dtype", default="float64", help="of the operands (default float64)")
    args = p.parse_args()
    run(int(float(args.n)), args.threads, args.rounds, args.dtype)


if __name__ == "__main__":
    main()
