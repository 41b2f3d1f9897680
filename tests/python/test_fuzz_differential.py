"""Random expressions, bindings and reductions run by the engine and by the pure-Python model in
reference_eval, compared bit for bit; random expressions' repr against the documented text."""
import math
import operator

import numpy as np
import pytest
import reference_eval as ref
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quorvaline._nodes import BINARY as NODE_BINARY
from quorvaline._nodes import BY_NAME, OPERATORS
from quorvaline._nodes import UNARY as NODE_UNARY

NAMES = ("a", "b", "c", "d")
# The operators Python code reaches: a kernel function, or a Python operator's symbol.
SYMBOLS = {"-": operator.neg, "+": operator.add, "*": operator.mul, "/": operator.truediv,
           "**": operator.pow}
UNARY = tuple(op.name for op in OPERATORS if op.kind == NODE_UNARY
              and (op.function or op.spellings[0] in SYMBOLS))
OPERATOR_BINARY = tuple(op.name for op in OPERATORS if op.kind == NODE_BINARY
                        and op.spellings[0] in SYMBOLS)
FUNCTION_BINARY = tuple(op.name for op in OPERATORS if op.kind == NODE_BINARY and op.function)
MIRROR = {"Lt": "Gt", "Le": "Ge", "Gt": "Lt", "Ge": "Le", "Eq": "Eq", "Ne": "Ne"}
PARALLEL_SIZES = (4095, 4096, 4097, 5000, 8193)

FUZZ = settings(max_examples=300, deadline=None, derandomize=True, database=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

SPECIAL = [0.0, -0.0, math.inf, -math.inf, math.nan, -math.nan,
           ref.from_bits(0x7FF4000000000001),  # signalling NaN with a payload
           ref.from_bits(0xFFF800000000BEEF),  # quiet NaN, sign set, payload
           5e-324, -5e-324, 2.2250738585072014e-308, 2.225073858507201e-308,  # subnormals
           1.7976931348623157e308, -1e308, 1e-300, 0.5, -0.5, 1.5, -2.5,
           0.49999999999999994, 2.0 ** 52, 2.0 ** 52 + 1, -(2.0 ** 53), 1.0, -1.0, 2.0, 3.0]

floats = st.one_of(st.sampled_from(SPECIAL), st.floats(), st.floats(-10, 10))
numbers = st.one_of(floats, st.booleans(), st.integers(-10, 10),
                    st.integers(-(2 ** 70), 2 ** 70))  # beyond 2^53 and beyond 64 bits


@st.composite
def expr_trees(draw, depth):
    """A tree holding at least one argument, so Python can build it as an Expr."""
    if depth == 0 or draw(st.integers(0, 4)) == 0:
        return ("arg", draw(st.sampled_from(NAMES)))
    kind = draw(st.sampled_from(["un", "bin", "cmp", "sel"]))
    sub = expr_trees(depth - 1)
    if kind == "un":
        return ("un", draw(st.sampled_from(UNARY)), draw(sub), draw(st.sampled_from(["op", "fn"])))
    if kind == "sel":
        operand = st.one_of(sub, numbers.map(lambda v: ("const", v)))
        return ("sel", draw(sub), draw(operand), draw(operand))
    form = draw(st.sampled_from(["fn", "left const", "right const", "both"]))
    if kind == "bin":
        op = draw(st.sampled_from(FUNCTION_BINARY if form == "fn" else OPERATOR_BINARY))
    else:
        op = draw(st.sampled_from(sorted(MIRROR)))
    left = ("const", draw(numbers)) if form == "left const" else draw(sub)
    right = ("const", draw(numbers)) if form == "right const" else draw(sub)
    return (kind, op, left, right, form)


def build(kernel, node, args):
    """The Expr (or, for a constant, the Python number) that Python code would write."""
    kind = node[0]
    if kind == "arg":
        return args[node[1]]
    if kind == "const":
        return node[1]
    if kind == "un":
        child = build(kernel, node[2], args)
        op = BY_NAME[node[1]]
        if op.function is None:
            return SYMBOLS[op.spellings[0]](child)
        if node[1] == "Abs" and node[3] == "op":
            return abs(child)
        return getattr(kernel, op.function)(child)
    if kind == "sel":
        return kernel.where_(*(build(kernel, n, args) for n in node[1:4]))
    op, l, r = node[1], build(kernel, node[2], args), build(kernel, node[3], args)
    if kind == "bin" and node[4] == "fn":
        return getattr(kernel, BY_NAME[op].function)(l, r)
    return {"Add": lambda: l + r, "Sub": lambda: l - r, "Mul": lambda: l * r,
            "Div": lambda: l / r, "Pow": lambda: l ** r, "Lt": lambda: l < r,
            "Le": lambda: l <= r, "Gt": lambda: l > r, "Ge": lambda: l >= r,
            "Eq": lambda: l == r, "Ne": lambda: l != r}[op]()


def as_built(node):
    """The tree the engine holds: a comparison with a number on the left is reflected."""
    kind = node[0]
    if kind in ("arg", "const"):
        return node
    if kind == "un":
        return ("un", node[1], as_built(node[2]))
    if kind == "sel":
        return ("sel",) + tuple(as_built(n) for n in node[1:4])
    l, r = as_built(node[2]), as_built(node[3])
    if kind == "cmp" and l[0] == "const":
        return ("cmp", MIRROR[node[1]], r, l)
    return (kind, node[1], l, r)


def names_in(node):
    if node[0] == "arg":
        return {node[1]}
    if node[0] == "const":
        return set()
    return set().union(*(names_in(n) for n in node[1:] if isinstance(n, tuple)))


def text(node, ids):
    kind = node[0]
    if kind == "arg":
        return f"ArgRef({ids[node[1]]})"
    if kind == "const":
        return f"Const({ref.float_text(ref.const_value(node[1]))})"
    if kind == "un":
        return f"Unary({node[1]}, {text(node[2], ids)})"
    if kind == "sel":
        return "Select(" + ", ".join(text(n, ids) for n in node[1:4]) + ")"
    variant = "Binary" if kind == "bin" else "Compare"
    return f"{variant}({node[1]}, {text(node[2], ids)}, {text(node[3], ids)})"


def assert_same_bits(got, want):
    got_bits = np.asarray(got, dtype=np.float64).view(np.uint64)
    want_bits = np.asarray(want, dtype=np.float64).view(np.uint64)
    assert got_bits.shape == want_bits.shape
    bad = np.flatnonzero(got_bits != want_bits)
    assert bad.size == 0, [(int(i), hex(got_bits[i]), hex(want_bits[i])) for i in bad[:5]]


@st.composite
def columns(draw, n):
    """n values: a drawn pool spread by a drawn seed, so large sizes stay cheap to draw."""
    pool = draw(st.lists(floats, min_size=1, max_size=12))
    seed = draw(st.integers(0, 2 ** 32 - 1))
    picks = np.random.default_rng(seed).integers(0, len(pool), n)
    return [pool[i] for i in picks]


sizes = st.one_of(st.integers(0, 9), st.sampled_from(PARALLEL_SIZES))


@FUZZ
@given(data=st.data(), tree=expr_trees(4), n=sizes)
def test_kernel_matches_reference(kernel, rt, data, tree, n):
    args = dict(zip(NAMES, kernel.args(*NAMES)))
    used = sorted(names_in(tree), key=NAMES.index)
    env, bound = {}, {}
    for name in used:
        if data.draw(st.integers(0, 3), label=f"{name} scalar?") == 0:
            value = data.draw(numbers, label=name)
            env[name], bound[name] = ref.const_value(value), value
        else:
            column = data.draw(columns(n), label=name)
            env[name], bound[name] = column, rt.asarray(np.array(column, dtype=np.float64))
    spec = kernel.map(kernel.elementwise(build(kernel, tree, args)), **bound)
    handle = rt.go(spec)
    assert handle.is_done()
    if all(not isinstance(v, list) for v in env.values()):
        with pytest.raises(ValueError, match="^no buffer arguments provided$"):
            handle.result()
        return
    result = handle.result()
    assert len(result) == n
    assert_same_bits(result.numpy(), ref.evaluate(as_built(tree), env, n))


@FUZZ
@given(tree=expr_trees(5))
def test_repr_matches_documented_text(kernel, tree):
    args = dict(zip(NAMES, kernel.args(*NAMES)))
    ids = {name: e.get_referenced_args()[0] for name, e in args.items()}
    e = build(kernel, tree, args)
    built = as_built(tree)
    want = tree[1] if tree[0] == "arg" else text(built, ids)
    assert repr(e) == f"Expr({want})"
    assert e.get_referenced_args() == sorted(ids[name] for name in names_in(tree))


@FUZZ
@given(data=st.data(), op=st.sampled_from(["sum", "mean", "min_reduce", "max_reduce"]),
       n=st.one_of(st.integers(0, 40), st.sampled_from(PARALLEL_SIZES)))
def test_reductions_match_reference(kernel, rt, data, op, n):
    xs = data.draw(columns(n))
    handle = rt.go(getattr(kernel, op)(rt.asarray(np.array(xs, dtype=np.float64))))
    name = {"sum": "Sum", "mean": "Mean", "min_reduce": "Min", "max_reduce": "Max"}[op]
    if n == 0:
        with pytest.raises(ValueError, match=f"^cannot {name} empty buffer$"):
            handle.result()
        return
    result = handle.result()
    assert len(result) == 1
    assert_same_bits([result.scalar()], [ref.reduce(name, xs)])


@FUZZ
@given(data=st.data(), tree=expr_trees(3),
       sizes_=st.lists(st.integers(0, 6), min_size=2, max_size=4))
def test_length_mismatch_names_the_first_two_buffers(kernel, rt, data, tree, sizes_):
    args = dict(zip(NAMES, kernel.args(*NAMES)))
    used = sorted(names_in(tree), key=NAMES.index)
    bound = {name: rt.asarray(np.zeros(sizes_[i % len(sizes_)])) for i, name in enumerate(used)}
    counts = [len(bound[name]) for name in used]
    handle = rt.go(kernel.map(kernel.elementwise(build(kernel, tree, args)), **bound))
    other = next((c for c in counts if c != counts[0]), None)
    if other is None:
        assert len(handle.result()) == counts[0]
    else:
        with pytest.raises(ValueError, match=f"^buffer length mismatch: {counts[0]} vs {other}$"):
            handle.result()

