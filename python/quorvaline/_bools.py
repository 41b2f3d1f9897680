"""Bools under the operators NumPy has no bool loops for, with NumPy's dtypes and values.

NumPy computes such an operator in the narrowest type that has a loop, its bools cast to it:
int8 for `//`, `%`, `**`, `fmod`, `<<`, `>>`, `square`, `reciprocal`, `conj`; float16 for
`sqrt`, `exp` and the other functions, `arctan2`, `hypot`, `copysign`, `round`. `abs`, `floor`,
`ceil`, `trunc`, `fmin`, `fmax`, `minimum`, `maximum` and `ones_like` keep bools bool, and `-`,
`sign` and `positive` are refused. The engine refuses these nodes (its message ends with
`_native.BOOLS_BY_PACKAGE`); here the formula is traced with NumPy, whose refusal is raised as
NumPy raises it, and rewritten: such a node reads each bool operand plus a zero NumPy scalar of
NumPy's type (exactly the cast), and the ones that keep bools bool become the engine's logical
operators. `_narrow` then computes the int8 and float16 steps as NumPy does.
"""
from __future__ import annotations

import functools
from typing import Any, Callable, Dict, List, Tuple, TypeVar

import numpy as np

from quorvaline import _narrow, _native
from quorvaline._factories import kernel
from quorvaline._nodes import ARG, BINARY, BY_NAME, PREDICATES, UNARY, Node, Nodes

_BOOL = np.dtype(bool)
_ADD, _OR = BY_NAME["Add"].code, BY_NAME["BitwiseOr"].code
# The operators the engine computes over bools as NumPy does (or as the package documents).
_KEPT = PREDICATES | {(UNARY, BY_NAME[name].code) for name in ("Invert", "Real", "Imag")} \
    | {(BINARY, BY_NAME[name].code) for name in (
        "Add", "Mul", "Min", "Max", "BitwiseAnd", "BitwiseOr", "BitwiseXor", "Div", "Complex")}
# Bool in NumPy: the value itself, or the engine's logical form.
_ITSELF = frozenset((UNARY, BY_NAME[name].code) for name in ("Abs", "Floor", "Ceil", "Trunc"))
_LOGICAL = {(BINARY, BY_NAME[a].code): BY_NAME[b].code for a, b in (
    ("Fmin", "Min"), ("Minimum", "Min"), ("Fmax", "Max"), ("Maximum", "Max"))}
_ONES_LIKE = (UNARY, BY_NAME["OnesLike"].code)
T = TypeVar("T")


def is_ours(error: BaseException) -> bool:
    """Whether the engine refused a formula as one computed here."""
    return isinstance(error, TypeError) and _native.BOOLS_BY_PACKAGE in str(error)


def retried(compute: Callable[[Any, Any, Dict[str, Any]], T], spec: Any, expr: Any,
            values: Dict[str, Any]) -> T:
    """`compute(spec, expr, values)`; when the engine refuses the formula as one computed here,
    the same over the rewritten formula (its kernel, itself) and its operands."""
    try:
        return compute(spec, expr, values)
    except TypeError as error:
        if expr is None or not is_ours(error):
            raise
    formula, operands = rewrite(expr, values)
    return compute(kernel.elementwise(formula), formula, operands)


def rewrite(expr: Any, values: Dict[str, Any]) -> Tuple[Any, Dict[str, Any]]:
    """The formula the engine and `_narrow` compute with NumPy's meaning, and its operands
    (`values` and the NumPy scalars it adds)."""
    names, nodes = _native.expr_nodes(expr)
    signature = tuple(_narrow._signature(values.get(name)) for name in names)
    formula, scalars = _plan(Nodes(nodes), tuple(names), signature)
    return formula, {**values, **scalars}


def evaluate(expr: Any, values: Dict[str, Any]) -> np.ndarray:
    """The formula's value over `values`, of NumPy's dtype, through the rewritten formula."""
    formula, operands = rewrite(expr, values)
    narrow = _narrow.evaluate(formula, operands)
    return narrow if narrow is not None else _native.evaluate(formula, operands, None)


@functools.lru_cache(maxsize=256)
def _plan(nodes: Tuple[Node, ...], names: Tuple[str, ...],
          signature: Tuple[_narrow.Signature, ...]) -> Tuple[Any, Dict[str, Any]]:
    traced = _narrow._trace(nodes, [_narrow._sample(sig, False) for sig in signature], False)
    kids = _narrow._children(nodes)
    labels = list(names)
    scalars: Dict[str, Any] = {}

    def scalar(value: Any) -> Node:
        label = f"\x00{value.dtype}{value!r}"
        if label not in scalars:
            scalars[label] = value
            labels.append(label)
        return ARG, labels.index(label)

    subtrees: List[List[Node]] = []
    for i, (tag, payload) in enumerate(nodes):
        parts = [subtrees[k] for k in kids[i]]
        key = (tag, int(payload)) if tag in (UNARY, BINARY) else None
        bools = bool(parts) and all(_narrow._dtype(traced[k]) == _BOOL for k in kids[i])
        node: List[Node] = [(tag, payload)]
        if key is not None and bools and key not in _KEPT:
            want = _narrow._dtype(traced[i])
            if want != _BOOL:  # NumPy's cast: adding a zero of its type is exact
                zero = scalar(want.type(0))  # type: ignore[union-attr]
                # Of the arrays alone, if any: a bool scalar beside one promotes as well, and
                # the engine computes no step of scalars alone in float16.
                cast = [isinstance(traced[k], np.ndarray) for k in kids[i]]
                cast = cast if any(cast) else [True] * len(cast)
                parts = [[*part, zero, (BINARY, _ADD)] if c else part
                         for part, c in zip(parts, cast)]
            elif key in _ITSELF:
                node = []
            elif key == _ONES_LIKE:
                node = [scalar(np.True_), (BINARY, _OR)]
            else:
                node = [(BINARY, _LOGICAL[key])]
        subtrees.append([n for part in parts for n in part] + node)
    return _native.expr_from_nodes(labels, subtrees[-1]), scalars
