"""Reductions: NumPy's `sum`, `prod`, `mean`, `min` and `max` with `axis` and `keepdims`, and
numexpr's reductions written as the outermost call of a formula text (``"sum(a*b, axis=1)"``).

A formula and its reduction run in one pass: the engine computes the formula's values a few
blocks at a time and folds them into the result, so they are never stored whole. Every result
element takes its values in C order over the reduced axes, on one thread, so its bits are
those of the same reduction of the materialised values, whatever the thread count.

Result dtypes are NumPy's: sums and products of bools and integers are int64 (wrapping), of
float32 float32 and of float64 float64, each step in that type; means of bools and integers
are float64; `min` and `max` keep the values' dtype. The order is strict where NumPy adds
floats pairwise, so float sums may differ from NumPy's in the last bits; integer sums are
exact and equal.
"""
from __future__ import annotations

import ast
from typing import Any, Dict, Literal, Mapping, NamedTuple, Optional, Tuple, Union, overload

import numpy as np
import numpy.typing as npt

from _quorvaline import Buffer, KernelSpec
from quorvaline import _bools, _half, _int_parts, _narrow, _native
from quorvaline._factories import kernel
from quorvaline._parser import _syntax_tree, _where

Operand = Union[Buffer, npt.ArrayLike]
Axis = Union[None, int, Tuple[int, ...]]
# A reduction over all elements: a Python float for float64 data, else a NumPy scalar of the
# result's dtype (Any, as NumPy's own stubs type their reductions' scalars).
Scalar = Any

# What the helpers reduce: the operand itself (one spec, so its compiled kernel is kept).
_OPERAND_EXPR = kernel.arg("array")
_OPERAND = kernel.elementwise(_OPERAND_EXPR)

_TEXT_REDUCTIONS = ("sum", "prod", "min", "max")
_ELEMENTWISE = {"min": ("minimum", "fmin", "smaller"), "max": ("maximum", "fmax", "larger")}


@overload
def sum(array: Operand, /, axis: None = None, keepdims: Literal[False] = False) -> Scalar: ...
@overload
def sum(array: Operand, /, axis: Axis = None, keepdims: bool = False) -> npt.NDArray[Any]: ...
def sum(array: Operand, /, axis: Axis = None,
        keepdims: bool = False) -> Union[Scalar, npt.NDArray[Any]]:
    """Sum along `axis` (None: all elements, an int or a tuple of ints), added strictly in
    C order over the reduced axes starting from -0.0 (NaN if any element is NaN), in NumPy's
    result dtype (int64 for bools and integers, wrapping). A scalar for all elements (for
    float64 data a Python float, and an empty array is a ValueError), else an array."""
    if axis is None and not keepdims and _float64(array):
        return _native.sum(array)
    return _reduce("sum", array, axis, keepdims)


@overload
def prod(array: Operand, /, axis: None = None, keepdims: Literal[False] = False) -> Scalar: ...
@overload
def prod(array: Operand, /, axis: Axis = None, keepdims: bool = False) -> npt.NDArray[Any]: ...
def prod(array: Operand, /, axis: Axis = None,
         keepdims: bool = False) -> Union[Scalar, npt.NDArray[Any]]:
    """Product along `axis`, multiplied strictly in C order over the reduced axes starting
    from 1, in NumPy's result dtype; 1 for no elements, as NumPy's."""
    return _reduce("prod", array, axis, keepdims)


@overload
def mean(array: Operand, /, axis: None = None, keepdims: Literal[False] = False) -> Scalar: ...
@overload
def mean(array: Operand, /, axis: Axis = None, keepdims: bool = False) -> npt.NDArray[Any]: ...
def mean(array: Operand, /, axis: Axis = None,
         keepdims: bool = False) -> Union[Scalar, npt.NDArray[Any]]:
    """The in-order sum along `axis` divided by the count of elements reduced (float64 for
    bools and integers, as NumPy's)."""
    if axis is None and not keepdims and _float64(array):
        return _native.mean(array)
    return _reduce("mean", array, axis, keepdims)


@overload
def min(array: Operand, /, axis: None = None, keepdims: Literal[False] = False) -> Scalar: ...
@overload
def min(array: Operand, /, axis: Axis = None, keepdims: bool = False) -> npt.NDArray[Any]: ...
def min(array: Operand, /, axis: Axis = None,
        keepdims: bool = False) -> Union[Scalar, npt.NDArray[Any]]:
    """Smallest element along `axis`; NaN if any is NaN; the earliest of equal values
    (-0.0 or +0.0). No elements to reduce is a ValueError, as in NumPy."""
    if axis is None and not keepdims and _float64(array):
        return _native.min(array)
    return _reduce("min", array, axis, keepdims)


@overload
def max(array: Operand, /, axis: None = None, keepdims: Literal[False] = False) -> Scalar: ...
@overload
def max(array: Operand, /, axis: Axis = None, keepdims: bool = False) -> npt.NDArray[Any]: ...
def max(array: Operand, /, axis: Axis = None,
        keepdims: bool = False) -> Union[Scalar, npt.NDArray[Any]]:
    """Largest element along `axis`; NaN if any is NaN; the earliest of equal values."""
    if axis is None and not keepdims and _float64(array):
        return _native.max(array)
    return _reduce("max", array, axis, keepdims)


def _float64(array: Operand) -> bool:
    """Whether the whole-array reduction of float64 data applies (a Buffer, or an array or
    list NumPy reads as float64)."""
    if isinstance(array, Buffer):
        return True
    dtype = getattr(array, "dtype", None)
    return bool(dtype == np.float64 if dtype is not None
                else np.asarray(array).dtype == np.float64)


def _reduce(op: str, array: Operand, axis: Axis,
            keepdims: bool) -> Union[Scalar, npt.NDArray[Any]]:
    result = _typed_reduce(_OPERAND, _OPERAND_EXPR, {"array": array}, op, axis, keepdims)
    if axis is not None or keepdims:
        return result
    return float(result) if result.dtype == np.float64 else result[()]


def _typed_reduce(spec: KernelSpec, expr: Any, values: Mapping[str, Operand], op: str,
                  axis: Axis, keepdims: bool) -> npt.NDArray[Any]:
    """The reduction of the formula's values in NumPy's dtype: narrow integers as `_narrow`
    reduces them, bools under operators NumPy computes in another type as `_bools` rewrites
    them, and float16 values summed (or compared) in float32 in the engine's order and
    rounded to float16 once, as NumPy gives float16."""
    return _bools.retried(lambda s, e, v: _half_or_narrow(s, e, v, op, axis, keepdims),
                          spec, expr, dict(values))


def _half_or_narrow(spec: KernelSpec, expr: Any, values: Dict[str, Operand], op: str,
                    axis: Axis, keepdims: bool) -> npt.NDArray[Any]:
    if not _narrow.has_half_steps(expr, values):
        return _narrow.reduce(spec, expr, values, op, axis, keepdims)
    names, nodes = _native.expr_nodes(expr)
    if len(nodes) == 1 and names[0] in values:  # one operand: read as float32, exactly
        array: Any = values[names[0]]
    else:  # NumPy rounds each float16 step: the values, as `_half` computes them
        array = _narrow.evaluate(expr, values)
    result = _narrow.reduce(_OPERAND, _OPERAND_EXPR, {"array": array}, op, axis, keepdims)
    if not _half.has_half(array):
        return result
    with np.errstate(over="ignore"):  # past float16's range is infinite, as in NumPy
        return np.asarray(result.astype(_half.HALF))


class Reduction(NamedTuple):
    """The outermost reduction of a formula text."""

    op: str
    axis: Axis
    keepdims: bool

    def run(self, spec: KernelSpec, values: Mapping[str, Operand],
            out: Optional[npt.NDArray[Any]] = None, expr: Any = None) -> npt.NDArray[Any]:
        """The reduction of the kernel's values over `values`: a new array (0-d for all
        axes, as numexpr gives), or written into `out`, which must have its shape and a dtype
        the result's casts to safely. Given the formula's `expr`, narrow integer operands
        are computed as `_narrow` computes them."""
        operands = dict(values)
        folded = _int_parts.split(spec, operands)
        if folded is not None:
            spec, operands = folded
            expr = None if expr is None else spec
        if expr is None:
            result = _native.reduce(spec, operands, self.op, self.axis, self.keepdims)
        else:
            result = _typed_reduce(spec, expr, operands, self.op, self.axis, self.keepdims)
        if out is None:
            return result
        if (not isinstance(out, np.ndarray) or out.shape != result.shape
                or not np.can_cast(result.dtype, out.dtype, "safe") or not out.flags.writeable):
            raise ValueError(f"argument 'out': a writable array of shape {result.shape} and a "
                             f"dtype {result.dtype} casts to safely is needed for this "
                             f"reduction")
        out[...] = result
        return out


def split_reduction(text: str) -> Tuple[ast.expr, Optional[Reduction]]:
    """The syntax tree of a text's elementwise formula, and its outermost reduction if it has
    one: ``sum(f)``, ``sum(f, axis=k)``, ``prod(...)``, ``min(f[, axis])``, ``max(f[, axis])``,
    the axis an integer literal (or a tuple of them, or None) given by position or keyword,
    and ``keepdims=True`` or ``False``."""
    if not isinstance(text, str):
        raise TypeError(f"formula text must be str, not '{type(text).__name__}'")
    body = _syntax_tree(text)
    reduction = None
    if (isinstance(body, ast.Call) and isinstance(body.func, ast.Name)
            and body.func.id in _TEXT_REDUCTIONS):
        body, reduction = _outer_reduction(text, body)
    _refuse_inner_reductions(text, body)
    return body, reduction


def _outer_reduction(text: str, call: ast.Call) -> Tuple[ast.expr, Reduction]:
    assert isinstance(call.func, ast.Name)
    op = call.func.id
    for a in call.args:
        if isinstance(a, ast.Starred):
            raise _refuse(text, a, "starred argument is not allowed in a formula")
    if not call.args or len(call.args) > 2:
        raise _refuse(text, call, f"{op}() takes a formula and an optional axis, "
                                  f"not {len(call.args)} arguments")
    options = {}
    for keyword in call.keywords:
        if keyword.arg in options:
            raise _refuse(text, keyword, f"{op}() got the {keyword.arg} twice")
        if keyword.arg not in ("axis", "keepdims"):
            what = "**" if keyword.arg is None else f"'{keyword.arg}'"
            raise _refuse(text, keyword, f"keyword argument {what} is not allowed in {op}() "
                                         "(axis and keepdims are)")
        options[keyword.arg] = keyword.value
    if len(call.args) == 2:
        if "axis" in options:
            raise _refuse(text, call, f"{op}() got the axis twice")
        options["axis"] = call.args[1]
    axis = None
    if "axis" in options:
        axis = _axis_literal(options["axis"])
        if axis is False:
            if op in _ELEMENTWISE and len(call.args) == 2:
                raise _refuse(text, call, _elementwise_hint(op))
            raise _refuse(text, options["axis"], f"the axis of {op}() must be an integer "
                                                 "literal, a tuple of them or None")
    keepdims = options.get("keepdims")
    if keepdims is not None and not (isinstance(keepdims, ast.Constant)
                                     and isinstance(keepdims.value, bool)):
        raise _refuse(text, keepdims, f"keepdims of {op}() must be True or False")
    flag = bool(keepdims.value) if isinstance(keepdims, ast.Constant) else False
    return call.args[0], Reduction(op, axis, flag)


def _axis_literal(node: ast.expr) -> Union[Axis, bool]:
    """The axis an integer literal, a tuple of them or None gives; False for anything else."""
    if isinstance(node, ast.Constant) and node.value is None:
        return None
    if isinstance(node, ast.Tuple):
        axes = [_axis_literal(item) for item in node.elts]
        if any(a is False or not isinstance(a, int) for a in axes):
            return False
        return tuple(a for a in axes if isinstance(a, int))
    sign = 1
    if isinstance(node, ast.UnaryOp) and isinstance(node.op, (ast.USub, ast.UAdd)):
        sign = -1 if isinstance(node.op, ast.USub) else 1
        node = node.operand
    if isinstance(node, ast.Constant) and type(node.value) is int:
        return sign * node.value
    return False


def _refuse_inner_reductions(text: str, body: ast.expr) -> None:
    for node in ast.walk(body):
        if (isinstance(node, ast.Call) and isinstance(node.func, ast.Name)
                and node.func.id in _TEXT_REDUCTIONS):
            op = node.func.id
            if op in _ELEMENTWISE and len(node.args) == 2:
                raise _refuse(text, node, _elementwise_hint(op))
            raise _refuse(text, node, f"{op}() is a reduction: it must be the outermost call "
                                      "of the formula, as in numexpr")


def _elementwise_hint(op: str) -> str:
    propagating, ignoring, word = _ELEMENTWISE[op]
    return (f"{op}(a, b) is a reduction, as in numexpr: its second argument is an axis (an "
            f"integer). For the elementwise {word} of two values use {propagating}(a, b) "
            f"(NaN propagates, as in NumPy) or {ignoring}(a, b) (NaN is ignored)")


def _refuse(text: str, node: ast.AST, message: str) -> ValueError:
    return ValueError(f"{message} ({_where(text, node)})")
