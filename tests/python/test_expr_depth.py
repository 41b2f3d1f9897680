"""Deep expressions built in a loop: every operation works at depth 10,000 and beyond
without touching the C stack per level."""
import gc

import pytest
from expr_text import ident

DEPTH = 10_000


@pytest.fixture(scope="module")
def x(kernel):
    return kernel.arg("x")


def chain(start, step, n):
    e = start
    for _ in range(n):
        e = step(e)
    return e


# Each shape: one step applied DEPTH times, and the repr it must give with id `i`.
SHAPES = {
    "left-deep": (lambda x, kernel: lambda e: e + 1,
                  lambda i, n: "Binary(Add, " * n + f"ArgRef({i})" + ", Const(1.0))" * n),
    "right-deep": (lambda x, kernel: lambda e: 2 - e,
                   lambda i, n: "Binary(Sub, Const(2.0), " * n + f"ArgRef({i})" + ")" * n),
    "unary": (lambda x, kernel: lambda e: -e,
              lambda i, n: "Unary(Neg, " * n + f"ArgRef({i})" + ")" * n),
    "select": (lambda x, kernel: lambda e: kernel.where_(x > 0, e, 1),
               lambda i, n: f"Select(Compare(Gt, ArgRef({i}), Const(0.0)), " * n + f"ArgRef({i})"
               + ", Const(1.0))" * n),
}


@pytest.mark.parametrize("shape", SHAPES)
def test_depth_10000(kernel, x, shape):
    step, expected = SHAPES[shape]
    i = ident(x)
    e = chain(x, step(x, kernel), DEPTH)
    assert repr(e) == "Expr(" + expected(i, DEPTH) + ")"
    assert e.get_referenced_args() == [i]
    assert e.get_temp_args() == {i: "x"}

    copy = e * 1
    assert repr(copy) == "Expr(Binary(Mul, " + expected(i, DEPTH) + ", Const(1.0)))"
    assert repr(kernel.sqrt(e)) == "Expr(Unary(Sqrt, " + expected(i, DEPTH) + "))"

    moved = e.rewrite_args({i: 2 ** 64 - 1})
    assert repr(moved) == "Expr(" + expected(2 ** 64 - 1, DEPTH) + ")"
    assert moved.get_referenced_args() == [2 ** 64 - 1]

    del e, copy, moved
    gc.collect()


def test_mixed_node_kinds_at_depth(kernel, x):
    steps = [kernel.sqrt, lambda e: kernel.pow(e, x), lambda e: e < 1, lambda e: kernel.atan2(x, e),
             lambda e: kernel.where_(e, x, 0), lambda e: abs(e), lambda e: kernel.max(x, e) / x]
    e = x
    for n in range(DEPTH):
        e = steps[n % len(steps)](e)
    i = ident(x)
    text = repr(e)
    assert text.count("(") == text.count(")")
    refs = 1 + 5 * (DEPTH // len(steps)) + [0, 0, 1, 1, 2, 3, 3][DEPTH % len(steps)]
    assert text.count(f"ArgRef({i})") == refs
    assert e.get_temp_args() == {i: "x"}
    r = e.rewrite_args({i: 0})
    assert repr(r).count("ArgRef(0)") == refs and r.get_referenced_args() == [0]


def test_deeper_tree(kernel, x):
    # Building is quadratic (every operator copies its operand), so keep this one unary.
    n = 30_000
    i = ident(x)
    e = chain(x, lambda e: -e, n)
    assert repr(e) == "Expr(" + "Unary(Neg, " * n + f"ArgRef({i})" + ")" * n + ")"
    assert e.rewrite_args({i: 1}).get_referenced_args() == [1]
    assert repr(abs(e)).startswith("Expr(Unary(Abs, Unary(Neg, ")
