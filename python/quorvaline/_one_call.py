"""One-call helpers: NumPy arrays in, one kernel or reduction run, NumPy array or float out.

Arrays of the dtypes computed as themselves are read where they are when they are
C-contiguous, and converted with one copy otherwise; the result is written straight into a
new array of NumPy's result dtype or into `out`. The rules
for operands live in one place, the native `evaluate`, which every compiled kernel calls
too; numexpr's conventions around it are `_operands`.
"""
from __future__ import annotations

import functools
import inspect
import sys
from types import CodeType, FrameType, FunctionType
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import numpy.typing as npt

from _quorvaline import Buffer, Expr
from quorvaline import _bools, _narrow, _native, _operands, _tracing
from quorvaline._factories import kernel
from quorvaline._nodes import ARG, CONST, Node
from quorvaline._parser import parse_nodes
from quorvaline._reductions import Reduction, split_reduction

Operand = Union[Buffer, npt.ArrayLike]
ResultArray = npt.NDArray[Any]  # of NumPy's result dtype


def evaluate(
    expr: Union[Expr, str, Callable[..., Any]],
    operands: Optional[Mapping[str, Operand]] = None,
    /,
    *,
    out: Optional[ResultArray] = None,
    local_dict: Optional[Mapping[str, Any]] = None,
    global_dict: Optional[Mapping[str, Any]] = None,
    order: str = "C",
    casting: str = "same_kind",
    **named: Operand,
) -> ResultArray:
    """Compute an elementwise expression over arrays and numbers, into a new array or `out`.

    `expr` is an `Expr` built from `kernel.arg` names, a formula text such as
    ``"2*a + 3*b"`` (read by `quorvaline.parse`, never evaluated), or a callable whose
    parameter names are the argument names, e.g. ``evaluate(lambda x, y: x * y + 1, x=xs,
    y=ys)``. Operands are given by keyword, or in the `operands` mapping (for a name such as
    `out`); a name of a formula text that neither gives is taken from the caller's local,
    then global variables. C-contiguous bool, int32, int64, float32, float64, complex64 and
    complex128 arrays are read in place and computed as themselves, with NumPy 2's result
    dtype; other numeric arrays, lists and Fortran-ordered or strided views are converted
    with one copy; object, string and datetime data, masked arrays, None and text are refused
    with a TypeError naming the operand. Numbers and 0-d arrays are the same for every
    element; arrays of different shapes broadcast as in NumPy. `out`, if given, is a writable
    C-contiguous array of the result's shape, of the result's dtype or of one that `casting`
    lets it become, which may be one of the operands (an in-place update); it is returned.

    numexpr's conventions hold too: `expr` may be a compiled `Kernel`; `operands` (or
    `local_dict`, `global_dict`) may hold more names than the formula reads, which are
    ignored (a dict, ``locals()``, a DataFrame); `local_dict` and `global_dict` replace the
    caller's local and global variables for a text's names; `casting` checks each operand's
    dtype against float64 by NumPy's rules; `order` lays out the result ('C', 'F', 'A', 'K').
    The names ``nan``, ``inf`` and ``pi`` that no operand or variable holds are constants. A
    formula whose operands are all numbers, or that has no name, gives a 0-d array.
    """
    if operands is None and local_dict is None and global_dict is None and order == "C" \
            and casting == "same_kind" and isinstance(expr, Expr) \
            and not any(map(_narrow.is_narrow, named.values())):
        try:
            return _native.evaluate(expr, named, out)  # the common call, as short as it can be
        except TypeError as error:
            if not _bools.is_ours(error):
                raise
    reduction = None
    if isinstance(expr, _native.KernelCall):
        spec, names = expr.spec, expr.names  # type: ignore[attr-defined]
        formula = expr.expr  # type: ignore[attr-defined]
    elif isinstance(expr, str):
        spec, names, reduction, formula = _text_kernel(expr)
        if spec is None:  # no names: `names` is the constant formula
            if named:
                raise ValueError(f"unexpected args: {', '.join(sorted(named))}")
            return _operands.run_constant(names, out)
    else:
        formula = _as_expr(expr)
        spec, names = formula, tuple(_kernel_order(formula))
    values = _operands.gather(names, operands, named)
    if isinstance(expr, str):
        _names_from_scope(names, values, 2, local_dict, global_dict)
    else:
        _operands.from_scopes(names, values, (local_dict, global_dict))
    _operands.check_casting(values, casting)
    if reduction is not None:
        return reduction.run(spec, values, out, formula)
    if not names and isinstance(expr, _native.KernelCall):
        return _operands.kernel_numbers(expr, values, out)  # a kernel without names
    result = _operands.run(spec, values, out, casting, formula)
    return result if out is not None else _operands.lay_out(result, order, values)


@functools.lru_cache(maxsize=256)
def _text_kernel(text: str) -> Tuple[Any, Any, Optional[Reduction], Optional[Expr]]:
    """A formula text's kernel, argument names, outermost reduction and `Expr`, parsed once
    per text
    (as numexpr keeps its compiled formulas): the same text always gives the same tree. A
    text without names gives no kernel and its formula over one unused argument."""
    body, reduction = split_reduction(text)
    nodes, found = parse_nodes(text, body)
    if not found and reduction is None:
        return None, _operands.constant_formula(nodes), None, None
    if not found:
        raise ValueError(f"formula {text.strip()!r} reduces no array: it has no names")
    expr = _native.expr_from_nodes(found, nodes)
    return kernel.elementwise(expr), tuple(_kernel_order(expr)), reduction, expr


def _as_expr(expr: Union[Expr, str, Callable[..., Expr]], caller: str = "evaluate") -> Expr:
    if isinstance(expr, Expr):
        return expr
    if isinstance(expr, str):
        return _parse_for_kernel(expr)
    if not callable(expr):
        raise TypeError(f"{caller}() expects an Expr, a formula text or a callable that "
                        "builds one")
    names = _parameter_names(expr, caller)
    built = _tracing.trace(expr, names, caller)
    if not isinstance(built, Expr):
        raise TypeError(f"{caller}() expects the callable to return an Expr, "
                        f"not '{type(built).__name__}'")
    return built


def _parse_for_kernel(text: str) -> Expr:
    """A text's `Expr` for a compiled kernel, which has no caller's variables to look in:
    the literal names (nan, inf, pi) are constants. A text without other names gives a kernel
    without arguments, whose call gives a 0-d array."""
    nodes, found = parse_nodes(text)
    literal = [name in _operands.LITERALS for name in found]
    if not any(literal):
        return _native.expr_from_nodes(found, nodes)
    kept = [name for name, lit in zip(found, literal) if not lit]

    def node(tag: int, payload: Any) -> Node:
        if tag != ARG:
            return tag, payload
        name = found[int(payload)]
        if name in kept:
            return ARG, kept.index(name)
        return CONST, _operands.LITERALS[name]

    return _native.expr_from_nodes(kept, [node(tag, p) for tag, p in nodes])


def _names_from_scope(order: Sequence[str], values: Dict[str, Operand], depth: int,
                      local_dict: Optional[Mapping[str, Any]] = None,
                      global_dict: Optional[Mapping[str, Any]] = None) -> None:
    """Binds each name of the formula that the operands lack from the variables of the frame
    `depth` levels above this one (the caller of the public function), its locals, then its
    globals (or `local_dict` and `global_dict` in their place), as numexpr does (never from
    builtins), then from the literal constants; a name found nowhere is a NameError. The
    caller's frame is looked at only when a name is missing, and nothing of it is kept."""
    missing = [name for name in order if name not in values]
    if not missing:
        return
    frame: Optional[FrameType] = None
    if local_dict is None or global_dict is None:
        try:
            frame = sys._getframe(depth)
        except ValueError:  # no caller: a thread started on the public function itself
            frame = None
    if local_dict is not None:
        local: Mapping[str, Any] = local_dict
    else:
        local = frame.f_locals if frame is not None else {}
    snapshot = local_dict is None and frame is not None and _is_private_snapshot(frame, local)
    if global_dict is not None:
        glob: Mapping[str, Any] = global_dict
    else:
        glob = frame.f_globals if frame is not None else {}
    try:
        for name in missing:
            if name in local:
                values[name] = local[name]
            elif name in glob:
                values[name] = glob[name]
            elif name in _operands.LITERALS:
                values[name] = _operands.LITERALS[name]
            else:
                raise NameError(f"name '{name}' is not defined")
    finally:
        # Before Python 3.13 a function's f_locals is a dict the frame keeps until it
        # returns, holding every local's value: an array the caller deletes after the call
        # would live on. Empty it (the next locals() fills it again).
        if snapshot:
            local.clear()  # type: ignore[attr-defined]
        del frame, local, glob


def _is_private_snapshot(frame: FrameType, local: Mapping[str, Any]) -> bool:
    # A snapshot is a plain dict of a function's frame (module and class scopes are the
    # namespaces themselves; from 3.13 f_locals is a view that holds nothing), held only by
    # the frame and us: a dict the caller took from locals() is left as it is. References
    # here: the frame's, the caller's variable, this parameter, getrefcount's argument.
    optimized = frame.f_code.co_flags & inspect.CO_OPTIMIZED
    return type(local) is dict and bool(optimized) and sys.getrefcount(local) <= 4


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


def _kernel_order(expr: Expr) -> List[str]:
    # The engine numbers arguments by ascending temp id and reports the first length
    # mismatch in that order; checking in the same order names the same operand.
    temp_args = expr.get_temp_args()
    return [temp_args[i] for i in expr.get_referenced_args()]
