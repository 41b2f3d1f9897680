"""complex64 and complex128 operands: every complex operation against NumPy's own, bit for bit,
over every special value against every other (infinite and NaN parts, signed zeros) and random
ones, with NumPy's result dtype."""
import itertools
import math

import numpy as np
import pytest

import quorvaline as qv

PARTS = [0.0, -0.0, 1.0, -1.0, 0.5, -2.5, 3.0, 1e-310, 1e300, -1e-40, math.inf, -math.inf,
         math.nan]
SPECIAL = np.array([complex(re, im) for re, im in itertools.product(PARTS, PARTS)])


def column(dtype, side, n=3000):
    """Special values (each against every other when paired), then random ones."""
    rng = np.random.default_rng(side)
    k = len(SPECIAL)
    grid = SPECIAL[np.arange(k * k) // k if side == 0 else np.arange(k * k) % k]
    spread = rng.standard_normal((2, n)) * 10.0 ** rng.integers(-6, 6, (2, n))
    values = np.concatenate([grid, spread[0] + 1j * spread[1]])
    if np.dtype(dtype).kind == "c":
        return values.astype(dtype)
    return values.real.astype(dtype)


def bits(a):
    """The bits of every part (a complex array as its real parts' pairs), every NaN the same:
    the sign and payload of NumPy's NaNs follow its instructions' operand order."""
    a = np.asarray(a)
    if a.dtype.kind == "c":
        a = a.view(np.float32 if a.dtype == np.complex64 else np.float64)
    if a.dtype.kind == "f":
        a = np.where(np.isnan(a), np.nan, a).astype(a.dtype)
    return a.view({1: np.uint8, 4: np.uint32, 8: np.uint64}[a.dtype.itemsize])


def made_complex(re, im):
    out = np.empty(re.shape, np.result_type(re, im, np.complex64))
    out.real, out.imag = re, im
    return out


FORMULAS = {
    "a + b": np.add, "a - b": np.subtract, "a * b": np.multiply, "a / b": np.divide,
    "a == b": np.equal, "a != b": np.not_equal,
    "-a": lambda a, b: -a, "abs(a)": lambda a, b: np.abs(a), "real(a)": lambda a, b: a.real,
    "imag(a)": lambda a, b: np.imag(a), "conj(a)": lambda a, b: np.conj(a),
    "where(real(b) > 0, a, b)": lambda a, b: np.where(b.real > 0, a, b),
    "a * 2.5 - 1": lambda a, b: a * 2.5 - 1,
    # np.power, not a ** 2: NumPy's ** sends exponents 2, -1 and 0.5 to square, reciprocal
    # and sqrt, which round otherwise.
    "a ** b": np.power, "b ** a": lambda a, b: np.power(b, a),
    **{f"a ** {e}": (lambda e: lambda a, b: np.power(a, e))(e) for e in (2, -3, 99, 2.5)},
    **{f"{f}(a)": (lambda f: lambda a, b: f(a))(getattr(np, f)) for f in
       "sqrt exp expm1 log log1p log10 log2 sin cos tan arcsin arccos arctan sinh cosh tanh "
       "arcsinh arccosh arctanh sign rint ones_like isnan isinf isfinite".split()},
}
C = [np.complex64, np.complex128]
# Every pair with a complex operand; an operation of `a` alone, of a complex `a`.
CASES = [(f, (a, b)) for f in FORMULAS
         for a, b in itertools.product(C + [np.float32, np.float64, np.bool_], C)
         if "b" in f.replace("abs", "") or a in C]


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("formula, dtypes", CASES,
                         ids=[f"{f}-{a.__name__}-{b.__name__}" for f, (a, b) in CASES])
def test_operations_are_numpys_bit_for_bit(formula, dtypes, threads):
    a, b = column(dtypes[0], 0), column(dtypes[1], 1)
    with np.errstate(all="ignore"):
        want = FORMULAS[formula](a, b)
    # Past the parallel threshold, so that the pool's pieces are checked too.
    previous = qv.set_num_threads(threads)
    try:
        got = qv.evaluate(formula, {"a": np.tile(a, 2), "b": np.tile(b, 2)})
    finally:
        qv.set_num_threads(previous)
    assert got.dtype == want.dtype
    bad = np.flatnonzero((bits(got) != bits(np.tile(want, 2))).reshape(len(got), -1).any(1))
    assert [(i, got[i], np.tile(want, 2)[i], a[i % len(a)], b[i % len(b)])
            for i in bad[:4]] == []


@pytest.mark.parametrize("dtypes", [(np.float64, np.float64), (np.float32, np.float32),
                                    (np.float32, np.float64)])
def test_complex_of_two_real_parts(dtypes):
    re, im = column(dtypes[0], 0), column(dtypes[1], 1)
    got = qv.evaluate("complex(re, im)", re=re, im=im)
    want = made_complex(re, im)
    assert got.dtype == want.dtype and np.array_equal(bits(got), bits(want))
    # One part a number, which takes the other's type.
    got = qv.evaluate("complex(re, 0.5)", re=re)
    want = made_complex(re, np.full_like(re, 0.5))
    assert got.dtype == want.dtype and np.array_equal(bits(got), bits(want))


def test_complex_arrays_are_read_in_place_and_written_under_the_casting_rules():
    a = column(np.complex128, 0)
    out = np.empty_like(a)
    assert qv.evaluate("a * a", a=a, out=out) is out
    assert np.array_equal(bits(out), bits(a * a))
    wide = np.empty(len(a), np.complex128)  # complex64 into complex128 is safe
    qv.evaluate("b + b", b=a.astype(np.complex64), out=wide, casting="safe")
    b = a.astype(np.complex64)
    assert np.array_equal(bits(wide), bits((b + b).astype(np.complex128)))
    real = np.zeros(len(a))
    for casting in ("safe", "same_kind"):
        with pytest.raises(TypeError, match="the result is complex128, which casting="):
            qv.evaluate("a + 1", a=a, out=real, casting=casting)
    assert not real.any()
    # A strided complex array is copied once, with the same values.
    strided = np.tile(a, 2)[::2]
    assert np.array_equal(bits(qv.evaluate("s * 2", s=strided)), bits(strided * 2))


@pytest.mark.parametrize("formula, message", [
    ("floor(a)", "floor is not defined for complex128 values"),
    ("cbrt(a)", "cbrt is not defined for complex128 values"),
    ("signbit(a)", "signbit is not defined for complex128 values"),
    ("a < b", "< is not defined for complex128 values"),
    ("complex(a, b)", "complex is not defined for complex128 values"),
])
def test_operations_without_a_complex_form_are_refused(formula, message):
    a = np.ones(4, np.complex128)
    with pytest.raises(TypeError, match=message.replace("(", r"\(").replace(")", r"\)")):
        qv.evaluate(formula, {"a": a, "b": a})


# Complex scalars: Python's weak (float32 data times 1j is complex64), NumPy's strong, as
# NumPy 2 promotes them; written in the text, passed as operands, or captured by a lambda.
SCALAR_CASES = [
    ("x * z", {"z": 1j}, lambda x: x * 1j),
    ("x * z", {"z": complex(-0.0, math.inf)}, lambda x: x * complex(-0.0, math.inf)),
    ("x * z", {"z": np.complex128(2 - 1j)}, lambda x: x * np.complex128(2 - 1j)),
    ("z / x", {"z": np.complex64(1 + 2j)}, lambda x: np.complex64(1 + 2j) / x),
    ("x - z", {"z": np.array(0.5j)}, lambda x: x - np.array(0.5j)),
    ("x + 2.5e-3j", {}, lambda x: x + 2.5e-3j),
    ("(1+2j) * x - 1j", {}, lambda x: (1 + 2j) * x - 1j),
    ("-1j * x", {}, lambda x: -1j * x),
    ("where(real(x) > 0, 1j, x)", {}, lambda x: np.where(x.real > 0, 1j, x)),
    ("complex(1.5, -0.0) * x", {}, lambda x: complex(1.5, -0.0) * x),
    ("x * complex(f, 2.0)", {"f": np.float32(0.1)},
     lambda x: x * np.complex64(complex(np.float32(0.1), 2.0))),
    (lambda x: x * (3 - 4j), {}, lambda x: x * (3 - 4j)),
]


@pytest.mark.parametrize("dtype", [np.float32, np.float64, np.complex64, np.complex128])
@pytest.mark.parametrize("formula, scalars, reference", SCALAR_CASES,
                         ids=[str(i) for i in range(len(SCALAR_CASES))])
def test_complex_scalars_promote_and_compute_as_numpys(formula, scalars, reference, dtype):
    x = column(dtype, 0)
    with np.errstate(all="ignore"):
        want = np.asarray(reference(x))
    got = qv.evaluate(formula, {"x": x, **scalars})
    assert got.dtype == want.dtype
    assert np.array_equal(bits(got), bits(want))


def test_complex_constants_travel_in_text_kernels_and_pickles():
    import pickle
    x = column(np.complex64, 0)
    kern = qv.compile("x * (1-2j) + 2.5e-3j")
    want = qv.evaluate("x * (1-2j) + 2.5e-3j", x=x)
    assert want.dtype == np.complex64
    for again in (kern, pickle.loads(pickle.dumps(kern)), qv.compile(qv.to_text(kern.expr))):
        assert np.array_equal(bits(again(x)), bits(want))
    # All numbers: a 0-d result, as numexpr gives.
    assert qv.evaluate("(1+2j) * (3-1j)") == (1 + 2j) * (3 - 1j)
