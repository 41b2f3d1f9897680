"""One-call helpers: NumPy arrays in, one kernel or reduction run, NumPy array or float out.

Each array is copied once into a Buffer and the result once out of it. Arrays are taken
as they are: a wrong dtype, shape or layout is refused with the argument's name unless the
caller passes convert=True, which lets NumPy make a float64 contiguous copy first.
"""
from __future__ import annotations

import functools
import inspect
import sys
from contextlib import contextmanager
from types import FrameType
from typing import Any, Callable, Dict, Iterator, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from _quorvaline import Buffer, Expr, KernelSpec, ReduceSpec
from quorvaline import _native
from quorvaline._factories import kernel, rt
from quorvaline._operands import check_operand
from quorvaline._parser import parse

Operand = Union[Buffer, npt.ArrayLike]
Float64Array = npt.NDArray[np.float64]


def evaluate(
    expr: Union[Expr, str, Callable[..., Expr]],
    operands: Optional[Mapping[str, Operand]] = None,
    /,
    *,
    convert: bool = False,
    **named: Operand,
) -> Float64Array:
    """Compute an elementwise expression over NumPy arrays and numbers; return a new array.

    `expr` is an `Expr` built from `kernel.arg` names, a formula text such as
    ``"2*a + 3*b"`` (read by `quorvaline.parse`, never evaluated), or a callable whose
    parameter names are the argument names, e.g. ``evaluate(lambda x, y: x * y + 1, x=xs,
    y=ys)``. Operands are given by keyword, or in the `operands` mapping for names that clash
    with `convert`; a name of a formula text that neither gives is taken from the caller's
    local, then global variables. Each operand is a one-dimensional contiguous float64
    array, a `Buffer` (used without a copy) or a number (the same for every element). Errors
    are the engine's: for example ``ValueError("missing arg: y")``, with the argument's name
    in front where one operand is at fault.
    """
    if isinstance(expr, str):
        formula, spec, order = _text_kernel(expr)
        values = _merge_operands(operands, named)
        _names_from_scope(order, values, sys._getframe(1))
        return run_kernel(formula, spec, order, values, convert)
    formula = _as_expr(expr)
    spec = kernel.elementwise(formula)
    return run_kernel(formula, spec, _kernel_order(formula), _merge_operands(operands, named),
                      convert)


@functools.lru_cache(maxsize=256)
def _text_kernel(text: str) -> Tuple[Expr, KernelSpec, Tuple[str, ...]]:
    """A formula text's expression, kernel and argument names, parsed once per text (as
    numexpr keeps its compiled formulas): the same text always gives the same tree."""
    expr = parse(text)
    return expr, kernel.elementwise(expr), tuple(_kernel_order(expr))


def run_kernel(expr: Expr, spec: KernelSpec, order: Sequence[str],
               values: Mapping[str, Operand], convert: bool = False) -> Float64Array:
    """The one binding path of every elementwise call: operands bound by name (arrays copied
    into Buffers), lengths checked in kernel order, the kernel (`spec`, compiled from
    `expr`) run, its result as NumPy."""
    bound = {name: _bind(name, value, convert) for name, value in values.items()}
    _check_lengths(order, bound)
    if _MAP_PARAMETER not in bound:
        return rt.go(kernel.map(spec, **bound)).result().numpy()
    return _run_renamed(expr, bound)


# kernel.map's own parameter: an operand of this name cannot reach it by keyword.
_MAP_PARAMETER = "spec"


def _run_renamed(expr: Expr, bound: Dict[str, Any]) -> Float64Array:
    """Runs the kernel with the argument named like kernel.map's parameter renamed: names
    are no part of a kernel, so it computes the same. The new name is the old one with NUL
    characters after it, which sorts right after it, so the engine's messages read as they
    would have, once the name is put back in them."""
    names, nodes = _native.expr_nodes(expr)
    alias = _MAP_PARAMETER + "\0"
    while alias in names or alias in bound:
        alias += "\0"
    renamed = tuple(alias if name == _MAP_PARAMETER else name for name in names)
    spec = kernel.elementwise(_native.expr_from_nodes(renamed, nodes))
    bound[alias] = bound.pop(_MAP_PARAMETER)
    try:
        return rt.go(kernel.map(spec, **bound)).result().numpy()
    except ValueError as error:
        raise ValueError(str(error).replace(alias, _MAP_PARAMETER)) from None


def sum(array: Operand, /, *, convert: bool = False) -> float:
    """Sum of the elements, added strictly in order (NaN if any element is NaN)."""
    return _reduce(kernel.sum, array, convert)


def mean(array: Operand, /, *, convert: bool = False) -> float:
    """The in-order sum divided by the element count."""
    return _reduce(kernel.mean, array, convert)


def min(array: Operand, /, *, convert: bool = False) -> float:
    """Smallest element; NaN if any element is NaN; the earliest of equal values."""
    return _reduce(kernel.min_reduce, array, convert)


def max(array: Operand, /, *, convert: bool = False) -> float:
    """Largest element; NaN if any element is NaN; the earliest of equal values."""
    return _reduce(kernel.max_reduce, array, convert)


def _reduce(make_spec: Callable[[Buffer], ReduceSpec], array: Operand, convert: bool) -> float:
    buf = _bind("array", array, convert)
    if not isinstance(buf, Buffer):
        raise TypeError(f"argument 'array': '{type(array).__name__}' object cannot be "
                        "converted to 'PyArray<T, D>'")
    return rt.go(make_spec(buf)).result().scalar()


def _as_expr(expr: Union[Expr, str, Callable[..., Expr]], caller: str = "evaluate") -> Expr:
    if isinstance(expr, Expr):
        return expr
    if isinstance(expr, str):
        return parse(expr)
    if not callable(expr):
        raise TypeError(f"{caller}() expects an Expr, a formula text or a callable that "
                        "builds one")
    names = _parameter_names(expr, caller)
    built = expr(*kernel.args(*names))
    if not isinstance(built, Expr):
        raise TypeError(f"{caller}() expects the callable to return an Expr, "
                        f"not '{type(built).__name__}'")
    return built


def _names_from_scope(order: Sequence[str], values: Dict[str, Operand], frame: FrameType) -> None:
    """Binds each name of the formula that the operands lack from the caller's local, then
    global variables, as numexpr does (never from builtins); a name found nowhere is a
    NameError."""
    missing = [name for name in order if name not in values]
    if not missing:
        return
    scopes = (frame.f_locals, frame.f_globals)  # f_locals is a fresh snapshot: read it once
    for name in missing:
        for scope in scopes:
            if name in scope:
                values[name] = scope[name]
                break
        else:
            raise NameError(f"name '{name}' is not defined")


def _parameter_names(fn: Callable[..., Any], caller: str) -> List[str]:
    kinds = (inspect.Parameter.POSITIONAL_ONLY, inspect.Parameter.POSITIONAL_OR_KEYWORD)
    params = inspect.signature(fn).parameters.values()
    if any(p.kind not in kinds for p in params):
        raise TypeError(f"{caller}() needs a callable with plain named parameters, "
                        "one per argument")
    return [p.name for p in params]


def _merge_operands(operands: Optional[Mapping[str, Operand]],
                    named: Dict[str, Operand]) -> Dict[str, Operand]:
    merged = dict(operands or {})
    for name, value in named.items():
        if name in merged:
            raise TypeError(f"evaluate() got multiple values for argument '{name}'")
        merged[name] = value
    return merged


def _kernel_order(expr: Expr) -> List[str]:
    # The engine numbers arguments by ascending temp id and reports the first length
    # mismatch in that order; checking in the same order names the same operand.
    temp_args = expr.get_temp_args()
    return [temp_args[i] for i in expr.get_referenced_args()]


def _bind(name: str, value: Operand, convert: bool) -> Any:
    """The operand as `kernel.map` takes it: arrays copied into new Buffers, the rest as is
    (numbers bind as scalars, and kernel.map refuses anything else by name)."""
    if isinstance(value, Buffer):
        return value
    check_operand(name, value)
    if convert:
        with _named(name):
            raw = np.asarray(value)
        if raw is not value:
            check_operand(name, raw)  # None or text inside a sequence
        with _named(name):
            converted = np.asarray(raw, dtype=np.float64, order="C")
        value = float(converted) if converted.ndim == 0 else converted
    if not isinstance(value, np.ndarray):
        return value
    if value.ndim == 1 and value.dtype == np.float64 and not value.flags.c_contiguous:
        # The engine would stop with an internal fault; this is the caller's input.
        raise ValueError(f"argument '{name}': contiguous array required "
                         "(pass convert=True to copy it)")
    try:
        return rt.asarray(value)
    except TypeError as error:
        message = str(error)
        prefix = "argument 'array': "
        if message.startswith(prefix):
            message = f"argument '{name}': " + message[len(prefix):]
        raise TypeError(message) from None


@contextmanager
def _named(name: str) -> Iterator[None]:
    """Puts the operand's name in front of a conversion's TypeError or ValueError."""
    try:
        yield
    except (TypeError, ValueError) as error:
        raise type(error)(f"argument '{name}': {error}") from error


def _check_lengths(order: Sequence[str], bound: Mapping[str, Any]) -> None:
    first = None
    for name in order:
        value = bound.get(name)
        if not isinstance(value, Buffer):
            continue
        if first is None:
            first = len(value)
        elif len(value) != first:
            raise ValueError(f"argument '{name}': buffer length mismatch: {first} vs {len(value)}")
