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
sqrt of an int16) its narrow integer operands are read as float32, exactly. What the engine
cannot compute with NumPy's meaning (float16 results, a wrapped intermediate read as a float)
is refused, naming the operator and the dtypes, never computed with another meaning.
"""
from __future__ import annotations

import contextlib
import functools
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from quorvaline import _half, _native, _nodes, _stored
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
    # The same bits: only the operators below, whose bits do not depend on the sign, read it.
    np.dtype(np.uint64): (np.dtype(np.int64), []),
}
NARROW = frozenset(_WIDER)
_UINT64 = np.dtype(np.uint64)
_BITS_ALIKE = frozenset((BINARY, BY_NAME[name].code) for name in (
    "Add", "Sub", "Mul", "BitwiseAnd", "BitwiseOr", "BitwiseXor", "LeftShift")) | frozenset(
    (UNARY, BY_NAME[name].code) for name in ("Neg", "Positive", "Square", "Invert", "Real",
                                             "Imag", "Conj"))
# Met beside a narrow integer, float16 has no exact road yet.
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
    integer dtype; None when none is (the engine takes the call as it is). A narrow result
    is written by the engine as it computes it, into `out` itself when `out` can take it
    (it is then the value returned)."""
    if any(map(_half.has_half, values.values())):
        return _float16(expr, values)
    bound = bind(expr, values, stored=True)
    if bound is None:
        return None
    formula, operands, want = bound
    if want in _stored.STORED:  # the engine narrows the result as it stores it
        given = out if _stored.takes(out, want, operands) else None
        stored = _stored.evaluate(formula, operands, want, given)
        if stored is not None:
            return stored
    return _as(_native.evaluate(formula, operands, None), want)


def _float16(expr: Any, values: Dict[str, Any]) -> np.ndarray:
    """A formula over float16 operands (see `_half`); with narrow integers, refused."""
    names, nodes = _native.expr_nodes(expr)
    given = [values.get(name) for name in names]
    traced = _trace(nodes, [_sample(_signature(v), False) for v in given], False)
    kids = _children(nodes)

    def refuse(i: int, why: str) -> TypeError:
        return _refusal(nodes[i], traced, kids[i], why)

    dtypes = [_dtype(v) for v in traced]
    for i, (tag, _) in enumerate(nodes):
        if tag not in (CONST, ARG) and any(dtypes[k] in NARROW for k in kids[i]):
            raise refuse(i, "float16 beside narrow integers")
    return _half.evaluate(names, nodes, given, dtypes, kids, refuse)


def bind(expr: Any, values: Dict[str, Any], stored: bool = False
         ) -> Optional[Tuple[Any, Dict[str, Any], Optional[np.dtype]]]:
    """The formula the engine computes, its operands and NumPy's dtype of its value, when an
    operand is of a narrow integer dtype; else None. Stored: the value is narrowed to that
    dtype as it is stored (or converted to it), so its last step needs no narrowing."""
    if not any(getattr(v, "dtype", None) in NARROW for v in values.values()):
        return None
    names, nodes = _native.expr_nodes(expr)
    given = [values.get(name) for name in names]
    formula, reads, want = _plan(_nodes.Nodes(nodes), names, tuple(map(_signature, given)), stored)
    return formula, {label: _converted(given[arg], dtype) for label, arg, dtype in reads}, want


def reduce(spec: Any, expr: Any, values: Dict[str, Any], op: str, axis: Any,
           keepdims: bool) -> np.ndarray:
    """A reduction of the formula's values in NumPy's dtype: sums and products of narrow
    integers are int64 (uint64 for unsigned ones), `min` and `max` keep the dtype."""
    bound = bind(expr, values)
    if bound is None:
        return _native.reduce(spec, values, op, axis, keepdims)
    formula, operands, want = bound
    if want == _UINT64 and op in ("mean", "min", "max"):
        raise TypeError(f"quorvaline does not compute {op} of uint64 yet: uint64 is read as "
                        "unsigned there")
    result = _native.reduce(kernel.elementwise(formula), operands, op, axis, keepdims)
    if op in ("sum", "prod"):  # int64's bits; NumPy's unsigned sums are uint64
        return result.view(_UINT64) if want is not None and want.kind == "u" else result
    return result if op == "mean" else _as(result, want)


def _as(result: np.ndarray, want: Optional[np.dtype]) -> np.ndarray:
    """The engine's values in NumPy's dtype: exact, they are within its range."""
    if want is None or result.dtype == want or result.dtype.kind not in "iu":
        return result
    return result.view(want) if want == _UINT64 else result.astype(want)


Signature = Tuple[str, Any]


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
    dtype = _WIDER[what][0] if widened and what in NARROW else what
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
          stored: bool) -> Tuple[Any, List[Tuple[str, int, Optional[np.dtype]]],
                                 Optional[np.dtype]]:
    """The engine's formula, what it reads (its name, the operand, the dtype it is read in)
    and NumPy's result dtype, once per formula and operand dtypes."""
    narrow = _trace(nodes, [_sample(sig, False) for sig in signature], False)
    samples = [_sample(sig, True) for sig in signature]
    kids = _children(nodes)
    aliases: Dict[int, np.dtype] = {}
    while True:  # each float copy may make the steps above it agree: traced again
        wide = _trace(nodes, samples, True, {k: np.ones(1, t) for k, t in aliases.items()})
        found = _aliases(nodes, narrow, wide, kids, aliases)
        if found == aliases:
            break
        aliases = found
    rewritten, copies = _rewrite(nodes, narrow, aliases, len(names), _low_bits_read(
        nodes, narrow, kids, stored))
    # Each argument read in its wider type, then the float copies after them.
    reads = [(name, arg, _WIDER[sig[1]][0] if sig[1] in NARROW else None)
             for arg, (name, sig) in enumerate(zip(names, signature))]
    reads += [(f"{names[arg]}\x00{dtype}", arg, dtype) for arg, dtype in copies]
    # An argument read only as float32 drops out: the engine takes only names it reads.
    used = sorted({int(p) for tag, p in rewritten if tag == ARG})
    rewritten = [(ARG, used.index(int(p))) if tag == ARG else (tag, p) for tag, p in rewritten]
    formula = _native.expr_from_nodes([reads[i][0] for i in used], rewritten)
    return formula, [reads[i] for i in used], _dtype(narrow[-1])


def _trace(nodes: Sequence[Node], args: Sequence[Any], widened: bool,
           leaves: Optional[Dict[int, Any]] = None) -> List[Any]:
    """Each node's value over the samples, as NumPy computes it: its dtype is NumPy's. Widened,
    a Python int past int64 is its bits as int64, as the engine reads it beside uint64."""
    stack: List[Any] = []
    values: List[Any] = []
    with np.errstate(all="ignore"), warnings_ignored():
        for i, (tag, payload) in enumerate(nodes):
            if tag == CONST:
                big = widened and isinstance(payload, int) and payload >= 2**63
                value = payload - 2**64 if big and isinstance(payload, int) else payload
            elif tag == ARG:
                value = args[int(payload)] if leaves is None or i not in leaves else leaves[i]
            elif tag == SELECT:
                f = stack.pop()
                t = stack.pop()
                c = stack.pop()
                value = np.where(c, t, f)
                if not any(isinstance(v, (np.ndarray, np.generic)) for v in (c, t, f)):
                    value = value.item()
            else:
                arity = 1 if tag == UNARY else 2
                operands = stack[-arity:]
                del stack[-arity:]
                value = _NUMPY[tag, int(payload)](*operands)
                if not any(isinstance(v, (np.ndarray, np.generic)) for v in operands):
                    value = value.item()  # Python numbers alone stay weak, as Python's
            stack.append(value)
            values.append(value)
    return values


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
             kids: Sequence[Sequence[int]], known: Dict[int, np.dtype]) -> Dict[int, np.dtype]:
    """The argument nodes to read as a float copy (by NumPy's conversion) for NumPy's float
    step above them, beside `known`; refuses what the engine would compute with another
    meaning."""
    found = dict(known)
    for i, (tag, payload) in enumerate(nodes):
        if tag in (CONST, ARG):
            continue
        want, have = _dtype(narrow[i]), _dtype(wide[i])
        if want == _FLOAT16:
            raise _refusal(nodes[i], narrow, kids[i], f"NumPy computes it in {want}")
        for k in kids[i]:
            if _dtype(narrow[k]) != _UINT64 or k in found or \
                    _bits_alike(nodes[i], want, k == kids[i][0]):
                continue
            if want != np.float64 or nodes[k][0] != ARG:
                raise _refusal(nodes[i], narrow, kids[i], "uint64 is read as unsigned there")
            found[k] = want  # NumPy converts it to float64 by value
        if want == have or (want in NARROW and have == _WIDER[want][0]):
            continue
        if want == np.float32 and have == np.float64:
            for k in kids[i]:
                if _dtype(narrow[k]) in NARROW:
                    if nodes[k][0] != ARG:
                        raise _refusal(nodes[i], narrow, kids[i], "its integer operand wraps")
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
    return (tag, int(payload)) in _BITS_ALIKE


def _rewrite(nodes: Sequence[Node], narrow: Sequence[Any], aliases: Dict[int, np.dtype],
             n_args: int, low_bits: Sequence[bool]
             ) -> Tuple[List[Node], List[Tuple[int, np.dtype]]]:
    """The nodes with narrowing steps where more than their low bits are read, and the
    (argument, dtype) copies some node reads (the arguments after the formula's own)."""
    copies = sorted({(int(nodes[k][1]), dtype) for k, dtype in aliases.items()},
                    key=lambda c: (c[0], c[1].str))
    out: List[Node] = []
    for i, node in enumerate(nodes):
        tag, payload = node
        if i in aliases:
            out.append((ARG, n_args + copies.index((int(payload), aliases[i]))))
            continue
        if tag == CONST and isinstance(payload, int) and payload >= 2**63:
            node = (CONST, payload - 2**64)  # a Python int met by uint64: its bits as int64
        out.append(node)
        want = _dtype(narrow[i])
        if (want in NARROW and tag not in (CONST, ARG, SELECT) and not low_bits[i]
                and (tag, int(payload)) not in _IN_RANGE):
            out.extend(_WIDER[want][1])
    return out, copies


def _bits_alike(node: Node, want: Optional[np.dtype], first: bool) -> bool:
    """Whether the node reads a uint64 operand for its bits alone, as int64 holds them: a
    uint64 step of the operators above, or where's condition (nonzero)."""
    tag, payload = node
    if tag == SELECT:
        return first or want == _UINT64
    return want == _UINT64 and (tag, int(payload)) in _BITS_ALIKE


def _refusal(node: Node, narrow: Sequence[Any], kids: Sequence[int], why: str) -> TypeError:
    tag, payload = node
    name = "where" if tag == SELECT else _NAME[tag, int(payload)]
    types = ", ".join(str(_dtype(narrow[k]) or type(narrow[k]).__name__) for k in kids)
    return TypeError(f"quorvaline does not compute {name} of ({types}) yet: {why}")
