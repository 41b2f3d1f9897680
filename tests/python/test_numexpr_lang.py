"""numexpr's language and conventions: formulas as Python functions with NumPy's functions,
literal names, 0-d results, mappings of operands, positional kernel calls, and the drop-in
module quorvaline.numexpr."""
import ctypes
import ctypes.util
import itertools
import math

import numpy as np
import pytest

import quorvaline as qv
from quorvaline import kernel

LIBM = ctypes.CDLL(ctypes.util.find_library("m"))
_BINARY_LIBM = ("pow", "atan2", "hypot", "fmod", "fmin", "fmax")
for _name in ("sin", "cos", "tan", "exp", "log", "log2", "log10", "sqrt", "asinh", *_BINARY_LIBM):
    getattr(LIBM, _name).restype = ctypes.c_double
    getattr(LIBM, _name).argtypes = [ctypes.c_double] * (2 if _name in _BINARY_LIBM else 1)

SPECIAL = [0.0, -0.0, math.inf, -math.inf, math.nan, 5e-324, -2.5e-310, 1.0, -1.0, 0.5, 2.5,
           -3.5, 1e300, -1e-300, 700.0]
rng = np.random.default_rng(7)
X = np.array(SPECIAL * 2 + list(rng.standard_normal(30) * 10))
Y = np.array(SPECIAL[::-1] * 2 + list(rng.standard_normal(30)))


def libm(name):
    f = getattr(LIBM, name)
    return lambda *args: np.array([f(*map(float, v)) for v in zip(*args)])


def bits(a):
    return np.asarray(a, dtype=np.float64).view(np.uint64)


# A function under NumPy and compiled, its formula as text, and the reference of its bits:
# NumPy itself where NumPy's bits are IEEE arithmetic, or the platform library.
TRACED = [
    (lambda x, y: 2 * x + y / 3 - x ** 2, "2 * x + y / 3 - x ** 2", None),
    (lambda x, y: -x * +y, "-x * y", None),
    (lambda x, y: abs(x) + np.abs(y) + np.absolute(x), "abs(x) + abs(y) + abs(x)", None),
    (lambda x, y: np.add(x, np.multiply(y, 2.0)) - np.negative(x), "x + y * 2.0 - -x", None),
    (lambda x, y: np.divide(x, y) + np.subtract(y, x), "x / y + (y - x)", None),
    (lambda x, y: np.sqrt(x) + np.floor(y) + np.ceil(x), "sqrt(x) + floor(y) + ceil(x)", None),
    (lambda x, y: np.where(x > y, x, 1.5), "where(x > y, x, 1.5)", None),
    (lambda x, y: (x > 0) & (y <= 1) | ~(x == y), "(x > 0) & (y <= 1) | ~(x == y)", None),
    (lambda x, y: np.logical_and(x, y) * 2.0 + np.logical_not(y),
     "((x != 0.0) & (y != 0.0)) * 2.0 + ~(y != 0.0)", None),
    (lambda x, y: 1.0 * np.greater_equal(x, y) + np.not_equal(x, 0) - (x < True),
     "1.0 * (x >= y) + (x != 0) - (x < True)", None),
    (lambda x, y: np.sin(x) * np.cos(y) + np.tan(x), "sin(x) * cos(y) + tan(x)",
     lambda x, y: libm("sin")(x) * libm("cos")(y) + libm("tan")(x)),
    (lambda x, y: np.exp(y) - np.log(x) + np.log2(y) * np.log10(x),
     "exp(y) - log(x) + log2(y) * log10(x)",
     lambda x, y: libm("exp")(y) - libm("log")(x) + libm("log2")(y) * libm("log10")(x)),
    (lambda x, y: np.power(x, y) + np.arctan2(y, x), "pow(x, y) + atan2(y, x)",
     lambda x, y: libm("pow")(x, y) + libm("atan2")(y, x)),
    (lambda x, y: np.hypot(x, y) + np.arcsinh(x) - np.fmod(y, x),
     "hypot(x, y) + arcsinh(x) - fmod(y, x)",
     lambda x, y: libm("hypot")(x, y) + libm("asinh")(x) - libm("fmod")(y, x)),
    (lambda x, y: np.trunc(x) + np.rint(y) * np.copysign(x, y) - np.fabs(y),
     "trunc(x) + rint(y) * copysign(x, y) - abs(y)",
     lambda x, y: np.trunc(x) + np.rint(y) * np.copysign(x, y) - np.fabs(y)),
    # NumPy's own functions: NumPy's bits, NaN payloads included
    (lambda x, y: np.maximum(x, y) - np.minimum(y, 2.0) + np.clip(x, -1, y),
     "maximum(x, y) - minimum(y, 2.0) + minimum(y, maximum(-1, x))", None),
    (lambda x, y: x % y + y // x - np.mod(y, 3) * np.floor_divide(x, -2.5),
     "x % y + y // x - y % 3 * (x // -2.5)", None),
    (lambda x, y: np.round(x) + np.around(y, 2) + np.round(x, -1) + np.remainder(x, y),
     "rint(x) + rint(y * 100.0) / 100.0 + rint(x / 10.0) * 10.0 + x % y", None),
    (lambda x, y: np.where(np.isnan(x) | ~np.isfinite(y), np.sign(x), np.signbit(y) * 1.0),
     "where(isnan(x) | ~isfinite(y), sign(x), signbit(y) * 1.0)", None),
    (lambda x, y: np.logaddexp(x, y) + np.logaddexp2(y, x) * np.heaviside(x, y),
     "logaddexp(x, y) + logaddexp2(y, x) * heaviside(x, y)", None),
    (lambda x, y: np.square(x) + np.reciprocal(y) - np.degrees(np.radians(x)) + np.positive(y),
     "square(x) + reciprocal(y) - degrees(radians(x)) + y", None),
    (lambda x, y: np.fmax(x, y) - np.fmin(x, np.isinf(y) * 1.0),
     "fmax(x, y) - fmin(x, isinf(y) * 1.0)",
     lambda x, y: libm("fmax")(x, y) - libm("fmin")(x, np.isinf(y) * 1.0)),
]


@pytest.mark.parametrize("fn,text,reference", TRACED, ids=[t[1] for t in TRACED])
def test_a_numpy_function_compiles_to_its_formula_with_numpys_bits(fn, text, reference):
    assert qv.compile(fn) == qv.compile(qv.parse(text, names=["x", "y"]))
    with np.errstate(all="ignore"):
        expected = (fn if reference is None else reference)(X, Y)
    got = qv.evaluate(fn, x=X, y=Y)
    if reference is not None:  # which NaN an operator passes on is the hardware's: any NaN
        got, expected = (np.where(np.isnan(v), np.nan, v) for v in (got, expected))
    assert np.array_equal(bits(got), bits(expected))


@pytest.mark.parametrize("fn,message", [
    (lambda x: np.round(x, 1.5), r"np.round with decimals that are not an integer"),
    (lambda x: np.ldexp(x, 2), r"np.ldexp: there is no 'ldexp'"),
    (lambda x: np.sum(x * 2), r"np.sum is a reduction"),
    (lambda x: np.add.reduce(x), r"np.add.reduce"),
    (lambda x: np.sin(x, dtype=np.float32), r"keyword 'dtype' of np.sin"),
    (lambda x: (x > 0) + (x < 1), r"'\+' between two comparisons"),
    (lambda x: -(x > 0), r"'-' of a comparison"),
    (lambda x: x if x > 0 else -x, r"truth of a parameter .* np.where"),
    (lambda x: math.sin(x), r"cannot become a Python number"),
    (lambda x: x[0], r"indexing"),
    (lambda x: x * np.ones(3), r"an array inside the function .*pass it as a parameter"),
    (lambda x: np.sort(x), r"np.sort has no translation"),
    (lambda x: x + np.int8(3), r"a NumPy int8 scalar .* pass it as an operand"),
])
def test_what_has_no_same_meaning_is_refused_naming_the_function(fn, message):
    with pytest.raises(TypeError, match=r"^<lambda>\(\) cannot be compiled: .*" + message):
        qv.evaluate(fn, x=X)


def test_kernel_functions_still_compile_and_mixing_explains_both_kinds():
    assert qv.compile(lambda x: kernel.sqrt(x) + kernel.where_(x > 0, x, 0)) == \
        qv.compile("sqrt(x) + where(x > 0.0, x, 0.0)")  # Expr's constants are floats
    with pytest.raises(TypeError, match=r"mixes NumPy's functions with the kernel object's.*"
                                        r"kernel.sin\(e\) on Expr objects"):
        qv.evaluate(lambda x: kernel.sqrt(np.sin(x)), x=X)


def test_compile_decorates_and_kernels_take_operands_by_position_or_in_a_mapping():
    @qv.compile
    def f(x, y):
        return np.where(x > y, np.sqrt(x), -y)

    a, b = np.arange(4.0), np.full(4, 1.5)
    expected = np.where(a > b, np.sqrt(a), -b)
    for result in (f(a, b), f(a, y=b), f({"x": a, "y": b, "unused": "ignored"}),
                   qv.evaluate(f, {"y": b}, x=a), f(x=a, y=b)):
        assert np.array_equal(result, expected)
    for call, message in [(lambda: f(a, b, b), r"takes 2 operands by position \(x, y\), but 3"),
                          (lambda: f(a, x=a), "multiple values for argument 'x'"),
                          (lambda: f(a, b, z=1.0), "unexpected args: z")]:
        with pytest.raises((TypeError, ValueError), match=message):
            call()


def test_a_mapping_is_a_place_to_look_names_up_keywords_stay_strict():
    a = np.arange(3.0)
    scope = {"a": a, "b": 2.0, "label": "text is ignored", "c": None}
    for form in ("a * b", lambda a, b: a * b, kernel.arg("a") * kernel.arg("b")):
        assert np.array_equal(qv.evaluate(form, scope), a * 2.0)
    with pytest.raises(ValueError, match="^unexpected args: label$"):
        qv.evaluate("a * b", a=a, b=2.0, label=1.0)
    pandas = pytest.importorskip("pandas")
    frame = pandas.DataFrame({"a": a, "b": [1.0, 2.0, 3.0], "name": ["x", "y", "z"]})
    assert np.array_equal(qv.evaluate("a * b", frame), a * frame["b"].to_numpy())
    assert np.array_equal(qv.compile("a + b")(frame), a + frame["b"].to_numpy())


def test_local_and_global_dicts_replace_the_callers_scopes():
    a = np.arange(3.0)  # noqa: F841  (a local that local_dict hides)
    assert np.array_equal(qv.evaluate("a + 1", local_dict={"a": np.ones(3)}), np.full(3, 2.0))
    with pytest.raises(NameError, match="'zz'"):
        qv.evaluate("a * zz", local_dict={"a": 1.0}, global_dict={})
    both = qv.evaluate("a * zz", local_dict={"a": np.ones(2)}, global_dict={"zz": 3.0})
    assert both.tolist() == [3.0, 3.0]
    assert np.array_equal(qv.evaluate(kernel.arg("k") * 2, local_dict={"k": a}), a * 2)


def test_literal_names_come_after_operands_and_variables():
    x = np.array([0.5, 1.0])
    assert np.array_equal(qv.evaluate("sin(pi * x) + where(x > 9, inf, 0)", x=x),
                          np.array([LIBM.sin(math.pi * v) for v in x]))
    assert math.isnan(qv.evaluate("nan + x", x=1.0))
    pi = 3.0  # noqa: F841  (a variable of that name wins)
    assert qv.evaluate("pi * x", x=x).tolist() == [1.5, 3.0]
    assert qv.evaluate("pi * x", x=x, pi=4.0).tolist() == [2.0, 4.0]
    k = qv.compile("x * pi")  # no caller's variables: the constant
    assert k.names == ("x",) and k(x).tolist() == [math.pi / 2, math.pi]


@pytest.mark.parametrize("text,operands,expected", [
    ("37593**(1/5)", {}, 37593 ** (1 / 5)),
    ("2 + 3", {}, 5.0),
    ("a * b + 1", {"a": 2.0, "b": np.float64(3)}, 7.0),
    ("a * 2", {"a": np.array(1.5)}, 3.0),
    ("pi * True - False", {}, math.pi),
    ("a - b", {"a": np.float32(0.5), "b": True}, -0.5),
])
def test_formulas_without_arrays_give_0d_arrays(text, operands, expected):
    k = qv.compile(text)
    for result in [qv.evaluate(text, **operands), k(**operands), k(*operands.values()),
                   qv.evaluate(k, operands), k(operands, out=np.zeros(()))]:
        assert isinstance(result, np.ndarray) and result.shape == () and result[()] == expected
    with pytest.raises(ValueError, match="^unexpected args: zz$" if not operands else
                       "^missing arg"):
        k(zz=1.0) if not operands else k()


@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # NumPy on inf - inf
@pytest.mark.parametrize("text,reference", [
    ("copy(x) + conj(x) - real(x)", lambda x: np.copy(x) + np.conj(x) - np.real(x)),
    ("(x - 1).real * ones_like(x)", lambda x: (x - 1).real * np.ones_like(x)),
    ("imag(x) + x.imag", lambda x: np.imag(x) + x.imag),
])
def test_functions_of_complex_numbers_on_real_values_have_numpys_meaning(text, reference):
    assert (bits(qv.evaluate(text, x=X)) == bits(reference(X))).all()
    assert (bits(TestDropIn.ne.evaluate(text, local_dict={"x": X})) == bits(reference(X))).all()
    with pytest.raises(ValueError, match=r"^imag\(\) takes 1 argument, not 2 \(column 1\)$"):
        qv.evaluate("imag(x, x)", x=X)


def test_order_and_casting_have_numpys_meanings():
    f = np.asfortranarray(np.arange(6.0).reshape(2, 3))
    assert qv.evaluate("x * 2", x=f).flags.c_contiguous
    assert qv.evaluate("x * 2", x=f, order="K").flags.f_contiguous
    assert qv.evaluate("x * 2", x=f, order="F").flags.f_contiguous
    assert qv.evaluate("x * 2", x=f.T.copy(), order="A").flags.c_contiguous
    with pytest.raises(TypeError, match=r"^argument 'x': dtype int64 does not become float64 "
                                        r"under casting='no'$"):
        qv.evaluate("x * 2", x=np.arange(3), casting="no")
    with pytest.raises(ValueError, match="order must be one of"):
        qv.evaluate("x * 2", x=f, order="Z")


class TestDropIn:
    ne = pytest.importorskip("quorvaline.numexpr")

    def test_float64_formulas_give_numexprs_results(self):
        numexpr = pytest.importorskip("numexpr")
        a, b = X[np.isfinite(X)], Y[np.isfinite(X)]  # noqa: F841  (read by name)
        for text in ["2*a + 3*b", "where(a > b, a, -b)", "a / b - a", "(a > 0) & (b < 1)",
                     "sqrt(a*a + b*b)", "37593**(1/5)", "a < b",
                     "isnan(a) | ~isfinite(b / a)", "signbit(-a)"]:
            expected, got = numexpr.evaluate(text), self.ne.evaluate(text)
            assert got.dtype == expected.dtype and got.shape == expected.shape, text
            np.testing.assert_allclose(got, expected, rtol=1e-15, err_msg=text)
        # numexpr has no sum of bools ('sum_bbn'); NumPy's count is int64, as numexpr's sums
        count = self.ne.evaluate("sum(a > 0)", local_dict={"a": np.array([1.0, -1.0, 2.0])})
        assert count.dtype == np.int64 and count == 2

    @pytest.mark.parametrize("text,operands,message", [
        ("m + 1", {"m": np.ones(3, bool)}, "numexpr would give int32 values here, and NumPy's "
                                           "rules give int64"),
        ("contains(a, 'x')", {"a": np.ones(3)}, "strings"),
        ("a * a", {"a": np.ones(3, np.int8)}, "numexpr would give int32 values here, and "
                                              "NumPy's rules give int8"),
        ("a", {"a": np.uint32(42)}, "would give int64 values here, and NumPy's rules give uint32"),
    ])
    def test_what_it_cannot_give_is_refused_saying_so(self, text, operands, message):
        with pytest.raises(NotImplementedError, match=f"^quorvaline.numexpr: .*{message}"):
            self.ne.evaluate(text, local_dict=operands)

    def test_complex_operands_give_numexprs_values(self):
        numexpr = pytest.importorskip("numexpr")
        rng = np.random.default_rng(3)
        z, w = rng.standard_normal((2, 500, 2)) @ np.array([1, 1j])
        x = rng.standard_normal(500)
        for text in ["z * w + x", "z / w - z", "complex(x, x * 2) * z", "real(z) + imag(w)",
                     "conj(z) * -w", "where(x > 0, z, w)", "abs(z - w)", "z == w",
                     "x * 2.5e-3j - (1+2j) * z"]:
            expected = numexpr.evaluate(text, local_dict={"z": z, "w": w, "x": x})
            got = self.ne.evaluate(text, local_dict={"z": z, "w": w, "x": x})
            # numexpr's abs of a complex number is complex, NumPy's (and ours) real; its
            # division is its own formula, a few ulps from NumPy's, which test_complex checks.
            assert got.shape == expected.shape and got.dtype.kind in "bcf", text
            np.testing.assert_allclose(got, expected.real if got.dtype.kind == "f" else expected,
                                       rtol=1e-13, err_msg=text)

    @pytest.mark.parametrize("text,numpy_form", [
        ("a * b + c", lambda a, b, c: a * b + c),
        ("where(a > b, a, c) / 3", lambda a, b, c: np.where(a > b, a, c) / 3),
        ("a * 2.5", lambda a, b, c: a * 2.5),  # NumPy's float32; numexpr's float64
    ])
    def test_float32_operands_give_numpys_dtype_and_values(self, text, numpy_form):
        a, b, c = (np.linspace(-2, 2, 11, dtype=np.float32) * k for k in (1, 3, 7))
        got, want = self.ne.evaluate(text), numpy_form(a, b, c)
        assert got.dtype == want.dtype == np.float32
        assert got.tobytes() == want.tobytes(), text

    @pytest.mark.parametrize("text", ["a * b + 1", "a // 3 - b % 5", "where(a > b, a, -b)",
                                      "-a ** 2", "a / b"])
    @pytest.mark.parametrize("dtypes", [(np.int32, np.int32), (np.int64, np.int32)])
    def test_integer_operands_give_numexprs_dtype_and_values(self, text, dtypes):
        a, b = (np.arange(-50, 50).astype(t) * k for t, k in zip(dtypes, (7, 3)))
        b[b == 0] = 1  # numexpr's integer division by zero is not NumPy's
        numexpr = pytest.importorskip("numexpr")
        got, want = self.ne.evaluate(text), numexpr.evaluate(text)
        assert got.dtype == want.dtype and np.array_equal(got, want), text
        if "**" not in text:  # an int8 operand: numexpr's dtype is NumPy's here too
            small = {"a": a.astype(np.int8), "b": b}
            got, want = self.ne.evaluate(text, small), numexpr.evaluate(text, small)
            assert got.dtype == want.dtype and np.array_equal(got, want), text

    @pytest.mark.parametrize("op", ["sum", "prod", "min", "max"])
    def test_reductions_are_the_engines_reduction_of_the_materialised_values(self, op):
        rng = np.random.default_rng(3)
        a = rng.choice([0.5, -1.0, 2.0, -0.0, math.nan], size=(6, 5, 700))  # noqa: F841
        b = rng.random(700) * 1e-3                                          # noqa: F841
        values = self.ne.evaluate("a * b - b")
        previous = qv.set_num_threads(1)
        try:
            for threads, axis in itertools.product((1, 2), [None, 0, 1, 2, -1]):
                qv.set_num_threads(threads)
                text = f"{op}(a * b - b)" if axis is None else f"{op}(a * b - b, axis={axis})"
                got = self.ne.evaluate(text)
                want = np.asarray(getattr(qv, op)(values, axis=axis))
                assert got.shape == want.shape, text
                assert (bits(got) == bits(want)).all(), (text, threads)
                assert (bits(self.ne.NumExpr(text)(a, b)) == bits(want)).all(), text
        finally:
            qv.set_num_threads(previous)

    def test_numexprs_other_entry_points(self):
        ne = self.ne
        a, b = np.arange(3.0), np.full(3, 2.0)
        c = ne.NumExpr("b - a")  # inputs sorted by name, as numexpr orders them
        assert c.input_names == ("a", "b") and c.run(a, b).tolist() == [2.0, 1.0, 0.0]
        e = ne.NumExpr(2.0 * ne.E.b + ne.E.a, signature=[("b", float), ("a", float)])
        assert e(b, a).tolist() == [4.0, 5.0, 6.0]
        assert e(2.0, 1.0).shape == () and e(2.0, 1.0)[()] == 5.0  # numbers alone: 0-d
        assert ne.validate("a * b") is None and ne.re_evaluate().tolist() == [0.0, 2.0, 4.0]
        assert isinstance(ne.validate("a * nosuch"), KeyError)
        out = np.zeros(3, np.float32)
        assert ne.evaluate("a + b", out=out) is out and out.tolist() == [2.0, 3.0, 4.0]
        with pytest.raises(ValueError, match="Unknown keyword argument 'nosuch'"):
            ne.evaluate("a", nosuch=1)
        previous = ne.set_num_threads(1)
        try:
            assert ne.get_num_threads() == 1 == qv.get_num_threads()
        finally:
            ne.set_num_threads(previous)
        assert ne.ncores >= 1 and ne.use_vml is False and ne.__version__.startswith("2.")
