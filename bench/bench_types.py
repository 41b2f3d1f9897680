"""Formulas over float32, integer, boolean and complex operands, side by side with NumPy and
numexpr: time (same threads, interleaved, best of each round, several rounds) and peak memory.

Run: python3 bench/bench_types.py [--n 1e6,1e7] [--threads 2] [--rounds 3] [--cases i64,i32]
Ratios are ours / peer (below 1.0 means we are faster). Each row names the result dtype each
contender gives: numexpr's differs from NumPy's for some (see the README). Peak memory is the
rise of the process's peak resident size during one call, in a fresh process per case, as a
multiple of one input array.
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

try:
    import numexpr as ne
except ImportError:  # the peer is optional
    ne = None

# name -> (formula, operand dtypes, NumPy's form of it).
CASES = {
    "f32 a*b+c": ("a*b+c", "float32", lambda o: o["a"] * o["b"] + o["c"]),
    "f32 2.5*a+b": ("2.5*a+b", "float32", lambda o: 2.5 * o["a"] + o["b"]),
    "f32 exp(a)*b": ("exp(a)*b", "float32", lambda o: np.exp(o["a"]) * o["b"]),
    "f64 a*b+c": ("a*b+c", "float64", lambda o: o["a"] * o["b"] + o["c"]),
    "f32 a>b": ("a>b", "float32", lambda o: o["a"] > o["b"]),
    "i32 a*b+c": ("a*b+c", "int32", lambda o: o["a"] * o["b"] + o["c"]),
    "i32 (a%7)==0": ("(a % 7) == 0", "int32", lambda o: (o["a"] % 7) == 0),
    "i64 a*b+c": ("a*b+c", "int64", lambda o: o["a"] * o["b"] + o["c"]),
    "i64 a//3+b": ("a // 3 + b", "int64", lambda o: o["a"] // 3 + o["b"]),
    "i32 a//3+b": ("a // 3 + b", "int32", lambda o: o["a"] // 3 + o["b"]),
    "i64 a%7+b": ("a % 7 + b", "int64", lambda o: o["a"] % 7 + o["b"]),
    # Narrow integers: read and written in place; + - * and the bitwise operators on lanes of
    # their width where only their low bits are read, the rest in int32.
    "i8 a*b+c": ("a*b+c", "int8", lambda o: o["a"] * o["b"] + o["c"]),
    "u8 (a+b)//3": ("(a + b) // 3", "uint8", lambda o: (o["a"] + o["b"]) // 3),
    # uint64: read in place as int64's bits, its unsigned steps rewritten over int64 steps.
    "u64 a//7": ("a // 7", "uint64", lambda o: o["a"] // 7),
    "u64 a<k": ("a < 5000000000000000000", "uint64", lambda o: o["a"] < 5000000000000000000),
    "u64 minimum(a,b)": ("minimum(a, b)", "uint64", lambda o: np.minimum(o["a"], o["b"])),
    "i16 a*b+c": ("a*b+c", "int16", lambda o: o["a"] * o["b"] + o["c"]),
    # float16: read in place, each step in float32, rounded to float16 as it is written (one
    # engine call per step).
    "f16 a*b+c": ("a*b+c", "float16", lambda o: o["a"] * o["b"] + o["c"]),
    # Bools combined: "masked" operands are float64 around 0, a tenth NaN.
    "isnan|a>1": ("isnan(a) | (a > 1)", "masked", lambda o: np.isnan(o["a"]) | (o["a"] > 1)),
    "a>0 & b<1": ("(a > 0) & (b < 1)", "masked", lambda o: (o["a"] > 0) & (o["b"] < 1)),
    "bool a&~b|c": ("a & ~b | c", "bool", lambda o: o["a"] & ~o["b"] | o["c"]),
    "c128 a*b+c": ("a*b+c", "complex128", lambda o: o["a"] * o["b"] + o["c"]),
    "c128 a*(2+3j)+b": ("a*(2+3j)+b", "complex128", lambda o: o["a"] * (2 + 3j) + o["b"]),
    "c128 sqrt(a*b+c)": ("sqrt(a*b+c)", "complex128",
                         lambda o: np.sqrt(o["a"] * o["b"] + o["c"])),
    # k and x float64, the result complex128.
    "exp(1j*k*x)": ("exp(1j*k*x)", "kx", lambda o: np.exp(1j * o["k"] * o["x"])),
}


def operands(dtype, n):
    rng = np.random.default_rng(7)
    if dtype.startswith(("int", "uint")):
        return {k: rng.integers(-1000, 1000, n).astype(dtype) for k in "abc"}
    if dtype == "bool":
        return {k: rng.random(n) < 0.5 for k in "abc"}
    if dtype == "complex128":
        return {k: rng.standard_normal(n) + 1j * rng.standard_normal(n) for k in "abc"}
    if dtype == "kx":
        return {"k": rng.random(n) * 10, "x": rng.standard_normal(n)}
    if dtype == "masked":
        ops = {k: rng.standard_normal(n) for k in "abc"}
        ops["a"][rng.random(n) < 0.1] = np.nan
        return ops
    if dtype.startswith("complex"):
        return {k: (rng.standard_normal(n) + 1j * rng.standard_normal(n)).astype(dtype)
                for k in "abc"}
    return {k: rng.random(n).astype(dtype) for k in "abc"}


def contenders(case, n):
    text, dtype, numpy_fn = CASES[case]
    ops = operands(dtype, n)
    fns = {"ours": lambda: qv.evaluate(text, ops), "numpy": lambda: numpy_fn(ops)}
    if ne is not None:
        fns["numexpr"] = lambda: ne.evaluate(text, local_dict=ops)
    return fns


PROBE = """
import json, sys
sys.path.insert(0, {bench!r})
import bench_types as b
b.contenders({case!r}, 10_000)[{who!r}]()  # warm (compile, pool), not at size
fn = b.contenders({case!r}, {n})[{who!r}]
def status(field):
    for line in open("/proc/self/status"):
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS")
r = fn()
print(json.dumps((status("VmHWM") - before) / (r.dtype.itemsize * {n})))
"""


def peak_rise(case, who, n, threads):
    env = dict(os.environ, NUMEXPR_MAX_THREADS=str(threads), NUMEXPR_NUM_THREADS=str(threads))
    code = PROBE.format(bench=os.path.dirname(os.path.abspath(__file__)), n=n, case=case, who=who)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=300, check=True, env=env)
    return json.loads(done.stdout)


def run(sizes, threads, rounds, memory, chosen=None):
    qv.set_num_threads(threads)
    if ne is not None:
        ne.set_num_threads(threads)
    print(f"threads = {threads}, load: {os.getloadavg()[0]:.1f}")
    print(f"{'case':<16}{'n':>10}  {'who':<10}{'dtype':<9}{'ms (best)':>10}"
          f"{'ours / who':>16}{'peak rise':>11}")
    for n in sizes:
        for case in CASES:
            if chosen and not any(part in case for part in chosen):
                continue
            fns = contenders(case, n)
            try:
                got = {name: np.asarray(fn()) for name, fn in fns.items()}
            except TypeError as refused:  # a function not computed for this type yet
                print(f"{case:<16}{n:>10}  refused: {refused}")
                continue
            for name, (best, low, high) in rounds_against_first(fns, rounds).items():
                rise = f"{peak_rise(case, name, n, threads):.2f}x" if memory else "-"
                print(f"{case:<16}{n:>10}  {name:<10}{str(got[name].dtype):<9}{best * 1e3:>10.2f}"
                      f"{low:>9.2f}-{high:<6.2f}{rise:>11}")


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--n", default="1e6,1e7", help="elements per operand, comma-separated")
    p.add_argument("--threads", type=int, default=len(os.sched_getaffinity(0)))
    p.add_argument("--rounds", type=int, default=3, help="timing rounds (default 3)")
    p.add_argument("--no-memory", action="store_true", help="skip the peak-memory probes")
    p.add_argument("--cases", default="", help="only the cases whose names hold one of these "
                                                 "comma-separated parts")
    args = p.parse_args()
    sizes = [int(float(v)) for v in args.n.split(",")]
    run(sizes, args.threads, args.rounds, not args.no_memory,
        [part for part in args.cases.split(",") if part])


if __name__ == "__main__":
    main()
