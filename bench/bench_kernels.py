"""Elementwise kernels side by side with NumPy and numexpr, printed as ratios.

Run: python3 bench/bench_kernels.py [--sizes 1e3,1e5,1e6,1e7] [--quick]
Ratios are ours / peer (below 1.0 means we are faster).
"""
import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from common import best_of, copy_floor, libm_floor, pool_threads  # noqa: E402

import _quorvaline as q  # noqa: E402

try:
    import numexpr as ne
except ImportError:  # the benchmark still runs, without that column
    ne = None

kernel = q._KernelModule()
rt = q._RuntimeModule()

POLY = [0.5, -1.25, 2.0, 0.75, -0.5, 1.5, -2.25, 0.125, 1.0, -0.375, 0.25]


def poly_expr(a):
    e = a * POLY[0] + POLY[1]
    for c in POLY[2:]:
        e = e * a + c
    return e


def poly_numpy(a):
    e = a * POLY[0] + POLY[1]
    for c in POLY[2:]:
        e = e * a + c
    return e


POLY_NE = "a*{}+{}".format(POLY[0], POLY[1])
for _c in POLY[2:]:
    POLY_NE = "({})*a+{}".format(POLY_NE, _c)

# name, our builder, numpy, numexpr text, bytes moved per element, libm floor case
CASES = [
    ("a*b+c", lambda a, b, c: a * b + c, lambda a, b, c: a * b + c, "a*b+c", 32, None),
    ("2*a+3*b", lambda a, b, c: 2 * a + 3 * b, lambda a, b, c: 2 * a + 3 * b, "2*a+3*b", 24,
     None),
    ("sqrt(a*a+b*b)", lambda a, b, c: kernel.sqrt(a * a + b * b),
     lambda a, b, c: np.sqrt(a * a + b * b), "sqrt(a*a+b*b)", 24, None),
    ("sin(a)**2+cos(b)**2", lambda a, b, c: kernel.sin(a) ** 2 + kernel.cos(b) ** 2,
     lambda a, b, c: np.sin(a) ** 2 + np.cos(b) ** 2, "sin(a)**2+cos(b)**2", 24, 0),
    ("where(a>0.5, a, b)", lambda a, b, c: kernel.where_(a > 0.5, a, b),
     lambda a, b, c: np.where(a > 0.5, a, b), "where(a>0.5, a, b)", 24, None),
    ("exp(-a)*log(b+1)", lambda a, b, c: kernel.exp(-a) * kernel.log(b + 1),
     lambda a, b, c: np.exp(-a) * np.log(b + 1), "exp(-a)*log(b+1)", 24, 1),
    ("poly20", lambda a, b, c: poly_expr(a), lambda a, b, c: poly_numpy(a), POLY_NE, 16, None),
]


def run(sizes, threads):
    if ne is not None:
        ne.set_num_threads(threads)
    print(f"threads={threads} numexpr={'yes' if ne else 'missing'}")
    header = f"{'case':<22}{'n':>9}{'ours ms':>10}{'/numpy':>9}{'/numexpr':>10}{'/floor':>9}"
    print(header)
    print("-" * len(header))
    rng = np.random.default_rng(42)
    results = []
    for n in sizes:
        na, nb, nc = rng.random(n), rng.random(n), rng.random(n)
        bufs = {"a": rt.asarray(na), "b": rt.asarray(nb), "c": rt.asarray(nc)}
        for name, build, np_fn, ne_text, bytes_per, libm_case in CASES:
            a, b, c = kernel.args("a", "b", "c")
            expr = build(a, b, c)
            spec = kernel.elementwise(expr)
            mspec = kernel.map(spec, **{k: bufs[k] for k in _names(expr)})
            ours = best_of(lambda: rt.go(mspec).result())
            t_np = best_of(lambda: np_fn(na, nb, nc))
            t_ne = best_of(lambda: ne.evaluate(ne_text, local_dict={"a": na, "b": nb, "c": nc})) \
                if ne else float("nan")
            if libm_case is not None:
                floor = libm_floor(na, nb, libm_case, threads)
            else:
                floor = copy_floor(bytes_per * n, threads)
            got = rt.go(mspec).result().numpy()
            want = np_fn(na, nb, nc)
            assert np.allclose(got, want, rtol=1e-12, atol=1e-12, equal_nan=True), name
            print(f"{name:<22}{n:>9}{ours * 1e3:>10.3f}{ours / t_np:>9.2f}{ours / t_ne:>10.2f}"
                  f"{ours / floor:>9.2f}")
            results.append((name, n, ours, t_np, t_ne, floor))
    return results


def _names(expr):
    return set(expr.get_temp_args().values())


def latency(threads):
    """Per-call latency of rt.go(...).result() at 10 elements against numexpr and a ufunc."""
    a_np = np.linspace(0.0, 1.0, 10)
    b_np = np.linspace(1.0, 2.0, 10)
    a, b = kernel.args("a", "b")
    mspec = kernel.map(kernel.elementwise(a * b + 1), a=rt.asarray(a_np), b=rt.asarray(b_np))
    ours = best_of(lambda: rt.go(mspec).result(), min_time=0.2)
    t_ufunc = best_of(lambda: np.multiply(a_np, b_np), min_time=0.2)
    line = f"latency @10: ours {ours * 1e6:.2f} us, /ufunc {ours / t_ufunc:.2f}"
    t_ne = float("nan")
    if ne is not None:
        t_ne = best_of(lambda: ne.evaluate("a*b+1", local_dict={"a": a_np, "b": b_np}),
                       min_time=0.2)
        line += f", /numexpr {ours / t_ne:.2f}"
    print(line)
    return ours, t_ufunc, t_ne


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--sizes", default="1e3,1e5,1e6,1e7")
    p.add_argument("--quick", action="store_true", help="small sizes only (CI smoke run)")
    args = p.parse_args()
    sizes = [1000, 100_000] if args.quick else [int(float(s)) for s in args.sizes.split(",")]
    threads = pool_threads()
    run(sizes, threads)
    latency(threads)


if __name__ == "__main__":
    main()
