"""The kernel object's expression functions: arg, args, the math functions, pow, atan2,
min, max and where_, with their refusals."""
import inspect

import pytest
from expr_text import ident, tree

import _quorvaline
from quorvaline._nodes import OPERATORS, UNARY

NUMERIC = "expected Expr or numeric value"


def next_id(kernel):
    return ident(kernel.arg("probe"))


class Name(str):
    pass


class TestArg:
    def test_fresh_ids_and_name(self, kernel):
        a, b = kernel.arg("x"), kernel.arg(name="x")
        assert ident(b) > ident(a)
        assert repr(a) == repr(b) == "Expr(x)"
        assert a.get_temp_args() == {ident(a): "x"}
        assert tree(a * 1).startswith(f"Binary(Mul, ArgRef({ident(a)})")

    @pytest.mark.parametrize("name", ["", "x", "é ü", "名前", "a\x00b", Name("sub")])
    def test_any_text_is_a_name(self, kernel, name):
        e = kernel.arg(name)
        assert e.get_temp_args() == {ident(e): str(name)}
        assert repr(e) == f"Expr({name})"

    def test_args_in_order_with_ascending_ids(self, kernel):
        out = kernel.args("a", "b", "c")
        assert type(out) is list and [repr(e) for e in out] == ["Expr(a)", "Expr(b)", "Expr(c)"]
        ids = [ident(e) for e in out]
        assert ids == sorted(ids) and len(set(ids)) == 3

    def test_args_empty(self, kernel):
        before = next_id(kernel)
        assert kernel.args() == []
        assert next_id(kernel) == before + 1

    @pytest.mark.parametrize("call, exc, message", [
        (lambda kernel: kernel.arg(5), TypeError,
         "argument 'name': 'int' object cannot be converted to 'PyString'"),
        (lambda kernel: kernel.arg(b"x"), TypeError,
         "argument 'name': 'bytes' object cannot be converted to 'PyString'"),
        (lambda kernel: kernel.arg(None), TypeError,
         "argument 'name': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda kernel: kernel.args("a", 1), TypeError,
         "argument 'names': 'int' object cannot be converted to 'PyString'"),
        (lambda kernel: kernel.args(1, "a"), TypeError,
         "argument 'names': 'int' object cannot be converted to 'PyString'"),
        (lambda kernel: kernel.arg(), TypeError,
         "_KernelModule.arg() missing 1 required positional argument: 'name'"),
        (lambda kernel: kernel.arg("x", name="y"), TypeError,
         "_KernelModule.arg() got multiple values for argument 'name'"),
        (lambda kernel: kernel.arg(nam="x"), TypeError,
         "_KernelModule.arg() got an unexpected keyword argument 'nam'"),
        (lambda kernel: kernel.args(names="x"), TypeError,
         "_KernelModule.args() got an unexpected keyword argument 'names'"),
        (lambda kernel: kernel.arg("\ud800"), UnicodeEncodeError, None),
        (lambda kernel: kernel.args("a", "b\udfff"), UnicodeEncodeError, None),
    ])
    def test_failure_draws_no_id(self, kernel, call, exc, message):
        before = next_id(kernel)
        with pytest.raises(exc) as e:
            call(kernel)
        assert type(e.value) is exc
        if message is not None:
            assert str(e.value) == message
        assert next_id(kernel) == before + 1


UNARY_FUNCTIONS = {op.function: op.name for op in OPERATORS if op.kind == UNARY and op.function}


@pytest.mark.parametrize("name", UNARY_FUNCTIONS)
class TestUnary:
    def test_builds_node(self, kernel, name):
        x = kernel.arg("x")
        op = UNARY_FUNCTIONS[name]
        assert tree(getattr(kernel, name)(x)) == f"Unary({op}, ArgRef({ident(x)}))"
        assert tree(getattr(kernel, name)(expr=x + 1)) == (
            f"Unary({op}, Binary(Add, ArgRef({ident(x)}), Const(1.0)))")
        assert getattr(kernel, name)(x).get_temp_args() == {ident(x): "x"}

    @pytest.mark.parametrize("value, type_name", [(4, "int"), (4.0, "float"), (True, "bool"),
                                                   (None, "NoneType"), ("x", "str")])
    def test_refuses_non_expr(self, kernel, name, value, type_name):
        with pytest.raises(TypeError) as e:
            getattr(kernel, name)(value)
        assert str(e.value) == (f"argument 'expr': '{type_name}' object cannot be converted "
                                "to 'Expr'")

    def test_signature(self, kernel, name):
        fn = getattr(kernel, name)
        assert list(inspect.signature(fn).parameters) == ["expr"]
        with pytest.raises(TypeError) as e:
            fn()
        assert str(e.value) == (f"_KernelModule.{name}() missing 1 required positional "
                                "argument: 'expr'")


@pytest.mark.parametrize("name, op, params", [
    ("pow", "Pow", ("base", "exp")),
    ("atan2", "Atan2", ("y", "x")),
    ("min", "Min", ("a", "b")),
    ("max", "Max", ("a", "b")),
])
class TestBinaryFunctions:
    def test_first_parameter_is_left(self, kernel, name, op, params):
        a, b = kernel.arg("a"), kernel.arg("b")
        fn = getattr(kernel, name)
        assert tree(fn(b, a)) == f"Binary({op}, ArgRef({ident(b)}), ArgRef({ident(a)}))"
        assert tree(fn(**{params[1]: a, params[0]: b})) == tree(fn(b, a))
        assert fn(a, b).get_temp_args() == {ident(a): "a", ident(b): "b"}

    def test_refuses_numbers_first_parameter_first(self, kernel, name, op, params):
        x = kernel.arg("x")
        fn = getattr(kernel, name)
        for args, param, type_name in [((x, 2), params[1], "int"), ((2.5, x), params[0], "float"),
                                       (("s", None), params[0], "str")]:
            with pytest.raises(TypeError) as e:
                fn(*args)
            assert str(e.value) == (f"argument '{param}': '{type_name}' object cannot be "
                                    "converted to 'Expr'")


class TestWhere:
    def test_select_children_in_order(self, kernel):
        x = kernel.arg("x")
        i = ident(x)
        assert tree(kernel.where_(x > 0, x, -x)) == (
            f"Select(Compare(Gt, ArgRef({i}), Const(0.0)), ArgRef({i}), Unary(Neg, ArgRef({i})))")
        assert tree(kernel.where_(x, 1, 2.5)) == f"Select(ArgRef({i}), Const(1.0), Const(2.5))"
        assert tree(kernel.where_(false_val=True, true_val=-1, cond=x)) == (
            f"Select(ArgRef({i}), Const(-1.0), Const(1.0))")

    def test_constants_bring_no_arguments(self, kernel):
        c = kernel.arg("c") > 0
        assert kernel.where_(c, 1, 2).get_temp_args() == c.get_temp_args()

    def test_union_later_name_wins(self, kernel):
        c, a, b = kernel.args("c", "a", "b")
        assert kernel.where_(c, a, b).get_temp_args() == {
            ident(c): "c", ident(a): "a", ident(b): "b"}
        a_as_b = a.rewrite_args({ident(a): ident(b)})
        assert kernel.where_(c, a_as_b, b).get_temp_args() == {ident(c): "c", ident(b): "b"}
        assert kernel.where_(c, b, a_as_b).get_temp_args() == {ident(c): "c", ident(b): "a"}
        c_as_b = c.rewrite_args({ident(c): ident(b)})
        assert kernel.where_(c_as_b, 0, b).get_temp_args() == {ident(b): "b"}

    @pytest.mark.parametrize("args, message", [
        ((1, "x", 0), "argument 'cond': 'int' object cannot be converted to 'Expr'"),
        ((None, "x", 0), "argument 'cond': 'NoneType' object cannot be converted to 'Expr'"),
        (("X", "a", 0), NUMERIC),
        (("X", 0, None), NUMERIC),
        (("X", [1], "b"), NUMERIC),
        (("X", 10 ** 400, 0), NUMERIC),
    ])
    def test_refusals(self, kernel, args, message):
        x = kernel.arg("x")
        args = tuple(x if a == "x" else (x > 0 if a == "X" else a) for a in args)
        with pytest.raises(TypeError) as e:
            kernel.where_(*args)
        assert str(e.value) == message

    def test_values_convert_in_order(self, kernel):
        seen = []

        class Recorder:
            def __init__(self, tag):
                self.tag = tag

            def __index__(self):
                seen.append(self.tag)
                return 1

        x = kernel.arg("x")
        kernel.where_(x, Recorder("true"), Recorder("false"))
        assert seen == ["true", "false"]

    def test_no_attribute_where(self, kernel):
        with pytest.raises(AttributeError):
            kernel.where
        assert not hasattr(_quorvaline._KernelModule, "where")


def test_docstrings(kernel):
    assert kernel.arg.__doc__ == "Create a single named argument expression."
    assert kernel.args.__doc__ == "Create multiple named argument expressions."
    assert kernel.where_.__doc__ == "Conditional select: `where(cond, true_val, false_val)`."
    assert list(inspect.signature(kernel.where_).parameters) == ["cond", "true_val", "false_val"]
    assert str(inspect.signature(kernel.args)) == "(*names)"
