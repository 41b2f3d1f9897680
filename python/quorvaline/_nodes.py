"""The node tags of the engine's expression tree, as `_native` exchanges them, and its
operators: the engine's operator table (`_native.OPERATORS`) is the one list, and the codes,
the functions of the formula text and the spellings the text form writes are read from it."""
import struct
from typing import Any, Dict, NamedTuple, Optional, Tuple, Union

import numpy as np

from quorvaline import _native

CONST, ARG, UNARY, BINARY, COMPARE, SELECT = range(6)

# One node: (tag, payload), payload a float for CONST (an int for an integer literal, a bool
# for a bool literal, a NumPy scalar for a constant of its dtype), the argument's position for
# ARG, the operator code for UNARY, BINARY and COMPARE, 0 for SELECT.
Node = Tuple[int, Union[int, float, "np.generic[Any]"]]


class Operator(NamedTuple):
    kind: int  # its node tag: UNARY, BINARY or COMPARE
    code: int
    name: str  # as repr prints it
    arity: int
    spellings: Tuple[str, ...]  # in formula text; the text form writes the first
    function: Optional[str]  # the kernel object's function, if it has one
    libm: Optional[str]  # the C math library function whose bits it gives, if any
    doc: str
    predicate: bool  # its value is a truth, 1.0 or 0.0


OPERATORS: Tuple[Operator, ...] = tuple(Operator(*row) for row in _native.OPERATORS)
BY_NAME: Dict[str, Operator] = {op.name: op for op in OPERATORS}
assert len(BY_NAME) == len(OPERATORS), "operator names must be unique"


def constant_key(value: Any) -> Tuple[str, int]:
    """A constant as a key: its type and its bits. Python finds 3, 3.0, True and np.int64(3)
    equal, and -0.0 equal to 0.0, which promote or compute otherwise."""
    if isinstance(value, np.generic):
        return value.dtype.str, int.from_bytes(value.tobytes(), "little")
    if isinstance(value, int):
        return type(value).__name__, int(value)
    return "float", int(struct.unpack("<Q", struct.pack("<d", value))[0])


class Nodes(Tuple[Node, ...]):
    """A formula's nodes as a cache key: equal when their constants are, by `constant_key`."""

    __slots__ = ()

    def _key(self) -> Tuple[Any, ...]:
        return tuple((tag, constant_key(p)) if tag == CONST else (tag, p) for tag, p in self)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Nodes) and self._key() == other._key()

    def __hash__(self) -> int:
        return hash(self._key())


# The link of a comparison chain in the formula text: "and" of two truths.
MUL = BY_NAME["Mul"].code
COMPLEX = BY_NAME["Complex"].code


def complex_nodes(z: complex) -> Tuple[Node, Node, Node]:
    """A Python complex number as the tree holds it: complex() of its two parts, weak as a
    Python float is (float32 data times 1j is complex64, as in NumPy)."""
    return (CONST, z.real), (CONST, z.imag), (BINARY, COMPLEX)

# Functions of the formula text by name: (tag, operator code, number of arguments).
FUNCTIONS: Dict[str, Tuple[int, int, int]] = {
    spelling: (op.kind, op.code, op.arity)
    for op in OPERATORS for spelling in op.spellings if spelling.isidentifier()
}
# The operators whose value is a truth (a bool, or 1.0 or 0.0): (tag, code).
PREDICATES = frozenset((op.kind, op.code) for op in OPERATORS if op.predicate)

# NumPy's round: a spelling of rint with one argument; with decimals, round_nodes.
ROUND = "round"

# The conditional is a node of its own, not an operator.
WHERE = "where"
FUNCTIONS[WHERE] = (SELECT, 0, 3)

# Symbols written between the operands (or before the one operand): (tag, symbol) -> code.
SYMBOLS: Dict[Tuple[int, str], int] = {
    (op.kind, spelling): op.code
    for op in OPERATORS for spelling in op.spellings if not spelling.isidentifier()
}

# What the text form writes for each operator: (tag, code) -> its first spelling.
SPELLING: Dict[Tuple[int, int], str] = {
    (op.kind, op.code): op.spellings[0] for op in OPERATORS if op.spellings
}

# A constant given by its IEEE 754 bits: the text form's spelling of NaN payloads.
FROM_BITS = "from_bits"
