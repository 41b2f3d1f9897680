"""The quorvaline package: re-exports, and the one-call helpers against the engine itself."""
import math

import numpy as np
import pytest

import _quorvaline
import quorvaline as qv
from quorvaline import kernel, rt


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

    def test_convert_is_an_ordinary_operand_name(self):
        xs = np.array([1.0, 2.0])
        assert qv.evaluate(lambda convert: convert + 1, convert=xs).tolist() == [2.0, 3.0]
        assert qv.evaluate(lambda out: out + 1, {"out": xs}).tolist() == [2.0, 3.0]


class TestEvaluateRefusals:
    def test_shapes_that_do_not_broadcast_name_both_operands_in_argument_order(self):
        # Arguments are numbered by creation order; the first one sets the shape.
        b, a = kernel.args("b", "a")
        with pytest.raises(ValueError, match=r"^operands 'b' with shape \(2,\) and 'a' with "
                                             r"shape \(3,\) do not broadcast together$"):
            qv.evaluate(a + b, a=np.zeros(3), b=np.zeros(2))

    @pytest.mark.parametrize("operands,message", [
        ({"x": np.zeros(2)}, "missing arg: y"),
        ({"x": np.zeros(2), "y": 1.0, "z": 2.0}, "unexpected args: z"),
    ])
    def test_engine_errors_keep_type_and_text(self, operands, message):
        with pytest.raises(ValueError) as info:
            qv.evaluate(lambda x, y: x - y, **operands)  # keywords are strict; a mapping is not
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
        with pytest.raises(TypeError,
                           match="^evaluate\\(\\) got multiple values for argument 'x'$"):
            qv.evaluate(lambda x: x, {"x": np.zeros(1)}, x=np.zeros(1))

    def test_duplicate_argument_names_are_the_engines_error(self):
        with pytest.raises(ValueError, match="^duplicate arg name: x$"):
            qv.evaluate(kernel.arg("x") + kernel.arg("x"), x=np.zeros(1))

    # NumPy's conversion would compute masked values, read None as NaN and parse text.
    @pytest.mark.parametrize("y,error,message", [
        (np.ma.masked_array([1.0, 2.0], mask=[False, True]), TypeError,
         "masked arrays are refused"),
        ([np.ma.array([1.0, 2.0], mask=[1, 0])], TypeError, "masked arrays are refused"),
        ((np.ma.array([1.0, 2.0], mask=[1, 0]),), TypeError, "masked arrays are refused"),
        ([[np.ma.array([1.0, 2.0], mask=[1, 0])]], TypeError, "masked arrays are refused"),
        ([np.ma.masked, 1.0], TypeError, "masked arrays are refused"),
        (None, TypeError, "None is not a number"),
        ("1.5", TypeError, "'str' object is text"),
        (10**400, OverflowError, "integer too large to convert to float64"),
        ([1.0, None], TypeError, "None is not a number"),
        (["1.5", "2"], TypeError, r"an array of text \(<U3\)"),
        ([1, 10**400], OverflowError, "integer too large to convert to float64"),
    ], ids=["masked", "masked-in-list", "masked-in-tuple", "masked-nested", "masked-constant",
            "None", "str", "big-int", "None-in-list", "str-in-list", "big-int-in-list"])
    def test_refuses_what_conversion_would_misread(self, y, error, message):
        with pytest.raises(error, match=f"^argument 'y': {message}"):
            qv.evaluate(lambda x, y: x * y, x=np.ones(2), y=y)
        with pytest.raises(error, match=f"^argument 'array': {message}"):
            qv.sum(y)

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
