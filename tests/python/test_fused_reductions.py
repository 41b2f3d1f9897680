"""Reductions along axes, fused with their formula (text) or of an array (qv.sum and the
others): bit for bit the engine's in-order reduction of the materialised values, for every
axis, keepdims and thread count; NumPy's shapes, dtype, identities and errors."""
import itertools
import math
import struct

import numpy as np
import pytest

import quorvaline as qv

FORMULA = "a * b + c"
# Enough values for the pool (split over kept axes, or computed ahead); long rows, and short
# rows folded four at a time, whose results wrap around a kept axis of 23.
SHAPES = [(8, 6, 2048), (40, 23, 10)]
AXES = [None, 0, 1, 2, -1, (0, 1), (0, 2), (1, 2), (-3, -1), (0, 1, 2), ()]
OPS = ["sum", "prod", "min", "max", "mean"]
SPECIALS = [math.nan, -math.nan, struct.unpack("<d", struct.pack("<Q", 0xFFF8_0000_0000_BEEF))[0],
            0.0, -0.0, math.inf, -math.inf, 5e-324]


def bits(values):
    return np.ascontiguousarray(values, dtype=np.float64).view(np.uint64)


def canonical_nan(values):
    values = np.array(values, dtype=np.float64)
    values[np.isnan(values)] = math.nan
    return values


@pytest.fixture(scope="module", params=SHAPES, ids=str)
def operands(request):
    shape = request.param
    rng = np.random.default_rng(7)
    a = rng.choice([0.5, -0.5, 1.0, -1.0, 2.0, -2.0], size=shape)
    b = rng.choice([0.5, 1.0, 2.0, -1.0], size=shape[1:])  # broadcast along axis 0
    c = rng.random(shape) * 1e-3                            # sums that depend on their order
    spots = rng.choice(a.size, size=40, replace=False)
    a.flat[spots] = rng.choice(SPECIALS, size=spots.size)
    c.flat[spots[:10]] = -0.0
    a[3, 2, :] = c[3, 2, :] = -0.0  # a whole reduced run of signed zeros
    return {"a": a, "b": b, "c": c}


def reduced_rows(values, axis):
    """The values as rows: one per result element, its values in C order."""
    ndim = values.ndim
    axes = tuple(range(ndim)) if axis is None else tuple(
        a % ndim for a in ((axis,) if isinstance(axis, int) else axis))
    kept = [a for a in range(ndim) if a not in axes]
    rows = np.moveaxis(values, list(axes), list(range(len(kept), ndim)))
    return rows.reshape(int(np.prod([values.shape[a] for a in kept])), -1)


def in_order(values, op, axis):
    """The reduction of materialised values in C order over the reduced axes, one step per
    reduced position through the engine's own elementwise add and multiply (the left NaN
    wins, as in its sums) and its own full reductions."""
    rows = reduced_rows(values, axis)
    if rows.shape[0] == 1 and op != "prod":
        full = getattr(qv, op)(rows[0])
        return np.array([full])
    acc = np.full(rows.shape[0], {"prod": 1.0, "min": math.inf, "max": -math.inf}.get(op, -0.0))
    for col in rows.T:
        col = np.ascontiguousarray(col)
        if op in ("sum", "mean"):
            acc = qv.evaluate("acc + x", acc=acc, x=col)
        elif op == "prod":
            acc = qv.evaluate("acc * x", acc=acc, x=col)
        else:
            better = col < acc if op == "min" else col > acc
            acc = np.where(np.isnan(acc) | np.isnan(col), math.nan, np.where(better, col, acc))
    return acc / rows.shape[1] if op == "mean" else acc


@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # NumPy on NaN
@pytest.mark.parametrize("op,axis", list(itertools.product(OPS, AXES)))
def test_fused_reduction_is_the_in_order_reduction_of_the_materialised_values(operands, op, axis):
    values = qv.evaluate(FORMULA, operands)
    want = in_order(values, op, axis)
    compare = canonical_nan if op == "prod" else np.asarray  # Python's product picks any NaN
    text = f"{op}({FORMULA}, axis={axis!r})" if op != "mean" else None
    previous = qv.set_num_threads(1)
    try:
        for threads, keepdims in itertools.product((1, 2), (False, True)):
            qv.set_num_threads(threads)
            numpy_result = getattr(np, op)(values, axis=axis, keepdims=keepdims)
            routes = [getattr(qv, op)(values, axis=axis, keepdims=keepdims)]
            if text is not None:
                routes.append(qv.evaluate(text if not keepdims else text[:-1] + ", keepdims=True)",
                                          operands))
            for got in routes:
                got = np.asarray(got)
                assert got.dtype == np.float64 and got.shape == numpy_result.shape
                same = bits(compare(got)).ravel() == bits(compare(want))
                assert same.all(), (threads, keepdims)
                if op in ("min", "max"):  # no rounding: NumPy's order gives the same values
                    np.testing.assert_array_equal(got, numpy_result)
                else:
                    np.testing.assert_allclose(got, numpy_result, rtol=1e-11)
    finally:
        qv.set_num_threads(previous)


def test_full_reductions_keep_their_python_float_and_bits(operands):
    a = operands["a"]
    for op in ("sum", "mean", "min", "max"):
        got = getattr(qv, op)(a)
        assert type(got) is float
        assert bits(got) == bits(getattr(qv, op)(np.ravel(a), axis=0))
    assert type(qv.prod(a)) is float and qv.prod([2.0, 3.0, 0.5]) == 3.0
    assert qv.evaluate("sum(a * 2)", a=np.array([1.0, 2.0])).shape == ()  # 0-d, as numexpr


@pytest.mark.parametrize("shape,axis,want", [
    ((0, 3), 0, {"sum": [0.0] * 3, "prod": [1.0] * 3, "mean": [math.nan] * 3}),
    ((3, 0), 0, {op: [] for op in OPS}),
    ((3, 0), 1, {"sum": [0.0] * 3, "prod": [1.0] * 3, "mean": [math.nan] * 3}),
])
def test_empty_axes_give_numpy_identities_or_its_error(shape, axis, want):
    x = np.zeros(shape)
    for op in OPS:
        if op in want:
            got = getattr(qv, op)(x, axis=axis)
            assert bits(got).tolist() == bits(want[op]).tolist()
        else:
            name = "minimum" if op == "min" else "maximum"
            with pytest.raises(ValueError, match=f"zero-size array to reduction operation {name}"):
                getattr(qv, op)(x, axis=axis)


@pytest.mark.parametrize("call,error,match", [
    (lambda x: qv.sum(x, axis=2), np.exceptions.AxisError, "axis 2 is out of bounds"),
    (lambda x: qv.max(x, axis=-3), np.exceptions.AxisError, "axis -3 is out of bounds"),
    (lambda x: qv.sum(x, axis=(1, -1)), ValueError, "duplicate value in 'axis'"),
    (lambda x: qv.sum(x, axis=1.0), TypeError, "axis"),
    (lambda x: qv.evaluate("min(x, y)", x=x, y=x), ValueError, r"minimum\(a, b\).*fmin\(a, b\)"),
    (lambda x: qv.evaluate("max(x, 2 * x)", x=x), ValueError, r"maximum\(a, b\).*fmax"),
    (lambda x: qv.evaluate("1 + sum(x)", x=x), ValueError, "outermost call.*column 5"),
    (lambda x: qv.evaluate("sum(x, axis=0, axis=1)", x=x), ValueError, "axis twice"),
    (lambda x: qv.evaluate("sum(x, 0, axis=1)", x=x), ValueError, "axis twice"),
    (lambda x: qv.evaluate("sum(x, keepdims=1)", x=x), ValueError, "True or False"),
    (lambda x: qv.evaluate("sum(x, where=x)", x=x), ValueError, "'where' is not allowed"),
    (lambda x: qv.evaluate("prod()", x=x), ValueError, "not 0 arguments"),
    (lambda x: qv.evaluate("sum(x, 1)", x=x, out=np.empty(3)), ValueError, "argument 'out'"),
])
def test_refusals(call, error, match):
    with pytest.raises(error, match=match):
        call(np.ones((2, 3)))


def test_text_reductions_read_numexpr_axes_and_write_out():
    x = np.arange(6.0).reshape(2, 3)
    # numexpr's meaning: the second argument is the axis
    assert qv.evaluate("max(x, 0)").tolist() == x.max(axis=0).tolist() == [3.0, 4.0, 5.0]
    assert qv.evaluate("min(x, -1)").tolist() == [0.0, 3.0]
    assert qv.evaluate("sum(x, axis=(0, 1), keepdims=True)").tolist() == [[15.0]]
    out = np.empty(2)
    assert qv.evaluate("prod(x + 1, axis=1)", out=out) is out and out.tolist() == [6.0, 120.0]
    assert qv.to_text(qv.kernel.min(qv.kernel.arg("x"), qv.kernel.arg("y"))) == "kernel_min(x, y)"


# Typed values: the formula per dtype, and operands of its dtype (large integers, so that
# int32 sums pass int32's range and int64 sums and products wrap).
TYPED = {
    "float32": ("a * b + c", lambda rng, s: {k: ((rng.random(s) + 0.5) * rng.choice([-1, 1], s))
                                             .astype(np.float32) for k in "abc"}),
    "int32": ("a * 3 + b", lambda rng, s: {k: rng.integers(-2**29, 2**29, s, dtype=np.int32)
                                           for k in "ab"}),
    "int64": ("a * 3 + b", lambda rng, s: {k: rng.integers(-2**61, 2**61, s, dtype=np.int64)
                                           for k in "ab"}),
    "bool": ("a & (b < 0.5)", lambda rng, s: {"a": rng.random(s) < 0.7, "b": rng.random(s)}),
    # Near the unit circle, so that products of hundreds stay finite; (1+2j) a complex scalar.
    **{dtype: ("a * b + c * (1+2j)", lambda rng, s, dtype=dtype: {
        k: (np.exp(2j * np.pi * rng.random(s)) * (0.8 + 0.4 * rng.random(s))).astype(dtype)
        for k in "abc"}) for dtype in ("complex64", "complex128")},
}


def strict_order(values, op, axis, dtype):
    """The reduction in C order over the reduced axes, one step at a time in the result's
    dtype: NumPy's accumulate is sequential (its reduce adds floats pairwise)."""
    rows = reduced_rows(values, axis)
    if op in ("min", "max"):
        return getattr(np, op)(rows, axis=1)
    ufunc = np.multiply if op == "prod" else np.add
    total = ufunc.accumulate(rows, axis=1, dtype=dtype)[:, -1]
    if op == "mean" and total.dtype.kind == "c":
        return total / total.dtype.type(rows.shape[1])  # NumPy's complex quotient
    return (total.astype(np.float64) / rows.shape[1]).astype(dtype) if op == "mean" else total


@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # float32 products out of range
@pytest.mark.parametrize("dtype,op", list(itertools.product(TYPED, OPS)))
def test_typed_reductions_give_numpy_dtypes_in_strict_order(dtype, op):
    formula, make = TYPED[dtype]
    operands = make(np.random.default_rng(3), (6, 5, 300))
    values = qv.evaluate(formula, operands)
    assert values.dtype == dtype
    if dtype.startswith("complex") and op in ("min", "max"):
        with pytest.raises(TypeError, match=f"{op}.. does not reduce values of dtype {dtype} "
                                            r"\(complex numbers have no order\)"):
            getattr(qv, op)(values)
        return
    previous = qv.set_num_threads(1)
    try:
        for axis, threads in itertools.product(AXES, (1, 2)):
            qv.set_num_threads(threads)
            numpy_result = np.asarray(getattr(np, op)(values, axis=axis))
            want = strict_order(values, op, axis, numpy_result.dtype)
            routes = [getattr(qv, op)(values, axis=axis)]
            if op != "mean":
                routes.append(qv.evaluate(f"{op}({formula}, axis={axis!r})", operands))
            for got in routes:
                got = np.asarray(got)
                assert (got.dtype, got.shape) == (numpy_result.dtype, numpy_result.shape)
                assert got.tobytes() == want.astype(got.dtype).tobytes(), (axis, threads)
                # Exact: NumPy's too. (NumPy multiplies complex values along the last axis as
                # the strict order does, along others with its elementwise fused loop.)
                if op in ("min", "max") or (dtype[0] in "ib" and op != "mean") or (
                        dtype[0] == "c" and op == "prod" and axis in (None, -1, 2)):
                    np.testing.assert_array_equal(got, numpy_result)  # exact: NumPy's too
    finally:
        qv.set_num_threads(previous)


def test_typed_reductions_of_nothing_and_of_unreducible_types():
    assert qv.sum(np.zeros((0, 2), np.int32), axis=0).tolist() == [0, 0]
    assert qv.prod(np.zeros(0, np.float32)).dtype == np.float32
    assert type(qv.sum(np.array([True, True]))) is np.int64
    with pytest.raises(ValueError, match="zero-size array to reduction operation maximum"):
        qv.max(np.zeros(0, np.int64))
    with pytest.raises(ValueError, match="argument 'out'"):
        qv.evaluate("sum(x, 0)", x=np.ones((2, 3), np.int32), out=np.empty(3, np.int32))
