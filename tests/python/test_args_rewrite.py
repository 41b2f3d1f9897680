"""get_referenced_args, get_temp_args and rewrite_args: rules, conversions and refusals."""
import pytest
from expr_text import ident, tree

U64_MAX = 2 ** 64 - 1


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v

    def __hash__(self):
        return hash(("Index", self.v))


class BadIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class IntSub(int):
    pass


class DictSub(dict):
    pass


class TestDiscovery:
    def test_referenced_and_temp_args(self, kernel):
        x, y = kernel.args("x", "y")
        e = x + x * y
        assert e.get_referenced_args() == [ident(x), ident(y)]
        assert e.get_temp_args() == {ident(x): "x", ident(y): "y"}

    def test_referenced_args_ascending_distinct(self, kernel):
        x, y = kernel.args("x", "y")
        e = (y + x) * (y - x)
        e = e.rewrite_args({ident(y): 7, ident(x): 2})
        assert e.get_referenced_args() == [2, 7]
        assert e.get_temp_args() == {2: "x", 7: "y"}

    def test_results_are_new_objects(self, kernel):
        x = kernel.arg("x")
        first, second = x.get_temp_args(), x.get_temp_args()
        first.clear()
        assert second == x.get_temp_args() == {ident(x): "x"}
        x.get_referenced_args().append(99)
        assert x.get_referenced_args() == [ident(x)]

    def test_large_ids_are_ints(self, kernel):
        x = kernel.arg("x")
        e = x.rewrite_args({ident(x): U64_MAX})
        assert e.get_referenced_args() == [U64_MAX]
        assert e.get_temp_args() == {U64_MAX: "x"}

    @pytest.mark.parametrize("method", ["get_temp_args", "get_referenced_args"])
    def test_no_arguments_taken(self, kernel, method):
        with pytest.raises(TypeError):
            getattr(kernel.arg("x"), method)(1)

    def test_docstrings(self, kernel):
        x = kernel.arg("x")
        assert x.get_temp_args.__text_signature__ == "($self)"
        assert x.rewrite_args.__text_signature__ == "($self, mapping)"
        assert x.rewrite_args.__doc__ in ("", None)


class TestRewrite:
    def test_empty_mapping_copies(self, kernel):
        x = kernel.arg("x")
        e = x.rewrite_args({})
        assert e is not x
        assert repr(e) == repr(x) and e.get_temp_args() == x.get_temp_args()
        assert tree(e * 1) == tree(x * 1)

    def test_named_argument_keeps_name(self, kernel):
        x = kernel.arg("x")
        before = ident(x)
        e = x.rewrite_args(mapping={before: 2 ** 63})
        assert repr(e) == "Expr(x)"
        assert e.get_referenced_args() == [2 ** 63] and e.get_temp_args() == {2 ** 63: "x"}
        assert x.get_referenced_args() == [before]  # receiver unchanged

    def test_two_ids_merge(self, kernel):
        a, b = kernel.args("a", "b")
        e = (a + b).rewrite_args({ident(a): ident(b)})
        assert tree(e) == f"Binary(Add, ArgRef({ident(b)}), ArgRef({ident(b)}))"
        assert e.get_temp_args() == {ident(b): "b"}

    @pytest.mark.parametrize("order", [0, 1])
    def test_greatest_old_id_wins(self, kernel, order):
        a, b = kernel.args("a", "b")
        mapping = {ident(a): 5, ident(b): 5}
        if order:
            mapping = dict(reversed(list(mapping.items())))
        e = (b * a).rewrite_args(mapping)
        assert e.get_temp_args() == {5: "b"}
        assert tree(e) == "Binary(Mul, ArgRef(5), ArgRef(5))"

    def test_swap(self, kernel):
        a, b = kernel.args("a", "b")
        e = (a - b).rewrite_args({ident(a): ident(b), ident(b): ident(a)})
        assert tree(e) == f"Binary(Sub, ArgRef({ident(b)}), ArgRef({ident(a)}))"
        assert e.get_temp_args() == {ident(a): "b", ident(b): "a"}

    def test_unused_key_changes_nothing(self, kernel):
        a, b = kernel.args("a", "b")
        e = a + b
        unused = max(ident(a), ident(b)) + 1000
        r = e.rewrite_args({unused: 6})
        assert r is not e and repr(r) == repr(e) and r.get_temp_args() == e.get_temp_args()

    def test_derived_expression_has_no_name(self, kernel):
        x = kernel.arg("x")
        e = (x + 1).rewrite_args({ident(x): 3})
        assert repr(e) == "Expr(Binary(Add, ArgRef(3), Const(1.0)))"

    @pytest.mark.parametrize("key", [True, IntSub(1), Index(1)],
                             ids=["bool", "int-subclass", "index"])
    def test_key_conversions(self, kernel, key):
        x0 = kernel.arg("x")
        x = x0.rewrite_args({ident(x0): 1})
        e = x.rewrite_args({key: Index(4)})
        assert e.get_referenced_args() == [4] and e.get_temp_args() == {4: "x"}

    def test_dict_subclass_accepted(self, kernel):
        x = kernel.arg("x")
        assert x.rewrite_args(DictSub({ident(x): 0})).get_referenced_args() == [0]

    @pytest.mark.parametrize("mapping, message", [
        ([1], "argument 'mapping': 'list' object cannot be converted to 'PyDict'"),
        (None, "argument 'mapping': 'NoneType' object cannot be converted to 'PyDict'"),
        (((0, 1),), "argument 'mapping': 'tuple' object cannot be converted to 'PyDict'"),
        ({"a": 1}, "argument 'mapping': 'str' object cannot be interpreted as an integer"),
        ({0: 1.5}, "argument 'mapping': 'float' object cannot be interpreted as an integer"),
        ({0: None}, "argument 'mapping': 'NoneType' object cannot be interpreted as an integer"),
        ({0: BadIndex(TypeError("nope"))}, "argument 'mapping': nope"),
    ])
    def test_type_errors_prefixed(self, kernel, mapping, message):
        with pytest.raises(TypeError) as e:
            kernel.arg("x").rewrite_args(mapping)
        assert type(e.value) is TypeError and str(e.value) == message

    @pytest.mark.parametrize("mapping", [{0: -1}, {-1: 0}, {0: 2 ** 64}, {2 ** 64: 0},
                                         {0: 10 ** 400}, {0: Index(-5)}])
    def test_out_of_range_overflow_unchanged(self, kernel, mapping):
        with pytest.raises(OverflowError) as e:
            kernel.arg("x").rewrite_args(mapping)
        assert not str(e.value).startswith("argument")

    def test_other_errors_pass_through(self, kernel):
        with pytest.raises(ZeroDivisionError):
            kernel.arg("x").rewrite_args({0: BadIndex(ZeroDivisionError("z"))})

    def test_missing_and_surplus_arguments(self, kernel):
        x = kernel.arg("x")
        with pytest.raises(TypeError) as e:
            x.rewrite_args()
        assert str(e.value) == ("Expr.rewrite_args() missing 1 required positional argument: "
                                "'mapping'")
        with pytest.raises(TypeError) as e:
            x.rewrite_args({}, {})
        assert str(e.value) == "Expr.rewrite_args() takes 1 positional arguments but 2 were given"


class Mutator:
    """An __index__ hook that changes the dictionary it is a key of."""

    def __init__(self, action):
        self.action = action
        self.d = None

    def __index__(self):
        self.action(self.d)
        return 0


@pytest.mark.parametrize("action", [
    lambda d: d.update({n: n for n in range(100, 140)}),  # grows (and rehashes)
    lambda d: d.clear(),                                   # drops the entry being read
    lambda d: d.popitem(),
])
def test_dict_changed_by_hook(kernel, action):
    m = Mutator(action)
    d = {m: 1, 2: 3}
    m.d = d
    del m  # the dict holds the only reference
    x = kernel.arg("x")
    with pytest.raises(BaseException) as e:
        x.rewrite_args(d)
    assert type(e.value).__name__ == "PanicException"
    assert str(e.value) == "dictionary changed size during iteration"
    assert repr(x) == "Expr(x)"


def test_value_replaced_by_hook_is_safe(kernel):
    # Same size, new value object: the old value must stay alive while it converts.
    class Replacer:
        def __index__(self):
            d[0] = 0
            return 3

    d = {0: Replacer()}
    x = kernel.arg("x")
    x0 = x.rewrite_args({ident(x): 0})
    assert x0.rewrite_args(d).get_referenced_args() == [3]
