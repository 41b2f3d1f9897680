"""Reductions of Dask arrays with the engine's bits and NumPy's dtypes: sums chained from
chunk to chunk in C order, extremes combined by value and then by position."""
from __future__ import annotations

from typing import Any, Callable, Dict, List, Optional, Tuple

import dask.array as da
import numpy as np
from dask.base import tokenize
from dask.highlevelgraph import HighLevelGraph

import quorvaline as qv
from quorvaline import _native

# How many partial results one combining task takes.
SPLIT_EVERY = 32

Key = Tuple[Any, ...]
# A sum so far: the running value (a NumPy scalar of the type the sum adds in) and the count
# of elements it covers.
Partial = Tuple[Any, int]
# An extreme so far: its value and, for a zero, its position as ((block, index), ...) per
# axis, which orders like the element's index in the whole array.
Extreme = Optional[Tuple[Any, Tuple[Tuple[int, int], ...]]]


def sum(array: Any, /, *, exact: bool = True) -> da.Array:
    """The sum of all elements as a lazy 0-d Dask array, of the dtype `qv.sum` gives (int64
    for bools and integers, float32 for float32, complex for complex).

    With `exact=True` (the default) it has the bits of `qv.sum` of the whole array in C
    order, whatever the chunking: each chunk's sum starts from the running value of the
    chunks before it, so the chunks are added one after another (their elementwise work
    still runs in parallel). Where chunks split any axis but the first, the chunks of one
    block row are first joined so that each piece is a run of the whole in C order.
    `exact=False` sums the chunks independently and adds the partial sums in a tree: it
    runs the sums in parallel but is not bit-identical to the whole array's sum.
    """
    return _sum_like(array, exact, "Sum")


def mean(array: Any, /, *, exact: bool = True) -> da.Array:
    """The sum (as `sum` computes it, by `exact`) divided by the element count; of bools and
    integers the sum is in float64, as `qv.mean` adds them."""
    return _sum_like(array, exact, "Mean")


def min(array: Any, /) -> da.Array:
    """Smallest element as a lazy 0-d Dask array of the array's dtype: NaN if any element is
    NaN, and among equal values the earliest in C order, exactly as `qv.min` of the whole
    array. Complex numbers have no order: a TypeError, as `qv.min` gives."""
    return _extreme(array, "Min")


def max(array: Any, /) -> da.Array:
    """Largest element, by the rules of `min`."""
    return _extreme(array, "Max")


def _sum_like(array: Any, exact: bool, op: str) -> da.Array:
    x = da.asarray(array)
    # The engine's answer on one element: the result's type, which the sum adds in; float16
    # adds in float32, rounded to float16 once at the end, as the engine's.
    result = _reduced_dtype(op.lower(), x.dtype)
    adds_in: np.dtype[Any] = np.dtype(np.float32) if result == np.float16 else result
    # -0.0 (both parts for complex), so that a sum of negative zeros stays -0.0 as the
    # engine's; 0 for integers.
    start = (adds_in.type(complex(-0.0, -0.0) if adds_in.kind == "c" else -0.0), 0)
    name = f"qv-{op.lower()}-{tokenize(x, exact)}"
    layer: Dict[Any, Any] = {}
    if exact:
        # Trailing axes whole: every chunk is then one run of the array in C order.
        x = x.rechunk({axis: -1 for axis in range(1, x.ndim)})
        last: Any = start
        for i, key in enumerate(_block_keys(x)):
            layer[(f"{name}-chain", i)] = (_sum_from, last, key)
            last = (f"{name}-chain", i)
    else:
        parts = []
        for i, key in enumerate(_block_keys(x)):
            layer[(f"{name}-part", i)] = (_sum_from, start, key)
            parts.append((f"{name}-part", i))
        last = _tree(layer, name, parts, _add_partials)
    layer[(name,)] = (_finish_sum, last, op, result)
    return _scalar_array(name, layer, x, result)


def _extreme(array: Any, op: str) -> da.Array:
    x = da.asarray(array)
    dtype = _reduced_dtype(op.lower(), x.dtype)  # complex refused here, in the engine's words
    name = f"qv-{op.lower()}-{tokenize(x)}"
    layer: Dict[Any, Any] = {}
    parts = []
    for i, key in enumerate(_block_keys(x)):
        layer[(f"{name}-part", i)] = (_chunk_extreme, key, key[1:], op)
        parts.append((f"{name}-part", i))
    last = _tree(layer, name, parts, _combine_min if op == "Min" else _combine_max)
    layer[(name,)] = (_finish_extreme, last, op, dtype)
    return _scalar_array(name, layer, x, dtype)


def _reduced_dtype(op: str, dtype: np.dtype) -> np.dtype:
    """The dtype of the engine's reduction `op` of values of `dtype`."""
    return np.dtype(np.asarray(getattr(qv, op)(np.ones(1, dtype=dtype))).dtype)


def _block_keys(x: da.Array) -> List[Key]:
    """The keys of the array's chunks, in C order of their block indices."""
    return [(x.name, *index) for index in np.ndindex(*x.numblocks)]


def _tree(layer: Dict[Any, Any], name: str, parts: List[Any],
          combine: Callable[[List[Any]], Any]) -> Any:
    """Combine the parts in order, SPLIT_EVERY at a time, level after level; the key of
    the one that remains (or the parts' identity value when there are none)."""
    if not parts:
        return combine([])
    level = 0
    while len(parts) > 1:
        groups = [parts[i:i + SPLIT_EVERY] for i in range(0, len(parts), SPLIT_EVERY)]
        parts = []
        for j, group in enumerate(groups):
            layer[(f"{name}-combine{level}", j)] = (combine, group)
            parts.append((f"{name}-combine{level}", j))
        level += 1
    return parts[0]


def _scalar_array(name: str, layer: Dict[Any, Any], x: da.Array, dtype: np.dtype) -> da.Array:
    # Dask's own protocol type does not admit its Array; it is one all the same.
    deps: List[Any] = [x]
    graph = HighLevelGraph.from_collections(name, layer, dependencies=deps)
    return da.Array(graph, name, chunks=(), dtype=dtype, meta=np.empty((), dtype=dtype))


def _sum_from(start: Partial, chunk: Any) -> Partial:
    value, count = start
    size = np.size(chunk)
    if size == 0:
        return start
    # The in-order chain carried on from `value`: the whole array's sum, bit for bit.
    if value.dtype == np.float64:
        return np.float64(_native.sum(chunk, float(value))), count + size
    # In another type the running value goes first: the engine's sum starts from -0.0 (0),
    # to which adding it is exact, then adds the chunk's values in order in the same type.
    values = np.concatenate(([value], np.ravel(chunk).astype(value.dtype, copy=False)))
    return qv.sum(values), count + size


def _add_partials(parts: List[Partial]) -> Partial:
    value, count = None, 0
    for part_value, part_count in parts:
        if part_count:
            # Arrays wrap integers without a warning, as the engine's sums do.
            value = part_value if value is None else (np.add(
                np.asarray(value), part_value, dtype=part_value.dtype)[()])
            count += part_count
    return (-0.0 if value is None else value), count


def _finish_sum(total: Partial, op: str, dtype: np.dtype) -> Any:
    value, count = total
    if count == 0:
        raise ValueError(f"cannot {op} empty buffer")
    if op == "Mean":
        if np.iscomplexobj(value):
            value = value / count  # NumPy's complex quotient, as qv.mean divides
        else:
            value = value.dtype.type(float(value) / count)  # in float64, as qv.mean does
    with np.errstate(over="ignore"):  # float16 past its range is infinite, as in NumPy
        return value.astype(dtype)


def _chunk_extreme(chunk: Any, block: Tuple[int, ...], op: str) -> Extreme:
    values = np.asarray(chunk)
    if values.size == 0:
        return None
    value = (qv.min if op == "Min" else qv.max)(values)
    if value != 0.0:
        return value, ()
    # Zeros of both signs are equal and the earliest wins: keep where this one is.
    first = np.unravel_index(int(np.argmax(values == 0.0)), values.shape)
    return values[first], tuple(zip(block, (int(i) for i in first)))


def _combine_min(parts: List[Extreme]) -> Extreme:
    return _combine(parts, lambda a, b: a < b)


def _combine_max(parts: List[Extreme]) -> Extreme:
    return _combine(parts, lambda a, b: a > b)


def _combine(parts: List[Extreme], better: Callable[[Any, Any], bool]) -> Extreme:
    best: Extreme = None
    for part in parts:
        if part is None:
            continue
        if best is None:
            best = part
        elif best[0] != best[0]:
            break  # NaN stays NaN
        elif part[0] != part[0] or better(part[0], best[0]) or (
                part[0] == best[0] and part[1] < best[1]):
            best = part
    return best


def _finish_extreme(best: Extreme, op: str, dtype: np.dtype) -> Any:
    if best is None:
        raise ValueError(f"cannot {op} empty buffer")
    return np.asarray(best[0]).astype(dtype)[()]
