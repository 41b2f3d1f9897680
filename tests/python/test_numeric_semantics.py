"""Every operator through rt.go, element by element against a Python reference, on both
evaluators (the flat program and the tree evaluator used for bodies with a select)."""
import ctypes
import ctypes.util
import itertools
import math
import struct
from fractions import Fraction

import numpy as np
import pytest

INF, NAN = math.inf, math.nan

VALUES = [
    0.0, -0.0, 0.5, -0.5, 1.5, -1.5, 2.5, -2.5, 0.49999999999999994, -0.49999999999999994,
    1.0, -1.0, 3.0, -7.25, 0.1, math.pi, 1e300, -1e300, 1e16, 2.0**52, -(2.0**52),
    4503599627370495.5, -4503599627370494.5, 2251799813685248.5, 5e-324, -5e-324,
    2.2250738585072014e-308, 1e-310, 710.0, -745.5, INF, -INF, NAN,
]

_libm = ctypes.CDLL(ctypes.util.find_library("m"))


def _c(name, arity):
    fn = getattr(_libm, name)
    fn.restype = ctypes.c_double
    fn.argtypes = [ctypes.c_double] * arity
    return fn


def same(got, want):
    """Bit-identical, except that any NaN matches any NaN."""
    if math.isnan(want):
        return math.isnan(got)
    return struct.pack("<d", got) == struct.pack("<d", want)


def sqrt_ref(x):
    if math.isnan(x) or x < 0:
        return NAN
    return math.sqrt(x)


def integral(x, pick):
    """floor / ceil / round: infinities, NaN and magnitudes from 2**52 up pass through;
    otherwise the exact integer, carrying the sign of x (so -0.5 ceils to -0.0)."""
    if not math.isfinite(x) or abs(x) >= 2.0**52:
        return x
    return math.copysign(float(pick(Fraction(x))), x)


def round_half_away(q):
    n = math.floor(abs(q))
    return (n + 1 if abs(q) - n >= Fraction(1, 2) else n) * (1 if q >= 0 else -1)


def div_ref(l, r):
    if r != 0 or math.isnan(r):
        return l / r
    if math.isnan(l) or l == 0:
        return NAN
    return math.copysign(INF, l) * math.copysign(1.0, r)


def min_ref(l, r):
    if math.isnan(l) or r < l:
        return r
    return l


def max_ref(l, r):
    if math.isnan(l) or l < r:
        return r
    return l


UNARY = {
    "neg": (lambda k, x: -x, lambda x: -x),
    "abs": (lambda k, x: abs(x), math.fabs),
    "sqrt": (lambda k, x: k.sqrt(x), sqrt_ref),
    "log": (lambda k, x: k.log(x), _c("log", 1)),
    "exp": (lambda k, x: k.exp(x), _c("exp", 1)),
    "log2": (lambda k, x: k.log2(x), _c("log2", 1)),
    "log10": (lambda k, x: k.log10(x), _c("log10", 1)),
    "floor": (lambda k, x: k.floor(x), lambda x: integral(x, math.floor)),
    "ceil": (lambda k, x: k.ceil(x), lambda x: integral(x, math.ceil)),
    "round": (lambda k, x: k.round(x), lambda x: integral(x, round_half_away)),
    "sin": (lambda k, x: k.sin(x), _c("sin", 1)),
    "cos": (lambda k, x: k.cos(x), _c("cos", 1)),
    "tan": (lambda k, x: k.tan(x), _c("tan", 1)),
}

BINARY = {
    "add": (lambda k, l, r: l + r, lambda l, r: l + r),
    "sub": (lambda k, l, r: l - r, lambda l, r: l - r),
    "mul": (lambda k, l, r: l * r, lambda l, r: l * r),
    "div": (lambda k, l, r: l / r, div_ref),
    "pow": (lambda k, l, r: l ** r, _c("pow", 2)),
    "atan2": (lambda k, l, r: k.atan2(l, r), _c("atan2", 2)),
    "min": (lambda k, l, r: k.min(l, r), min_ref),
    "max": (lambda k, l, r: k.max(l, r), max_ref),
    "gt": (lambda k, l, r: l > r, lambda l, r: float(l > r)),
    "ge": (lambda k, l, r: l >= r, lambda l, r: float(l >= r)),
    "lt": (lambda k, l, r: l < r, lambda l, r: float(l < r)),
    "le": (lambda k, l, r: l <= r, lambda l, r: float(l <= r)),
    "eq": (lambda k, l, r: l == r, lambda l, r: float(l == r)),
    "ne": (lambda k, l, r: l != r, lambda l, r: float(l != r)),
}

PAIRS = list(itertools.product(VALUES, VALUES))
LEFT = [p[0] for p in PAIRS]
RIGHT = [p[1] for p in PAIRS]


def as_tree(kernel, x, body):
    """The same body under a select whose condition is never zero, so the tree evaluator
    runs it: (x != x) + 1 is 1 or 2, also for NaN."""
    return kernel.where_((x != x) + 1, body, 0)


EVALUATORS = {"flat": lambda kernel, x, body: body, "tree": as_tree}


def evaluate(rt, kernel, expr, **bound):
    spec = kernel.map(kernel.elementwise(expr), **bound)
    return rt.go(spec).result().numpy().tolist()


def mismatches(got, inputs, ref):
    return [(args, g, ref(*args)) for args, g in zip(inputs, got) if not same(g, ref(*args))]


@pytest.mark.parametrize("evaluator", EVALUATORS)
@pytest.mark.parametrize("name", UNARY)
def test_unary(rt, kernel, evaluator, name):
    build, ref = UNARY[name]
    x = kernel.arg("x")
    got = evaluate(rt, kernel, EVALUATORS[evaluator](kernel, x, build(kernel, x)),
                   x=rt.asarray(np.array(VALUES)))
    assert mismatches(got, [(v,) for v in VALUES], ref) == []


@pytest.mark.parametrize("evaluator", EVALUATORS)
@pytest.mark.parametrize("name", BINARY)
def test_binary(rt, kernel, evaluator, name):
    build, ref = BINARY[name]
    l, r = kernel.args("l", "r")
    got = evaluate(rt, kernel, EVALUATORS[evaluator](kernel, l, build(kernel, l, r)),
                   l=rt.asarray(np.array(LEFT)), r=rt.asarray(np.array(RIGHT)))
    assert mismatches(got, PAIRS, ref) == []


@pytest.mark.parametrize("name", ["sub", "div", "pow", "min", "lt"])
def test_scalar_operand_on_either_side(rt, kernel, name):
    build, ref = BINARY[name]
    l, r = kernel.args("l", "r")
    spec = kernel.elementwise(build(kernel, l, r))
    values = rt.asarray(np.array(VALUES))
    for scalar in (-0.0, 2.5, NAN):
        got = rt.go(kernel.map(spec, l=scalar, r=values)).result().numpy().tolist()
        assert mismatches(got, [(scalar, v) for v in VALUES], ref) == []
        got = rt.go(kernel.map(spec, l=values, r=scalar)).result().numpy().tolist()
        assert mismatches(got, [(v, scalar) for v in VALUES], ref) == []


@pytest.mark.parametrize("cond, want", [
    (0.0, "f"), (-0.0, "f"), (NAN, "t"), (5e-324, "t"), (-INF, "t"), (1.0, "t"),
])
def test_select_condition(rt, kernel, cond, want):
    c, t, f = kernel.args("c", "t", "f")
    got = evaluate(rt, kernel, kernel.where_(c, t, f), c=rt.asarray(np.array([cond])),
                   t=10.0, f=20.0)
    assert got == [10.0 if want == "t" else 20.0]


def test_select_skips_the_untaken_branch(rt, kernel):
    # log of a negative number would be NaN; the select must give exactly 0.0 there.
    x = kernel.arg("x")
    xs = [-1.0, 4.0, -0.0, 0.0, NAN, -INF]
    got = evaluate(rt, kernel, kernel.where_(x > 0, kernel.log(x), 0), x=rt.asarray(np.array(xs)))
    want = [0.0, math.log(4.0), 0.0, 0.0, 0.0, 0.0]
    assert all(same(g, w) for g, w in zip(got, want)), got


def test_nested_selects(rt, kernel):
    x = kernel.arg("x")
    expr = kernel.where_(x < 0, -1, kernel.where_(x == 0, kernel.where_(1 / x < 0, -0.5, 0.5), 1))
    xs = [-3.0, -0.0, 0.0, 2.0, NAN]
    assert evaluate(rt, kernel, expr, x=rt.asarray(np.array(xs))) == [-1.0, -0.5, 0.5, 1.0, 1.0]
