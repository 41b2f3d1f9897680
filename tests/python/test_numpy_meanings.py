"""NumPy's names mean what NumPy computes: every operator of the table whose bits IEEE
arithmetic or NumPy's own formula defines (no math library function) gives NumPy's float64
bits under each of its spellings that NumPy has, NaN payloads and signed zeros included; and
each spelling numexpr also has gives numexpr's values. Read from the table, so a new row is
checked as soon as it has a NumPy spelling."""
import math

import numpy as np
import pytest
from test_operator_table import GRID

import quorvaline as qv
from quorvaline._nodes import OPERATORS

numexpr = pytest.importorskip("numexpr")

rng = np.random.default_rng(25)


def _unary_inputs():
    scales = [rng.standard_normal(3000) * s for s in (1.0, 1e3, 1e-300, 1e300)]
    halves = np.round(rng.standard_normal(1000) * 20) / 2  # halfway cases of the roundings
    return np.concatenate([GRID, *scales, halves])


def _binary_inputs():
    l, r = np.repeat(GRID, len(GRID)), np.tile(GRID, len(GRID))
    a, b = rng.standard_normal(6000) * 10, rng.standard_normal(6000) * 3
    b[::7] = a[::7]  # equal operands
    a[::5], b[::3] = np.round(a[::5]), np.round(b[::3])  # exact multiples
    left = np.concatenate([l, a, a * 1e10, a, -a])
    right = np.concatenate([r, b, b, b * 1e-10, b * 1e300])
    return left, right


UNARY_X = _unary_inputs()
BINARY_XY = _binary_inputs()

# (operator, NumPy's function) for each spelling NumPy has, where the table names no libm.
CASES = [(op, spelling) for op in OPERATORS if op.libm is None
         for spelling in op.spellings
         if isinstance(getattr(np, spelling, None), np.ufunc) or spelling == "round"]


def _bits(a):
    return np.asarray(a, dtype=np.float64).view(np.uint64)


@pytest.mark.parametrize("op,spelling", CASES, ids=[f"{op.name}-{s}" for op, s in CASES])
def test_numpys_names_give_numpys_bits(op, spelling):
    operands = [UNARY_X] if op.arity == 1 else list(BINARY_XY)
    names = "xy"[:op.arity]
    with np.errstate(all="ignore"):
        try:
            numpy_values = getattr(np, spelling)(*operands)
        except TypeError:  # the bitwise operators, on floats: refused the same way
            with pytest.raises(TypeError, match=f"^ufunc '{getattr(np, spelling).__name__}' "
                               "not supported for the input types"):
                qv.evaluate(f"{spelling}({', '.join(names)})", **dict(zip(names, operands)))
            return
    values = qv.evaluate(f"{spelling}({', '.join(names)})", **dict(zip(names, operands)))
    assert values.dtype == numpy_values.dtype  # the predicates' bools too
    want, got = _bits(numpy_values), _bits(values)
    bad = np.flatnonzero(got != want)
    assert [(tuple(hex(_bits(o[i])[()]) for o in operands), hex(got[i]), hex(want[i]))
            for i in bad[:5]] == []


def test_every_numpy_name_of_the_task_is_a_spelling():
    spellings = {s for op in OPERATORS for s in op.spellings}
    assert spellings >= {
        "sign", "signbit", "isnan", "isinf", "isfinite", "square", "reciprocal", "fmin", "fmax",
        "minimum", "maximum", "mod", "remainder", "floor_divide", "true_divide", "negative",
        "positive", "degrees", "radians", "deg2rad", "rad2deg", "logaddexp", "logaddexp2",
        "heaviside", "round", "%", "//"}
    assert {op.name for op in OPERATORS if op.predicate} == {
        "Signbit", "Isnan", "Isinf", "Isfinite", "Gt", "Ge", "Lt", "Le", "Eq", "Ne"}


@pytest.mark.parametrize("decimals", [0, 1, 2, 5, 9, 12, 22, 23, 40, -1, -3, -9, -10, -400])
def test_round_with_decimals_as_numpy_computes_it(decimals):
    x = np.concatenate([UNARY_X, np.round(rng.standard_normal(2000) * 1e4, 3) + 0.0005])
    with np.errstate(all="ignore"):
        want = np.round(x, decimals)
    assert np.array_equal(_bits(qv.evaluate(f"round(x, {decimals})", x=x)), _bits(want))
    assert np.array_equal(_bits(qv.evaluate(lambda x: np.round(x, decimals), x=x)), _bits(want))


def test_clip_propagates_nan_as_numpy_does():
    x = np.array([math.nan, -0.0, 0.0, -2.0, 0.5, 3.0, math.inf, -math.inf])
    for lo, hi in [(0.0, 1.0), (-0.0, 0.0), (math.nan, 1.0), (0.0, math.nan), (2.0, 1.0)]:
        want = np.clip(x, lo, hi)
        got = qv.evaluate(lambda x: np.clip(x, lo, hi), x=x)
        assert np.array_equal(_bits(got), _bits(want)), (lo, hi)


# numexpr's % and // are a - floor(a / b) * b and floor(a / b), which differ from NumPy's at
# infinities and signs of zero: those follow NumPy and are not compared here.
NUMEXPR_CASES = [(op, s) for op in OPERATORS for s in op.spellings
                 if s in numexpr.expressions.functions]


@pytest.mark.parametrize("op,spelling", NUMEXPR_CASES,
                         ids=[f"{op.name}-{s}" for op, s in NUMEXPR_CASES])
def test_numexprs_functions_give_numexprs_values(op, spelling):
    operands = [UNARY_X] if op.arity == 1 else list(BINARY_XY)
    names = "xy"[:op.arity]
    text = f"{spelling}({', '.join(names)})"
    bound = dict(zip(names, operands))
    with np.errstate(all="ignore"):
        want = np.asarray(numexpr.evaluate(text, local_dict=bound))
    got = qv.evaluate(text, **bound)
    # numexpr's conj of a real number is complex, NumPy's (and ours) real: the parts compare.
    parts = [(got.real, want.real)] + ([(got.imag, want.imag)] if got.dtype.kind == "c" else [])
    for got, want in parts:
        # numexpr's NaNs carry payloads of its own code: any NaN is the same NaN here.
        assert np.array_equal(got, want, equal_nan=True)
        assert np.array_equal(np.signbit(got[got == 0]), np.signbit(want[want == 0]))
