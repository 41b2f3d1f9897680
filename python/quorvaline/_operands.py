"""numexpr's calling conventions, around the one binding path of the native `evaluate`.

- A mapping of operands (a dict, `locals()`, a pandas DataFrame, any `Mapping`) is a place to
  look names up: the formula takes the names it reads and ignores the rest. Keyword operands
  stay strict: an unknown keyword is the engine's "unexpected args" error.
- A compiled kernel takes operands by position too, in the order of its `names`.
- `casting` checks each operand's dtype against float64 by NumPy's casting rules; `order`
  lays the result out in memory ('C', 'F', 'A' or 'K', as NumPy and numexpr mean them).
- A formula whose operands are all numbers (or that has no name at all) gives a 0-d array.
"""
from __future__ import annotations

import math
import unicodedata
from collections.abc import Mapping
from typing import Any, Dict, Iterable, Optional, Sequence, Tuple

import numpy as np

from _quorvaline import KernelSpec
from quorvaline import _bools, _int_parts, _narrow, _native
from quorvaline._nodes import ARG, CONST, SELECT

# Names a formula text may read as constants, when neither the operands nor the caller's
# variables hold them (True and False are Python's literals already).
LITERALS: Dict[str, float] = {"nan": math.nan, "inf": math.inf, "pi": math.pi}

ORDERS = ("C", "F", "A", "K")
CASTINGS = ("no", "equiv", "safe", "same_kind", "unsafe")


def is_namespace(value: Any) -> bool:
    """A mapping, or a table of named columns (a pandas DataFrame), to look names up in."""
    return isinstance(value, Mapping) or (hasattr(value, "columns") and hasattr(value, "keys"))


def gather(names: Sequence[str], operands: Any, named: Dict[str, Any],
           caller: str = "evaluate") -> Dict[str, Any]:
    """The keyword operands, and from `operands` the names the formula reads that the
    keywords lack. A name given both ways is an error, as for any function argument. Keys
    are matched to the formula's names as Python spells them (see `match_spellings`)."""
    if operands is None:
        values = named
    else:
        if not is_namespace(operands):
            raise TypeError(f"{caller}() takes the operands as a mapping of names (a dict, "
                            f"locals(), a DataFrame), not '{type(operands).__name__}'")
        values = dict(named)
        for name in names:
            if name in operands:
                if name in named:
                    raise TypeError(f"{caller}() got multiple values for argument '{name}'")
                values[name] = operands[name]
        if any(name not in values for name in names):
            for key in operands.keys():
                if _respelled(key) and key not in values:
                    values[key] = operands[key]
    match_spellings(values, names, caller)
    return values


def _respelled(key: Any) -> bool:
    return (isinstance(key, str) and not key.isascii()
            and not unicodedata.is_normalized("NFKC", key))


def match_spellings(values: Dict[str, Any], names: Sequence[str],
                    caller: str = "evaluate") -> None:
    """Operand names as written: a key that Python's parser would spell otherwise (it
    normalises identifiers to NFKC, so "µ" in a formula is the argument "μ") binds the
    argument so spelled, unless an argument is spelled exactly as the key."""
    odd = [key for key in values if _respelled(key) and key not in names]
    for key in odd:
        name = unicodedata.normalize("NFKC", key)
        if name in values:
            raise TypeError(f"{caller}() got multiple values for argument '{name}' "
                            f"(also spelled '{key}')")
        values[name] = values.pop(key)


def kernel_operands(kernel: Any, args: Tuple[Any, ...], named: Dict[str, Any]) -> Dict[str, Any]:
    """A kernel call's operands: one mapping to look names up in, or operands by position
    in the order of the kernel's names (as numexpr's NumExpr objects take them)."""
    names: Tuple[str, ...] = kernel.names
    if len(args) == 1 and is_namespace(args[0]):
        return gather(names, args[0], named, "Kernel.__call__")
    if len(args) > len(names):
        raise TypeError(f"Kernel.__call__() takes {len(names)} operands by position "
                        f"({', '.join(names)}), but {len(args)} were given")
    values = dict(named)
    for name, value in zip(names, args):
        if name in named:
            raise TypeError(f"Kernel.__call__() got multiple values for argument '{name}'")
        values[name] = value
    match_spellings(values, names, "Kernel.__call__")
    return values


def from_scopes(names: Iterable[str], values: Dict[str, Any],
                scopes: Sequence[Optional[Any]]) -> None:
    """Binds each name the operands lack from the first scope (a mapping) that holds it."""
    for name in names:
        if name not in values:
            for scope in scopes:
                if scope is not None and name in scope:
                    values[name] = scope[name]
                    break


def check_casting(values: Dict[str, Any], casting: str) -> None:
    """Refuses an operand whose dtype NumPy's `casting` rule does not let become float64."""
    if casting not in CASTINGS:
        raise ValueError(f"casting must be one of {', '.join(map(repr, CASTINGS))}, "
                         f"not {casting!r}")
    if casting == "unsafe":
        return
    for name, value in values.items():
        dtype = getattr(value, "dtype", None)
        # Data that never converts is refused by the native conversion, in its own words.
        if (isinstance(dtype, np.dtype) and dtype.kind in "biuf"
                and not np.can_cast(dtype, np.float64, casting)):  # type: ignore[arg-type]
            raise TypeError(f"argument '{name}': dtype {dtype} does not become float64 under "
                            f"casting={casting!r}")


def run(spec: KernelSpec, values: Dict[str, Any], out: Optional[np.ndarray],
        casting: str = "same_kind", expr: Any = None) -> np.ndarray:
    """The native evaluation; when every operand is a number, a 0-d result, as numexpr gives.
    An `out` of another dtype than the result's takes the result if NumPy's `casting` rule
    lets it (through one temporary array). Given the formula's `expr`, operands of the
    narrow integer dtypes are computed as `_narrow` computes them, and bools under operators
    NumPy computes in another type as `_bools` rewrites them."""
    return _bools.retried(lambda s, e, v: _run(s, v, out, casting, e), spec, expr, values)


def _run(spec: KernelSpec, values: Dict[str, Any], out: Optional[np.ndarray],
         casting: str, expr: Any) -> np.ndarray:
    try:
        narrow = None if expr is None else _narrow.evaluate(expr, values, out)
    except ValueError as error:
        if str(error) != _NO_ARRAY:
            raise
        # NumPy scalars alone: each a one-element array of its dtype, for a 0-d result.
        shaped = {name: np.reshape(v, 1) if isinstance(v, (np.ndarray, np.generic)) else v
                  for name, v in values.items()}
        return _into(np.asarray(_narrow.evaluate(expr, shaped)).reshape(()), out, casting)
    if narrow is not None:
        return narrow if out is None or narrow is out else _cast_into(narrow, out, casting)
    try:
        return _native.evaluate(spec, values, out)
    except TypeError as error:
        if out is None or not str(error).startswith(_OUT_DTYPE_REFUSAL):
            raise
        return _cast_into(_native.evaluate(spec, values, None), out, casting)
    except ValueError as error:
        if str(error) != _NO_ARRAY:
            raise
    # Each number as a one-element array: the same arithmetic, on one element (parts over
    # Python ints alone Python's, as in any call).
    folded = _int_parts.split(spec, values)
    if folded is not None:
        spec, values = folded
    # A Python int past int64 (a part's value too) stays a number, which the engine checks as
    # it meets the others: it becomes a float64 beside a float, and is refused beside an int.
    operands = {name: value if _int_parts.past_int64(value) else [value]
                for name, value in values.items()}
    if values and all(_int_parts.past_int64(value) for value in values.values()):
        raise _int_parts.out_of_bounds(next(iter(values.values())))
    result = _native.evaluate(spec, operands, None)
    return _into(result.reshape(()), out, casting)


def kernel_narrow(kernel: Any, values: Dict[str, Any], out: Optional[np.ndarray]) -> np.ndarray:
    """A compiled kernel's call over an operand of a narrow integer dtype (see `_narrow`)."""
    return run(kernel.spec, values, out, "same_kind", kernel.expr)


def kernel_numbers(kernel: Any, values: Dict[str, Any], out: Optional[np.ndarray]) -> np.ndarray:
    """A compiled kernel's call that gave the engine no array: numbers alone, or nothing for a
    kernel without names. A 0-d array, as numexpr gives."""
    if kernel.names:
        return run(kernel.spec, values, out)
    if values:
        raise ValueError(f"unexpected args: {', '.join(sorted(values))}")
    return run_constant(constant_formula(_native.expr_nodes(kernel.expr)[1]), out)


def constant_formula(nodes: Sequence[Tuple[int, Any]]) -> Any:
    """The `Expr` of a formula without names, over one unused argument to give it a length."""
    return _native.expr_from_nodes([""], [(ARG, 0), *nodes, (CONST, 0.0), (SELECT, 0)])


# The native refusal of a call without arrays, which the package computes as a 0-d one.
_NO_ARRAY = "no buffer arguments provided"
# The native refusal of an `out` whose dtype is not the result's, checked before computing.
_OUT_DTYPE_REFUSAL = "argument 'out': dtype "


def _cast_into(result: np.ndarray, out: np.ndarray, casting: str) -> np.ndarray:
    if not np.can_cast(result.dtype, out.dtype, casting):  # type: ignore[arg-type]
        raise TypeError(f"argument 'out': dtype {out.dtype} given; the result is "
                        f"{result.dtype}, which casting={casting!r} does not let become "
                        f"{out.dtype}")
    if not out.flags.writeable:
        raise ValueError("argument 'out': the array is read-only")
    if out.shape != result.shape:
        raise ValueError(f"argument 'out': shape {out.shape} given; the operands broadcast to "
                         f"{result.shape}")
    np.copyto(out, result, casting="unsafe")
    return out


def run_constant(expr: Any, out: Optional[np.ndarray]) -> np.ndarray:
    """A formula without names (an `Expr` built over one unused argument), as a 0-d array."""
    return _into(_native.evaluate(expr, {"": [1.0]}, None).reshape(()), out)


def _into(result: np.ndarray, out: Optional[np.ndarray], casting: str = "same_kind") -> np.ndarray:
    if out is None:
        return result
    if not isinstance(out, np.ndarray) or out.shape != ():
        raise ValueError(f"argument 'out': the result is 0-d: out must be a 0-d "
                         f"{result.dtype} array")
    return _cast_into(result, out, casting)


def lay_out(result: np.ndarray, order: str, values: Dict[str, Any]) -> np.ndarray:
    """The result in the memory order asked for; the values never change."""
    if order not in ORDERS:
        raise ValueError(f"order must be one of 'C', 'F', 'A' or 'K', not {order!r}")
    if order == "C" or result.ndim < 2:
        return result
    if order in ("A", "K"):
        arrays = [v for v in values.values() if isinstance(v, np.ndarray) and v.ndim >= 2]
        fortran = bool(arrays) and all(a.flags.f_contiguous and not a.flags.c_contiguous
                                       for a in arrays)
        if not fortran:
            return result
    return np.asfortranarray(result)
