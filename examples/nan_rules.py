"""How reductions and conditional kernels treat NaN, infinities and signed zeros.

Each line shows a result next to the rule it follows; the script exits non-zero if a
result breaks its rule. The last part repeats the elementwise rules on a large array,
which the worker pool computes in pieces.

Run: python3 examples/nan_rules.py [--n ELEMENTS]
"""
from __future__ import annotations

import argparse
import inspect
import math
import sys
from typing import Callable, Dict, List, Sequence, Tuple

import numpy as np
import numpy.typing as npt

import quorvaline as qv
from quorvaline import Expr, kernel

NAN, INF = math.nan, math.inf
failures: List[str] = []


def same(a: float, b: float) -> bool:
    """Equal as values, with NaN equal to NaN and -0.0 told apart from +0.0."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


def matches(got: object, expected: object) -> bool:
    if isinstance(got, float) and isinstance(expected, float):
        return same(got, expected)
    if isinstance(got, (list, tuple)) and isinstance(expected, (list, tuple)):
        return len(got) == len(expected) and all(map(matches, got, expected))
    return got == expected


def show(text: str, got: object, expected: object, rule: str) -> None:
    ok = matches(got, expected)
    if not ok:
        failures.append(f"{text}: got {got!r}, expected {expected!r}")
    shown = got if isinstance(got, str) else repr(got)
    print(f"  {text:<38}{shown:<38}{rule}{'' if ok else '   <-- UNEXPECTED'}")


def error_text(call: Callable[[], object]) -> str:
    try:
        call()
    except ValueError as error:
        return f"ValueError: {error}"
    return "no error"


def reductions() -> None:
    print("Reductions: qv.sum / qv.mean / qv.min / qv.max (kernel.sum and friends)")
    a = np.array
    show("sum([1, nan, 3])", qv.sum(a([1.0, NAN, 3.0])), NAN, "NaN propagates")
    show("sum([inf, -inf])", qv.sum(a([INF, -INF])), NAN, "inf + -inf is NaN")
    show("sum([1e308, 1e308, -1e308])", qv.sum(a([1e308, 1e308, -1e308])), INF,
         "added strictly left to right")
    show("sum([-0.0])", qv.sum(a([-0.0])), -0.0, "the sum starts from -0.0")
    show("mean([1, 2, 3, 4])", qv.mean(a([1.0, 2.0, 3.0, 4.0])), 2.5, "sum / count")
    show("min([3, nan, 1])", qv.min(a([3.0, NAN, 1.0])), NAN, "any NaN gives NaN")
    show("max([nan, 5])", qv.max(a([NAN, 5.0])), NAN, "any NaN gives NaN")
    show("min([-0.0, 0.0])", qv.min(a([-0.0, 0.0])), -0.0, "the earliest of equal values")
    show("min([0.0, -0.0])", qv.min(a([0.0, -0.0])), 0.0, "the earliest of equal values")
    show("min([inf])", qv.min(a([INF])), INF, "starts from +inf")
    show("max([-inf])", qv.max(a([-INF])), -INF, "starts from -inf")
    show("sum([])", error_text(lambda: qv.sum(a([], dtype=np.float64))),
         "ValueError: cannot Sum empty buffer", "empty input is an error")
    show("mean([])", error_text(lambda: qv.mean(a([], dtype=np.float64))),
         "ValueError: cannot Mean empty buffer", "for every reduction")
    print()


X_VALUES = [NAN, -1.0, -0.0, 0.0, 2.0, INF, -INF]

# name, builder over x (and `zero` where an Expr is needed), expected per X_VALUES, rule
ELEMENTWISE: List[Tuple[str, Callable[..., Expr], List[float], str]] = [
    ("kernel.min(x, 0)", lambda x, zero: kernel.min(x, zero),
     [0.0, -1.0, -0.0, 0.0, 0.0, 0.0, -INF], "one NaN operand is ignored; ties keep the left"),
    ("kernel.max(x, 0)", lambda x, zero: kernel.max(x, zero),
     [0.0, 0.0, -0.0, 0.0, 2.0, INF, 0.0], "one NaN operand is ignored; ties keep the left"),
    ("x > 0", lambda x: x > 0,
     [0.0, 0.0, 0.0, 0.0, 1.0, 1.0, 0.0], "comparisons with NaN are false (0.0)"),
    ("x != x", lambda x: x != x,
     [1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0], "!= is the one comparison NaN satisfies"),
    ("where_(x, 1, 0)", lambda x: kernel.where_(x, 1, 0),
     [1.0, 1.0, 0.0, 0.0, 1.0, 1.0, 1.0], "only +0.0 and -0.0 are false; NaN is true"),
    ("where_(x > 0, log(x), 0)", lambda x: kernel.where_(x > 0, kernel.log(x), 0),
     [0.0, 0.0, 0.0, 0.0, math.log(2.0), INF, 0.0], "the branch not taken is not computed"),
    ("1 / x", lambda x: 1 / x,
     [NAN, -1.0, -INF, INF, 0.5, 0.0, -0.0], "IEEE division: no error, signed infinities"),
    ("sqrt(x)", lambda x: kernel.sqrt(x),
     [NAN, NAN, -0.0, 0.0, math.sqrt(2.0), INF, NAN], "NaN below zero; sqrt(-0.0) is -0.0"),
]


def operands(build: Callable[..., Expr], xs: npt.NDArray[np.float64]) -> Dict[str, npt.ArrayLike]:
    # Only what the kernel uses: the engine refuses bindings it has no argument for.
    names = inspect.signature(build).parameters
    return {"x": xs, "zero": 0.0} if "zero" in names else {"x": xs}


def elementwise(x_values: Sequence[float]) -> None:
    print(f"Elementwise kernels over x = {list(x_values)}")
    xs = np.array(x_values)
    for name, build, expected, rule in ELEMENTWISE:
        got = qv.evaluate(build, operands(build, xs))
        bad = [f"{x!r}->{g!r}" for x, g, e in zip(x_values, got.tolist(), expected)
               if not same(g, e)]
        if bad:
            failures.append(f"{name}: {', '.join(bad)}")
        print(f"  {name:<26}{str(got.tolist()):<56}{rule}")
    rounded = qv.evaluate(lambda x: kernel.round(x), x=np.array([-2.5, 0.5, -0.4, 2.5]))
    show("kernel.round([-2.5, 0.5, -0.4, 2.5])", rounded.tolist(), [-3.0, 1.0, -0.0, 3.0],
         "halfway away from zero (NumPy rounds to even)")
    print()


def large(n: int) -> None:
    """The same rules on a large array, computed in pieces on the worker pool."""
    rng = np.random.default_rng(7)
    xs = rng.standard_normal(n)
    spots = rng.choice(n, size=min(n, max(n // 100, 8)), replace=False)
    xs[spots] = np.resize([NAN, INF, -INF, -0.0, 0.0], spots.size)
    print(f"The same rules over {n:,} elements with NaN, infinities and zeros sprinkled in")
    probe = np.concatenate([spots[:48], np.arange(min(n, 16))])
    agree = 0
    for name, build, _, _ in ELEMENTWISE:
        got = qv.evaluate(build, operands(build, xs))
        alone = [qv.evaluate(build, operands(build, xs[i:i + 1]))[0] for i in probe]
        if all(same(got[i], a) for i, a in zip(probe, alone)):
            agree += 1
        else:
            failures.append(f"{name}: a large array gives other values than one element alone")
    show("kernels agree with one-element runs", agree, len(ELEMENTWISE),
         "the pool changes nothing")
    show("min / max over it", (math.isnan(qv.min(xs)), math.isnan(qv.max(xs))),
         (True, True), "a NaN anywhere makes them NaN")
    finite = qv.evaluate(lambda x: kernel.where_(kernel.abs(x) < INF, x, 0), x=xs)
    ours = qv.sum(finite)
    theirs = float(np.sum(np.where(np.isfinite(xs), xs, 0.0)))
    close = abs(ours - theirs) <= 1e-6 * max(abs(theirs), 1.0)
    show("sum with NaN and inf dropped", close, True,
         f"{ours!r} in order vs NumPy's pairwise {theirs!r}")
    print()


def main() -> int:
    parser = argparse.ArgumentParser(description="NaN, infinity and signed-zero rules")
    parser.add_argument("--n", type=int, default=10_000_000, help="elements in the large part")
    options = parser.parse_args()
    reductions()
    elementwise(X_VALUES)
    large(options.n)
    if failures:
        print("results that break their rule:", *failures, sep="\n  ", file=sys.stderr)
        return 1
    print("every result follows its rule")
    return 0


if __name__ == "__main__":
    sys.exit(main())
