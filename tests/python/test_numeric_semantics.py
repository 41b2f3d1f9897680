"""Every operator through rt.go, element by element against the Python reference model, on
both evaluators (the flat program and the tree evaluator used for bodies with a select)."""
import itertools
import math
import struct

import numpy as np
import pytest

import reference_eval as model

INF, NAN = math.inf, math.nan

VALUES = [
    0.0, -0.0, 0.5, -0.5, 1.5, -1.5, 2.5, -2.5, 0.49999999999999994, -0.49999999999999994,
    1.0, -1.0, 3.0, -7.25, 0.1, math.pi, 1e300, -1e300, 1e16, 2.0**52, -(2.0**52),
    4503599627370495.5, -4503599627370494.5, 2251799813685248.5, 5e-324, -5e-324,
    2.2250738585072014e-308, 1e-310, 710.0, -745.5, INF, -INF, NAN,
]


def same(got, want):
    """Bit-identical, except that any NaN matches any NaN."""
    if math.isnan(want):
        return math.isnan(got)
    return struct.pack("<d", got) == struct.pack("<d", want)


def holds(compare):
    return lambda l, r: float(compare(l, r))


UNARY = {
    "neg": (lambda k, x: -x, model.UNARY["Neg"]),
    "abs": (lambda k, x: abs(x), model.UNARY["Abs"]),
    "sqrt": (lambda k, x: k.sqrt(x), model.UNARY["Sqrt"]),
    "log": (lambda k, x: k.log(x), model.UNARY["Log"]),
    "exp": (lambda k, x: k.exp(x), model.UNARY["Exp"]),
    "log2": (lambda k, x: k.log2(x), model.UNARY["Log2"]),
    "log10": (lambda k, x: k.log10(x), model.UNARY["Log10"]),
    "floor": (lambda k, x: k.floor(x), model.UNARY["Floor"]),
    "ceil": (lambda k, x: k.ceil(x), model.UNARY["Ceil"]),
    "round": (lambda k, x: k.round(x), model.UNARY["Round"]),
    "sin": (lambda k, x: k.sin(x), model.UNARY["Sin"]),
    "cos": (lambda k, x: k.cos(x), model.UNARY["Cos"]),
    "tan": (lambda k, x: k.tan(x), model.UNARY["Tan"]),
}

BINARY = {
    "add": (lambda k, l, r: l + r, model.BINARY["Add"]),
    "sub": (lambda k, l, r: l - r, model.BINARY["Sub"]),
    "mul": (lambda k, l, r: l * r, model.BINARY["Mul"]),
    "div": (lambda k, l, r: l / r, model.BINARY["Div"]),
    "pow": (lambda k, l, r: l ** r, model.BINARY["Pow"]),
    "atan2": (lambda k, l, r: k.atan2(l, r), model.BINARY["Atan2"]),
    "min": (lambda k, l, r: k.min(l, r), model.BINARY["Min"]),
    "max": (lambda k, l, r: k.max(l, r), model.BINARY["Max"]),
    "gt": (lambda k, l, r: l > r, holds(model.COMPARE["Gt"])),
    "ge": (lambda k, l, r: l >= r, holds(model.COMPARE["Ge"])),
    "lt": (lambda k, l, r: l < r, holds(model.COMPARE["Lt"])),
    "le": (lambda k, l, r: l <= r, holds(model.COMPARE["Le"])),
    "eq": (lambda k, l, r: l == r, holds(model.COMPARE["Eq"])),
    "ne": (lambda k, l, r: l != r, holds(model.COMPARE["Ne"])),
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
