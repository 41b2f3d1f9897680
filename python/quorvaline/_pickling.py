"""Pickling of `Expr` through a reducer registered with `copyreg` (the class itself gains no
attribute): an expression travels as its argument names and its nodes in post-order, with
the constants' exact bits, and comes back over new arguments numbered in the same order.
Anything that pickles (multiprocessing, Dask, copy) uses it."""
import copyreg
from typing import Callable, Sequence, Tuple

from _quorvaline import Expr
from quorvaline import _native
from quorvaline._nodes import Node


def rebuild_expr(names: Sequence[str], nodes: Sequence[Node]) -> Expr:
    """The expression of `reduce_expr`'s payload, over new arguments."""
    return _native.expr_from_nodes(names, nodes)


def reduce_expr(expr: Expr) -> Tuple[Callable[..., Expr], Tuple[Tuple[str, ...], Tuple[Node, ...]]]:
    return rebuild_expr, _native.expr_nodes(expr)


copyreg.pickle(Expr, reduce_expr)
