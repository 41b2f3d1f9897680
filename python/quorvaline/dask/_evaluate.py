"""Lazy elementwise evaluation over Dask arrays: one engine call per output chunk."""
from __future__ import annotations

import numbers
from typing import Any, Dict, List, Mapping, Optional, Tuple

import dask.array as da
import numpy as np
import numpy.typing as npt
from dask.base import tokenize

import quorvaline as qv
from quorvaline import _bools, _narrow, _native, _operands
from quorvaline._one_call import _names_from_scope
from quorvaline.dask._threads import follow_worker_limit


def evaluate(formula: Any, operands: Optional[Mapping[str, Any]] = None, /, *,
             out: Any = None, **named: Any) -> da.Array:
    """A lazy Dask array of the formula over Dask arrays, NumPy arrays and numbers.

    `formula` is what `qv.evaluate` takes (an `Expr`, a formula text, a callable), or a
    `qv.Kernel`; it is compiled once, here, and shipped to the workers as a kernel. A name
    of a formula text that the operands lack is taken from the caller's variables, as
    `qv.evaluate` takes it. Array operands broadcast by NumPy's rules and
    their chunks are aligned as Dask aligns them for its own elementwise operations; each
    output chunk is one engine call on the matching chunks. The task name comes from the
    kernel's token and the operands', so the same formula on the same inputs is one
    computation. A name of a formula text found nowhere is a NameError here; other errors of
    the engine (a missing operand of a compiled formula, for example) are raised by
    `compute()`, with the engine's type and text. There is no `out`: the result is lazy
    (`dask.array.store(result, array)` writes it into an array).
    """
    if out is not None:
        raise TypeError("quorvaline.dask.evaluate() does not take out=: the result is a lazy "
                        "Dask array (write it into an array with dask.array.store(result, out); "
                        "an operand named 'out' goes in the operands mapping)")
    kern = qv.compile(formula)
    values: Dict[str, Any] = _operands.gather(kern.names, operands, named,
                                              "quorvaline.dask.evaluate")
    if isinstance(formula, str):
        _names_from_scope(kern.names, values, depth=2)
    arrays: Dict[str, da.Array] = {}
    scalars: Dict[str, Any] = {}
    for name, value in values.items():
        if isinstance(value, da.Array):
            arrays[name] = value
        elif isinstance(value, numbers.Number) or np.ndim(value) == 0:
            scalars[name] = value
        else:
            arrays[name] = da.asarray(value)
    ndim = len(_broadcast_shape(arrays))
    names = list(arrays)
    args: List[Any] = []
    for array in arrays.values():
        args += [array, tuple(range(array.ndim))[::-1]]
    token = tokenize(kern, sorted((n, _exact(v)) for n, v in scalars.items()), names,
                     *arrays.values())
    dtype = _result_dtype(kern, scalars, arrays)
    return da.blockwise(_evaluate_chunk, tuple(range(ndim))[::-1], *args,
                        name=f"qv-evaluate-{token}", dtype=dtype,
                        meta=np.empty((0,) * ndim, dtype=dtype),
                        kernel=kern, names=names, scalars=scalars)


def _evaluate_chunk(*chunks: Any, kernel: qv.Kernel, names: List[str],
                    scalars: Dict[str, Any]) -> npt.NDArray[np.float64]:
    follow_worker_limit()
    # Read in place, any shape, broadcast by the engine's NumPy path; every operand given is
    # one the kernel must have (a mapping given to a Kernel call would ignore the others).
    return _compute(kernel, {**scalars, **dict(zip(names, chunks))})


def _compute(kern: qv.Kernel, values: Dict[str, Any]) -> npt.NDArray[Any]:
    try:
        narrow = _narrow.evaluate(kern.expr, values)
        return narrow if narrow is not None else _native.evaluate(kern.spec, values)
    except TypeError as error:
        if not _bools.is_ours(error):
            raise
    return _bools.evaluate(kern.expr, values)


def _result_dtype(kern: qv.Kernel, scalars: Dict[str, Any],
                  arrays: Mapping[str, da.Array]) -> np.dtype:
    """The engine's own answer: the kernel over one element of each operand's dtype."""
    if not arrays:
        return np.dtype(np.float64)  # refused at compute(), in the engine's words
    samples = {name: np.zeros(1, dtype=array.dtype) for name, array in arrays.items()}
    try:
        return _compute(kern, {**scalars, **samples}).dtype
    except (TypeError, ValueError):
        return np.dtype(np.float64)  # refused at compute(), in the engine's words


def _exact(scalar: Any) -> Any:
    """What tells scalars apart for the task name: Dask's tokenize takes every NaN for one,
    but a NaN's sign and payload are part of the result, so floats go in by their bits."""
    if isinstance(scalar, (int, np.integer)):  # bool and integers of any size, exactly
        return type(scalar).__name__, int(scalar)
    value = np.asarray(scalar)
    if value.dtype.kind in "fc":
        return value.dtype.str, value.tobytes()
    return scalar


def _broadcast_shape(arrays: Mapping[str, da.Array]) -> Tuple[float, ...]:
    """The operands' common shape; a pair that does not broadcast is named in the error."""
    shape: Tuple[float, ...] = ()
    seen: List[Tuple[str, Tuple[float, ...]]] = []
    for name, array in arrays.items():
        try:
            shape = da.core.broadcast_shapes(shape, array.shape)
        except ValueError:
            other, other_shape = next(((n, s) for n, s in seen
                                       if not _broadcasts(s, array.shape)), seen[-1])
            raise ValueError(f"operands could not be broadcast together: argument "
                             f"'{other}' of shape {other_shape} and argument '{name}' "
                             f"of shape {array.shape}") from None
        seen.append((name, array.shape))
    return shape


def _broadcasts(a: Tuple[float, ...], b: Tuple[float, ...]) -> bool:
    try:
        da.core.broadcast_shapes(a, b)
    except ValueError:
        return False
    return True
