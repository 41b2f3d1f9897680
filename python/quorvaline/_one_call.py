"""One-call helpers: NumPy arrays in, one kernel or reduction run, NumPy array or float out.

Arrays are read where they are when they are C-contiguous float64, and converted with one
copy otherwise; the result is written straight into a new array or into `out`. The rules
for operands live in one place, the native `evaluate`, which `run_kernel` (and so every
compiled kernel) calls too.
"""
from __future__ import annotations

import functools
import inspect
import sys
import unicodedata
from types import CodeType, FrameType, FunctionType
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from _quorvaline import Buffer, Expr, KernelSpec
from quorvaline import _native
from quorvaline._factories import kernel
from quorvaline._parser import parse

Operand = Union[Buffer, npt.ArrayLike]
Float64Array = npt.NDArray[np.float64]


def evaluate(
    expr: Union[Expr, str, Callable[..., Expr]],
    operands: Optional[Mapping[str, Operand]] = None,
    /,
    *,
    out: Optional[Float64Array] = None,
    **named: Operand,
) -> Float64Array:
    """Compute an elementwise expression over arrays and numbers, into a new array or `out`.

    `expr` is an `Expr` built from `kernel.arg` names, a formula text such as
    ``"2*a + 3*b"`` (read by `quorvaline.parse`, never evaluated), or a callable whose
    parameter names are the argument names, e.g. ``evaluate(lambda x, y: x * y + 1, x=xs,
    y=ys)``. Operands are given by keyword, or in the `operands` mapping (for a name such as
    `out`); a name of a formula text that neither gives is taken from the caller's local,
    then global variables. C-contiguous float64 arrays are read in place; other real arrays,
    lists and Fortran-ordered or strided views are converted with one copy; complex, object,
    string and datetime data, masked arrays, None and text are refused with a TypeError
    naming the operand. Numbers and 0-d arrays are the same for every element; arrays of
    different shapes broadcast as in NumPy. `out`, if given, is a writable C-contiguous
    float64 array of the result's shape, which may be one of the operands (an in-place
    update); it is returned.
    """
    values = named if operands is None else _merge_operands(operands, named)
    if isinstance(expr, str):
        spec, order = _text_kernel(expr)
        _names_from_scope(order, values, depth=2)
        return run_kernel(spec, values, out)
    formula = expr if isinstance(expr, Expr) else _as_expr(expr)
    if operands is not None:
        _match_spellings(values, lambda: _kernel_order(formula))
    return _native.evaluate(formula, values, out)


@functools.lru_cache(maxsize=256)
def _text_kernel(text: str) -> Tuple[KernelSpec, Tuple[str, ...]]:
    """A formula text's kernel and argument names, parsed once per text (as numexpr keeps
    its compiled formulas): the same text always gives the same tree."""
    expr = parse(text)
    return kernel.elementwise(expr), tuple(_kernel_order(expr))


def run_kernel(spec: KernelSpec, values: Mapping[str, Operand],
               out: Optional[Float64Array] = None) -> Float64Array:
    """The one binding path of every elementwise call: operands bound by name and converted
    where they must be, shapes broadcast, the kernel run into a new array or `out`."""
    return _native.evaluate(spec, values, out)


def sum(array: Operand, /) -> float:
    """Sum of all elements in C order, added strictly in order (NaN if any element is NaN)."""
    return _native.sum(array)


def mean(array: Operand, /) -> float:
    """The in-order sum divided by the element count."""
    return _native.mean(array)


def min(array: Operand, /) -> float:
    """Smallest element; NaN if any element is NaN; the earliest of equal values."""
    return _native.min(array)


def max(array: Operand, /) -> float:
    """Largest element; NaN if any element is NaN; the earliest of equal values."""
    return _native.max(array)


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


def _names_from_scope(order: Sequence[str], values: Dict[str, Operand], depth: int) -> None:
    """Binds each name of the formula that the operands lack from the variables of the frame
    `depth` levels above this one (the caller of the public function), its locals, then its
    globals, as numexpr does (never from builtins); a name found nowhere is a NameError. The
    caller's frame is looked at only when a name is missing, and nothing of it is kept."""
    missing = [name for name in order if name not in values]
    if missing or len(values) > len(order):  # else every key is an argument as spelled
        _match_spellings(values, lambda: order)
        missing = [name for name in order if name not in values]
    if not missing:
        return
    try:
        frame: Optional[FrameType] = sys._getframe(depth)
    except ValueError:  # no caller: a thread started on the public function itself
        frame = None
    local = frame.f_locals if frame is not None else {}
    snapshot = frame is not None and _is_private_snapshot(frame, local)
    try:
        for name in missing:
            if name in local:
                values[name] = local[name]
            elif frame is not None and name in frame.f_globals:
                values[name] = frame.f_globals[name]
            else:
                raise NameError(f"name '{name}' is not defined")
    finally:
        # Before Python 3.13 a function's f_locals is a dict the frame keeps until it
        # returns, holding every local's value: an array the caller deletes after the call
        # would live on. Empty it (the next locals() fills it again).
        if snapshot:
            local.clear()
        del frame, local


def _is_private_snapshot(frame: FrameType, local: Mapping[str, Any]) -> bool:
    # A snapshot is a plain dict of a function's frame (module and class scopes are the
    # namespaces themselves; from 3.13 f_locals is a view that holds nothing), held only by
    # the frame and us: a dict the caller took from locals() is left as it is. References
    # here: the frame's, the caller's variable, this parameter, getrefcount's argument.
    optimized = frame.f_code.co_flags & inspect.CO_OPTIMIZED
    return type(local) is dict and bool(optimized) and sys.getrefcount(local) <= 4


def _match_spellings(values: Dict[str, Operand], names: Callable[[], Sequence[str]]) -> None:
    """Operand names as written: a key that Python's parser would spell otherwise (it
    normalises identifiers to NFKC, so "µ" in a formula is the argument "μ") binds the
    argument so spelled, unless an argument is spelled exactly as the key. `names` gives the
    kernel's argument names, asked only when a key is not in NFKC form."""
    try:
        if "".join(values).isascii():  # the usual case, cheaply: ASCII is in NFKC form
            return
    except TypeError:  # a key that is not text, which the engine refuses by name
        return
    odd = [key for key in values if not unicodedata.is_normalized("NFKC", key)]
    exact = set(names())
    for key in odd:
        if key in exact:
            continue
        name = unicodedata.normalize("NFKC", key)
        if name in values:
            raise TypeError(f"evaluate() got multiple values for argument '{name}' "
                            f"(also spelled '{key}')")
        values[name] = values.pop(key)


# Parameter names by code object: a lambda written in a loop is one code object, and
# inspect.signature costs more than a small evaluation.
_names_by_code: Dict[CodeType, Tuple[str, ...]] = {}


def _parameter_names(fn: Callable[..., Any], caller: str) -> Tuple[str, ...]:
    # Only plain functions without attributes (such as __wrapped__ or __signature__, which
    # change what inspect reports) are known by their code alone.
    plain = type(fn) is FunctionType and not fn.__dict__
    code: Optional[CodeType] = fn.__code__ if plain else None
    cached = _names_by_code.get(code) if code is not None else None
    if cached is not None:
        return cached
    kinds = (inspect.Parameter.POSITIONAL_ONLY, inspect.Parameter.POSITIONAL_OR_KEYWORD)
    params = inspect.signature(fn).parameters.values()
    if any(p.kind not in kinds for p in params):
        raise TypeError(f"{caller}() needs a callable with plain named parameters, "
                        "one per argument")
    names = tuple(p.name for p in params)
    if code is not None:
        if len(_names_by_code) >= 1024:
            _names_by_code.clear()
        _names_by_code[code] = names
    return names


def _merge_operands(operands: Optional[Mapping[str, Operand]], named: Dict[str, Operand],
                    names: Sequence[str] = ()) -> Dict[str, Operand]:
    """The operands mapping and the named operands in one dict; with the kernel's argument
    `names`, keys are matched to them as written (see `_match_spellings`)."""
    merged = dict(operands or {})
    for name, value in named.items():
        if name in merged:
            raise TypeError(f"evaluate() got multiple values for argument '{name}'")
        merged[name] = value
    if names and (len(merged) != len(names) or any(name not in merged for name in names)):
        _match_spellings(merged, lambda: names)
    return merged


def _kernel_order(expr: Expr) -> List[str]:
    # The engine numbers arguments by ascending temp id and reports the first length
    # mismatch in that order; checking in the same order names the same operand.
    temp_args = expr.get_temp_args()
    return [temp_args[i] for i in expr.get_referenced_args()]
