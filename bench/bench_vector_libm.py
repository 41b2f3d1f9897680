"""exp, log and pow over float64 and float32 arrays, sin and cos over float64 ones: ours (on the
path the engine chose at load, printed first) against the same scalar library calls on the same
threads (the floor of the scalar path; float64 exp, log, sin and cos only: compare the others
with QUORVALINE_VECTOR_LIBM=0), NumPy's own SIMD functions (other bits) and numexpr, side by side
in one process, best of interleaved rounds. Ratios are ours / theirs: below 1.0 we are faster.

    python3 bench/bench_vector_libm.py                           # the path chosen at load
    python3 bench/bench_vector_libm.py --only where              # the split selects alone
    QUORVALINE_VECTOR_LIBM=avx2 python3 bench/bench_vector_libm.py  # AVX2 copies only
    QUORVALINE_VECTOR_LIBM=0 python3 bench/bench_vector_libm.py     # scalar calls
"""

import argparse
import os

import numpy as np
from common import best_times, libm_calls_floor, pool_threads

import quorvaline as qv

F32_CASES = ("exp U[-10,10]", "log U(0,100]", "log 1±1%")
CASES = {
    "exp U[-10,10]": ("exp", lambda rng, n: rng.uniform(-10, 10, n)),
    "exp Gaussian argument": ("exp", lambda rng, n: -0.5 * rng.standard_normal(n) ** 2),
    "exp U[-1000,1000]": ("exp", lambda rng, n: rng.uniform(-1000, 1000, n)),
    "log U(0,100]": ("log", lambda rng, n: 100 - rng.uniform(0, 100, n)),
    "log U[0.5,2)": ("log", lambda rng, n: rng.uniform(0.5, 2, n)),
    "log 1±1%": ("log", lambda rng, n: 1 + rng.uniform(-0.01, 0.01, n)),
    "sin U[-pi,pi]": ("sin", lambda rng, n: rng.uniform(-np.pi, np.pi, n)),
    "sin U[-0.8,0.8]": ("sin", lambda rng, n: rng.uniform(-0.8, 0.8, n)),
    "sin U[-1e4,1e4]": ("sin", lambda rng, n: rng.uniform(-1e4, 1e4, n)),
    "cos U[-pi,pi]": ("cos", lambda rng, n: rng.uniform(-np.pi, np.pi, n)),
    "cos U[-1e4,1e4]": ("cos", lambda rng, n: rng.uniform(-1e4, 1e4, n)),
}
for name in F32_CASES:  # the same inputs rounded to float32
    fn, make = CASES[name]
    CASES[f"float32 {name}"] = (fn, lambda rng, n, make=make: make(rng, n).astype(np.float32))

# Formulas over several arrays: {case: (formula, {name: maker})}, NumPy's form written out.
BLACK_SCHOLES_LIKE = "s * (k / s) ** 1.7 * exp(-0.03 * t) + log(s / k) * t ** 0.75"
POW_CASES = {
    "x ** y": ("x ** y", {"x": lambda rng, n: rng.uniform(0, 100, n),
                          "y": lambda rng, n: rng.uniform(-10, 10, n)}),
    "x ** 2.5": ("x ** 2.5", {"x": lambda rng, n: rng.uniform(0, 100, n)}),
    "float32 x ** y": ("x ** y", {"x": lambda rng, n: rng.uniform(0, 100, n).astype(np.float32),
                                  "y": lambda rng, n: rng.uniform(-10, 10, n).astype(np.float32)}),
    "float32 x ** 2.5": ("x ** 2.5",
                         {"x": lambda rng, n: rng.uniform(0, 100, n).astype(np.float32)}),
    "Black-Scholes-like": (BLACK_SCHOLES_LIKE, {
        "s": lambda rng, n: rng.uniform(50, 150, n),
        "k": lambda rng, n: rng.uniform(80, 120, n),
        "t": lambda rng, n: rng.uniform(0.1, 2, n),
    }),
    # Branches taken lane by lane: the selected lanes packed for the vector code.
    "where(x > 50, exp(y), 0)": ("where(x > 50, exp(y), 0)", {
        "x": lambda rng, n: rng.uniform(0, 100, n),
        "y": lambda rng, n: rng.uniform(-10, 10, n),
    }),
    "where(x > 50, x ** y, 0)": ("where(x > 50, x ** y, 0)", {
        "x": lambda rng, n: rng.uniform(0, 100, n),
        "y": lambda rng, n: rng.uniform(-10, 10, n),
    }),
    "where(x > 0, log(x), 0)": ("where(x > 0, log(x), 0)",
                                {"x": lambda rng, n: rng.uniform(-1, 1, n)}),
    "where(x > 90, exp(y), x)": ("where(x > 90, exp(y), x)", {
        "x": lambda rng, n: rng.uniform(0, 100, n),
        "y": lambda rng, n: rng.uniform(-10, 10, n),
    }),
}


def numpy_form(formula):
    def run(env, out):
        with np.errstate(all="ignore"):
            out[...] = eval(  # noqa: S307
                formula, {"exp": np.exp, "log": np.log, "where": np.where}, env
            )
    return run


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="1e6,1e7", help="comma-separated element counts")
    parser.add_argument("--repeats", type=int, default=9)
    parser.add_argument("--only", default="", help="only the cases whose names contain this")
    args = parser.parse_args()
    import numexpr as ne

    threads = pool_threads()
    ne.set_num_threads(threads)
    config = qv.show_config(False)
    functions = ("exp", "log", "expf", "logf", "pow", "powf", "sin", "cos")
    paths = {f: config["vector_libm"][f] for f in functions}
    print(
        f"threads: {threads}; loadavg {os.getloadavg()[0]:.1f}; "
        + "; ".join(f"{f}: {s['path']} {s['isa'] or ''}".rstrip() for f, s in paths.items())
    )
    print("| case | n | ours | scalar calls | NumPy | numexpr | / scalar | / NumPy | / numexpr |")
    print("|---|---|---|---|---|---|---|---|---|")
    rng = np.random.default_rng(5)
    for size in args.sizes.split(","):
        n = int(float(size))
        for case, (fn, make) in CASES.items():
            if args.only not in case:
                continue
            x = make(rng, n)
            out = np.empty_like(x)
            ours, numpy, numexpr = best_times(
                args.repeats,
                [
                    lambda: qv.evaluate(f"{fn}(x)", x=x, out=out),
                    lambda: getattr(np, fn)(x, out=out),
                    lambda: ne.evaluate(f"{fn}(x)", local_dict={"x": x}, out=out),
                ],
            )
            if x.dtype == np.float64:
                floor = libm_calls_floor([(fn, x)], threads)
                floor_cells = f"{floor * 1e3:.2f} ms", f"{ours / floor:.2f}"
            else:
                floor_cells = "-", "-"
            print(
                f"| {case} | {size} | {ours * 1e3:.2f} ms | {floor_cells[0]} "
                f"| {numpy * 1e3:.2f} ms | {numexpr * 1e3:.2f} ms | {floor_cells[1]} "
                f"| {ours / numpy:.2f} | {ours / numexpr:.2f} |",
                flush=True,
            )
        for case, (formula, makers) in POW_CASES.items():
            if args.only not in case:
                continue
            env = {name: make(rng, n) for name, make in makers.items()}
            out = np.empty(n, next(iter(env.values())).dtype)
            by_numpy = numpy_form(formula)
            ours, numpy, numexpr = best_times(
                args.repeats,
                [
                    lambda: qv.evaluate(formula, out=out, **env),
                    lambda: by_numpy(env, out),
                    lambda: ne.evaluate(formula, local_dict=env, out=out),
                ],
            )
            print(
                f"| {case} | {size} | {ours * 1e3:.2f} ms | - "
                f"| {numpy * 1e3:.2f} ms | {numexpr * 1e3:.2f} ms | - "
                f"| {ours / numpy:.2f} | {ours / numexpr:.2f} |",
                flush=True,
            )


if __name__ == "__main__":
    main()
