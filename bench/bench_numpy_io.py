"""NumPy in, NumPy out: qv.evaluate on arrays against the engine on prebuilt Buffers, numexpr,
NumPy and numba, in one process on the pool's thread count; peak memory; Buffers made and
dropped in a loop against numpy.copy.

Run: python3 bench/bench_numpy_io.py [--sizes 1e5,1e6,1e7] [--repeats 15]
Targets: qv.evaluate within 1.1x of the engine on Buffers (a fresh result each call, as
qv.evaluate makes); a*b+c at 1e6 at most 0.75x numexpr; with out= at 1e7 at most 0.8x
numexpr with out=; peak memory at 1e7 at most 1.05x the output; three 1e5 Buffers within
1.3x of three numpy.copy calls.
"""
import argparse
import json
import os
import subprocess
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from common import best_times, pool_threads  # noqa: E402

import quorvaline as qv  # noqa: E402
from quorvaline import kernel, rt  # noqa: E402

try:
    import numexpr
except ImportError:  # the bench extra installs it
    numexpr = None
try:
    import numba
except ImportError:
    numba = None


def numba_kernel(threads):
    if numba is None:
        return None
    numba.set_num_threads(min(threads, numba.config.NUMBA_NUM_THREADS))

    @numba.njit(parallel=True, fastmath=False)
    def fma_free(a, b, c, out):
        for i in numba.prange(a.size):
            out[i] = a[i] * b[i] + c[i]
        return out

    return fma_free


def timings(n, repeats, threads, fused):
    rng = np.random.default_rng(n)
    a, b, c = rng.random(n), rng.random(n), rng.random(n)
    x, y, z = kernel.args("a", "b", "c")
    expr = x * y + z
    mapped = kernel.map(kernel.elementwise(expr), a=rt.asarray(a), b=rt.asarray(b), c=rt.asarray(c))
    out_qv, out_ne = np.empty(n), np.empty(n)
    cases = {
        "engine on Buffers": lambda: rt.go(mapped).result(),
        "qv.evaluate": lambda: qv.evaluate(expr, a=a, b=b, c=c),
        "qv.evaluate out=": lambda: qv.evaluate(expr, a=a, b=b, c=c, out=out_qv),
        "numpy": lambda: a * b + c,
    }
    if numexpr is not None:
        cases["numexpr"] = lambda: numexpr.evaluate("a*b+c", local_dict={"a": a, "b": b, "c": c})
        cases["numexpr out="] = lambda: numexpr.evaluate(
            "a*b+c", local_dict={"a": a, "b": b, "c": c}, out=out_ne)
    if fused is not None:
        cases["numba out="] = lambda: fused(a, b, c, out_ne)
    return dict(zip(cases, best_times(repeats, list(cases.values()))))


PEAK_PROBE = """
import json, sys
import numpy as np
import quorvaline as qv
from quorvaline import kernel

def status(field):
    for line in open("/proc/self/status"):
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024

n = 10_000_000
a, b, c = (np.random.default_rng(i).random(n) for i in range(3))
x, y, z = kernel.args("a", "b", "c")
expr = x * y + z
qv.evaluate(expr, a=a[:8192], b=b[:8192], c=c[:8192])   # the pool exists
if sys.argv[1] == "numexpr":
    import numexpr
    numexpr.evaluate("a*b+c", local_dict={"a": a[:8192], "b": b[:8192], "c": c[:8192]})
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS")
if sys.argv[1] == "qv.evaluate":
    out = qv.evaluate(expr, a=a, b=b, c=c)
elif sys.argv[1] == "numexpr":
    out = numexpr.evaluate("a*b+c", local_dict={"a": a, "b": b, "c": c})
else:
    out = a * b + c
print(json.dumps((status("VmHWM") - before) / out.nbytes))
"""


def peak_rise(side):
    proc = subprocess.run([sys.executable, "-c", PEAK_PROBE, side], capture_output=True,
                          text=True, check=True)
    return json.loads(proc.stdout)


def buffer_loop(repeats):
    """Three 1e5 Buffers made and dropped, one at a time and alive together, against three
    numpy.copy calls one at a time (NumPy's allocator warm) and alive together."""
    xs = np.random.default_rng(0).random(100_000)

    def buffers_one_by_one():
        for _ in range(3):
            rt.asarray(xs)

    def copies_one_by_one():
        for _ in range(3):
            np.copy(xs)

    return best_times(repeats * 20, [
        buffers_one_by_one,
        lambda: [rt.asarray(xs) for _ in range(3)],
        copies_one_by_one,
        lambda: [np.copy(xs) for _ in range(3)],
    ])


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--sizes", default="1e5,1e6,1e7")
    p.add_argument("--repeats", type=int, default=15)
    args = p.parse_args()
    threads = pool_threads()
    fused = numba_kernel(threads)
    print(f"a*b+c, float64, {threads} threads, best of {args.repeats}, times in ms; "
          "ratios below 1.0 mean qv.evaluate is faster")
    header = f"{'n':>6} {'engine':>8} {'qv.eval':>8} {'numexpr':>8} {'numpy':>8}" \
             f" | {'qv/engine':>9} {'qv/ne':>6} {'qv/np':>6} | {'out=':>7} {'ne out=':>7}" \
             f" {'numba':>7} {'out/ne':>6} {'out/nb':>6}"
    print(header)
    for n in (int(float(s)) for s in args.sizes.split(",")):
        t = timings(n, args.repeats, threads, fused)
        nan = float("nan")
        ne, ne_out = t.get("numexpr", nan), t.get("numexpr out=", nan)
        nb = t.get("numba out=", nan)
        q, q_out = t["qv.evaluate"], t["qv.evaluate out="]
        print(f"{n:>6.0e} {t['engine on Buffers'] * 1e3:8.3f} {q * 1e3:8.3f} {ne * 1e3:8.3f}"
              f" {t['numpy'] * 1e3:8.3f} | {q / t['engine on Buffers']:9.2f} {q / ne:6.2f}"
              f" {q / t['numpy']:6.2f} | {q_out * 1e3:7.3f} {ne_out * 1e3:7.3f} {nb * 1e3:7.3f}"
              f" {q_out / ne_out:6.2f} {q_out / nb:6.2f}")

    sides = ["qv.evaluate", "numpy"] + (["numexpr"] if numexpr is not None else [])
    rises = ", ".join(f"{side} {peak_rise(side):.2f}x" for side in sides)
    print(f"peak memory rise at 1e7, as a multiple of the output: {rises}")

    one_by_one, together, copies, copies_together = buffer_loop(args.repeats)
    print(f"three 1e5 Buffers made and dropped, one by one {one_by_one * 1e6:.1f} us, alive "
          f"together {together * 1e6:.1f} us; three numpy.copy one by one {copies * 1e6:.1f} us, "
          f"alive together {copies_together * 1e6:.1f} us; ratios to numpy.copy one by one "
          f"{one_by_one / copies:.2f} and {together / copies:.2f}")


if __name__ == "__main__":
    main()
