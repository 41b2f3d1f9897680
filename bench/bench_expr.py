"""Cost of building expressions with operators.

The first table builds chains of 50 and 2,000 operators (e = e + 1) and reports the time per
operator. The second applies one operator to operands of growing size and reports the time
per operand node, next to a plain copy of the same number of bytes (bytes(bytearray)):
a flat per-node cost close to that copy shows that each operator is one block copy and
not one allocation per node. A pure Python tree of tuples, which shares its operands
instead of copying them, is timed as a reference point for the short chain.
Run: python3 bench/bench_expr.py
"""
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent))

from common import best_of  # noqa: E402

import _quorvaline  # noqa: E402

NODE_BYTES = 16  # one node of the contiguous tree


def chain(start, n):
    e = start
    for _ in range(n):
        e = e + 1
    return e


class PyExpr:
    """Reference: a tree of tuples, shared rather than copied."""
    __slots__ = ("node",)

    def __init__(self, node):
        self.node = node

    def __add__(self, other):
        return PyExpr(("Add", self.node, ("Const", float(other))))


def main():
    k = _quorvaline._KernelModule()
    x = k.arg("x")

    print("chains of e = e + 1")
    for n in (50, 2_000):
        t = best_of(lambda: chain(x, n), repeat=5)
        print(f"  {n:6d} operators  {t * 1e3:9.3f} ms  {t / n * 1e9:9.1f} ns/operator"
              f"  (final tree {2 * n + 1} nodes)")
    t = best_of(lambda: chain(PyExpr(("ArgRef", 0)), 50), repeat=5)
    print(f"  pure Python tuples, 50 operators: {t / 50 * 1e9:9.1f} ns/operator (shares, no copy)")

    print("one operator on an operand of s nodes (built by doubling: e = e + e)")
    print(f"  {'s':>8}  {'e + 1':>10}  {'per node':>10}  {'copy of s nodes':>16}")
    e, size = x, 1
    for doublings in (0, 7, 10, 14, 17, 20):
        while size < (1 << doublings) - 1:
            e, size = e + e, 2 * size + 1
        t = best_of(lambda: e + 1, repeat=5)
        raw = bytearray(size * NODE_BYTES)
        t_copy = best_of(lambda: bytes(raw), repeat=5)
        print(f"  {size:8d}  {t * 1e6:8.2f}us  {t / size * 1e9:7.2f} ns  {t_copy * 1e6:14.2f}us")


if __name__ == "__main__":
    main()
