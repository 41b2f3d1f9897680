"""Operators with a scalar operand on either side, and the select's condition and branches,
through rt.go against the Python reference model (every operator over every value is
test_operator_table)."""
import math
import struct

import numpy as np
import pytest
import reference_eval as model

from quorvaline import _native
from quorvaline._nodes import ARG, BINARY, BY_NAME, COMPARE

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


def evaluate(rt, kernel, expr, **bound):
    spec = kernel.map(kernel.elementwise(expr), **bound)
    return rt.go(spec).result().numpy().tolist()


def mismatches(got, inputs, ref):
    return [(args, g, ref(*args)) for args, g in zip(inputs, got) if not same(g, ref(*args))]


@pytest.mark.parametrize("name", ["Sub", "Div", "Pow", "Min", "Lt"])
def test_scalar_operand_on_either_side(rt, kernel, name):
    op = BY_NAME[name]
    ref = {BINARY: model.BINARY, COMPARE: model.COMPARE}[op.kind][name]
    nodes = [(ARG, 0), (ARG, 1), (op.kind, op.code)]
    spec = kernel.elementwise(_native.expr_from_nodes(["l", "r"], nodes))
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
