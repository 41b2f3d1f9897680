"""Parts of a formula over Python ints alone, computed as Python computes them: exactly.

In NumPy such a part (``k + 1`` with a Python int ``k``, ``2**62``) is Python's own
arithmetic, done before any array is touched; its value then meets the arrays as a weak
Python int, refused with NumPy's `OverflowError` where it does not fit their type. The engine
holds numbers in 64 bits, so the parts that read Python-int operands are folded here at each
call (a kernel is compiled once per dtype signature, not per value): each becomes an operand
of its own, holding this call's value, and the engine checks it as any Python-int operand.
Literal parts alone are folded once, when a text is parsed (`fold`).

Comparisons of such parts are Python's too, exact where float64 would round (`k == k + 1`
with `k = 2**53`). A part whose value is a Python bool (a comparison, `&` `|` `^` of them)
stays a comparison in the formula, its value's `!= 0`, so that it meets the arrays as NumPy's
bool does (`a_int32 + (k < j)` is int32); in a larger part it is Python's bool
(`(k < j) * 3` is Python's int).
"""
from __future__ import annotations

import operator
import re
from typing import Any, Callable, Dict, FrozenSet, List, Optional, Sequence, Tuple, Union

from quorvaline import _native
from quorvaline._factories import kernel
from quorvaline._nodes import ARG, BINARY, BY_NAME, COMPARE, CONST, SELECT, UNARY, Node

Number = Union[int, float]

# Past this many bits an integer part is refused rather than computed: Python would spend
# minutes and gigabytes on `2 ** 10**12`, and no dtype holds more than 64 bits of it.
MAX_BITS = 1 << 16


_INT64_MIN, _INT64_MAX = -(2 ** 63), 2 ** 63 - 1
_POW, _MUL, _ADD = (BY_NAME[name].code for name in ("Pow", "Mul", "Add"))


def int_nodes(value: int) -> Tuple[Node, ...]:
    """A Python int as nodes of int64 literals: itself within int64; past it
    ``m * 2 ** s + rest``, `m * 2**s` the float64 nearest to it and `rest` the same again. Python's
    arithmetic folds them back to the value; float64 arithmetic (the engine's, for literals
    alone) to the float64 nearest the value, NumPy's conversion of it: 2**s is exact, and
    |rest| is at most half a unit in the last place of the nearest, so adding it (rounded)
    rounds back to it, a tie to the same even one. OverflowError past float64."""
    if _INT64_MIN <= value <= _INT64_MAX:
        return ((CONST, value),)
    nearest = int(float(value))
    shift = max(nearest.bit_length() - 53, 0)
    nodes: Tuple[Node, ...] = ((CONST, nearest >> shift), (CONST, 2), (CONST, shift),
                               (BINARY, _POW), (BINARY, _MUL))
    rest = value - nearest
    return nodes if rest == 0 else (*nodes, *int_nodes(rest), (BINARY, _ADD))


def _power(base: Number, exponent: Number) -> Number:
    if (type(base) is int and type(exponent) is int and exponent > 0 and abs(base) > 1
            and exponent * base.bit_length() > MAX_BITS):
        raise _too_large(f"{base} ** {exponent}")
    power: Number = base ** exponent  # a negative exponent gives a float, as in Python
    return power


def _left_shift(value: int, count: int) -> int:
    if (type(value) is int and type(count) is int and value and count > 0
            and value.bit_length() + count > MAX_BITS):
        raise _too_large(f"{value} << {count}")
    return value << count


def _too_large(written: str) -> OverflowError:
    return OverflowError(f"integer part {written} has more than {MAX_BITS} bits")


# Python's operators on two ints, by the engine's operator code.
_BINARY: Dict[int, Callable[..., Number]] = {
    BY_NAME[name].code: fn for name, fn in [
        ("Add", operator.add), ("Sub", operator.sub), ("Mul", operator.mul),
        ("Div", operator.truediv), ("Pow", _power), ("Remainder", operator.mod),
        ("FloorDivide", operator.floordiv), ("BitwiseAnd", operator.and_),
        ("BitwiseOr", operator.or_), ("BitwiseXor", operator.xor),
        ("LeftShift", _left_shift), ("RightShift", operator.rshift)]}
_INVERT = BY_NAME["Invert"].code
_UNARY: Dict[int, Callable[..., Number]] = {
    BY_NAME["Neg"].code: operator.neg, _INVERT: operator.invert}


_COMPARE: Dict[int, Callable[..., Number]] = {
    BY_NAME[name].code: fn for name, fn in [
        ("Eq", operator.eq), ("Ne", operator.ne), ("Lt", operator.lt), ("Le", operator.le),
        ("Gt", operator.gt), ("Ge", operator.ge)]}
# Python's operators that keep two bools a bool.
_LOGICAL = frozenset(BY_NAME[name].code for name in ("BitwiseAnd", "BitwiseOr", "BitwiseXor"))
_NE = BY_NAME["Ne"].code


def _table(tag: int) -> Dict[int, Callable[..., Number]]:
    return _UNARY if tag == UNARY else _BINARY if tag == BINARY else {}


def _part_table(tag: int) -> Dict[int, Callable[..., Number]]:
    return _COMPARE if tag == COMPARE else _table(tag)


def fold(tag: int, code: int, values: Sequence[Number]) -> Optional[Number]:
    """Python's value of an operator over integer and bool literals (and floats beside a bool),
    or None for an operator that is not Python's own arithmetic (a comparison, a function) or
    a float operand."""
    table = _table(tag)
    kinds = {type(v) for v in values}
    # Floats only beside a bool, which Python makes a number: `2.5 * True` is 2.5.
    if code not in table or not kinds <= {int, bool, float} or (float in kinds
                                                                  and bool not in kinds):
        return None
    if tag == UNARY and code == _INVERT and type(values[0]) is bool:
        return None  # `~True` is NumPy's "not", as `&`, `|` and `^` of bools are bools
    return table[code](*values)


def exact_comparison(nodes: Sequence[Node], values: Sequence[Number]) -> Optional[Tuple[Node, ...]]:
    """For a comparison (`nodes`, its one node) of two literal parts whose float64 values may
    compare otherwise than Python's (past 2**53): operands giving Python's answer (the sign of
    the difference, and 0). None for any other."""
    if len(nodes) != 1 or nodes[0][0] != COMPARE:
        return None
    if not any(type(v) is int and abs(v) > 2 ** 53 for v in values):
        return None
    left, right = values
    return (CONST, (left > right) - (left < right)), (CONST, 0)


# A tree with its Python-int parts replaced by operands: (names, nodes, per new operand the
# nodes of its part, each over the original names).
_Plan = Tuple[Tuple[str, ...], Tuple[Node, ...], Tuple[Tuple[Node, ...], ...]]
_ARITY = {UNARY: 1, BINARY: 2, COMPARE: 2, SELECT: 3}


def _plan(names: Sequence[str], nodes: Sequence[Node], ints: FrozenSet[str]) -> Optional[_Plan]:
    """Which parts fold depends on the operators alone, not on the values (`2 ** k` is a float
    for a negative `k`, and Python's arithmetic goes on with it as a float)."""
    # Per finished subtree: where its nodes begin, whether it is a Python int part, and
    # whether its value is a Python bool.
    stack: List[Tuple[int, bool, bool]] = []
    parts: List[Tuple[int, int, bool]] = []  # maximal parts with an operator: [begin, end)
    for i, (tag, payload) in enumerate(nodes):
        if tag == CONST:
            stack.append((i, type(payload) in (int, bool), False))  # Python's literals
            continue
        if tag == ARG:
            stack.append((i, names[int(payload)] in ints, False))
            continue
        arity = _ARITY[tag]
        kids = stack[len(stack) - arity:]
        del stack[len(stack) - arity:]
        folds = int(payload) in _part_table(tag) and all(part for _, part, _ in kids)
        if not folds:
            # The kids that are parts are maximal: this node does not fold.
            parts.extend((begin, _end(kids, k, i), truth) for k, (begin, part, truth)
                         in enumerate(kids) if part and _end(kids, k, i) - begin > 1)
        truth = tag == COMPARE or (tag == BINARY and int(payload) in _LOGICAL
                                   and all(kid_truth for _, _, kid_truth in kids))
        stack.append((kids[0][0], folds, truth))
    if stack[-1][1] and len(nodes) > 1:
        parts.append((0, len(nodes), stack[-1][2]))
    if not parts:
        return None
    parts.sort()
    kept: Dict[str, int] = {}
    new_nodes: List[Node] = []
    hidden: List[Tuple[Node, ...]] = []
    at = 0
    for begin, end, truth in parts:
        for tag, payload in nodes[at:begin]:
            new_nodes.append(_renumbered(tag, payload, names, kept))
        hidden.append(tuple(nodes[begin:end]))
        new_nodes.append((ARG, -len(hidden)))  # numbered below, after the kept names
        if truth:
            new_nodes.extend(((CONST, 0), (COMPARE, _NE)))  # a bool, from split's 1 or 0
        at = end
    for tag, payload in nodes[at:]:
        new_nodes.append(_renumbered(tag, payload, names, kept))
    new_names = (*kept, *(_hidden_name(k) for k in range(len(hidden))))
    final = tuple((ARG, len(kept) - int(p) - 1) if tag == ARG and int(p) < 0 else (tag, p)
                  for tag, p in new_nodes)
    return new_names, final, tuple(hidden)


def _end(kids: Sequence[Tuple[int, bool, bool]], k: int, parent: int) -> int:
    return kids[k + 1][0] if k + 1 < len(kids) else parent


def _renumbered(tag: int, payload: Any, names: Sequence[str], kept: Dict[str, int]) -> Node:
    if tag != ARG:
        return tag, payload
    return ARG, kept.setdefault(names[int(payload)], len(kept))


def _hidden_name(k: int) -> str:
    # Not an identifier, so no formula's name can be the same.
    return f"<integer part {k}>"


_Values = Dict[str, Any]
_Fn = Callable[[_Values], Any]


def _evaluator(part: Sequence[Node], names: Sequence[str]) -> Callable[[_Values], Number]:
    """The part's value as Python computes it, from a call's operands by name: closures made
    once per plan, so that a call walks no nodes. A bool (a comparison's) as 1 or 0, which the
    formula compares with 0."""
    stack: List[_Fn] = []
    for tag, payload in part:
        if tag == CONST:
            stack.append(_constant(payload))
        elif tag == ARG:
            stack.append(operator.itemgetter(names[int(payload)]))
        else:
            arity = _ARITY[tag]
            kids = stack[len(stack) - arity:]
            del stack[len(stack) - arity:]
            stack.append(_applied(_part_table(tag)[int(payload)], *kids))
    if part[-1][0] == COMPARE or (part[-1][0] == BINARY and int(part[-1][1]) in _LOGICAL):
        return _applied(int, stack[0])
    return stack[0]



def _constant(value: Any) -> _Fn:
    return lambda values: value


def _applied(fn: Callable[..., Any], *kids: _Fn) -> _Fn:
    if len(kids) == 1:
        x = kids[0]
        return lambda values: fn(x(values))
    x, y = kids
    return lambda values: fn(x(values), y(values))


# Per formula object and set of Python-int operand names: the folded kernel, the names kept
# from the call's operands, and per part its name and evaluator; or None. The entry holds the
# formula, so that its id is not another's while it is kept.
_Folded = Tuple[Any, Tuple[str, ...], Tuple[Tuple[str, Callable[[_Values], Number]], ...]]
_plans: Dict[Tuple[int, FrozenSet[str]], Tuple[Any, Optional[_Folded]]] = {}


def split(formula: Any, operands: Dict[str, Any]) -> Optional[Tuple[Any, Dict[str, Any]]]:
    """For an `Expr` or `KernelSpec` and a call's operands: None when no part of the formula is
    over Python ints alone; otherwise the `KernelSpec` whose operands hold those parts' values,
    and these operands."""
    ints = frozenset(name for name, v in operands.items() if type(v) in (int, bool))
    if not ints:
        return None
    key = (id(formula), ints)
    entry = _plans.get(key)
    if entry is None or entry[0] is not formula:
        entry = _plans[key] = (formula, _folded(formula, ints))
        if len(_plans) > 1024:
            _plans.clear()
    known = entry[1]
    if known is None:
        return None
    spec, kept, parts = known
    values = {name: operands[name] for name in kept if name in operands}
    for name, value in parts:
        values[name] = _convertible(value(operands))
    return spec, values


def _convertible(value: Number) -> Number:
    # Past float64 no type holds it; said here, naming the value, as NumPy's conversion would.
    if type(value) is int and value.bit_length() > 1023 and _nearest_digits(value) is None:
        raise OverflowError(f"Python integer {value} too large to convert to float64")
    return value


def _folded(formula: Any, ints: FrozenSet[str]) -> Optional[_Folded]:
    names, nodes = _native.expr_nodes(formula)
    plan = _plan(names, nodes, ints)
    if plan is None:
        return None
    new_names, new_nodes, hidden = plan
    spec = kernel.elementwise(_native.expr_from_nodes(new_names, new_nodes))
    parts = tuple((_hidden_name(k), _evaluator(part, names)) for k, part in enumerate(hidden))
    return spec, new_names[:len(new_names) - len(hidden)], parts


_OUT_OF_BOUNDS = re.compile(r"Python integer (-?\d+) out of bounds for ")


def written(formula: Any, message: str) -> str:
    """The engine's OverflowError `message` for `formula` (an `Expr` or `KernelSpec`), naming a
    Python int as the formula writes it: the engine holds a literal part past int64 as the
    float64 nearest it, and names that float's digits."""
    match = _OUT_OF_BOUNDS.match(message)
    if match is None:
        return message
    names, nodes = _native.expr_nodes(formula)
    plan = _plan(names, nodes, frozenset())
    for part in plan[2] if plan is not None else ():
        value = _evaluator(part, names)({})
        if past_int64(value) and _nearest_digits(value) == match.group(1):
            return message.replace(match.group(1), str(value), 1)
    return message


def _nearest_digits(value: Number) -> Optional[str]:
    try:
        return str(int(float(value)))
    except OverflowError:
        return None


def out_of_bounds(value: int) -> OverflowError:
    """NumPy's error for a Python int that no integer dtype of the engine holds."""
    return OverflowError(f"Python integer {value} out of bounds for int64")


def past_int64(value: Any) -> bool:
    return type(value) is int and not _INT64_MIN <= value <= _INT64_MAX
