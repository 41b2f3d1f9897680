"""Operands computed in their own types: every operator of the table over every pair of
supported dtypes gives NumPy's result dtype and the reference's bits (the platform library's
float32 functions through ctypes for float32), Python numbers stay weak, casts happen inside
the program, `out=` takes exactly the result's dtype."""
import ctypes
import ctypes.util
import itertools
import math
import pickle
import re

import numpy as np
import pytest
import reference_eval as ref

import quorvaline as qv
from quorvaline import _native
from quorvaline._nodes import ARG, COMPARE, OPERATORS, UNARY

LIBM = ctypes.CDLL(ctypes.util.find_library("m"))
REFERENCE = {UNARY: ref.UNARY, COMPARE: ref.COMPARE}
FLOATS = [np.float32, np.float64]
NUMPY_TRUTH = {"Gt": "greater", "Ge": "greater_equal", "Lt": "less", "Le": "less_equal",
               "Eq": "equal", "Ne": "not_equal", "Signbit": "signbit", "Isnan": "isnan",
               "Isinf": "isinf", "Isfinite": "isfinite"}
SIGN_UFUNCS = {"Neg": np.negative, "Abs": np.absolute, "Copysign": np.copysign}
BITWISE = {"Invert": np.invert, "BitwiseAnd": np.bitwise_and, "BitwiseOr": np.bitwise_or,
           "BitwiseXor": np.bitwise_xor, "LeftShift": np.left_shift,
           "RightShift": np.right_shift}

F32_SPECIAL = np.array([
    0.0, -0.0, 0.5, -0.5, 1.5, -2.5, 1.0, -1.0, 2.0, 3.0, 0.1, 1e-5, math.pi, 123.456, 1e38,
    -3.4028235e38, 1e-45, -1e-45, 1.1754944e-38, 88.8, -103.9, 8388607.5, 16777216.0,
    0.49999997, math.inf, -math.inf, math.nan, -math.nan,
], dtype=np.float32)
F32_SPECIAL = np.concatenate([F32_SPECIAL, np.array([0x7FA00001, 0xFFC0BEEF],
                                                    dtype=np.uint32).view(np.float32)])


def column(dtype, n, seed):
    """Special values, then random ones of every magnitude and sign."""
    rng = np.random.default_rng(seed)
    special = F32_SPECIAL.astype(dtype)
    spread = (rng.standard_normal(n) * 10.0 ** rng.integers(-8, 8, n)).astype(dtype)
    return np.concatenate([special, spread])


def pairs(dtypes, n=700):
    """Every special value against every other, then random pairs."""
    l, r = column(dtypes[0], n, 1), column(dtypes[-1], n, 2)
    k = len(F32_SPECIAL)
    grid_l, grid_r = np.meshgrid(np.arange(k), np.arange(k))
    left = np.concatenate([l[grid_l.ravel()].astype(dtypes[0]), l])
    right = np.concatenate([r[grid_r.ravel()].astype(dtypes[-1]), r])
    return left, right


def libm(name, dtype):
    """The platform library's function for `dtype` over arrays, each element passed with its
    exact bits (a Python float would quiet a signalling NaN)."""
    c_type = ctypes.c_float if dtype == np.float32 else ctypes.c_double
    f = getattr(LIBM, name + ("f" if dtype == np.float32 else ""))
    f.restype = c_type

    def apply(*columns):
        args = [[c_type.from_buffer_copy(v.tobytes()) for v in c.astype(dtype)] for c in columns]
        return np.array([f(*row) for row in zip(*args)], dtype=dtype)
    return apply


def expected(op, columns, dtype):
    """The library's function of `dtype` for a library row; else the reference over the
    operands widened to float64, rounded to `dtype`."""
    if dtype == np.float32 and op.name in SIGN_UFUNCS:  # NumPy's: the sign bit alone
        return SIGN_UFUNCS[op.name](*columns)
    if op.libm is not None:
        return libm(op.libm, dtype)(*columns)
    rows = zip(*[c.astype(np.float64).tolist() for c in columns])
    reference = REFERENCE.get(op.kind, ref.BINARY)[op.name]
    return np.array([float(reference(*row)) for row in rows]).astype(dtype)


def same_bits(got, want):
    assert got.dtype == want.dtype
    width = {1: np.uint8, 2: np.uint16, 4: np.uint32, 8: np.uint64}[got.dtype.itemsize]
    bad = np.flatnonzero(got.view(width) != want.view(width))
    return [(int(i), got[i], want[i]) for i in bad[:5]]


# complex() makes complex values: test_complex checks it.
CASES = [(op, dtypes) for op in OPERATORS for dtypes in itertools.product(FLOATS, repeat=2)
         if (op.arity == 2 or dtypes[0] == dtypes[1]) and op.name != "Complex"]


@pytest.mark.parametrize("op, dtypes", CASES, ids=[
    f"{op.name}-{'-'.join(d.__name__ for d in dtypes[:op.arity])}" for op, dtypes in CASES])
def test_operator_over_dtype_pairs(op, dtypes):
    names = ["x", "y"][:op.arity]
    columns = pairs(dtypes)[:op.arity] if op.arity == 2 else (column(dtypes[0], 2000, 3),)
    # NumPy's: comparisons and predicates are bools, the rest in the operands' common type.
    want_dtype = np.dtype(np.bool_) if op.predicate else np.result_type(*columns)
    nodes = [(ARG, i) for i in range(op.arity)] + [(op.kind, op.code)]
    expr = _native.expr_from_nodes(names, nodes)
    # Past the parallel threshold, so that the pool's pieces are checked too.
    repeat = 4096 // len(columns[0]) + 1
    if op.name in BITWISE:  # NumPy refuses floats; so do we, in its words
        with pytest.raises(TypeError):
            BITWISE[op.name](*columns)
        with pytest.raises(TypeError, match=rf"^ufunc '{BITWISE[op.name].__name__}' not "
                           r"supported for the input types \(float"):
            _native.evaluate(expr, dict(zip(names, columns)))
        return
    got = _native.evaluate(expr, {n: np.tile(c, repeat) for n, c in zip(names, columns)})
    assert got.dtype == want_dtype
    want = expected(op, columns, want_dtype)
    if op.predicate:  # NumPy's own comparison or predicate too
        assert same_bits(want, getattr(np, NUMPY_TRUTH[op.name])(*columns)) == []
    want = np.tile(want, repeat)
    assert same_bits(got, want) == []


# Bool formulas against NumPy's evaluation of the same text; past the parallel threshold.
BOOL_FORMULAS = [
    "p & q", "p | q", "p ^ q", "~p", "~p & ~q | p ^ True", "p & False", "~(p | q) ^ (x > 0)",
    "isnan(x) | (x > 1)", "(x > 0) & (y < 1)", "(x > 0) ^ isinf(y)", "~isfinite(x) & p",
    "where(p & (x > 0), x, y)", "where(~p, 1.5, x)", "(p + q) & ~q", "(p * q) | (x <= y)",
    "invert(p) | bitwise_and(q, x != y)", "bitwise_xor(p, bitwise_or(q, isnan(y)))",
]


@pytest.mark.parametrize("dtype", FLOATS)
@pytest.mark.parametrize("formula", BOOL_FORMULAS)
def test_bool_logic_is_numpys(formula, dtype):
    rng = np.random.default_rng(7)
    n = 5000
    x, y = column(dtype, n, 3)[:n], column(dtype, n, 4)[:n]
    p, q = rng.random(len(x)) < 0.5, rng.random(len(x)) < 0.3
    operands = {"p": p, "q": q, "x": x, "y": y}
    namespace = {"isnan": np.isnan, "isinf": np.isinf, "isfinite": np.isfinite,
                 "where": np.where, "invert": np.invert, "bitwise_and": np.bitwise_and,
                 "bitwise_xor": np.bitwise_xor, "bitwise_or": np.bitwise_or}
    with np.errstate(all="ignore"):
        want = eval(formula, namespace, dict(operands))
    used = {k: operands[k] for k in sorted(set(re.findall(r"\b[pqxy]\b", formula)))}
    got = qv.evaluate(formula, **used)
    assert got.dtype == want.dtype
    assert same_bits(got, want) == []
    traced = qv.evaluate(eval(f"lambda {', '.join(used)}: {formula}", namespace), **used)
    assert traced.dtype == want.dtype and same_bits(traced, want) == []


@pytest.mark.parametrize("name", ["add", "subtract", "multiply", "divide", "sqrt", "floor",
                                  "ceil", "trunc", "rint", "negative", "absolute"])
def test_float32_arithmetic_is_numpys(name):
    x, y = pairs([np.float32])
    ufunc = getattr(np, name)
    want = ufunc(x, y) if ufunc.nin == 2 else ufunc(x)
    spelled = {"add": "x + y", "subtract": "x - y", "multiply": "x * y", "divide": "x / y",
               "negative": "-x", "absolute": "abs(x)"}.get(name, f"{name}(x)")
    got = qv.evaluate(spelled, x=x, y=y) if "y" in spelled else qv.evaluate(spelled, x=x)
    assert got.dtype == np.float32
    nan = np.isnan(want)
    assert np.array_equal(np.isnan(got), nan)
    assert same_bits(got[~nan], want[~nan]) == []


@pytest.mark.parametrize("formula, operands, dtype", [
    ("a * 2.5 + 1", {"a": np.float32}, np.float32),            # Python numbers are weak
    ("a * s", {"a": np.float32, "s": 0.1}, np.float32),
    ("a * s", {"a": np.float32, "s": np.float64(0.1)}, np.float64),  # NumPy scalars are not
    ("a * s", {"a": np.float32, "s": np.float32(0.1)}, np.float32),
    ("a + b", {"a": np.float32, "b": np.float64}, np.float64),
    ("a * b + c", {"a": np.float32, "b": np.float32, "c": np.float64}, np.float64),
    ("where(c > 0, a, b)", {"a": np.float32, "b": np.float32, "c": np.float64}, np.float32),
    ("where(c > 0, a, b)", {"a": np.float32, "b": np.float64, "c": np.float32}, np.float64),
    ("a + h", {"a": np.float32, "h": np.float16}, np.float32),
    ("exp(a) - sqrt(b)", {"a": np.float32, "b": np.float64}, np.float64),
])
def test_result_dtype_and_values_match_numpy(formula, operands, dtype):
    rng = np.random.default_rng(0)
    values = {name: (t if not isinstance(t, type) else
                     (rng.standard_normal(5000) * 3).astype(t))
              for name, t in operands.items()}
    got = qv.evaluate(formula, **values)
    # NumPy's own meaning of the same formula, exp the library's (NumPy's has other bits).
    env = {**values, "where": np.where, "sqrt": np.sqrt,
           "exp": lambda x: libm("exp", x.dtype)(x)}
    want = eval(formula, {"__builtins__": {}}, env)  # noqa: S307 - fixed test formulas
    assert got.dtype == want.dtype == dtype
    assert same_bits(got, want) == []


def test_a_condition_is_tested_in_its_own_type():
    # 1e-300 is nonzero, though it rounds to a float32 zero.
    c = np.array([1e-300, 0.0, -1e-320, np.nan])
    t, f = np.ones(4, np.float32), np.zeros(4, np.float32)
    for formula in ("where(c, t, f)", "where(c, t, f) + 0 * exp(t)"):
        got = qv.evaluate(formula, c=c, t=t, f=f)
        assert got.dtype == np.float32
        assert got.tolist() == [1.0, 0.0, 1.0, 1.0]


def test_float32_operands_are_read_in_place_and_written_as_float32():
    a = np.linspace(0, 1, 10_000, dtype=np.float32)
    out = np.empty_like(a)
    assert qv.evaluate("a * a + 1", a=a, out=out) is out
    assert same_bits(out, a * a + np.float32(1)) == []
    # In place over its own operand.
    qv.evaluate("a * 2", a=a, out=a)
    assert same_bits(a, np.linspace(0, 1, 10_000, dtype=np.float32) * 2) == []


def test_compiled_kernels_specialise_per_dtype():
    k = qv.compile("a * b + 1")
    a32, b32 = np.full(5, 0.1, np.float32), np.full(5, 3.0, np.float32)
    r32 = k(a=a32, b=b32)
    r64 = k(a=a32.astype(np.float64), b=b32)
    r32_again = k(a=a32, b=b32)
    assert (r32.dtype, r64.dtype, r32_again.dtype) == (np.float32, np.float64, np.float32)
    assert same_bits(r32, a32 * b32 + np.float32(1)) == []
    assert same_bits(r32_again, r32) == []
    assert same_bits(r64, a32.astype(np.float64) * 3.0 + 1) == []


@pytest.mark.parametrize("dtype", FLOATS + [np.bool_])
def test_comparisons_give_bools_that_index(dtype):
    a = np.array([0.2, 0.7, np.nan, 0.9, -0.0, 1.0]).astype(dtype)
    mask = qv.evaluate("a > 0.5", a=a)
    assert mask.dtype == np.bool_
    assert np.array_equal(mask, a > 0.5)
    assert np.array_equal(a[qv.evaluate("a > 0.5")], a[a > 0.5])


@pytest.mark.parametrize("formula, numpy_form", [
    ("(a > 0) & (b < 0.5)", lambda a, b, m: (a > 0) & (b < 0.5)),
    ("(a > 0) | (b < 0.5)", lambda a, b, m: (a > 0) | (b < 0.5)),
    ("~(a > 0)", lambda a, b, m: ~(a > 0)),
    ("where(m, a, b)", lambda a, b, m: np.where(m, a, b)),
    ("where(a > b, a, b)", lambda a, b, m: np.where(a > b, a, b)),
    ("where(m, m, a > 0)", lambda a, b, m: np.where(m, m, a > 0)),
    ("m * a", lambda a, b, m: m * a),
    ("m * m", lambda a, b, m: m * m),
    ("m + (a > 0)", lambda a, b, m: m + (a > 0)),
    ("m + 1.5", lambda a, b, m: m + 1.5),
    ("isnan(a) | (b < 0.5)", lambda a, b, m: np.isnan(a) | (b < 0.5)),
    ("~isfinite(a) & (b > 0)", lambda a, b, m: ~np.isfinite(a) & (b > 0)),
    ("signbit(a) | isinf(b)", lambda a, b, m: np.signbit(a) | np.isinf(b)),
    ("where(isnan(a), b, a)", lambda a, b, m: np.where(np.isnan(a), b, a)),
    ("where(m, isnan(a), b > 0)", lambda a, b, m: np.where(m, np.isnan(a), b > 0)),
    ("isnan(a) * a", lambda a, b, m: np.isnan(a) * a),
    ("isnan(m) | isinf(m)", lambda a, b, m: np.isnan(m) | np.isinf(m)),
])
@pytest.mark.parametrize("dtype", FLOATS)
def test_bool_operands_and_results(formula, numpy_form, dtype):
    rng = np.random.default_rng(5)
    a, b = (rng.standard_normal((2, 6000)) * 2).astype(dtype)
    a[::7] = np.nan
    m = rng.random(6000) < 0.5
    got = qv.evaluate(formula, {"a": a, "b": b, "m": m})
    want = numpy_form(a, b, m)
    assert got.dtype == want.dtype
    assert same_bits(got, want) == []


@pytest.mark.parametrize("reduction", ["sum", "min", "max"])
@pytest.mark.parametrize("test, comparison", [("isnan(a)", "a != a"),
                                              ("signbit(a)", "copysign(1.0, a) < 0")])
@pytest.mark.parametrize("dtype", FLOATS)
def test_reductions_of_tests_are_those_of_comparisons(reduction, test, comparison, dtype):
    a = column(dtype, 3000, 7)
    got = qv.evaluate(f"{reduction}({test})", a=a)
    want = qv.evaluate(f"{reduction}({comparison})", a=a)
    assert got.dtype == want.dtype and got == want


def test_kernels_keep_numbers_for_comparisons(kernel, rt):
    # The Expr surface stays float64: a comparison or a predicate is 1.0 or 0.0 there.
    isnan = next(op for op in OPERATORS if op.name == "Isnan")
    x = kernel.arg("x")
    for expr, want in [(x > 0.5, [0.0, 1.0, 0.0]),
                       (_native.expr_from_nodes(["x"], [(ARG, 0), (UNARY, isnan.code)]),
                        [0.0, 0.0, 1.0])]:
        values = rt.asarray(np.array([0.2, 0.7, math.nan]))
        got = rt.go(kernel.map(kernel.elementwise(expr), x=values)).result().numpy()
        assert got.dtype == np.float64 and got.tolist() == want


@pytest.mark.parametrize("result, out, casting, allowed", [
    (np.float32, np.float64, "safe", True),
    (np.float64, np.float32, "safe", False),
    (np.float64, np.float32, "same_kind", True),
    (np.float32, np.int32, "same_kind", False),
    (np.float32, np.int32, "unsafe", True),
    (np.bool_, np.float32, "safe", True),
    (np.float64, np.bool_, "same_kind", False),
])
def test_out_takes_what_the_casting_rule_lets_it(result, out, casting, allowed):
    a = np.linspace(-2, 2, 9).astype(result if result != np.bool_ else np.float64)
    formula = "a > 0" if result == np.bool_ else "a * 3"
    want = qv.evaluate(formula, a=a)
    assert want.dtype == result
    into = np.zeros(9, out)
    if allowed:
        assert qv.evaluate(formula, a=a, out=into, casting=casting) is into
        assert np.array_equal(into, want.astype(out))
    else:
        with pytest.raises(TypeError, match=rf"argument 'out': dtype {np.dtype(out)} given; "
                                            rf"the result is {np.dtype(result)}, which "
                                            rf"casting='{casting}'"):
            qv.evaluate(formula, a=a, out=into, casting=casting)
        assert not into.any()  # nothing written


# Integers: NumPy's ufunc per operator with an integer form; the others compute the integers as
# float64, as NumPy does, and are checked against the float64 reference.
INTS = [np.int32, np.int64]
NUMPY_INT_FORMS = {
    "Neg": np.negative, "Abs": np.absolute, "Floor": np.floor, "Ceil": np.ceil,
    "Round": np.round, "Trunc": np.trunc, "Sign": np.sign, "Square": np.square,
    "Reciprocal": np.reciprocal, "Positive": np.positive, "OnesLike": np.ones_like,
    "Add": np.add, "Sub": np.subtract, "Mul": np.multiply, "Pow": np.power,
    "Min": np.minimum, "Max": np.maximum, "Fmod": np.fmod, "Fmin": np.fmin, "Fmax": np.fmax,
    "Minimum": np.minimum, "Maximum": np.maximum, "Remainder": np.remainder,
    "FloorDivide": np.floor_divide, "Real": np.real, "Imag": np.imag, "Conj": np.conjugate,
    **BITWISE,
}


def int_column(dtype, n, seed):
    """0, +-1, shift counts past the widths, the extremes, their neighbours and the middle
    (2**63 for uint64), then random values of every width."""
    info = np.iinfo(dtype)
    special = [0, 1, -1, 2, -2, 7, -7, 63, 64, info.min, info.max, info.min + 1, info.max - 1,
               info.max // 2, info.max // 2 + 1]
    rng = np.random.default_rng(seed)
    spread = rng.integers(info.min, info.max, n, dtype=dtype, endpoint=True)
    shifts = (rng.integers(0, 60, n) % np.iinfo(dtype).bits).astype(dtype)
    special = [v % 2**info.bits for v in special] if info.min == 0 else special  # exact
    return np.concatenate([np.array(special, dtype), spread >> shifts])


def int_pairs(dtypes, n=600):
    special = len(int_column(np.int32, 0, 0))
    ints = [t if np.issubdtype(t, np.integer) else np.int32 for t in dtypes]
    l, r = int_column(ints[0], n, 1), int_column(ints[-1], n, 2)
    grid_l, grid_r = np.meshgrid(np.arange(special), np.arange(special))
    return (np.concatenate([l[grid_l.ravel()], l]), np.concatenate([r[grid_r.ravel()], r]))


# The widths the engine computes in a wider integer, brought back to their own after each step.
NARROW_INTS = [np.int8, np.int16, np.uint8, np.uint16, np.uint32]
INT_CASES = [(op, dtypes) for op in OPERATORS for dtypes in
             [(t, t) for t in INTS + NARROW_INTS]
             + [(np.int32, np.int64), (np.int64, np.int32), (np.int32, np.float32),
                (np.float64, np.int64), (np.bool_, np.int32), (np.int8, np.uint8),
                (np.uint16, np.int16), (np.uint32, np.int32), (np.int16, np.float32),
                (np.uint8, np.int64), (np.uint64, np.uint64), (np.uint64, np.uint8),
                (np.int64, np.uint64), (np.uint16, np.uint64)]
             if (op.arity == 2 or dtypes[0] == dtypes[1])
             and op.name != "Complex"]  # of integer parts: in test_complex.py


@pytest.mark.parametrize("op, dtypes", INT_CASES, ids=[
    f"{op.name}-{'-'.join(d.__name__ for d in dtypes[:op.arity])}" for op, dtypes in INT_CASES])
def test_integer_operators_over_dtype_pairs(op, dtypes):
    names = ["x", "y"][:op.arity]
    columns = [c.astype(t) for c, t in zip(int_pairs(dtypes), dtypes)][:op.arity]
    if op.name == "Pow":  # NumPy refuses negative integer exponents
        columns[1] = np.abs(columns[1] % 70).astype(dtypes[1])
    nodes = [(ARG, i) for i in range(op.arity)] + [(op.kind, op.code)]
    repeat = 4096 // len(columns[0]) + 1
    expr = _native.expr_from_nodes(names, nodes)
    common = np.result_type(*columns)
    if op.name in BITWISE and common.kind == "f":  # NumPy refuses floats; so do we
        with pytest.raises(TypeError, match=rf"^ufunc '{BITWISE[op.name].__name__}' not"):
            _native.evaluate(expr, dict(zip(names, columns)))
        return
    # NumPy's float type for the other operators (its first loop that takes every operand):
    # float16 of 8-bit integers (float32 rounded to float16), float32 of 16-bit ones; true
    # division of integers is float64.
    floated = np.result_type(*[np.promote_types(t, np.float16) for t in dtypes[:op.arity]])
    if op.name == "Div" and common.kind in "biu":
        floated = np.dtype(np.float64)
    got = qv.evaluate(expr, **{n: np.tile(c, repeat) for n, c in zip(names, columns)})
    if op.predicate:
        want = getattr(np, NUMPY_TRUTH[op.name])(*columns)
    elif op.name in NUMPY_INT_FORMS and common.kind in "iu":
        with np.errstate(all="ignore"):
            want = NUMPY_INT_FORMS[op.name](*columns)
    else:  # as float64 (or float32), the float reference's bits; float16 as float32's
        wide = np.float32 if floated == np.float16 else floated
        with np.errstate(all="ignore"):
            want = expected(op, [c.astype(wide) for c in columns], wide).astype(floated)
    assert got.dtype == want.dtype
    assert same_bits(got, np.tile(want, repeat)) == []


@pytest.mark.parametrize("formula, operands, dtype", [
    ("a * 2", {"a": np.int32}, np.int32),                       # a Python int is weak
    ("a * 2.0", {"a": np.int32}, np.float64),
    ("a * b + 1", {"a": np.int32, "b": np.int64}, np.int64),
    ("a * f", {"a": np.int32, "f": np.float32}, np.float64),
    ("a / 2", {"a": np.int32}, np.float64),                     # true division is a float
    ("a // 3 + a % 3", {"a": np.int64}, np.int64),
    ("m + 2", {"m": np.bool_}, np.int64),
    ("a * s", {"a": np.int32, "s": np.int64(3)}, np.int64),      # NumPy scalars are not weak
    ("a * s", {"a": np.int32, "s": 3}, np.int32),
    ("where(a > 0, a, -a)", {"a": np.int64}, np.int64),
    ("where(a > 0, a, 0.5)", {"a": np.int32}, np.float64),
    ("sqrt(a) + a", {"a": np.int32}, np.float64),
    ("(a % 7) == 0", {"a": np.int32}, np.bool_),
    ("a & b | 3 ^ ~a", {"a": np.int32, "b": np.int64}, np.int64),
    ("(a & 255) ^ (m | 12)", {"a": np.int32, "m": np.bool_}, np.int64),
    ("(a > 0) | 6", {"a": np.int32}, np.int64),                  # bool with a Python int
    ("a & (7 & ~2)", {"a": np.int32}, np.int32),                 # literals folded as Python
    ("(a + 1) << b % 70 - 3 >> 2 & a", {"a": np.int64, "b": np.int32}, np.int64),
    ("m << (a >> 1 << 2)", {"a": np.int32, "m": np.bool_}, np.int32),
    ("(a & b) + (a | b) - ~(a ^ b)", {"a": np.int32, "b": np.int64}, np.int64),
    # int64 scalars past 2**53, exact: literals, Python ints, NumPy scalars, and steps over
    # scalars alone, wrapping as NumPy's int64 does
    ("a * 1152921504606846977 - 9223372036854775807", {"a": np.int64}, np.int64),
    ("a // 9007199254740993 + a % -4611686018427387905", {"a": np.int64}, np.int64),
    ("a - k", {"a": np.int64, "k": 2**63 - 1}, np.int64),
    ("a + k", {"a": np.int64, "k": -2**63}, np.int64),
    ("a * s", {"a": np.int64, "s": np.int64(2**60 + 1)}, np.int64),
    ("a // s + a % s", {"a": np.int32, "s": np.int64(-2**53 - 1)}, np.int64),
    ("a + (s + 1) * 3", {"a": np.int64, "s": np.int64(2**62)}, np.int64),
    ("where(a > 0, s - 1, a * 0.5 + s)", {"a": np.int64, "s": np.int64(2**62 + 3)}, np.float64),
    # parts over Python ints alone: Python's exact integers, then weak against the arrays
    ("a + (k + 1 - k)", {"a": np.int32, "k": 10**30}, np.int32),
    ("a + 2**62 - 3**34 - 2**64 // 3", {"a": np.int64}, np.int64),
    ("a * (k * k // 2**75) + (k >> 38 << 2)", {"a": np.int64, "k": 2**40 + 3}, np.int64),
    ("a - (-k % 7) + (~k ^ 5) * (k // -3)", {"a": np.int32, "k": 12345}, np.int32),
    ("a + (k + 1) + k ** 2 // k", {"a": np.int64, "k": 2**60 + 1}, np.int64),
    ("a + k / 3 - 2 ** -k", {"a": np.int64, "k": 2**60 + 1}, np.float64),  # Python's floats
    # their comparisons: Python's bools, exact, meeting the arrays as NumPy's bools
    ("a + (k == k + 1) - (k < k + 1) * 3", {"a": np.int32, "k": 2**53}, np.int32),
    ("(a > 0) & (k < j) | (a == k - j)", {"a": np.int64, "k": 2**60 + 1, "j": 2**60}, np.bool_),
    ("(a > 0) & (9007199254740993 > 2**53)", {"a": np.int32}, np.bool_),
    ("a + (s < 0) * a - (f > 0)", {"a": np.int32, "s": np.int64(-1), "f": -2.5}, np.int32),
    # NumPy's int32 scalars wrap in int32, as NumPy's scalar arithmetic
    ("a + (s + s)", {"a": np.int32, "s": np.int32(2**31 - 1)}, np.int32),
    ("a * (s * 3 - s)", {"a": np.int64, "s": np.int32(-2**30)}, np.int64),
    # narrow widths: each wrapped step feeds the next as NumPy's does
    ("a * b + c", {"a": np.int8, "b": np.int8, "c": np.int8}, np.int8),
    ("(a + b) // 3 % 5 >> 1", {"a": np.uint8, "b": np.uint8}, np.uint8),
    ("a * b + 1", {"a": np.int8, "b": np.uint8}, np.int16),
    ("a * b - 7", {"a": np.uint32, "b": np.int32}, np.int64),
    ("where(a * a > b, a * 3, -a) // 7", {"a": np.int16, "b": np.int16}, np.int16),
    ("a * f + sqrt(b)", {"a": np.int16, "b": np.uint16, "f": np.float32}, np.float32),
    ("a * s - a", {"a": np.uint8, "s": np.uint8(200)}, np.uint8),
    ("~a ^ (a << 3) + a * a", {"a": np.uint16}, np.uint16),
    # wrapped only where more than the low bits are read: by a division, a where read so, a
    # shift's amount, a comparison, a wider step
    ("where(c > 0, a * b, a - b) // 3", {"a": np.int8, "b": np.int8, "c": np.int8}, np.int8),
    ("-where(c > 0, a * b, ~a) * 3 + c", {"a": np.int8, "b": np.int8, "c": np.int8}, np.int8),
    ("(a * b + c) >> 2", {"a": np.int8, "b": np.int8, "c": np.int8}, np.int8),
    ("(a * a) << (b * b & 7)", {"a": np.uint8, "b": np.uint8}, np.uint8),
    ("(a * b > c) | (a + b == c)", {"a": np.int16, "b": np.int16, "c": np.int16}, np.bool_),
    ("(a * a + b) * c", {"a": np.int8, "b": np.int8, "c": np.int16}, np.int16),
    ("a * 3 - b", {"a": np.uint32(42), "b": np.int8(-3)}, np.int64),  # a 0-d result
    # Python bools meet arrays as NumPy's bool; parts over them alone are Python's ints
    ("a * k + (k + 1) - (k & j)", {"a": np.int32, "k": True, "j": False}, np.int32),
    ("(b * k) | (m & j) ^ k", {"b": np.int8, "m": np.bool_, "k": True, "j": True}, np.int8),
    # uint64 on int64's bits, its unsigned steps rewritten: exact comparisons (with Python ints
    # past either type, and with int64), divisions, logical shifts, float reads by value
    ("(a // b + a % b) * 3 - (a >> 1) + fmod(b, a)", {"a": np.uint64, "b": np.uint64}, np.uint64),
    ("where(a < b, minimum(a, b), maximum(a, 5) >> b % 70)", {"a": np.uint64, "b": np.uint64},
     np.uint64),
    ("(a < k) | (a >= s) & (a != c) | (a > -1) & (c <= a)",
     {"a": np.uint64, "k": 2**63 + 1, "s": np.uint64(7), "c": np.int64}, np.bool_),
    ("a // 12345678901234567890 + a % 2**63 - (a >> 64) + (a >> k)",
     {"a": np.uint64, "k": 63}, np.uint64),
    ("(a * 3 + 1) * 1.5 - sqrt(a // 3) + (a + c)", {"a": np.uint64, "c": np.int64}, np.float64),
    ("minimum(a, b) // (b | 1) - (b < a)", {"a": np.uint64, "b": np.uint16}, np.uint64),
    # bools under operators NumPy computes in int8 and float16
    ("m // n * 3 + m % n - (m ** n << 2)", {"m": np.bool_, "n": np.bool_}, np.int8),
    ("sqrt(m) * 2.5 - (n | m)", {"m": np.bool_, "n": np.bool_}, np.float16),
    # real, imag and conj keep a real dtype (of bools, conj is int8); of Python ints, Python's
    ("real(a) * 3 - imag(b) + conj(a)", {"a": np.int32, "b": np.int64}, np.int64),
    ("real(a) - imag(a) * conj(b)", {"a": np.int8, "b": np.uint8}, np.int16),
    ("conj(m) + real(m) * imag(n)", {"m": np.bool_, "n": np.bool_}, np.int8),
    ("a + real(3) - imag(7)", {"a": np.int16}, np.int16),
    # True and False are NumPy's bools beside arrays, Python's ints among literals
    ("where(a > 0, True, False)", {"a": np.int32}, np.bool_),
    ("a * True - (a > 0) * False + (True + 1)", {"a": np.int8}, np.int8),
    ("f * True + (True & (f > 0))", {"f": np.float32}, np.float32),
    ("f * (2.5 * True) - (True + 0.5) / -2.0 ** False", {"f": np.float32}, np.float32),
    ("where(a > 0, k, False) | (a < -5)", {"a": np.int16, "k": True}, np.bool_),
    # where makes an array of Python numbers it picks: NumPy's int64, float64, no longer weak
    ("where(a > 0, 1, 0) + a", {"a": np.int32}, np.int64),
    ("where(a > 0, 1, -2.5) * a", {"a": np.int8}, np.float64),
    ("where(a > 0, 3, a)", {"a": np.int16}, np.int16),
])
def test_integer_formulas_match_numpy(formula, operands, dtype):
    rng = np.random.default_rng(1)
    values = {name: (t if not isinstance(t, type) else
                     rng.integers(-1000, 1000, 5000).astype(t)) for name, t in operands.items()}
    got = qv.evaluate(formula, **values)
    text = qv.to_text(qv.parse(formula))  # its precedence written back
    assert _native.expr_nodes(qv.parse(text)) == _native.expr_nodes(qv.parse(formula))
    env = {**values, "where": np.where, "sqrt": np.sqrt, "fmod": np.fmod, "minimum": np.minimum,
           "maximum": np.maximum, "real": np.real, "imag": np.imag, "conj": np.conj}
    want = eval(formula, {"__builtins__": {}}, env)  # noqa: S307 - fixed test formulas
    assert got.dtype == want.dtype == dtype
    assert same_bits(got, want) == []
    traced = qv.evaluate(eval(f"lambda {', '.join(values)}: {formula}", env), **values)
    assert traced.dtype == want.dtype and same_bits(traced, want) == []


U64_EDGES = [0, 1, 2, 7, 63, 64, 65, 2**32 + 1, 2**62 - 1, 2**62 + 1, 2**63 - 1, 2**63, 2**63 + 1,
             2**64 - 2, 2**64 - 1]


@pytest.mark.parametrize("formula, ufunc", [
    ("x < k", np.less), ("x >= k", np.greater_equal), ("k == x", np.equal),
    ("minimum(x, k)", np.minimum), ("fmax(k, x)", np.fmax), ("x // k", np.floor_divide),
    ("x % k", np.remainder), ("fmod(x, k)", np.fmod), ("x >> k", np.right_shift)])
def test_uint64_edges_are_numpys(formula, ufunc):
    # Every pair of edge values, the operand an array, a Python int, a uint64 scalar or a
    # literal, both sides of the pool's threshold.
    x = np.repeat(np.array(U64_EDGES, np.uint64), 400)
    for k in U64_EDGES:
        with np.errstate(all="ignore"):
            want = ufunc(*((x, np.uint64(k)) if formula.index("x") < formula.index("k")
                           else (np.uint64(k), x)))
        for got in (qv.evaluate(formula, x=x, k=k), qv.evaluate(formula, x=x, k=np.uint64(k)),
                    qv.evaluate(formula, x=x, k=np.full(x.shape, k, np.uint64)),
                    qv.evaluate(formula.replace("k", str(k)), x=x[::400])):
            expected = want if len(got) == len(x) else want[::400]
            assert got.dtype == want.dtype and same_bits(got, expected) == [], (k, got)


# NumPy scalars (and 0-d arrays) written inside a traced function are strong, as in NumPy.
@pytest.mark.parametrize("scalar, dtype", [
    (np.int64(3), np.int8), (np.int64(-2), np.int32), (np.int32(7), np.int16),
    (np.int32(7), np.float32), (np.float32(2.5), np.int32), (np.float32(0.1), np.float32),
    (np.float64(0.1), np.float32), (np.True_, np.int8), (np.complex64(1 - 2j), np.float32),
    (np.asarray(5, np.int64), np.int16), (np.int64(3_000_000_001), np.int64)])
def test_numpy_scalars_in_traced_functions_keep_their_dtype(scalar, dtype):
    def formula(x, s):
        return x * s + (s - x) * 3 - s * s
    python = scalar.item()  # weak, the same formula otherwise: compiled first, kept apart
    plain = qv.compile(lambda x: formula(x, python))
    fn = lambda x: formula(x, scalar)  # noqa: E731
    x = np.arange(-20, 20).astype(dtype)
    kernel = qv.compile(fn)
    for x in (x, x.astype(np.float64)):  # one kernel, specialised per call dtypes
        with np.errstate(all="ignore"):
            want, weak = fn(x), formula(x, python)
        assert plain(x).dtype == weak.dtype
        for got in (kernel(x), pickle.loads(pickle.dumps(kernel))(x), qv.evaluate(fn, x=x)):
            assert got.dtype == want.dtype and got.tobytes() == want.tobytes()
    assert kernel != plain


def test_formulas_differing_in_a_constants_type_or_sign_are_kept_apart():
    a = np.arange(-5, 5, dtype=np.int8)
    for text in ("a + 3", "a + 3.0", "a + True", "a * 0.0", "a * -0.0"):  # one after another
        want = eval(text, {"a": a})  # noqa: S307 - fixed test formulas
        got = qv.compile(text)(a)
        assert got.dtype == want.dtype and got.tobytes() == want.tobytes()


@pytest.mark.parametrize("dtype", INTS)
def test_division_by_a_scalar_is_numpys(dtype):
    # One divisor for the whole array (a scalar argument, weak or typed, or a literal) divides
    # through its multiplier: NumPy's values over edge dividends and divisors, both sides of the
    # pool's threshold, up to the type's extremes (MIN, which text writes only as a negated
    # literal past int64, is a divisor in the table of integer formulas).
    info = np.iinfo(dtype)
    low, high = info.min + 1, info.max
    rng = np.random.default_rng(4)
    x = int_column(dtype, 5000, 3)
    powers = [sign * 2 ** k for k in range(1, info.bits - 1) for sign in (1, -1)]
    divisors = [0, 1, -1, 2, -2, 3, -3, 7, -7, low, high, low + 1, high - 1, *powers,
                *rng.integers(low, high, 20), *rng.integers(-1000, 1000, 10)]
    for k in map(int, divisors):
        for formula, ufunc in [("x // k", np.floor_divide), ("x % k", np.remainder),
                               ("fmod(x, k)", np.fmod)]:
            with np.errstate(all="ignore"):
                want = ufunc(x, dtype(k))
            for got in (qv.evaluate(formula, x=x, k=k), qv.evaluate(formula, x=x, k=dtype(k)),
                        qv.evaluate(formula.replace("k", f"({k})"), x=x),
                        qv.evaluate(formula, x=x[:100], k=k)):
                assert got.dtype == dtype
                assert np.array_equal(got, want[:len(got)]), (formula, k)


@pytest.mark.parametrize("dtype", INTS)
def test_float_to_integer_casts_are_numpys(dtype):
    # out= with casting='unsafe': out of range and NaN as NumPy's cast gives them here.
    a = np.array([1.5, -1.5, 2.0 ** 31, -2.0 ** 31 - 1, 2.0 ** 63, 1e300, -np.inf, np.nan, -0.0])
    out = np.empty(a.shape, dtype)
    qv.evaluate("a * 1.0", a=a, out=out, casting="unsafe")
    with np.errstate(invalid="ignore"):
        assert np.array_equal(out, a.astype(dtype))


@pytest.mark.parametrize("formula, dtype, scalars, error, message", [
    ("a + 2**40", np.int32, {}, OverflowError,
     "Python integer 1099511627776 out of bounds for int32"),
    ("a * -2147483649", np.int32, {}, OverflowError, "Python integer -2147483649 out of bounds"),
    ("a - 2**63", np.int64, {}, OverflowError, "Python integer 9223372036854775808 out of bounds"),
    ("sum(a + 99999999999999999999)", np.int64, {}, OverflowError,
     "Python integer 99999999999999999999 out of bounds for int64"),
    ("a + 99999999999999999999", np.int64, {}, OverflowError,  # as written, not as a float
     "Python integer 99999999999999999999 out of bounds for int64"),
    ("a * (2**64 - 1)", np.int32, {}, OverflowError,
     "Python integer 18446744073709551615 out of bounds for int32"),
    ("a ** -1", np.int64, {}, ValueError, "Integers to negative integer powers are not allowed."),
    # Python ints given as arguments, read in the type they meet (a reduction's too)
    ("a + k", np.int32, {"k": 2**40}, OverflowError,
     "Python integer 1099511627776 out of bounds for int32"),
    ("a * k - 1", np.int32, {"k": -2**31 - 1}, OverflowError,
     "Python integer -2147483649 out of bounds for int32"),
    ("a // k", np.int64, {"k": -2**63 - 2**11}, OverflowError,
     "Python integer -9223372036854777856 out of bounds for int64"),
    ("a + (k + 1)", np.int32, {"k": 2**40}, OverflowError,  # Python's sum, then checked
     "Python integer 1099511627777 out of bounds for int32"),
    ("sum(a - k * k)", np.int64, {"k": 2**40}, OverflowError,
     "Python integer 1208925819614629174706176 out of bounds for int64"),
    ("a + (k + s)", np.int32, {"k": 2**40, "s": np.int32(1)}, OverflowError,  # an int32 step
     "Python integer 1099511627776 out of bounds for int32"),
    ("sum(a & k)", np.int64, {"k": 2**63}, OverflowError,
     "Python integer 9223372036854775808 out of bounds for int64"),
    # two integer scalars: NumPy refuses before the array meets their power
    ("a + k ** j", np.int64, {"k": np.int64(2), "j": np.int32(-1)}, ValueError,
     "Integers to negative integer powers are not allowed."),
    # narrow widths: what the engine would compute with another meaning
    ("a + 300", np.int8, {}, OverflowError, "Python integer 300 out of bounds for int8"),
    ("a * (0.1 + 0.2)", np.float16, {}, TypeError, "quorvaline does not compute * of "
     "(float16, float) yet: a part over Python numbers alone is not rounded to float16"),
])
def test_what_numpy_refuses_of_integers_is_refused(formula, dtype, scalars, error, message):
    a = np.arange(5, dtype=dtype)
    with pytest.raises(error, match=f"^{re.escape(message)}"):
        qv.evaluate(formula, a=a, **scalars)
    if "&" not in formula and all(type(v) is int for v in scalars.values()):  # floats take it
        assert qv.evaluate(formula, a=a.astype(np.float64), **scalars).dtype == np.float64


@pytest.mark.parametrize("formula, scalars, error, message", [
    ("a + k // j", {"k": 1, "j": 0}, ZeroDivisionError, "by zero"),
    ("a + 7 % (3 - k)", {"k": 3}, ZeroDivisionError, "by zero"),
    ("a + 2 ** k", {"k": 10**9}, OverflowError, "integer part 2 ** 1000000000 has more than"),
    ("a + (k << j)", {"k": 1, "j": -1}, ValueError, "negative shift count"),
])
def test_parts_over_python_ints_raise_what_python_raises(formula, scalars, error, message):
    # NumPy's users meet Python's error: Python computes such a part before NumPy sees it.
    a = np.arange(5, dtype=np.int64)
    traced = eval(f"lambda a, {', '.join(scalars)}: {formula}")  # noqa: S307 - fixed formulas
    for call in (lambda: qv.evaluate(formula, a=a, **scalars),
                 lambda: qv.compile(formula)(a=a, **scalars),
                 lambda: qv.evaluate(traced, a=a, **scalars)):
        with pytest.raises(error, match=re.escape(message)):
            call()
    literal = formula.replace("k", str(scalars["k"])).replace("j", str(scalars.get("j")))
    with pytest.raises(ValueError, match=re.escape(error.__name__)):  # literals alone: parse
        qv.parse(literal)                                              # refuses, naming it


@pytest.mark.parametrize("formula, operands, want", [
    ("k * k", {"k": 2**40}, "Python integer 1208925819614629174706176 out of bounds for int64"),
    ("k * k + x", {"k": 2**40, "x": 0.5}, np.float64(2.0**80)),
    ("k == k + 1", {"k": 2**53}, np.False_),
    ("(k < j) + s", {"k": 1, "j": 2, "s": np.int32(5)}, np.int32(6)),
    ("k * k + x", {"k": 2**600, "x": 0.5},  # no dtype holds it
     f"Python integer {2**1200} too large to convert to float64"),
])
def test_python_int_values_are_what_numpy_makes_of_them(formula, operands, want):
    for call in (lambda: qv.evaluate(formula, **operands),
                 lambda: qv.compile(formula)(**operands)):
        if isinstance(want, str):
            with pytest.raises(OverflowError, match=f"^{re.escape(want)}$"):
                call()
        else:
            got = call()
            assert got.shape == () and got.dtype == want.dtype and got == want


@pytest.mark.parametrize("n", [5, 20_000])  # one thread, and the pool's pieces
@pytest.mark.parametrize("dtypes", [(np.int32, np.int32), (np.int64, np.int32),
                                    (np.int32, int)])
def test_negative_integer_exponents_held_in_operands_are_refused(dtypes, n):
    a = np.full(n, 2, dtypes[0])
    b = np.ones(n, np.int64).astype(dtypes[1]) if dtypes[1] is not int else -1
    if dtypes[1] is not int:
        b[n // 2] = -3
    for power in (np.power, lambda a, b: qv.evaluate("a ** b + 1", a=a, b=b),
                  lambda a, b: qv.evaluate("sum(a ** b)", a=a, b=b)):  # a fused reduction
        with pytest.raises(ValueError, match="^Integers to negative integer powers are not "
                                             "allowed.$"):
            power(a, b)
    if dtypes[1] is not int:  # and computed where none is
        b[n // 2] = 3
        assert same_bits(qv.evaluate("a ** b + 1", a=a, b=b), a ** b + 1) == []


@pytest.mark.parametrize("formula, operands, message", [
    ("a | 3", {"a": np.ones(4)}, r"^ufunc 'bitwise_or' not supported for the input types "
                                 r"\(float64, int\)$"),
    ("m & s", {"m": np.ones(4, bool), "s": 2.5}, r"^ufunc 'bitwise_and' .*\(bool, float\)$"),
    ("~a", {"a": np.ones(4, np.float32)}, r"^ufunc 'invert' .*\(float32\)$"),
    ("a >> 1", {"a": np.ones(4)}, r"^ufunc 'right_shift' .*\(float64, int\)$"),
])
def test_bitwise_operators_refuse_floats_as_numpy(formula, operands, message):
    with pytest.raises(TypeError, match=message):
        qv.evaluate(formula, **operands)


@pytest.mark.parametrize("dtype", NARROW_INTS + [np.uint64])
@pytest.mark.parametrize("op", ["sum", "prod", "mean", "min", "max"])
def test_reductions_of_narrow_integers_are_numpys(op, dtype):
    a, b = (int_column(dtype, 590, seed).reshape(-1, 11) for seed in (1, 2))
    with np.errstate(all="ignore"):
        cases = [(getattr(qv, op)(a, axis=axis), getattr(np, op)(a, axis=axis))
                 for axis in (None, 1)]
        if op != "mean":  # the formula text's reductions (a division's root too)
            texts = [("a * b + 3", a * b + dtype(3))]
            if dtype != np.uint64:  # its floor division is refused
                texts.append(("(a - b) // 5", (a - b) // dtype(5)))
            for text, value in texts:
                cases.append((qv.evaluate(f"{op}({text}, axis=0)"),
                              getattr(np, op)(value, axis=0)))
    for got, want in cases:
        got, want = np.asarray(got), np.asarray(want)
        assert got.dtype == want.dtype
        if op == "mean":  # added in the engine's strict order
            np.testing.assert_allclose(got, want, rtol=1e-12)
        else:
            assert got.tobytes() == want.tobytes()


# float16: each step computed in float32 and rounded to float16, as NumPy's float16 loops do.
@pytest.mark.parametrize("op", [op for op in OPERATORS if op.name != "Complex"],
                         ids=lambda op: op.name)
def test_float16_steps_are_float32_rounded_to_float16(op):
    halves = np.arange(2 ** 16, dtype=np.uint16).view(np.float16)  # every one, NaNs too
    rng = np.random.default_rng(6)
    columns = [halves, rng.permutation(halves)][:op.arity]
    if op.arity == 2:
        columns = [c[::16] for c in columns]
    names = ["x", "y"][:op.arity]
    expr = _native.expr_from_nodes(names, [(ARG, i) for i in range(op.arity)]
                                   + [(op.kind, op.code)])
    if op.name in BITWISE:  # NumPy refuses floats; so do we
        with pytest.raises(TypeError, match=rf"^ufunc '{BITWISE[op.name].__name__}' not"):
            qv.evaluate(expr, **dict(zip(names, columns)))
        return
    got = qv.evaluate(expr, **dict(zip(names, columns)))
    with np.errstate(all="ignore"):
        if op.predicate:
            want = getattr(np, NUMPY_TRUTH[op.name])(*columns)
        elif op.name in HALF_AS_NUMPY:  # rounding twice is rounding once: NumPy's bits
            want = HALF_AS_NUMPY[op.name](*columns)  # (its + and * keep the right NaN)
        else:
            wide = [c.astype(np.float32) for c in columns]
            want = expected(op, wide, np.float32).astype(np.float16)
    assert same_bits(got, want) == []


HALF_AS_NUMPY = {"Add": np.add, "Sub": np.subtract, "Mul": np.multiply, "Div": np.divide,
                 "Sqrt": np.sqrt}


# float16 beside narrow integers, and wrapped narrow intermediates read by float steps (each
# converted exactly where NumPy converts it): NumPy's dtype and bits over every float16 (NaN,
# inf, -0.0, subnormals) and each integer type's extremes, for a call and a compiled kernel.
MIXED = [
    ("i * i + f", {"i": np.int16, "f": np.float32}),
    ("sqrt(i * i) - f * i", {"i": np.uint16, "f": np.float32}),
    ("i * i + f", {"i": np.int8, "f": np.float64}),
    ("(i + j) * f", {"i": np.uint8, "j": np.uint8, "f": np.float32}),
    ("sqrt(i * j) + i * i", {"i": np.int8, "j": np.uint8}),  # int16 steps read as float32
    ("i * i + f", {"i": np.int16(300), "f": np.float32}),  # a NumPy scalar's wrapped square
    ("sqrt(n) * 2 + n * n", {"n": np.int8}),  # float16 steps of an int8
    ("sqrt(m) + m // n", {"m": np.float16, "n": np.int8}),
    ("m * n - n * n", {"m": np.float16, "n": np.uint8}),
    ("m * n - n * n", {"m": np.float16, "n": np.int16}),  # float32
    ("where(n > 0, m, sqrt(n * n)) / n", {"m": np.float16, "n": np.uint8}),
    ("m * n + i", {"m": np.float16, "n": np.int8, "i": np.uint32}),  # float64
]


@pytest.mark.parametrize("formula, operands", MIXED, ids=[f for f, _ in MIXED])
def test_narrow_integers_beside_floats_are_numpys(formula, operands):
    n = 2 ** 16
    halves = np.arange(n, dtype=np.uint16).view(np.float16)
    values = {name: t if not isinstance(t, type) else halves if t == np.float16
              else np.resize(column(t, n, 5), n) if t in FLOATS
              else np.random.default_rng(seed).permutation(np.resize(int_column(t, 300, 7), n))
              for seed, (name, t) in enumerate(operands.items())}
    with np.errstate(all="ignore"):
        want = eval(formula, {"__builtins__": {}},  # noqa: S307 - fixed test formulas
                    {**values, "sqrt": np.sqrt, "where": np.where})
        for got in (qv.evaluate(formula, **values), qv.compile(formula)(**values)):
            assert got.dtype == want.dtype
            assert same_bits(got, want) == []


# Narrow arrays are read in place, widened as loaded, and results narrowed as stored: each way
# NumPy's cast, over every value of the narrow type and random bits of the wide one (float32:
# float16's values, the midpoints between them and their neighbours, NaN payloads).
STORED = [(np.int8, np.int32), (np.int16, np.int32), (np.uint8, np.int32),
          (np.uint16, np.int32), (np.uint32, np.int64), (np.float16, np.float32)]


@pytest.mark.parametrize("narrow, wide", STORED, ids=lambda t: np.dtype(t).name)
def test_narrow_arrays_load_and_store_as_numpys_casts(narrow, wide):
    rng = np.random.default_rng(9)
    n_bits = np.dtype(wide).itemsize * 8
    unsigned = np.dtype(f"u{n_bits // 8}")
    wide_values = rng.integers(0, 2 ** n_bits, 300_000, dtype=unsigned).view(wide)
    if narrow == np.float16:
        narrow_values = np.arange(2 ** 16, dtype=np.uint16).view(np.float16)
        finite = narrow_values[:0x7c00].astype(np.float64)  # +0 up to 65504
        mid = ((finite[:-1] + finite[1:]) / 2).astype(np.float32)
        mid = np.concatenate([mid, -mid, np.float32([65520, -65520])])  # exact in float32
        bits = mid.view(np.uint32).astype(np.int64)
        near = [(bits + d).astype(np.uint32).view(np.float32) for d in (-1, 1)]
        wide_values = np.concatenate([wide_values, narrow_values.astype(np.float32), mid,
                                      *near])
    elif np.dtype(narrow).itemsize <= 2:
        info = np.iinfo(narrow)
        narrow_values = np.arange(info.min, info.max + 1).astype(narrow)
    else:
        narrow_values = wide_values.astype(narrow)
    a = _native.expr_from_nodes(["a"], [(ARG, 0)])
    out = np.empty(wide_values.size, narrow)
    with np.errstate(all="ignore"):
        assert _native.evaluate(a, {"a": wide_values}, out, True) is out
        assert out.tobytes() == wide_values.astype(narrow).tobytes()
    for column in (narrow_values, narrow_values[::3]):  # in place, and a strided copy
        got = _native.evaluate(a, {"a": column})
        assert got.dtype == wide and got.tobytes() == column.astype(wide).tobytes()


@pytest.mark.parametrize("dtype", NARROW_INTS)
def test_narrow_results_are_written_into_out(dtype):
    a, b = (int_column(dtype, 20_000, seed) for seed in (4, 5))
    with np.errstate(all="ignore"):
        want = a * b + dtype(3)
        out = np.empty_like(a)
        assert qv.evaluate("a * b + 3", out=out) is out and out.tobytes() == want.tobytes()
        strided = np.empty(2 * a.size, dtype)[::2]  # taken through a copy
        assert qv.evaluate("a * b + 3", out=strided) is strided
        assert strided.tobytes() == want.tobytes()
        assert qv.evaluate("x * 3", x=a[::2]).tobytes() == (a[::2] * dtype(3)).tobytes()
        qv.evaluate("a * b + 3", out=a)  # over its own operand
        assert a.tobytes() == want.tobytes()
# Bools under every operator, alone and beside each dtype and kind of number: NumPy's dtype,
# its values (a float16 step as the library's float32 function rounded to float16), and its
# refusals in its own words.
NUMPY_NAMES = {"Neg": "negative", "Abs": "absolute", "Sub": "subtract", "Mul": "multiply",
               "Div": "true_divide", "Pow": "power", "Atan2": "arctan2", "Min": "minimum",
               "Max": "maximum", "OnesLike": "ones_like", "FloorDivide": "floor_divide",
               **NUMPY_TRUTH, **{name: f.__name__ for name, f in BITWISE.items()}}
BOOL_PARTNERS = [np.bool_, np.int8, np.float16, np.int32, np.float32, np.float64, 3, 2.5,
                 np.True_, np.int8(3)]
BOOL_CASES = [(op, partner) for op in OPERATORS
              if op.name != "Complex"
              for partner in (BOOL_PARTNERS if op.arity == 2 else [np.bool_])]


def bool_operand(kind):
    if not isinstance(kind, type):
        return kind
    if kind == np.bool_:
        return np.array([True, False, True, False] * 8)
    if np.issubdtype(kind, np.integer):
        return int_column(kind, 21, 3)[:32]
    return column(kind, 4, 3)[:32]


@pytest.mark.parametrize("op, partner", BOOL_CASES, ids=[
    f"{op.name}-{getattr(p, '__name__', repr(p))}" for op, p in BOOL_CASES])
def test_bools_under_every_operator_are_numpys(op, partner):
    m = np.array([True, True, False, False] * 8)
    columns = [m, bool_operand(partner)][:op.arity]
    if op.name == "Pow" and isinstance(columns[1], np.ndarray) and columns[1].dtype.kind == "i":
        columns[1] = np.abs(columns[1] % 7).astype(columns[1].dtype)  # NumPy refuses x ** -1
    expr = _native.expr_from_nodes(["m", "p"][:op.arity],
                                   [(ARG, i) for i in range(op.arity)] + [(op.kind, op.code)])
    ufunc = np.round if op.name == "Round" else getattr(
        np, NUMPY_NAMES.get(op.name, op.name.lower()))
    try:
        with np.errstate(all="ignore"):
            want = np.asarray(ufunc(*columns))
    except TypeError as error:  # (NumPy's list of input types differs after 40 characters)
        with pytest.raises(type(error), match=f"^{re.escape(str(error)[:40])}"):
            qv.evaluate(expr, **dict(zip("mp", columns)))
        return
    got = qv.evaluate(expr, **dict(zip("mp", columns)))
    compiled = qv.compile(expr)(**dict(zip("mp", columns)))  # a kernel call, rerouted in C
    assert got.dtype == want.dtype and same_bits(compiled, got) == []
    if want.dtype.kind == "f" and not op.predicate and not (
            want.dtype == np.float16 and op.name in HALF_AS_NUMPY):
        wide = np.float32 if want.dtype == np.float16 else want.dtype
        floats = [np.broadcast_to(np.asarray(c).astype(wide), m.shape) for c in columns]
        want = expected(op, floats, wide).astype(want.dtype)
    assert same_bits(got, want) == []


# float16 values reduce in float32 in the engine's order, rounded to float16 once; bool steps
# reduce as the dtype NumPy gives them.
@pytest.mark.parametrize("op", ["sum", "prod", "mean", "min", "max"])
@pytest.mark.parametrize("formula", ["h", "h * 2.5 - h", "sqrt(m) + h", "m // n - m % n",
                                     "exp(m)", "sqrt(i) * 2 - i"])
def test_reductions_of_float16_and_bool_steps_are_numpys(op, formula):
    rng = np.random.default_rng(7)
    h = (rng.standard_normal((40, 9)) * 3).astype(np.float16)
    m, n, i = h > 0, h < 1, (h * 40).astype(np.int16).astype(np.int8)
    given = {name: v for name, v in {"h": h, "m": m, "n": n, "i": i}.items() if name in formula}
    env = {**given, "sqrt": np.sqrt, "exp": np.exp}
    with np.errstate(all="ignore"):
        values = qv.evaluate(formula, **given)
        assert values.dtype == eval(formula, {"__builtins__": {}}, env).dtype  # noqa: S307
        for axis in (None, 1):
            text = f"{op}({formula})" if axis is None else f"{op}({formula}, axis={axis})"
            # mean has no formula text: the function of the elementwise values
            got = np.asarray(getattr(qv, op)(values, axis=axis) if op == "mean"
                             else qv.evaluate(text, **given))
            want = np.asarray(getattr(np, op)(values, axis=axis))
            assert got.dtype == want.dtype
            if values.dtype == np.float16:  # float32 in order, rounded once
                once = getattr(qv, op)(values.astype(np.float32), axis=axis)
                assert got.tobytes() == np.asarray(once).astype(np.float16).tobytes()
                np.testing.assert_allclose(got, want, rtol=2e-3, atol=1e-2)
            elif op != "mean":
                assert got.tobytes() == want.tobytes()
