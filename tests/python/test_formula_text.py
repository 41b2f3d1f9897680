"""Formulas as text: the allow-list grammar, name binding, and the canonical text form."""
import _thread
import gc
import math
import struct
import sys
import time
import weakref

import numpy as np
import pytest

import quorvaline as qv
from quorvaline import _native, kernel
from quorvaline._nodes import OPERATORS


def _kernel_function(op):
    """The operator's kernel function, over arguments a (and b)."""
    fn = getattr(kernel, op.function)
    return (lambda a: fn(a)) if op.arity == 1 else (lambda a, b: fn(a, b))


# Text and the same formula built through the Python API: equal kernels means equal trees.
GRAMMAR = [
    ("2*a + 3*b", lambda a, b: 2 * a + 3 * b),
    ("a / b - a ** 2", lambda a, b: a / b - a ** 2),
    ("a - (b - a)", lambda a, b: a - (b - a)),
    ("a ** b ** 2", lambda a, b: a ** (b ** 2)),
    ("-a + (+b)", lambda a, b: -a + b),
    ("-2 * a", lambda a: -2 * a),
    ("a >= b", lambda a, b: a >= b),
    ("a != 1.5", lambda a: a != 1.5),
    ("a > b > 1", lambda a, b: (a > b) * (b > 1)),
    ("(a > 0) & (b > 0)", lambda a, b: (a > 0) & (b > 0)),
    ("(a > 0) | (b > 0)", lambda a, b: np.logical_or(a > 0, b > 0)),
    ("(a > 0) ^ ~b", lambda a, b: (a > 0) ^ ~b),
    ("~(a > 0)", lambda a: np.invert(a > 0)),
    ("where(a > b, a, 0.0)", lambda a, b: kernel.where_(a > b, a, 0)),  # Expr's are floats
    ("pow(a, b) + atan2(a, b)", lambda a, b: kernel.pow(a, b) + kernel.atan2(a, b)),
    ("kernel_min(a, b) * kernel_max(a, b)", lambda a, b: kernel.min(a, b) * kernel.max(a, b)),
    # numexpr's spellings
    ("power(a, b)", lambda a, b: kernel.pow(a, b)),
    ("arctan2(a, b)", lambda a, b: kernel.atan2(a, b)),
    ("absolute(a)", lambda a: abs(a)),
    ("a + True", lambda a: a + True),
] + [(f"{spelling}({', '.join('ab'[:op.arity])})", _kernel_function(op))
      for op in OPERATORS if op.function for spelling in op.spellings if spelling.isidentifier()]


@pytest.mark.parametrize("text,build", GRAMMAR, ids=[g[0] for g in GRAMMAR])
def test_text_builds_the_tree_the_operators_build(text, build):
    assert qv.compile(text) == qv.compile(build)


@pytest.mark.parametrize("text,kind,message", [
    ("x.shape", ValueError, r"^attribute access is not allowed in a formula \(column 1\)$"),
    ("x + y[0]", ValueError, r"^subscript .*\(column 5\)$"),
    ("sqrt(x)(y)", ValueError, "^call of an expression"),
    ("lambda: x", ValueError, "^lambda "),
    ("sqrt([v for v in x])", ValueError, r"^comprehension .*\(column 6\)$"),
    ("x if y else 0", ValueError, r"^conditional expression \(use where"),
    ("log(x, base=2)", ValueError, r"^keyword argument in log\(\) .*\(column 8\)$"),
    ("foo(x)", ValueError, r"^unknown function 'foo'; the closest known: floor \(column 1\)$"),
    ("kernel_mn(x, y)", ValueError,
     r"^unknown function 'kernel_mn'; the closest known: kernel_min"),
    ("round(x, y)", ValueError, r"^round\(\)'s decimals must be an integer literal"),
    ("round(x, 1.5)", ValueError, r"^round\(\)'s decimals must be an integer literal"),
    ("~isnan(x) + ~2.5", ValueError, r"^operator '~' takes bools and .*\(column 13\)$"),
    ("zzz(x)", ValueError, r"^unknown function 'zzz' \(column 1\)$"),
    ("sqrt(x, y)", ValueError, r"^sqrt\(\) takes 1 argument, not 2"),
    ("where(x, y)", ValueError, r"^where\(\) takes 3 arguments, not 2"),
    ("x + 'a'", ValueError, r"^string is not allowed.*\(column 5\)$"),
    ("x + None", ValueError, "^None is not allowed"),
    ("x and y", ValueError, r"^'and' is not allowed in a formula \(use &"),
    ("x or y", ValueError, r"^'or' .*\(use \|"),
    ("not x", ValueError, "^'not'"),
    ("x is y", ValueError, "^operator 'is'"),
    ("x in y", ValueError, "^operator 'in'"),
    ("x & 2.5", ValueError, r"^operator '&' takes bools and integers, not float numbers"),
    ("(x > 0) ^ 0.5", ValueError, r"^operator '\^' takes bools"),
    ("__import__('os')", ValueError, "^unknown function '__import__'"),
    ("x + __builtins__", ValueError, r"^name '__builtins__' is not allowed .*\(column 5\)$"),
    ("sqrt(*x)", ValueError, "^starred argument"),
    ("(y := 2) * x", ValueError, "^assignment expression"),
    ("x + 1" + "0" * 400, ValueError, r"^integer too large for float64 \(column 5\)$"),
    ("from_bits(-1) * x", ValueError, r"^from_bits\(\) takes one integer literal"),
    ("from_bits(1.0) * x", ValueError, r"^from_bits\(\) takes one integer literal"),
    ("2 + 3", ValueError, "has no names"),
    ("  π + x.y", ValueError, r"\(column 7\)$"),
    ("(x +\n  y.z)", ValueError, r"\(line 2, column 3\)$"),
    ("x +", SyntaxError, None),
    ("x = 1", SyntaxError, None),
    ("", SyntaxError, None),
    ("x\ud800", ValueError, "not valid Unicode"),
    ("(" * 500 + "x" + ")" * 500, ValueError, "nested too deeply"),
])
def test_refusals_name_the_construct_and_column(text, kind, message):
    with pytest.raises(kind, match=message):
        qv.parse(text)


def test_only_strings_are_parsed():
    with pytest.raises(TypeError, match="must be str, not 'bytes'"):
        qv.parse(b"x + 1")


def test_names_are_numbered_by_first_appearance_or_as_given():
    assert qv.compile("b * a + c").names == ("b", "a", "c")
    assert qv.compile(qv.parse("b * a + c", names=["a", "b", "c"])).names == ("a", "b", "c")
    with pytest.raises(ValueError, match="must list each name of the formula once"):
        qv.parse("a + b", names=["a"])


outer = np.array([1.0, 2.0, 3.0])
shadowed = np.array([100.0, 100.0, 100.0])


class TestNameBinding:
    def test_from_operands_then_locals_then_globals(self):
        local = np.array([10.0, 20.0, 30.0])
        shadowed = np.array([0.5, 0.5, 0.5])
        got = qv.evaluate("outer + local * shadowed + given", given=1.0)
        assert got.tolist() == (outer + local * shadowed + 1.0).tolist() == [7.0, 13.0, 19.0]
        assert qv.evaluate("shadowed", {"shadowed": outer}).tolist() == outer.tolist()

    def test_a_global_when_no_local_has_the_name(self):
        assert qv.evaluate("shadowed - outer").tolist() == [99.0, 98.0, 97.0]

    def test_a_name_found_nowhere_is_a_name_error(self):
        with pytest.raises(NameError, match="^name 'nowhere' is not defined$"):
            qv.evaluate("outer + nowhere")

    def test_builtins_are_never_consulted(self):
        with pytest.raises(NameError, match="'len'"):
            qv.evaluate("outer + len")

    def test_a_kernel_takes_operands_only(self):
        k = qv.compile("outer * 2")
        with pytest.raises(ValueError, match="^missing arg: outer$"):
            k()
        assert k(outer=outer).tolist() == [2.0, 4.0, 6.0]

    @pytest.mark.parametrize("text,expected", [("outer * 2", [2.0, 4.0, 6.0]),
                                               ("outer * nowhere", NameError)])
    def test_no_caller_frame_is_needed_when_no_name_is_missing(self, text, expected):
        # qv.evaluate as a thread's first frame: there is no caller to look into.
        out, caught = np.zeros(3), []
        hook, sys.unraisablehook = sys.unraisablehook, lambda u: caught.append(u.exc_type)
        try:
            _thread.start_new_thread(qv.evaluate, (text,), {"outer": outer, "out": out})
            deadline = time.monotonic() + 10
            while not caught and not out.any() and time.monotonic() < deadline:
                time.sleep(0.01)
        finally:
            sys.unraisablehook = hook
        assert (caught[:1] == [expected]) if expected is NameError else out.tolist() == expected

    def test_the_callers_locals_are_not_kept_alive(self):
        def caller(take_locals):
            a = np.ones(1000)
            alive = weakref.ref(a)
            held = locals() if take_locals else None
            qv.evaluate("a * 2")
            del a
            gc.collect()
            return alive() is not None, held

        assert caller(False) == (False, None)
        kept, held = caller(True)     # a dict the caller took from locals() stays whole
        assert kept and held is not None and "a" in held

    def test_a_class_body_keeps_its_namespace(self):
        class Body:
            a = outer
            r = qv.evaluate("a * 2")
        assert Body.a is outer and Body.r.tolist() == [2.0, 4.0, 6.0]


# The micro sign as typed and the Greek mu that Python's parser makes of it (NFKC).
MICRO, MU = "\u00b5", "\u03bc"


@pytest.mark.parametrize("call,lookup", [
    (lambda ops: qv.evaluate(f"{MICRO} * 2", ops), True),
    (lambda ops: qv.evaluate(eval(f"lambda {MICRO}: {MICRO} * 2"), ops), True),
    (lambda ops: qv.compile(f"{MICRO} * 2")(ops), True),
    (lambda ops: qv.evaluate(f"{MICRO} * 2", **ops), False),
], ids=["text", "callable", "kernel", "keywords"])
def test_operand_names_match_as_written(call, lookup):
    assert call({MICRO: outer}).tolist() == [2.0, 4.0, 6.0]
    assert call({MU: outer}).tolist() == [2.0, 4.0, 6.0]
    both = {MICRO: outer * 0, MU: outer}
    if lookup:  # a mapping is a place to look names up: the name as the parser spells it wins
        assert call(both).tolist() == [2.0, 4.0, 6.0]
    else:
        with pytest.raises(TypeError, match=f"multiple values for argument '{MU}'"):
            call(both)


def test_an_argument_spelled_exactly_as_the_key_keeps_it():
    micro, mu = kernel.arg(MICRO), kernel.arg(MU)
    assert qv.evaluate(micro - mu, {MICRO: outer, MU: 1.0}).tolist() == [0.0, 1.0, 2.0]


def nodes_with_bits(expr):
    names, nodes = _native.expr_nodes(expr)
    # An int literal stays an int: 2 and 2.0 promote differently.
    return names, [(t, (type(p), struct.pack("<d", p) if isinstance(p, float) else p))
                   for t, p in nodes]


def bits(value):
    return struct.unpack("<d", struct.pack("<Q", value))[0]


@pytest.mark.parametrize("text", [
    "2.0 * a + 3.0 * b", "-a ** 2.0", "(-2.0) ** a", "a ** -b", "(a ** b) ** c", "a - (b - c)",
    "a / (b * c)", "--a", "a * -(+5.0)", "a - -0.0", "-(-0.0) + a", "a + 1e999 - -1e999",
    "a * 5e-324", "1.7976931348623157e+308 * a", "a * from_bits(0x7ff8000000000001)",
    "a * -from_bits(0xfff0000000000001)", "(a > b) == (b <= c)", "where(a > 0.0, log(a), -b)",
    "atan2(a, b) + kernel_min(a, 1.0) * kernel_max(2.0, b)", "(-1e999) ** a", "sqrt(4.0) * a",
    "a % b // c", "a % (b // c)", "a * b % c", "a % (b * c)", "-a // b ** 2.0", "a - b % c",
    "(a - b) % c", "rint(a * 100.0) / 100.0", "minimum(a, b) + maximum(a, kernel_min(a, b))",
    "2 * a + 3 // b", "a * -5", "a ** 2 - 2.0", "a + -9223372036854775808 - 9223372036854775807",
])
def test_canonical_text_is_a_fixed_point_with_the_same_bits(text):
    expr = qv.parse(text)
    assert qv.to_text(expr) == text
    assert nodes_with_bits(qv.parse(qv.to_text(expr))) == nodes_with_bits(expr)


@pytest.mark.parametrize("value", [math.nan, -math.nan, bits(0x7ff0000000000001),
                                   bits(0xfff8dead00000000), -0.0, math.inf, -math.inf, 5e-324,
                                   -2.2250738585072014e-308, 1e16, 0.1])
def test_constants_travel_through_text_by_bits(value):
    x = kernel.arg("x")
    for expr in (x * value, kernel.where_(x > 0, value, x)):
        assert nodes_with_bits(qv.parse(qv.to_text(expr))) == nodes_with_bits(expr)


def test_text_of_what_cannot_be_written():
    with pytest.raises(ValueError, match="^duplicate arg name: x$"):
        qv.to_text(kernel.arg("x") + kernel.arg("x"))
    for name in ["1x", "lambda", "my var", "__x__", "ﬁ"]:
        with pytest.raises(ValueError, match="cannot be written in a formula text"):
            qv.to_text(kernel.arg(name) + 1)
    with pytest.raises(TypeError, match="expects an Expr or a Kernel, not 'str'"):
        qv.to_text("x + 1")


def test_text_computes_what_numpy_computes():
    rng = np.random.default_rng(1)
    a, b = rng.random(5000) * 4 - 2, rng.random(5000) * 4 - 2
    got = qv.evaluate("where((a > 0) & ~(b > 0.5) | (a < -1), sqrt(abs(a)) + b ** 2, -1 < a < 1)")
    cond = ((a > 0) & ~(b > 0.5)) | (a < -1)
    expected = np.where(cond, np.sqrt(np.abs(a)) + b ** 2, ((-1 < a) & (a < 1)).astype(float))
    np.testing.assert_allclose(got, expected, rtol=1e-15)


@pytest.mark.parametrize("text", [
    "a % b * 2.0 // c", "a - b // c % a", "-a % b ** 2.0 - c", "a // b // c", "a % -b + c",
    "round(a, 2) + round(b, -1) - round(c * 1e6, 0)", "where(isnan(a / c) | ~isfinite(b), 1, 2)",
])
def test_operators_and_roundings_keep_pythons_precedence_and_numpys_bits(text):
    rng = np.random.default_rng(3)
    a, b, c = (np.round(rng.standard_normal(5000) * 7, 1) for _ in range(3))
    c[::9] = 0.0
    numpy_names = {"a": a, "b": b, "c": c, "round": np.round, "where": np.where,
                   "isnan": np.isnan, "isfinite": np.isfinite}
    with np.errstate(all="ignore"):
        expected = np.asarray(eval(text, {"__builtins__": {}}, numpy_names))
    got = qv.evaluate(text, a=a, b=b, c=c)
    assert got.dtype == expected.dtype  # where(..., 1, 2) is int64, as NumPy's
    assert np.array_equal(got.view(np.uint64), expected.view(np.uint64))
