"""Integer widths the engine has no loops for (int8, int16, uint8, uint16, uint32), computed in
a wider engine integer with NumPy's result dtype and NumPy's values.

NumPy itself gives the dtype of every node: the formula is traced once over one-element arrays
of the operands' dtypes (Python numbers weak, NumPy scalars strong, as NumPy takes them), and
once over the dtypes the engine computes in (int32 for the 8- and 16-bit types, int64 for
uint32). Where the two agree up to that widening, the engine's step gives NumPy's value once
it is brought back into the narrow type: a node whose value can leave the narrow range is
followed by a narrowing step, written with the engine's own operators (a shift left and an
arithmetic shift right sign-extends, a mask zero-extends), so that wrapped intermediates feed
the next operator exactly as NumPy's do. Where a node is float32 in NumPy (int16 times float32,
sqrt of an int16) its narrow integer operands are read as float32, exactly: an argument through
a float32 copy, a computed (wrapped) intermediate through its own engine call in its narrow
dtype, converted after, since the engine would compute int32 beside float32 in float64.
Formulas with float16 steps take the float16 route (`_half`), each of its steps planned here
as a formula of its own. What the engine cannot compute with NumPy's meaning is refused,
naming the operator and the dtypes, never computed with another meaning.
"""
from __future__ import annotations

import contextlib
import functools
from typing import Any, Dict, List, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

from quorvaline import _half, _int_parts, _native, _nodes, _stored, _unsigned
from quorvaline._factories import kernel
from quorvaline._nodes import ARG, BINARY, BY_NAME, COMPARE, CONST, OPERATORS, SELECT, UNARY, Node

# Each narrow dtype, the engine type it is computed in, and its narrowing nodes.
_SHL, _SHR, _AND = (BY_NAME[name].code for name in ("LeftShift", "RightShift", "BitwiseAnd"))
_WIDER: Dict[np.dtype, Tuple[np.dtype, List[Node]]] = {
    np.dtype(np.int8): (np.dtype(np.int32), [(CONST, 24), (BINARY, _SHL), (CONST, 24),
                                             (BINARY, _SHR)]),
    np.dtype(np.int16): (np.dtype(np.int32), [(CONST, 16), (BINARY, _SHL), (CONST, 16),
                                              (BINARY, _SHR)]),
    np.dtype(np.uint8): (np.dtype(np.int32), [(CONST, 0xFF), (BINARY, _AND)]),
    np.dtype(np.uint16): (np.dtype(np.int32), [(CONST, 0xFFFF), (BINARY, _AND)]),
    np.dtype(np.uint32): (np.dtype(np.int64), [(CONST, 0xFFFFFFFF), (BINARY, _AND)]),
    # The same bits: `_unsigned` rewrites the steps that read its unsigned meaning.
    np.dtype(np.uint64): (np.dtype(np.int64), []),
}
NARROW = frozenset(_WIDER)
_UINT64 = np.dtype(np.uint64)
_FLOAT64 = np.dtype(np.float64)
# How a reduction reads a uint64 formula's values (see `_plan`).
_MEAN, _ORDER = "mean", "order"
# Computed by the float16 route (see `_half`).
_FLOAT16 = np.dtype(np.float16)

# Operators whose value stays within its operands' range: no narrowing step after them.
_IN_RANGE = frozenset((BINARY, BY_NAME[name].code) for name in (
    "Min", "Max", "Fmin", "Fmax", "Minimum", "Maximum", "Remainder", "Fmod", "RightShift"))

# NumPy's function for each operator, where its name is not the operator's in lower case.
_NUMPY_NAMES = {
    "Neg": "negative", "Abs": "absolute", "Sub": "subtract", "Mul": "multiply",
    "Div": "true_divide", "Pow": "power", "Atan2": "arctan2", "Min": "minimum",
    "Max": "maximum", "OnesLike": "ones_like", "Conj": "conjugate",
    "FloorDivide": "floor_divide", "BitwiseAnd": "bitwise_and", "BitwiseOr": "bitwise_or",
    "BitwiseXor": "bitwise_xor", "LeftShift": "left_shift", "RightShift": "right_shift",
    "Gt": "greater", "Ge": "greater_equal", "Lt": "less", "Le": "less_equal", "Eq": "equal",
    "Ne": "not_equal",
}


def _complex(re: Any, im: Any) -> Any:
    return np.add(re, np.multiply(im, 1j))


def _parts(part: Any) -> Any:
    # np.real and np.imag of a Python number give a Python number, which has no dtype to trace.
    def of(x: Any) -> Any:
        return part(x) if isinstance(x, (np.ndarray, np.generic)) else np.asarray(part(x))
    return of


# Where the engine's type differs from the ufunc's: its round keeps integers, as np.round.
_SPECIAL = {"Complex": _complex, "Round": np.round, "Real": _parts(np.real),
            "Imag": _parts(np.imag)}
_NUMPY: Dict[Tuple[int, int], Any] = {
    (op.kind, op.code): _SPECIAL.get(op.name)
    or getattr(np, _NUMPY_NAMES.get(op.name, op.name.lower()))
    for op in OPERATORS
}
_NAME = {(op.kind, op.code): op.spellings[0] if op.spellings else op.name for op in OPERATORS}


def is_narrow(value: Any) -> bool:
    """Whether the operand is of a dtype computed here: a narrow integer, uint64 or float16."""
    dtype = getattr(value, "dtype", None)
    return (dtype in NARROW or dtype == _half.HALF) and isinstance(value, (np.ndarray, np.generic))


def evaluate(expr: Any, values: Dict[str, Any], out: Optional[np.ndarray] = None
             ) -> Optional[np.ndarray]:
    """The formula's value over `values`, of NumPy's dtype, when an operand is of a narrow
    integer dtype or float16; None when none is (the engine takes the call as it is). A narrow
    result is written by the engine as it computes it, into `out` itself when `out` can take
    it (it is then the value returned)."""
    if not any(map(is_narrow, values.values())):
        return None
    return _evaluated(expr, values, out)


def _evaluated(expr: Any, values: Dict[str, Any], out: Optional[np.ndarray] = None
               ) -> np.ndarray:
    names, nodes = _nodes_of(expr)
    given = [values.get(name) for name in names]
    signature = tuple(map(_signature, given))
    if _has_half_steps(nodes, signature):
        return _float16(nodes, names, given, signature, out)
    formula, reads, want = _plan(nodes, names, signature, True, False)
    return _computed(formula, _operands(reads, given), want, out)


def _nodes_of(expr: Any) -> Tuple[Tuple[str, ...], _nodes.Nodes]:
    """The formula's argument names and nodes, the nodes as the plans' cache key (a constant
    of another type is another formula)."""
    names, nodes = _native.expr_nodes(expr)
    return names, _nodes.Nodes(nodes)


def has_half_steps(expr: Any, values: Dict[str, Any]) -> bool:
    """Whether NumPy computes a step of the formula over `values` in float16 (float16 operands
    or, say, `sqrt` of an int8)."""
    if not any(map(is_narrow, values.values())):
        return False
    names, nodes = _nodes_of(expr)
    return _has_half_steps(nodes, tuple(_signature(values.get(name)) for name in names))


def _computed(formula: Any, operands: Dict[str, Any], want: Optional[np.dtype],
              out: Optional[np.ndarray] = None) -> np.ndarray:
    """The engine's values of NumPy's dtype `want`: a narrow one narrowed as it is stored."""
    if want in _stored.STORED:
        given = out if _stored.takes(out, want, operands) else None
        stored = _stored.evaluate(formula, operands, want, given)
        if stored is not None:
            return stored
    return _as(_native.evaluate(formula, operands, None), want)


def _operands(reads: Sequence[Tuple[str, Source, Optional[np.dtype]]], given: Sequence[Any]
              ) -> Dict[str, Any]:
    return {label: _read(source, given, dtype) for label, source, dtype in reads}


@functools.lru_cache(maxsize=256)
def _has_half_steps(nodes: Tuple[Node, ...], signature: Tuple[Signature, ...]) -> bool:
    """Whether NumPy computes a step of the formula in float16 (or is given float16)."""
    traced = _trace(nodes, [_sample(sig, False) for sig in signature], False)
    return any(_dtype(v) == _FLOAT16 for v in traced)


class _HalfStep(NamedTuple):
    """One engine call of the float16 route (see `_half`), planned as the narrow route plans
    a formula: its float16 value computed in float32, a narrow integer it reads exactly."""
    node: int
    inputs: Tuple[_half.Input, ...]
    formula: Any
    reads: List[Tuple[str, Source, Optional[np.dtype]]]
    want: Optional[np.dtype]


def _float16(nodes: Tuple[Node, ...], names: Tuple[str, ...], given: Sequence[Any],
             signature: Tuple[Signature, ...], out: Optional[np.ndarray]) -> np.ndarray:
    """A formula with float16 steps: one engine call per step, the last into `out` if it
    takes it."""
    done: Dict[int, np.ndarray] = {}
    steps = _half_plan(nodes, names, signature)
    for step in steps:
        inputs = [_half.value(source, given, done) for source in step.inputs]
        done[step.node] = _computed(step.formula, _operands(step.reads, inputs), step.want,
                                    out if step is steps[-1] else None)
    return done[len(nodes) - 1]


@functools.lru_cache(maxsize=256)
def _half_plan(nodes: Tuple[Node, ...], names: Tuple[str, ...],
               signature: Tuple[Signature, ...]) -> List[_HalfStep]:
    """The float16 route's steps, once per formula and operand dtypes."""
    traced = _trace(nodes, [_sample(sig, False) for sig in signature], False)
    kids = _children(nodes)

    def refuse(i: int, why: str) -> TypeError:
        return _refusal(nodes[i], traced, kids[i], why)

    steps = []
    for step in _half.cut(names, nodes, [_dtype(v) for v in traced], kids, refuse):
        sig = tuple(("array", _FLOAT16) if source.node is not None
                    else ("scalar", _FLOAT16) if source.to_half else signature[source.arg]
                    for source in step.inputs)
        formula, reads, want = _plan(_nodes.Nodes(step.nodes), step.labels, sig, True, step.half)
        steps.append(_HalfStep(step.node, step.inputs, formula, reads, want))
    if steps[-1].want != _dtype(traced[-1]):
        raise refuse(len(nodes) - 1, f"NumPy computes it in {_dtype(traced[-1])}")
    return steps


def bind(expr: Any, values: Dict[str, Any], root: str = ""
         ) -> Optional[Tuple[Any, Dict[str, Any], Optional[np.dtype]]]:
    """The formula the engine computes, its operands and NumPy's dtype of its value, when an
    operand is of a narrow integer dtype; else None."""
    if not any(getattr(v, "dtype", None) in NARROW for v in values.values()):
        return None
    names, nodes = _nodes_of(expr)
    given = [values.get(name) for name in names]
    formula, reads, want = _plan(nodes, names, tuple(map(_signature, given)), False, False, root)
    return formula, _operands(reads, given), want


def reduce(spec: Any, expr: Any, values: Dict[str, Any], op: str, axis: Any,
           keepdims: bool) -> np.ndarray:
    """A reduction of the formula's values in NumPy's dtype: sums and products of narrow
    integers are int64 (uint64 for unsigned ones), `min` and `max` keep the dtype."""
    bound = bind(expr, values)
    if bound is None:
        return _native.reduce(spec, values, op, axis, keepdims)
    formula, operands, want = bound
    if want == _UINT64 and op in ("mean", "min", "max"):  # of values that read as unsigned
        rebound = bind(expr, values, root=_MEAN if op == "mean" else _ORDER)
        assert rebound is not None
        formula, operands, _ = rebound
        result = _native.reduce(kernel.elementwise(formula), operands, op, axis, keepdims)
        return result if op == "mean" else _unsigned.unflipped(result)
    result = _native.reduce(kernel.elementwise(formula), operands, op, axis, keepdims)
    if op in ("sum", "prod"):  # int64's bits; NumPy's unsigned sums are uint64
        return result.view(_UINT64) if want is not None and want.kind == "u" else result
    return result if op == "mean" else _as(result, want)


def _as(result: np.ndarray, want: Optional[np.dtype]) -> np.ndarray:
    """The engine's values in NumPy's dtype: exact, they are within its range."""
    if want == _FLOAT16 and result.dtype == np.float32:  # rounded as NumPy's float16 step
        with np.errstate(over="ignore"):  # past float16's range is infinite, as in NumPy
            return result.astype(want)
    if want is None or result.dtype == want or result.dtype.kind not in "iu":
        return result
    return result.view(want) if want == _UINT64 else result.astype(want)


Signature = Tuple[str, Any]


class _Part(NamedTuple):
    """A computed narrow intermediate that a float32 step reads: its subtree as a formula of
    its own over some of the operands, computed first in its narrow dtype (wrapped as NumPy's)
    and then converted, exactly."""
    formula: Any
    names: Tuple[str, ...]  # the operands it reads, in its argument order
    args: Tuple[int, ...]  # their positions among the formula's


# What the engine's formula reads under one name: an operand (by position) or a part.
Source = Union[int, _Part]


def _read(source: Source, given: Sequence[Any], dtype: Optional[np.dtype]) -> Any:
    if not isinstance(source, _Part):
        return _converted(given[source], dtype)
    values = {name: given[a] for name, a in zip(source.names, source.args)}
    if not any(isinstance(v, np.ndarray) and v.ndim for v in values.values()):
        # NumPy scalars alone: a scalar of the part's dtype, computed on one element.
        one = {n: np.reshape(v, 1) if isinstance(v, (np.ndarray, np.generic)) else v
               for n, v in values.items()}
        return _evaluated(source.formula, one).astype(dtype)[0]
    return _evaluated(source.formula, values).astype(dtype)


def _signature(value: Any) -> Signature:
    """All that NumPy's dtype rules see of one operand: its dtype, strong or not, and the
    value of a Python int (which must fit the type it meets)."""
    if isinstance(value, np.ndarray):
        return "array", value.dtype
    if isinstance(value, np.generic):
        return "scalar", value.dtype
    if isinstance(value, int) and not isinstance(value, bool):
        return "python", value
    if isinstance(value, (float, complex, bool)):
        return "python", type(value)(1)
    if value is None:  # missing: the engine names it
        return "python", 1.0
    return "array", np.asarray(value).dtype


def _sample(sig: Signature, widened: bool) -> Any:
    kind, what = sig
    if kind == "python":
        return what
    dtype = what
    if widened and what in NARROW:  # as the engine reads it
        dtype = _WIDER[what][0]
    elif widened and what == _FLOAT16:
        dtype = np.dtype(np.float32)
    return np.ones(1, dtype) if kind == "array" else dtype.type(1)


def _converted(value: Any, dtype: Optional[np.dtype]) -> Any:
    if dtype is None:
        return value
    if isinstance(value, np.ndarray) and value.dtype in _stored.STORED \
            and dtype == _WIDER[value.dtype][0]:
        return value  # the engine widens it as it reads it
    if value.dtype == _UINT64 and dtype == np.int64:  # the same bits
        return np.asarray(value).view(dtype)[()] if isinstance(value, np.generic) \
            else value.view(dtype)
    return dtype.type(value) if isinstance(value, np.generic) else value.astype(dtype)


@functools.lru_cache(maxsize=256)
def _plan(nodes: Tuple[Node, ...], names: Tuple[str, ...], signature: Tuple[Signature, ...],
          stored: bool, step: bool, root: str = ""
          ) -> Tuple[Any, List[Tuple[str, Source, Optional[np.dtype]]], Optional[np.dtype]]:
    """The engine's formula, what it reads (its name, the operand or part, the dtype it is
    read in) and NumPy's result dtype, once per formula and operand dtypes. A `step` is one
    of the float16 route's, whose root alone NumPy computes in float16. A uint64 value reduced
    by `root`: as float64 for a mean, flipped for a minimum or maximum."""
    narrow = _trace(nodes, [_sample(sig, False) for sig in signature], False)
    samples = [_sample(sig, True) for sig in signature]
    kids = _children(nodes)
    aliases: Dict[int, np.dtype] = {}
    while True:  # each float copy may make the steps above it agree: traced again
        wide = _trace(nodes, samples, True, {k: np.ones(1, t) for k, t in aliases.items()})
        found = _aliases(nodes, narrow, wide, kids, aliases, step)
        if found == aliases:
            break
        aliases = found
    rewritten, copies = _rewrite(nodes, narrow, aliases, kids, names, _low_bits_read(
        nodes, narrow, kids, stored))
    if root == _MEAN:
        rewritten = _unsigned.to_float(rewritten)
    elif root == _ORDER:
        rewritten = _unsigned.flipped(rewritten)
    # Each argument read in its wider type, then the float copies after them.
    reads: List[Tuple[str, Source, Optional[np.dtype]]] = [
        (name, arg, _WIDER[sig[1]][0] if sig[1] in NARROW else None)
        for arg, (name, sig) in enumerate(zip(names, signature))]
    reads += [(f"{names[k] if isinstance(k, int) else ''}\x00{j}\x00{dtype}", k, dtype)
              for j, (k, dtype) in enumerate(copies)]
    # An argument read only as float32 drops out: the engine takes only names it reads.
    used = sorted({int(p) for tag, p in rewritten if tag == ARG})
    rewritten = [(ARG, used.index(int(p))) if tag == ARG else (tag, p) for tag, p in rewritten]
    formula = _native.expr_from_nodes([reads[i][0] for i in used], rewritten)
    return formula, [reads[i] for i in used], _dtype(narrow[-1])


def _trace(nodes: Sequence[Node], args: Sequence[Any], widened: bool,
           leaves: Optional[Dict[int, Any]] = None) -> List[Any]:
    """Each node's value over the samples, as NumPy computes it: its dtype is NumPy's; the
    nodes in `leaves` take the value given there. Parts over Python ints alone are Python's,
    exact. Widened, a Python int past int64 meets an array as its bits as int64, as the engine
    reads it beside uint64."""
    stack: List[Any] = []
    values: List[Any] = []
    with np.errstate(all="ignore"), warnings_ignored():
        for i, (tag, payload) in enumerate(nodes):
            if tag in (CONST, ARG):
                value = payload if tag == CONST else args[int(payload)]
            elif tag == SELECT:
                f = stack.pop()
                t = stack.pop()
                c = stack.pop()
                value = np.where(c, *_as_read((t, f), widened))
                if not any(isinstance(v, (np.ndarray, np.generic)) for v in (c, t, f)):
                    value = value.item()
            else:
                arity = 1 if tag == UNARY else 2
                operands = stack[-arity:]
                del stack[-arity:]
                value = _python_part(tag, int(payload), operands)
                if value is None:
                    value = _NUMPY[tag, int(payload)](*_as_read(operands, widened))
                    if not any(isinstance(v, (np.ndarray, np.generic)) for v in operands):
                        value = value.item()  # Python numbers alone stay weak, as Python's
            if leaves is not None and i in leaves:
                value = leaves[i]
            stack.append(value)
            values.append(value)
    return values


def _python_part(tag: int, code: int, operands: Sequence[Any]) -> Any:
    """Python's exact value of an operator over Python ints alone, or None."""
    if any(isinstance(v, (np.ndarray, np.generic)) for v in operands):
        return None
    try:
        return _int_parts.fold(tag, code, operands)
    except (ArithmeticError, ValueError):
        return None  # NumPy's answer, as before


def _as_read(operands: Sequence[Any], widened: bool) -> List[Any]:
    """Operands as a step over arrays reads them: widened, a Python int of uint64's range past
    int64 as its bits as int64."""
    if not widened or not any(isinstance(v, (np.ndarray, np.generic)) for v in operands):
        return list(operands)
    return [v - 2**64 if type(v) is int and 2**63 <= v < 2**64 else v for v in operands]


@contextlib.contextmanager
def warnings_ignored() -> Any:
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        yield


def _dtype(value: Any) -> Optional[np.dtype]:
    return value.dtype if isinstance(value, (np.ndarray, np.generic)) else None


def _children(nodes: Sequence[Node]) -> List[List[int]]:
    """Each node's operands, by index."""
    stack: List[int] = []
    kids: List[List[int]] = []
    for i, (tag, _) in enumerate(nodes):
        arity = {CONST: 0, ARG: 0, UNARY: 1, BINARY: 2, COMPARE: 2, SELECT: 3}[tag]
        kids.append(stack[len(stack) - arity:])
        del stack[len(stack) - arity:]
        stack.append(i)
    return kids


def _aliases(nodes: Sequence[Node], narrow: Sequence[Any], wide: Sequence[Any],
             kids: Sequence[Sequence[int]], known: Dict[int, np.dtype], step: bool
             ) -> Dict[int, np.dtype]:
    """The nodes to read as a float copy (by NumPy's conversion) for NumPy's float step above
    them, beside `known`: arguments, and computed narrow nodes, each its own part; refuses what
    the engine would compute with another meaning. A float16 `step` (see `_half`) computes its
    float16 root in float32."""
    found = dict(known)
    for i, (tag, payload) in enumerate(nodes):
        if tag in (CONST, ARG) or (i in known and not _in_place(nodes[i], narrow[i])):
            continue  # a copy: the engine reads it as it is
        want, have = _dtype(narrow[i]), _dtype(wide[i])
        if want == _FLOAT16 and step and i == len(nodes) - 1:
            want = np.dtype(np.float32)
        elif want == _FLOAT16:
            raise _refusal(nodes[i], narrow, kids[i], f"NumPy computes it in {want}")
        for position, k in enumerate(kids[i]):
            if _dtype(narrow[k]) != _UINT64 or k in found:
                continue
            how = _unsigned.meaning(nodes[i], want, [narrow[j] for j in kids[i]], position)
            if how is None:
                raise _refusal(nodes[i], narrow, kids[i], "uint64 is read as unsigned there")
            if how == _unsigned.FLOAT:
                found[k] = _FLOAT64  # NumPy converts it to float64 by value
        if want == have or (want in NARROW and have == _WIDER[want][0]) or i in known:
            continue
        if have == _FLOAT16:  # bools NumPy computes in float16: the engine refuses them, and
            continue  # `_bools` rewrites the formula
        if want == np.float32 and have == np.float64:
            for k in kids[i]:
                if _dtype(narrow[k]) in NARROW:
                    found[k] = want
            continue
        if found == known:
            raise _refusal(nodes[i], narrow, kids[i], f"NumPy computes it in {want}")
    return found


def _low_bits_read(nodes: Sequence[Node], narrow: Sequence[Any],
                   kids: Sequence[Sequence[int]], stored: bool) -> List[bool]:
    """Per node, whether only its low bits (as many as its narrow dtype has) are ever read: by
    steps of its own dtype whose low bits depend on their operands' low bits alone (+ - *,
    the bitwise operators, a left shift's shifted operand, the branches of a where whose own
    low bits alone are read), or as the stored result. Such a node needs no narrowing step:
    wrapped once where more is read, its value is NumPy's (arithmetic modulo 2**8 or 2**16
    is arithmetic modulo 2**32, reduced)."""
    readers: Dict[int, List[Tuple[int, int]]] = {}
    for i, ks in enumerate(kids):
        for position, k in enumerate(ks):
            readers.setdefault(k, []).append((i, position))
    low = [False] * len(nodes)
    low[-1] = stored
    for k in range(len(nodes) - 2, -1, -1):  # readers come after what they read
        low[k] = k in readers and all(
            _dtype(narrow[i]) == _dtype(narrow[k]) and _keeps_low_bits(nodes[i], p)
            and (nodes[i][0] != SELECT or low[i]) for i, p in readers[k])
    return low


def _keeps_low_bits(node: Node, position: int) -> bool:
    tag, payload = node
    if tag == SELECT:
        return position > 0
    if (tag, int(payload)) == (BINARY, _SHL):
        return position == 0
    return (tag, int(payload)) in _unsigned.LOW_BITS


def _rewrite(nodes: Sequence[Node], narrow: Sequence[Any], aliases: Dict[int, np.dtype],
             kids: Sequence[Sequence[int]], names: Sequence[str], low_bits: Sequence[bool]
             ) -> Tuple[List[Node], List[Tuple[Source, np.dtype]]]:
    """The nodes with narrowing steps where more than their low bits are read, uint64's
    unsigned steps rewritten (`_unsigned`), and the copies some node reads (the arguments
    after the formula's own): of an argument, or of a part. A computed uint64 node read as
    float64 is converted where it is read, not copied."""
    copies: List[Tuple[Source, np.dtype]] = []
    keys: List[Tuple[int, int, np.dtype]] = []  # an argument's position or a part's node
    first: List[int] = []  # each node's subtree begins at this node
    trees: List[List[Node]] = []  # per node, its subtree as rewritten
    for i, node in enumerate(nodes):
        tag, payload = node
        first.append(first[kids[i][0]] if kids[i] else i)
        want = _dtype(narrow[i])
        if i in aliases and not _in_place(nodes[i], narrow[i]):
            key = (tag, int(payload) if tag == ARG else i, aliases[i])
            if key not in keys:
                keys.append(key)
                copies.append((int(payload) if tag == ARG else _part(nodes[first[i]:i + 1], names),
                               aliases[i]))
            trees.append([(ARG, len(names) + keys.index(key))])
            continue
        floats = want is not None and want.kind in "fc"
        parts = [_unsigned.to_float(trees[k]) if k in aliases and _in_place(nodes[k], narrow[k])
                 else trees[k] if floats or want is None else _as_bits(trees[k], narrow[k])
                 for k in kids[i]]
        tree = None
        if any(_dtype(narrow[k]) == _UINT64 and k not in aliases for k in kids[i]):
            tree = _unsigned.rewrite(node, [_unsigned.operand(part, narrow[k])
                                            for k, part in zip(kids[i], parts)])
        if tree is None:
            tree = [n for part in parts for n in part] + [node]
            if (want in NARROW and tag not in (CONST, ARG, SELECT) and not low_bits[i]
                    and (tag, int(payload)) not in _IN_RANGE):
                tree += _WIDER[want][1]
        trees.append(tree)
    return trees[-1], copies


def _in_place(node: Node, value: Any) -> bool:
    """Whether an aliased node is converted where it is read, not copied: a computed uint64,
    whose float64 conversion the engine's steps make exactly (`_unsigned.to_float`)."""
    return node[0] != ARG and _dtype(value) == _UINT64


def _as_bits(tree: List[Node], value: Any) -> List[Node]:
    """A Python int part as an integer step reads it: past int64 (met by uint64), its bits as
    int64."""
    if type(value) is int and 2**63 <= value < 2**64:
        return [(CONST, value - 2**64)]
    return tree


def _part(nodes: Sequence[Node], names: Sequence[str]) -> _Part:
    """A subtree as a formula of its own, its arguments numbered afresh."""
    args = sorted({int(p) for tag, p in nodes if tag == ARG})
    sub = [(ARG, args.index(int(p))) if tag == ARG else (tag, p) for tag, p in nodes]
    own = tuple(names[a] for a in args)
    return _Part(_native.expr_from_nodes(list(own), sub), own, tuple(args))


def _refusal(node: Node, narrow: Sequence[Any], kids: Sequence[int], why: str) -> TypeError:
    tag, payload = node
    name = "where" if tag == SELECT else _NAME[tag, int(payload)]
    types = ", ".join(str(_dtype(narrow[k]) or type(narrow[k]).__name__) for k in kids)
    return TypeError(f"quorvaline does not compute {name} of ({types}) yet: {why}")
