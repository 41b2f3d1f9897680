"""The quorvaline package: re-exports, and the one-call helpers against the engine itself."""
import math
import tracemalloc

import numpy as np
import pytest

import _quorvaline
import quorvaline as qv
from quorvaline import kernel, rt

TARGET = "PyArray<T, D>"


def engine_map(expr, **values):
    bound = {k: rt.asarray(v) if isinstance(v, np.ndarray) else v for k, v in values.items()}
    return rt.go(kernel.map(kernel.elementwise(expr), **bound)).result().numpy()


def test_reexports_are_the_engine_objects():
    for name in ["Buffer", "Channel", "Expr", "KernelSpec", "MapSpec", "RecvCase", "ReduceSpec",
                 "TaskHandle", "py_select", "__version__"]:
        assert getattr(qv, name) is getattr(_quorvaline, name)
    assert type(qv.kernel) is _quorvaline._KernelModule
    assert type(qv.rt) is _quorvaline._RuntimeModule
    assert set(qv.__all__) <= set(dir(qv))
    assert not {"sum", "min", "max", "mean"} & set(qv.__all__)


SIZES = [0, 3, 5000]  # 5000 runs on the worker pool

EXPRESSIONS = [
    ("x * y + 1", lambda x, y: x * y + 1),
    ("atan2(sqrt(x*x+y*y), x)", lambda x, y: kernel.atan2(kernel.sqrt(x * x + y * y), x)),
    ("where_(x > y, log(x), -y)", lambda x, y: kernel.where_(x > y, kernel.log(x), -y)),
]


class TestEvaluate:
    @pytest.mark.parametrize("n", SIZES)
    @pytest.mark.parametrize("text,build", EXPRESSIONS, ids=[e[0] for e in EXPRESSIONS])
    def test_equals_the_engine_bit_for_bit(self, n, text, build):
        rng = np.random.default_rng(n)
        xs, ys = rng.random(n) * 4 - 1, rng.random(n) * 4 - 1
        x, y = kernel.args("x", "y")
        expected = engine_map(build(x, y), x=xs, y=ys)
        by_expr = qv.evaluate(build(x, y), x=xs, y=ys)
        by_callable = qv.evaluate(build, x=xs, y=ys)
        by_mapping = qv.evaluate(build, {"x": xs}, y=ys)
        for got in (by_expr, by_callable, by_mapping):
            assert got.dtype == np.float64 and got.shape == (n,)
            assert got.tobytes() == expected.tobytes()

    def test_numbers_buffers_and_arrays_mix(self):
        xs = np.array([1.0, 2.0, 3.0])
        out = qv.evaluate(lambda x, y, z: x * y + z, x=xs, y=rt.asarray(xs), z=True)
        assert out.tolist() == [2.0, 5.0, 10.0]

    def test_one_copy_in_and_one_out(self):
        xs = np.arange(1_000_000, dtype=np.float64)
        before = xs.copy()
        tracemalloc.start()
        try:
            out = qv.evaluate(lambda x: x * 2, x=xs)
            _, peak = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
        # The copy in lives in the engine; NumPy allocates only the result.
        assert peak < 1.5 * out.nbytes
        assert out.flags.owndata and not np.shares_memory(out, xs)
        assert np.array_equal(xs, before) and out[-1] == 1_999_998.0

    def test_a_name_clashing_with_convert_goes_in_the_mapping(self):
        xs = np.array([1.0, 2.0])
        assert qv.evaluate(lambda convert: convert + 1, {"convert": xs}).tolist() == [2.0, 3.0]


def strided():
    return np.arange(8.0)[::2]


class TestEvaluateRefusals:
    @pytest.mark.parametrize("y,error,message", [
        (np.arange(4), TypeError, f"argument 'y': 'ndarray' object cannot be converted to '{TARGET}'"),
        (np.zeros(4, np.float32), TypeError,
         f"argument 'y': 'ndarray' object cannot be converted to '{TARGET}'"),
        (np.zeros((2, 2)), TypeError,
         f"argument 'y': 'ndarray' object cannot be converted to '{TARGET}'"),
        (strided(), ValueError,
         "argument 'y': contiguous array required (pass convert=True to copy it)"),
        (np.zeros(3), ValueError, "argument 'y': buffer length mismatch: 4 vs 3"),
        ([1.0, 2.0, 3.0, 4.0], TypeError, "argument 'y' must be Buffer or numeric"),
        ("text", TypeError, "argument 'y': 'str' object is text, not a number"),
    ], ids=["int64", "float32", "2-d", "strided", "length", "list", "str"])
    def test_names_the_wrong_operand_and_converts_nothing(self, y, error, message):
        with pytest.raises(error) as info:
            qv.evaluate(lambda x, y: x + y, x=np.zeros(4), y=y)
        assert str(info.value) == message

    def test_length_mismatch_is_reported_in_argument_order(self):
        # Arguments are numbered by creation order; the first one sets the length.
        b, a = kernel.args("b", "a")
        with pytest.raises(ValueError, match=r"^argument 'a': buffer length mismatch: 2 vs 3$"):
            qv.evaluate(a + b, a=np.zeros(3), b=np.zeros(2))

    @pytest.mark.parametrize("operands,message", [
        ({"x": np.zeros(2)}, "missing arg: y"),
        ({"x": np.zeros(2), "y": 1.0, "z": 2.0}, "unexpected args: z"),
        ({"x": 1.0, "y": 2.0}, "no buffer arguments provided"),
    ])
    def test_engine_errors_keep_type_and_text(self, operands, message):
        with pytest.raises(ValueError) as info:
            qv.evaluate(lambda x, y: x - y, operands)
        assert str(info.value) == message

    @pytest.mark.parametrize("expr,message", [
        (42, "evaluate() expects an Expr, a formula text or a callable that builds one"),
        (lambda x: 1.0, "evaluate() expects the callable to return an Expr, not 'float'"),
        (lambda *xs: xs[0], "evaluate() needs a callable with plain named parameters, "
                            "one per argument"),
    ])
    def test_refuses_what_is_not_an_expression(self, expr, message):
        with pytest.raises(TypeError) as info:
            qv.evaluate(expr, x=np.zeros(2))
        assert str(info.value) == message

    def test_one_name_given_twice(self):
        with pytest.raises(TypeError, match="^evaluate\\(\\) got multiple values for argument 'x'$"):
            qv.evaluate(lambda x: x, {"x": np.zeros(1)}, x=np.zeros(1))

    def test_duplicate_argument_names_are_the_engines_error(self):
        with pytest.raises(ValueError, match="^duplicate arg name: x$"):
            qv.evaluate(kernel.arg("x") + kernel.arg("x"), x=np.zeros(1))

    @pytest.mark.parametrize("y", [
        np.arange(4), np.arange(4, dtype=np.float32), strided(), [0.0, 1.0, 2.0, 3.0],
    ], ids=["int64", "float32", "strided", "list"])
    def test_convert_true_copies_into_float64(self, y):
        expected = np.arange(4.0) + np.array(y, dtype=np.float64)
        got = qv.evaluate(lambda x, y: x + y, x=np.arange(4.0), y=y, convert=True)
        assert got.tolist() == expected.tolist()

    def test_convert_failure_names_the_operand(self):
        with pytest.raises(ValueError, match="^argument 'y': setting an array element"):
            qv.evaluate(lambda x, y: x * y, x=np.ones(2), y=[[1.0], [1.0, 2.0]], convert=True)

    # NumPy's conversion would compute masked values, read None as NaN and parse text;
    # lists are refused without conversion anyway.
    @pytest.mark.parametrize("y,error,message,converts", [
        (np.ma.masked_array([1.0, 2.0], mask=[False, True]), TypeError,
         "masked arrays are refused", (False, True)),
        (None, TypeError, "None is not a number", (False, True)),
        ("1.5", TypeError, "'str' object is text", (False, True)),
        (10**400, OverflowError, "integer too large to convert to float64", (False, True)),
        ([1.0, None], TypeError, "None is not a number", (True,)),
        (["1.5", "2"], TypeError, r"an array of text \(<U3\)", (True,)),
        ([1, 10**400], OverflowError, "integer too large to convert to float64", (True,)),
    ], ids=["masked", "None", "str", "big-int", "None-in-list", "str-in-list", "big-int-in-list"])
    def test_refuses_what_conversion_would_misread(self, y, error, message, converts):
        for convert in converts:
            with pytest.raises(error, match=f"^argument 'y': {message}"):
                qv.evaluate(lambda x, y: x * y, x=np.ones(2), y=y, convert=convert)
            with pytest.raises(error, match=f"^argument 'array': {message}"):
                qv.sum(y, convert=convert)

    def test_convert_keeps_numbers_scalar_and_still_refuses_two_dimensions(self):
        assert qv.evaluate(lambda x, y: x * y, x=np.ones(2), y=np.float32(3),
                           convert=True).tolist() == [3.0, 3.0]
        with pytest.raises(TypeError, match=f"^argument 'y': 'ndarray' object cannot be converted"):
            qv.evaluate(lambda x, y: x * y, x=np.ones(4), y=np.ones((2, 2)), convert=True)


REDUCTIONS = [
    (qv.sum, kernel.sum, "Sum"),
    (qv.mean, kernel.mean, "Mean"),
    (qv.min, kernel.min_reduce, "Min"),
    (qv.max, kernel.max_reduce, "Max"),
]


class TestReductions:
    @pytest.mark.parametrize("helper,make_spec,name", REDUCTIONS, ids=[r[2] for r in REDUCTIONS])
    @pytest.mark.parametrize("values", [
        [1.0, 2.0, 3.0, 4.5], [-0.0], [0.0, -0.0], [1e308, 1e308, -1e308], [3.0, math.nan, 1.0],
        [math.inf, -math.inf], list(np.random.default_rng(1).random(10_000)),
    ], ids=["plain", "neg-zero", "zeros", "overflow", "nan", "infs", "large"])
    def test_equals_the_engine(self, helper, make_spec, name, values):
        xs = np.array(values)
        expected = rt.go(make_spec(rt.asarray(xs))).result().scalar()
        for arg in (xs, rt.asarray(xs)):
            got = helper(arg)
            assert type(got) is float
            assert np.array([got]).tobytes() == np.array([expected]).tobytes()

    @pytest.mark.parametrize("helper,make_spec,name", REDUCTIONS, ids=[r[2] for r in REDUCTIONS])
    def test_empty_input_is_the_engines_error(self, helper, make_spec, name):
        with pytest.raises(ValueError) as info:
            helper(np.zeros(0))
        assert str(info.value) == f"cannot {name} empty buffer"

    @pytest.mark.parametrize("value,error,message", [
        (np.arange(3), TypeError, f"argument 'array': 'ndarray' object cannot be converted to '{TARGET}'"),
        (strided(), ValueError,
         "argument 'array': contiguous array required (pass convert=True to copy it)"),
        ([1.0, 2.0], TypeError, f"argument 'array': 'list' object cannot be converted to '{TARGET}'"),
        (2.0, TypeError, f"argument 'array': 'float' object cannot be converted to '{TARGET}'"),
    ], ids=["int64", "strided", "list", "number"])
    def test_refusals_name_the_array(self, value, error, message):
        with pytest.raises(error) as info:
            qv.sum(value)
        assert str(info.value) == message

    def test_convert_true(self):
        assert qv.sum(np.arange(4), convert=True) == 6.0
        assert qv.max(strided(), convert=True) == 6.0
        assert qv.mean([1, 2], convert=True) == 1.5
