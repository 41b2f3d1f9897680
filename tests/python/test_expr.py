"""Expr operators, coercion of Python numbers, repr text, truth test and hashing."""
import decimal
import fractions
import math

import numpy as np
import pytest
from expr_text import ident, tree

import _quorvaline

NUMERIC = "expected Expr or numeric value"
TRUTH = "cannot convert Expr to bool; use kernel.where(cond, t, f) for conditional expressions"


@pytest.fixture
def x(kernel):
    return kernel.arg("x")


@pytest.fixture
def y(kernel):
    return kernel.arg("y")


class IndexOnly:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class FloatOnly:
    def __float__(self):
        return 2.5


class IndexRaisesFloatWorks:
    def __index__(self):
        raise ValueError("no")

    def __float__(self):
        return 0.75


class IndexAndFloat:
    """Integer conversion comes first, and a genuine -1 from it is kept."""

    def __init__(self, index):
        self.index = index

    def __index__(self):
        return self.index

    def __float__(self):
        return 0.5


class IndexJunk:
    def __index__(self):
        return "junk"


class FloatJunk:
    def __float__(self):
        return "junk"


class FloatRaises:
    def __float__(self):
        raise RuntimeError("boom")


class BigInt(int):
    pass


class MyFloat(float):
    pass


# Python form, tree with {x} and {y} for the argument ids.
OPERATORS = [
    (lambda x, y: -x, "Unary(Neg, ArgRef({x}))"),
    (lambda x, y: abs(x), "Unary(Abs, ArgRef({x}))"),
    (lambda x, y: x + y, "Binary(Add, ArgRef({x}), ArgRef({y}))"),
    (lambda x, y: x - y, "Binary(Sub, ArgRef({x}), ArgRef({y}))"),
    (lambda x, y: x * y, "Binary(Mul, ArgRef({x}), ArgRef({y}))"),
    (lambda x, y: x / y, "Binary(Div, ArgRef({x}), ArgRef({y}))"),
    (lambda x, y: x ** y, "Binary(Pow, ArgRef({x}), ArgRef({y}))"),
    (lambda x, y: pow(x, y), "Binary(Pow, ArgRef({x}), ArgRef({y}))"),
    (lambda x, y: pow(x, 2, 5), "Binary(Pow, ArgRef({x}), Const(2.0))"),
    (lambda x, y: pow(x, 2, "anything"), "Binary(Pow, ArgRef({x}), Const(2.0))"),
    (lambda x, y: pow(x, y, None), "Binary(Pow, ArgRef({x}), ArgRef({y}))"),
    (lambda x, y: pow(2, x, 5), "Binary(Pow, Const(2.0), ArgRef({x}))"),
    (lambda x, y: x < y, "Compare(Lt, ArgRef({x}), ArgRef({y}))"),
    (lambda x, y: x <= y, "Compare(Le, ArgRef({x}), ArgRef({y}))"),
    (lambda x, y: x == y, "Compare(Eq, ArgRef({x}), ArgRef({y}))"),
    (lambda x, y: x != y, "Compare(Ne, ArgRef({x}), ArgRef({y}))"),
    (lambda x, y: x > y, "Compare(Gt, ArgRef({x}), ArgRef({y}))"),
    (lambda x, y: x >= y, "Compare(Ge, ArgRef({x}), ArgRef({y}))"),
    # Reflected forms: the Python left operand stays left.
    (lambda x, y: 1 + x, "Binary(Add, Const(1.0), ArgRef({x}))"),
    (lambda x, y: 2 - x, "Binary(Sub, Const(2.0), ArgRef({x}))"),
    (lambda x, y: 3 * x, "Binary(Mul, Const(3.0), ArgRef({x}))"),
    (lambda x, y: 4 / x, "Binary(Div, Const(4.0), ArgRef({x}))"),
    (lambda x, y: 5 ** x, "Binary(Pow, Const(5.0), ArgRef({x}))"),
    (lambda x, y: x - 2, "Binary(Sub, ArgRef({x}), Const(2.0))"),
    (lambda x, y: np.float64(2) - x, "Binary(Sub, Const(2.0), ArgRef({x}))"),
    # Comparisons with a number on the left are mirrored by CPython.
    (lambda x, y: 3 < x, "Compare(Gt, ArgRef({x}), Const(3.0))"),
    (lambda x, y: 3 <= x, "Compare(Ge, ArgRef({x}), Const(3.0))"),
    (lambda x, y: 3 > x, "Compare(Lt, ArgRef({x}), Const(3.0))"),
    (lambda x, y: 3 >= x, "Compare(Le, ArgRef({x}), Const(3.0))"),
    (lambda x, y: 3 == x, "Compare(Eq, ArgRef({x}), Const(3.0))"),
    (lambda x, y: 3 != x, "Compare(Ne, ArgRef({x}), Const(3.0))"),
    (lambda x, y: (x + 1) * -y,
     "Binary(Mul, Binary(Add, ArgRef({x}), Const(1.0)), Unary(Neg, ArgRef({y})))"),
]


@pytest.mark.parametrize("build, expected", OPERATORS)
def test_operator_builds_tree(x, y, build, expected):
    before = (repr(x), repr(y))
    e = build(x, y)
    assert type(e) is _quorvaline.Expr
    assert tree(e) == expected.format(x=ident(x), y=ident(y))
    assert str(e) == repr(e)
    assert (repr(x), repr(y)) == before  # operands unchanged


def test_in_place_operator_rebinds(x):
    original = x
    x += 1
    assert x is not original
    assert tree(x) == f"Binary(Add, ArgRef({ident(original)}), Const(1.0))"
    assert repr(original) == "Expr(x)"


@pytest.mark.parametrize("value, text", [
    (1, "1.0"),
    (True, "1.0"),
    (False, "0.0"),
    (-1, "-1.0"),                                   # a genuine -1 is not a failure
    (1.5, "1.5"),
    (MyFloat(0.25), "0.25"),
    (BigInt(-1), "-1.0"),
    (IndexOnly(-1), "-1.0"),
    (IndexOnly(7), "7.0"),
    (FloatOnly(), "2.5"),
    (IndexRaisesFloatWorks(), "0.75"),
    (IndexAndFloat(-1), "-1.0"),
    (IndexAndFloat(3), "3.0"),
    (IndexAndFloat(2 ** 64), "0.5"),               # out of int64 range: float conversion
    (np.int64(9), "9.0"),
    (np.float32(0.5), "0.5"),
    (np.float64(-0.0), "-0.0"),
    (fractions.Fraction(1, 4), "0.25"),
    (decimal.Decimal("2.5"), "2.5"),
    (2 ** 53 + 1, "9007199254740992.0"),            # rounds to nearest
    (-2 ** 63, "-9.223372036854776e18"),            # int64 path
    (2 ** 63, "9.223372036854776e18"),              # beyond int64: float path
    (2 ** 70, "1.1805916207174113e21"),
    (-2 ** 70, "-1.1805916207174113e21"),
])
def test_number_becomes_constant(x, value, text):
    i = ident(x)
    assert tree(x + value) == f"Binary(Add, ArgRef({i}), Const({text}))"
    assert tree(value * x) == f"Binary(Mul, Const({text}), ArgRef({i}))"
    assert (x + value).get_temp_args() == {i: "x"}  # constants bring no arguments


REFUSED = ["a", "1.5", b"1", None, [1], (1,), {}, object(), 1j, 10 ** 400, -10 ** 400,
           IndexJunk(), FloatJunk(), FloatRaises(), "\ud800"]


@pytest.mark.parametrize("value", REFUSED, ids=repr)
@pytest.mark.parametrize("op", [
    lambda x, v: x + v, lambda x, v: v + x, lambda x, v: x - v, lambda x, v: v - x,
    lambda x, v: x * v, lambda x, v: x / v, lambda x, v: v / x, lambda x, v: x ** v,
    lambda x, v: v ** x, lambda x, v: x == v, lambda x, v: x != v, lambda x, v: x < v,
    lambda x, v: v >= x,
])
def test_non_numeric_operand_refused(x, value, op):
    with pytest.raises(TypeError) as e:
        op(x, value)
    assert type(e.value) is TypeError
    assert str(e.value) == NUMERIC
    assert repr(x) == "Expr(x)"


@pytest.mark.parametrize("value, text", [
    (1.0, "1.0"), (0.5, "0.5"), (-2.0, "-2.0"), (0.0, "0.0"), (-0.0, "-0.0"),
    (0.0001, "0.0001"), (0.1 + 0.2, "0.30000000000000004"), (1234.5, "1234.5"),
    (9999999999999998.0, "9999999999999998.0"), (123456.0, "123456.0"),
    (1e16, "1e16"), (1.5e16, "1.5e16"), (-1e16, "-1e16"),
    (1.2345678901234568e17, "1.2345678901234568e17"),
    (1e-5, "1e-5"), (2.5e-7, "2.5e-7"), (9.999e-5, "9.999e-5"), (-3e-300, "-3e-300"),
    (5e-324, "5e-324"), (1.7976931348623157e308, "1.7976931348623157e308"),
    (math.inf, "inf"), (-math.inf, "-inf"), (math.nan, "NaN"), (-math.nan, "NaN"),
])
def test_float_text(x, value, text):
    assert tree(x * value) == f"Binary(Mul, ArgRef({ident(x)}), Const({text}))"


def test_repr_of_named_and_derived(kernel):
    assert repr(kernel.arg("x")) == "Expr(x)"
    assert repr(kernel.arg("")) == "Expr()"
    assert repr(kernel.arg("a b(c)")) == "Expr(a b(c))"
    assert str(kernel.arg("é")) == "Expr(é)"
    e = kernel.arg("x") * 1
    assert not repr(e).startswith("Expr(x")  # operators drop the name


@pytest.mark.parametrize("test", [
    lambda x, y: bool(x),
    lambda x, y: not x,
    lambda x, y: x and y,
    lambda x, y: x or y,
    lambda x, y: 1 if x > 0 else 0,
    lambda x, y: 0 < x < 1,
    lambda x, y: x in [y],
    lambda x, y: bool(x == y),
])
def test_truth_test_refused(x, y, test):
    with pytest.raises(TypeError) as e:
        test(x, y)
    assert str(e.value) == TRUTH


def test_membership_by_identity(x):
    assert (x in [x]) is True


@pytest.mark.parametrize("use", [hash, lambda x: {x}, lambda x: {x: 1}])
def test_unhashable(x, use):
    with pytest.raises(TypeError, match="unhashable"):
        use(x)


@pytest.mark.parametrize("op", [
    lambda x: +x, lambda x: x // 2, lambda x: 2 // x, lambda x: x % 2, lambda x: 2 % x,
    lambda x: x @ x, lambda x: x & 1, lambda x: x | 1, lambda x: x ^ 1, lambda x: ~x,
    lambda x: x << 1, lambda x: x >> 1, lambda x: divmod(x, 2), lambda x: int(x),
    lambda x: float(x), lambda x: len(x), lambda x: iter(x), lambda x: x[0],
    lambda x: round(x), lambda x: math.floor(x), lambda x: math.ceil(x),
])
def test_unsupported_operation(x, op):
    with pytest.raises(TypeError) as e:
        op(x)
    assert type(e.value) is TypeError


def test_immutable(x):
    with pytest.raises((AttributeError, TypeError)):
        x.name = "y"


class TestMerging:
    def test_same_argument_twice_has_one_entry(self, x):
        e = x + x
        i = ident(x)
        assert tree(e) == f"Binary(Add, ArgRef({i}), ArgRef({i}))"
        assert e.get_temp_args() == {i: "x"}

    def test_same_name_twice_gives_two_entries(self, kernel):
        a, b = kernel.arg("x"), kernel.arg("x")
        assert ident(a) != ident(b)
        assert (a + b).get_temp_args() == {ident(a): "x", ident(b): "x"}

    def test_right_operand_name_wins(self, kernel):
        a, b = kernel.arg("a"), kernel.arg("b")
        renamed = a.rewrite_args({ident(a): ident(b)})  # carries b's id under the name a
        assert (renamed + b).get_temp_args() == {ident(b): "b"}
        assert (b + renamed).get_temp_args() == {ident(b): "a"}
        assert (renamed - 1 + b * 2).get_temp_args() == {ident(b): "b"}
        assert (2 ** b < renamed).get_temp_args() == {ident(b): "a"}

    def test_keys_match_tree_after_many_operators(self, kernel):
        a, b, c = kernel.args("a", "b", "c")
        e = abs((a + 1) * b) / (c - a) ** 2 >= -b
        assert sorted(e.get_temp_args()) == e.get_referenced_args()
        assert e.get_temp_args() == {ident(a): "a", ident(b): "b", ident(c): "c"}
