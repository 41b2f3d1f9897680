"""Every operator of the engine's table, read from the table itself: it computes what the
Python reference says, bit for bit, on both evaluators and past the parallel threshold; it
gives the bits of the math library function the table names; it travels through the text
form and pickle unchanged; its kernel function builds it and stands in the stubs; the README
lists its spellings. An operator the reference does not know fails here."""
import ast
import ctypes
import ctypes.util
import inspect
import math
import pathlib
import pickle
import re

import numpy as np
import pytest
import reference_eval as ref

import quorvaline as qv
from quorvaline import _native
from quorvaline._nodes import ARG, BINARY, BY_NAME, COMPARE, CONST, OPERATORS, SELECT, UNARY

ROOT = pathlib.Path(__file__).resolve().parents[2]
REFERENCE = {UNARY: ref.UNARY, BINARY: ref.BINARY, COMPARE: ref.COMPARE}
LIBM = ctypes.CDLL(ctypes.util.find_library("m"))

GRID = [
    0.0, -0.0, 0.5, -0.5, 1.5, -1.5, 2.5, -2.5, 0.49999999999999994, -0.49999999999999994,
    1.0, -1.0, 2.0, 3.0, -3.5, -7.25, 0.1, -0.7, 1e-5, 0.75, math.pi, 123.456, 1e16, 1e22, 1e300,
    -1e300, -1e308, 2.0 ** 52, -(2.0 ** 52), 2.0 ** 52 + 1, -(2.0 ** 53), 4503599627370495.5,
    -4503599627370494.5, 2251799813685248.5, 5e-324, -5e-324, 2.2250738585072014e-308,
    2.225073858507201e-308, 1e-300, 1e-310, 1.7976931348623157e308, 710.0, -745.2, -745.5,
    math.inf, -math.inf, math.nan, -math.nan,
    ref.from_bits(0x7FF4000000000001),  # signalling NaN with a payload
    ref.from_bits(0xFFF800000000BEEF),  # quiet NaN, sign set, payload
]
PARALLEL = 4096  # columns at least this long are split over the pool


def inputs(arity):
    """Columns of operands: every value (every pair of values) of the grid, repeated past
    the parallel threshold."""
    rows = [(v,) for v in GRID] if arity == 1 else [(l, r) for l in GRID for r in GRID]
    rows *= PARALLEL // len(rows) + 1
    return [list(column) for column in zip(*rows)]


def bitwise(op):
    return op.spellings[0] in ("&", "|", "^", "~")


def flat_nodes(op, truths=False):
    """The operator over the arguments; with `truths`, over their truths (x != 0)."""
    wrap = [(CONST, 0.0), (COMPARE, BY_NAME["Ne"].code)] if truths else []
    return [n for i in range(op.arity) for n in [(ARG, i), *wrap]] + [(op.kind, op.code)]


def tree_nodes(op, truths=False):
    """The operator under a Select whose condition is never zero ((x != x) + 1 is 1 or 2),
    so the tree evaluator runs it."""
    condition = [(ARG, 0), (ARG, 0), (COMPARE, BY_NAME["Ne"].code), (CONST, 1.0),
                 (BINARY, BY_NAME["Add"].code)]
    return condition + flat_nodes(op, truths) + [(CONST, 0.0), (SELECT, 0)]


def same_bits(got, want):
    got_bits = np.asarray(got, dtype=np.float64).view(np.uint64)
    want_bits = np.asarray(want, dtype=np.float64).view(np.uint64)
    bad = np.flatnonzero(got_bits != want_bits)
    return [(int(i), hex(got_bits[i]), hex(want_bits[i])) for i in bad[:5]]


def stub_methods(path, cls):
    """Parameter names (without self) of each method of class `cls` in a stub file."""
    tree = ast.parse(path.read_text())
    (body,) = [n.body for n in tree.body if isinstance(n, ast.ClassDef) and n.name == cls]
    return {f.name: [a.arg for a in f.args.args[1:]]
            for f in body if isinstance(f, ast.FunctionDef)}


def readme_spellings():
    """The words in backticks of the README's table of formula spellings."""
    text = (ROOT / "README.md").read_text()
    table = text[text.index("| Ours | numexpr's | Meaning |"):]
    table = table[:table.index("\n\n")]
    return set(re.findall(r"[A-Za-z_][A-Za-z_0-9]*", " ".join(re.findall(r"`([^`]*)`", table))))


KERNEL_STUB = stub_methods(ROOT / "src" / "python" / "_quorvaline.pyi", "_KernelModule")
README_SPELLINGS = readme_spellings()


@pytest.mark.parametrize("op", OPERATORS, ids=[op.name for op in OPERATORS])
def test_operator(kernel, rt, op):
    assert op.name in REFERENCE[op.kind], f"reference_eval.py has no reference for {op.name}"
    reference = REFERENCE[op.kind][op.name]
    names = ["x", "y"][:op.arity]
    columns = inputs(op.arity)
    want = [reference(*args) for args in zip(*columns)]
    bound = {name: rt.asarray(np.array(column)) for name, column in zip(names, columns)}
    # Expr kernels are float64: the bitwise operators take truths there, as NumPy takes bools.
    # Shifts take integers alone: refused over truths too.
    truths = bitwise(op)
    shifts = op.spellings[0] in ("<<", ">>")
    if truths or shifts:
        for form in [flat_nodes(op)] + [flat_nodes(op, True)] * shifts:
            with pytest.raises(TypeError, match="not supported for the input types"):
                rt.go(kernel.map(kernel.elementwise(_native.expr_from_nodes(names, form)),
                                 **bound)).result()
    forms = () if shifts else (flat_nodes(op, truths), tree_nodes(op, truths))
    if op.name == "Complex":  # float64 buffers cannot hold complex values; NumPy's can
        expr = _native.expr_from_nodes(names, forms[0])
        with pytest.raises(TypeError, match="complex values, which a float64 buffer"):
            rt.go(kernel.map(kernel.elementwise(expr), **bound)).result()
        got = qv.evaluate(expr, dict(zip(names, columns)))
        assert same_bits(got.view(np.float64), np.array(want).view(np.float64)) == []
        forms = ()
    elif not shifts:
        want = [float(w) for w in want]
    for form in forms:
        expr = _native.expr_from_nodes(names, form)
        got = rt.go(kernel.map(kernel.elementwise(expr), **bound)).result().numpy()
        assert same_bits(got, want) == [], form

    if op.libm is not None:
        c = getattr(LIBM, op.libm)
        c.restype, c.argtypes = ctypes.c_double, [ctypes.c_double] * op.arity
        assert same_bits(got, [c(*args) for args in zip(*columns)]) == []

    nodes = tuple(flat_nodes(op))
    expr = _native.expr_from_nodes(names, nodes)
    assert _native.expr_nodes(qv.parse(qv.to_text(expr), names=names)) == (tuple(names), nodes)
    assert _native.expr_nodes(pickle.loads(pickle.dumps(expr))) == (tuple(names), nodes)
    functions = [w for w in op.spellings if w.isidentifier()]
    for spelling in functions:
        parsed = qv.parse(f"{spelling}({', '.join(names)})", names=names)
        assert _native.expr_nodes(parsed) == (tuple(names), nodes)
    assert set(functions) <= README_SPELLINGS

    if op.function is not None:
        fn = getattr(kernel, op.function)
        assert _native.expr_nodes(fn(*kernel.args(*names)))[1] == nodes
        assert KERNEL_STUB.get(op.function) == list(inspect.signature(fn).parameters)


def test_the_reference_knows_no_other_operators():
    for kind, known in REFERENCE.items():
        assert sorted(known) == sorted(op.name for op in OPERATORS if op.kind == kind)


def test_rows_are_well_formed():
    functions = [w for op in OPERATORS for w in op.spellings if w.isidentifier()]
    assert len(functions) == len(set(functions)), "a function name spells two operators"
    for op in OPERATORS:
        assert op.spellings and op.doc and op.arity == (1 if op.kind == UNARY else 2), op
