"""The formula parser against hostile and random input, and text and pickle round trips of
random trees: every text gives an Expr or a documented error, and no text runs anything."""
import ast
import operator
import pickle
import struct
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quorvaline as qv
from quorvaline import _native, kernel
from quorvaline._nodes import BINARY, COMPARE, OPERATORS, UNARY

FUZZ = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])

# Audit events that running any part of a text would raise: code executed by exec or eval,
# an import, a process or a file opened.
_FORBIDDEN = {"exec", "import", "os.system", "subprocess.Popen", "open", "os.exec",
              "ctypes.dlopen", "builtins.input"}
_seen = []
_watching = [False]


def _audit(event, args):
    if _watching[0] and event in _FORBIDDEN:
        _seen.append(event)


sys.addaudithook(_audit)  # hooks cannot be removed; this one records only while watching


def parse_outcome(text):
    """An Expr, or the documented exception; checks that parsing ran nothing."""
    _seen.clear()
    _watching[0] = True
    try:
        return qv.parse(text)
    except (SyntaxError, ValueError) as error:
        return error
    finally:
        _watching[0] = False
        assert _seen == [], f"{text!r} raised audit events {_seen}"


TOKENS = st.sampled_from([
    "x", "y", "_z", "π", "__class__", "__import__", "__builtins__", "os", "self", "sin", "where",
    "arctan2", "from_bits", "eval", "exec", "open", "getattr", "0", "1.5", "1e308", "1e999",
    "0x7ff8000000000001", "9" * 400, "2j", "True", "None", "...", "'os'", "b'x'", "f'{x}'",
    "+", "-", "*", "/", "**", "//", "%", "@", "&", "|", "^", "~", "<", "<=", "==", "!=", ">",
    ">=", "<<", "and", "or", "not", "in", "is", "if", "else", "lambda", ":", "for", "=", ":=",
    "(", ")", "[", "]", "{", "}", ",", ".", ";", "#", "\\", "\n", " ", "\x00", "\ud800",
    "\t", "yield", "await", "*", "**",
])


@FUZZ
@given(st.lists(TOKENS, max_size=30))
def test_token_soup(tokens):
    outcome = parse_outcome(" ".join(tokens))
    if isinstance(outcome, qv.Expr):
        assert qv.parse(qv.to_text(outcome)) is not None


@FUZZ
@given(st.text(alphabet=st.characters(blacklist_categories=()), max_size=60))
def test_any_text(text):
    parse_outcome(text)


def _expressions():
    leaves = st.one_of(
        st.builds(ast.Name, st.sampled_from(["x", "y", "__dict__", "sqrt", "open"])),
        st.builds(ast.Constant, st.one_of(st.integers(-2 ** 1100, 2 ** 1100), st.floats(),
                                          st.complex_numbers(), st.booleans(), st.none(),
                                          st.text(max_size=3))))
    ops = [ast.Add, ast.Sub, ast.Mult, ast.Div, ast.Pow, ast.BitAnd, ast.BitOr, ast.Mod,
           ast.FloorDiv]
    compares = [ast.Lt, ast.Gt, ast.Eq, ast.NotEq, ast.In, ast.Is]
    functions = ["sqrt", "where", "maximum", "pow", "foo", "__import__", "eval", "from_bits"]

    def extend(inner):
        return st.one_of(
            st.builds(ast.BinOp, inner, st.sampled_from(ops).map(lambda o: o()), inner),
            st.builds(ast.UnaryOp, st.sampled_from([ast.USub, ast.UAdd, ast.Invert, ast.Not])
                      .map(lambda o: o()), inner),
            st.builds(lambda l, o, r: ast.Compare(l, o, r), inner,
                      st.lists(st.sampled_from(compares).map(lambda o: o()), min_size=1,
                               max_size=3), st.lists(inner, min_size=3, max_size=3))
            .map(lambda c: ast.Compare(c.left, c.ops, c.comparators[:len(c.ops)])),
            st.builds(lambda f, a: ast.Call(ast.Name(f), a, []), st.sampled_from(functions),
                      st.lists(inner, max_size=3)),
            st.builds(lambda v, a: ast.Attribute(v, a), inner,
                      st.sampled_from(["real", "__class__"])),
            st.builds(lambda v, i: ast.Subscript(v, i), inner, inner),
            st.builds(lambda a, b: ast.BoolOp(ast.And(), [a, b]), inner, inner),
            st.builds(lambda a, b, c: ast.IfExp(a, b, c), inner, inner, inner),
            st.builds(lambda a: ast.Lambda(ast.arguments([], [], None, [], [], None, []), a),
                      inner),
        )
    return st.recursive(leaves, extend, max_leaves=25)


@FUZZ
@given(_expressions())
def test_random_syntax_trees(tree):
    try:
        text = ast.unparse(ast.fix_missing_locations(tree))
    except (ValueError, TypeError, AttributeError):
        return  # a tree Python itself cannot write out
    outcome = parse_outcome(text)
    if isinstance(outcome, qv.Expr):
        text_form = qv.to_text(outcome)
        assert qv.to_text(qv.parse(text_form)) == text_form


@pytest.mark.parametrize("depth", [10, 90, 1000, 100_000])
@pytest.mark.parametrize("before,after", [("(", ")"), ("-", ""), ("sqrt(", ")"), ("", " + x"),
                                          ("x ** ", "")])
def test_deep_nesting_parses_or_is_refused_clearly(depth, before, after):
    text = before * depth + "x" + after * depth
    outcome = parse_outcome(text)
    if isinstance(outcome, qv.Expr):
        assert qv.to_text(qv.parse(qv.to_text(outcome))) == qv.to_text(outcome)
    else:
        assert isinstance(outcome, (SyntaxError, ValueError))


# Random trees through the operators, with constants of every kind of bit pattern.
CONSTANTS = st.one_of(st.floats(), st.integers(0, 2 ** 64 - 1).map(
    lambda b: struct.unpack("<d", struct.pack("<Q", b))[0]))


def _trees(args):
    leaves = st.one_of(st.sampled_from(args), CONSTANTS)

    def extend(inner):
        unary = st.sampled_from(_UNARY)
        binary = st.sampled_from(_BINARY)
        return st.one_of(
            st.builds(_unary, unary, inner),
            st.builds(_binary, binary, inner, inner),
            st.builds(lambda c, t, f: kernel.where_(_expr(c, args), t, f), inner, inner, inner))
    return st.recursive(leaves, extend, max_leaves=20).map(lambda e: _expr(e, args))


def _expr(value, args):
    return value if isinstance(value, qv.Expr) else args[0] + value


# Every operator Python code reaches: by a Python operator's symbol or a kernel function.
_SYMBOLS = {"-": operator.sub, "+": operator.add, "*": operator.mul, "/": operator.truediv,
            "**": operator.pow, ">": operator.gt, ">=": operator.ge, "<": operator.lt,
            "<=": operator.le, "==": operator.eq, "!=": operator.ne}
_UNARY = ["neg"] + [op.function for op in OPERATORS if op.kind == UNARY and op.function]
_BINARY = [op.function or op.spellings[0] for op in OPERATORS
           if op.kind in (BINARY, COMPARE) and (op.function or op.spellings[0] in _SYMBOLS)]


def _unary(name, operand):
    operand = _expr(operand, ARGS)
    return -operand if name == "neg" else getattr(kernel, name)(operand)


def _binary(op, left, right):
    if op not in _SYMBOLS:
        return getattr(kernel, op)(_expr(left, ARGS), _expr(right, ARGS))
    if not isinstance(left, qv.Expr) and not isinstance(right, qv.Expr):
        left = _expr(left, ARGS)
    return _SYMBOLS[op](left, right)


ARGS = kernel.args("a", "b", "c")


def bit_nodes(expr):
    names, nodes = _native.expr_nodes(expr)
    return names, [(t, struct.pack("<d", p) if t == 0 else p) for t, p in nodes]


@FUZZ
@given(_trees(ARGS))
def test_random_trees_survive_text_and_pickle_bit_for_bit(expr):
    names, nodes = bit_nodes(expr)
    in_text_order = tuple(dict.fromkeys(names[p] for t, p in nodes if t == 1))
    assert bit_nodes(qv.parse(qv.to_text(expr), names=names)) == (names, nodes)
    assert bit_nodes(qv.parse(qv.to_text(expr))) == bit_nodes(qv.parse(qv.to_text(expr),
                                                                      names=in_text_order))
    assert bit_nodes(pickle.loads(pickle.dumps(expr))) == (names, nodes)
