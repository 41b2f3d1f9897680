"""Compiled kernels: a formula turned into a `KernelSpec` once, called like `qv.evaluate`.

A `Kernel` is a value: equal and hashed by its formula (argument names in kernel order and
the tree, constants by their type and bits: `x * 2`, `x * 2.0` and `x * True` differ), pickled
as its expression, and tokenized for Dask by the same formula.
"""
from __future__ import annotations

import inspect
from typing import Any, Callable, Optional, Tuple, Union

from _quorvaline import Expr, KernelSpec
from quorvaline import _native
from quorvaline._factories import kernel
from quorvaline._nodes import CONST, constant_key
from quorvaline._one_call import _as_expr, _kernel_order
from quorvaline._text import first_appearance, formula_text

# Argument names in kernel order, and the nodes in post-order with constants as their type and
# bits.
Formula = Tuple[Tuple[str, ...], Tuple[Tuple[int, Any], ...]]


class _CallSignature:
    # inspect.signature(kernel) gives the call's parameters, which the native call does not
    # carry; the class itself keeps its constructor's.
    def __get__(
        self, obj: Optional[Kernel], owner: Optional[type] = None
    ) -> Optional[inspect.Signature]:
        return None if obj is None else _CALL_SIGNATURE


_CALL_SIGNATURE = inspect.Signature([
    inspect.Parameter("operands", inspect.Parameter.VAR_POSITIONAL, annotation="Any"),
    inspect.Parameter("out", inspect.Parameter.KEYWORD_ONLY, default=None,
                      annotation="Optional[ResultArray]"),
    inspect.Parameter("named", inspect.Parameter.VAR_KEYWORD, annotation="Operand"),
], return_annotation="ResultArray")


class Kernel(_native.KernelCall):
    """A formula compiled once: ``k = qv.compile("2*a + 3*b")``, then ``k(a=xs, b=ys)``,
    ``k(xs, ys)`` (by position, in the order of `names`) or ``k(mapping)``.

    ``k(*operands, out=None, **named)`` follows `qv.evaluate`'s operand rules, without its
    parsing and without `kernel.elementwise`; one mapping (a dict, a DataFrame) given by
    position is a place to look the names up, whose other names are ignored. A kernel takes
    its operands explicitly: it never looks into the caller's variables, since it may run far
    from where it was written (in a Dask worker). `qv.compile` also decorates a function.
    """

    # The call itself is the native base's: a Python __call__ would cost a frame per call.
    __slots__ = ("_expr", "_spec", "_names", "_text", "_key", "__weakref__")
    __signature__ = _CallSignature()

    def __init__(self, formula: Union[Kernel, Expr, str, Callable[..., Expr]]) -> None:
        expr = formula.expr if isinstance(formula, Kernel) else _as_expr(formula, "compile")
        self._spec = kernel.elementwise(expr)
        self._expr = expr
        self._names = tuple(_kernel_order(expr))
        self._text: Optional[str] = None
        self._key: Optional[Formula] = None

    @property
    def names(self) -> Tuple[str, ...]:
        """The argument names in kernel order."""
        return self._names

    @property
    def spec(self) -> KernelSpec:
        """The `KernelSpec`, for `kernel.map` and `rt.go`."""
        return self._spec

    @property
    def expr(self) -> Expr:
        """The expression the kernel was compiled from."""
        return self._expr

    @property
    def text(self) -> str:
        """The canonical text of the formula (`qv.to_text`)."""
        if self._text is None:
            self._text = formula_text(self._expr)
        return self._text

    def _formula(self) -> Formula:
        if self._key is None:
            # Positions in the names are the kernel's argument numbers; constants as bits, so
            # that NaN equals itself and -0.0 differs from 0.0.
            names, nodes = _native.expr_nodes(self._expr)
            self._key = names, tuple(
                (tag, constant_key(p) if tag == CONST else int(p)) for tag, p in nodes)
        return self._key

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Kernel):
            return NotImplemented
        return self._formula() == other._formula()

    def __hash__(self) -> int:
        return hash(self._formula())

    def __repr__(self) -> str:
        try:
            text = self.text
        except ValueError:  # names that a text cannot hold
            return f"Kernel({self._expr!r}, names={self._names!r})"
        if self._names != first_appearance(self._expr):
            return f"Kernel({text!r}, names={self._names!r})"
        return f"Kernel({text!r})"

    def __reduce__(self) -> Tuple[Callable[..., Kernel], Tuple[Expr]]:
        # The expression pickles through the package's reducer, with its kernel order.
        return Kernel, (self._expr,)

    def __dask_tokenize__(self) -> Tuple[str, Formula]:
        return "quorvaline.Kernel", self._formula()


def compile(formula: Union[Kernel, Expr, str, Callable[..., Expr]]) -> Kernel:
    """A `Kernel` from an `Expr`, a formula text or a callable, as `qv.evaluate` takes them
    (a `Kernel` is returned as it is)."""
    return formula if isinstance(formula, Kernel) else Kernel(formula)
