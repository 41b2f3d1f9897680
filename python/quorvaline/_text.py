"""The canonical text of a formula: what `parse` reads back into the same tree.

Constants keep their bits: finite numbers as Python's shortest round-trip digits, the
infinities as 1e999, a NaN by its bits with from_bits(0x...). Parentheses appear exactly
where the tree needs them. Walks the nodes without recursion, so any depth renders.
"""
from __future__ import annotations

import keyword
import math
import struct
import unicodedata
from typing import TYPE_CHECKING, Any, List, NamedTuple, Tuple, Union

from _quorvaline import Expr
from quorvaline import _native
from quorvaline._nodes import ARG, BINARY, COMPARE, CONST, FROM_BITS, SELECT, SPELLING, UNARY, WHERE

if TYPE_CHECKING:
    from quorvaline._kernel import Kernel

# Binding strength, as Python's grammar has it.
_COMPARE, _OR, _XOR, _AND, _SHIFT, _ADD, _MUL, _UNARY, _POW, _ATOM = range(1, 11)
_STRENGTH = {"|": _OR, "^": _XOR, "&": _AND, "<<": _SHIFT, ">>": _SHIFT, "+": _ADD, "-": _ADD,
             "*": _MUL, "/": _MUL, "%": _MUL, "//": _MUL, "**": _POW}

Rope = Union[str, Tuple["Rope", ...]]


class Piece(NamedTuple):
    strength: int  # how tightly the text binds
    rope: Rope
    constant: bool = False


def to_text(formula: Union[Expr, Kernel]) -> str:
    """The canonical text of an `Expr` or `Kernel`; `parse` turns it back into the same tree,
    constants identical by bits. Its names appear in the order the kernel numbers them
    unless the arguments were created in another order (then pass `names` to `parse`)."""
    expr = formula if isinstance(formula, Expr) else getattr(formula, "expr", None)
    if not isinstance(expr, Expr):
        raise TypeError(f"to_text() expects an Expr or a Kernel, not '{type(formula).__name__}'")
    return formula_text(expr)


def formula_text(expr: Expr) -> str:
    names, nodes = _native.expr_nodes(expr)
    _check_names(names)
    stack: List[Piece] = []
    for tag, payload in nodes:
        if tag == CONST:
            stack.append(_constant(payload))
        elif tag == ARG:
            stack.append(Piece(_ATOM, names[int(payload)]))
        elif tag == UNARY:
            spelled = SPELLING[(UNARY, int(payload))]
            operand = stack.pop()
            if spelled.isidentifier():
                stack.append(Piece(_ATOM, _call(spelled, operand)))
            elif spelled == "~":
                stack.append(Piece(_UNARY, ("~", _wrap(operand, operand.strength < _UNARY))))
            else:
                stack.append(_negation(operand))
        elif tag in (BINARY, COMPARE):
            right = stack.pop()
            left = stack.pop()
            stack.append(_binary(tag, SPELLING[(tag, int(payload))], left, right))
        else:
            assert tag == SELECT
            if_false, if_true, condition = stack.pop(), stack.pop(), stack.pop()
            stack.append(Piece(_ATOM, _call(WHERE, condition, if_true, if_false)))
    return _flatten(stack[-1].rope)


def first_appearance(expr: Expr) -> Tuple[str, ...]:
    """The argument names in the order they stand in the text: the order `parse` numbers
    them in when it is not given `names`."""
    names, nodes = _native.expr_nodes(expr)
    return tuple(dict.fromkeys(names[int(p)] for tag, p in nodes if tag == ARG))


def _check_names(names: Tuple[str, ...]) -> None:
    seen = set()
    for name in names:
        if name in seen:
            raise ValueError(f"duplicate arg name: {name}")
        seen.add(name)
        if (not name.isidentifier() or keyword.iskeyword(name)
                or unicodedata.normalize("NFKC", name) != name
                or (name.startswith("__") and name.endswith("__"))):
            raise ValueError(f"argument name {name!r} cannot be written in a formula text")


def _constant(value: Any) -> Piece:
    if isinstance(value, bool):
        return Piece(_ATOM, repr(value), True)
    if not isinstance(value, (int, float)):  # a NumPy scalar, whose dtype a text cannot write
        raise ValueError(f"the constant {value!r} of dtype {value.dtype} cannot be written in a "
                         "formula text")
    if isinstance(value, int):  # an integer literal
        return Piece(_UNARY if value < 0 else _ATOM, repr(value), True)
    if math.isnan(value):
        bits = struct.unpack("<Q", struct.pack("<d", value))[0]
        return Piece(_ATOM, f"{FROM_BITS}(0x{bits:016x})")  # a call: "-" stays a node
    text = repr(value) if math.isfinite(value) else ("1e999" if value > 0 else "-1e999")
    return Piece(_UNARY if text.startswith("-") else _ATOM, text, True)


def _negation(operand: Piece) -> Piece:
    if operand.constant and isinstance(operand.rope, str):
        # "-5.0" reads back as one constant; a negated constant keeps its own node.
        text = operand.rope
        return Piece(_UNARY, ("-(", text if text.startswith("-") else "+" + text, ")"))
    # "--x" needs no parentheses, which keeps long chains within the parser's nesting limit.
    return Piece(_UNARY, ("-", _wrap(operand, operand.strength < _UNARY)))


def _binary(tag: int, spelled: str, left: Piece, right: Piece) -> Piece:
    if spelled.isidentifier():
        return Piece(_ATOM, _call(spelled, left, right))
    if tag == COMPARE:
        strength = _COMPARE
        wrap_left, wrap_right = left.strength <= _COMPARE, right.strength <= _COMPARE
    else:
        strength = _STRENGTH[spelled]
        if spelled == "**":  # right-associative, and tighter than a unary minus on its left
            wrap_left, wrap_right = left.strength <= _POW, right.strength < _UNARY
        else:
            wrap_left, wrap_right = left.strength < strength, right.strength <= strength
    return Piece(strength, (_wrap(left, wrap_left), f" {spelled} ", _wrap(right, wrap_right)))


def _wrap(piece: Piece, parenthesise: bool) -> Rope:
    return ("(", piece.rope, ")") if parenthesise else piece.rope


def _call(name: str, *operands: Piece) -> Rope:
    parts: List[Rope] = [name, "("]
    for i, operand in enumerate(operands):
        if i:
            parts.append(", ")
        parts.append(operand.rope)
    parts.append(")")
    return tuple(parts)


def _flatten(rope: Rope) -> str:
    out: List[str] = []
    work: List[Rope] = [rope]
    while work:
        item = work.pop()
        if isinstance(item, str):
            out.append(item)
        else:
            work.extend(reversed(item))
    return "".join(out)
