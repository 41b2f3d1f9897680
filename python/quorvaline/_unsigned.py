"""uint64 on int64's bits: the operators that read the unsigned meaning, written with the
engine's int64 operators so that each gives NumPy's uint64 value, bit for bit.

`_narrow` reads a uint64 operand in place as int64 (the same bits). `+ - * & | ^ ~ <<`,
negation and `where` need nothing more (arithmetic modulo 2**64 is the same for both
readings). The others are rewritten here, each proven where it is built; a uint64 value read by
a float step is converted by value, exactly as NumPy converts it. Every rewrite is a tree:
an operand it reads twice is written twice, and the engine computes identical subtrees once.
"""
from __future__ import annotations

import operator
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from quorvaline._nodes import BINARY, BY_NAME, COMPARE, CONST, SELECT, UNARY, Node

UINT64 = np.dtype(np.uint64)
_TOP = -2**63  # int64's bits of 2**63: xor with it maps unsigned order onto signed order

Tree = List[Node]


def _key(name: str) -> Tuple[int, int]:
    op = BY_NAME[name]
    return op.kind, op.code


# Operators whose value's low bits depend on their operands' low bits alone (a left shift's
# on its shifted operand's): arithmetic modulo 2**k, whatever k.
LOW_BITS = frozenset(map(_key, (
    "Add", "Sub", "Mul", "BitwiseAnd", "BitwiseOr", "BitwiseXor", "LeftShift", "Neg",
    "Positive", "Square", "Invert", "Real", "Imag", "Conj")))
# Operators of a uint64 step whose bits do not depend on the sign: computed as int64's. A
# power's exponent past 2**63 reads as negative there, which the engine refuses (never a
# silent value).
BITS_ALIKE = LOW_BITS | frozenset(map(_key, ("OnesLike", "Pow")))
# Of an unsigned integer, NumPy's value is the integer itself.
_ITSELF = frozenset(map(_key, ("Abs", "Floor", "Ceil", "Trunc", "Round")))
_MIN = frozenset(map(_key, ("Min", "Fmin", "Minimum")))
_MAX_OPS = frozenset(map(_key, ("Max", "Fmax", "Maximum")))
_DIVIDE = _key("FloorDivide")
_REMAINDERS = frozenset(map(_key, ("Remainder", "Fmod")))  # the same for unsigned operands
_SHR = _key("RightShift")
_SIGN, _RECIPROCAL = _key("Sign"), _key("Reciprocal")
REWRITTEN = _ITSELF | _MIN | _MAX_OPS | _REMAINDERS | {_DIVIDE, _SHR, _SIGN, _RECIPROCAL}

_TRUTH: Dict[str, Callable[[int, int], bool]] = {
    "Lt": operator.lt, "Le": operator.le, "Gt": operator.gt, "Ge": operator.ge,
    "Eq": operator.eq, "Ne": operator.ne}
_COMPARE_NAME = {BY_NAME[name].code: name for name in _TRUTH}

# How a step reads a uint64 operand.
BITS, FLOAT = "bits", "float"


def meaning(node: Node, want: Optional[np.dtype], operands: Sequence[Any],
            position: int) -> Optional[str]:
    """How the node reads its uint64 operand at `position`: for its bits (as int64 holds
    them, or rewritten here), as a float64 converted by value, or None (refused)."""
    tag, payload = node
    if tag == SELECT:
        if position == 0 or want == UINT64:
            return BITS  # the condition is nonzero; the branches are picked, not read
        return FLOAT if want is not None and want.kind in "fc" else None
    if tag == COMPARE:  # NumPy compares integers exactly, a float in float64
        floats = any(_kind(v) in "fc" for v in operands)
        return FLOAT if floats else BITS
    key = (tag, int(payload))
    if want == UINT64:
        return BITS if key in BITS_ALIKE or key in REWRITTEN else None
    if want is not None and (want.kind in "fc" or (tag == UNARY and want.kind == "b")):
        return FLOAT  # NumPy's float loop (isnan, signbit: of the value as float64)
    return None


def _kind(value: Any) -> str:
    """NumPy's kind of an operand; a Python number's by its type."""
    dtype = getattr(value, "dtype", None)
    if dtype is not None:
        return str(dtype.kind)
    return {bool: "b", int: "i", float: "f", complex: "c"}[type(value)]


class Operand(NamedTuple):
    """One operand of a rewritten step: its tree, NumPy's dtype (None for a Python int) and a
    Python int's value, known when the formula is planned."""
    tree: Tree
    dtype: Optional[np.dtype]
    value: Optional[int]

    @property
    def huge(self) -> bool:
        """Whether its int64 reading may be negative while its value is not: uint64."""
        return self.dtype == UINT64

    @property
    def signed(self) -> bool:
        return self.dtype is not None and self.dtype.kind == "i"


def operand(tree: Tree, sample: Any) -> Operand:
    """The operand whose NumPy value over the samples is `sample`."""
    if isinstance(sample, int) and not isinstance(sample, bool):
        return Operand([(CONST, _bits(sample))] if -2**63 <= sample < 2**64 else tree,
                       None, sample)
    return Operand(tree, getattr(sample, "dtype", None), None)


def rewrite(node: Node, operands: Sequence[Operand]) -> Optional[Tree]:
    """The node over int64 bits with NumPy's uint64 value (a bool for a comparison), or None
    when its bits need no rewriting."""
    tag, payload = node
    if tag == COMPARE:
        return compare(_COMPARE_NAME[int(payload)], *operands)
    key = (tag, int(payload))
    if key in _ITSELF:
        return operands[0].tree
    if key == _SIGN:  # 1 for any nonzero value: none is negative
        return _counted(_compare("Ne", operands[0].tree, _const(0)))
    if key == _RECIPROCAL:  # 1 // x: 1 for 1, else 0 (0 for 0, as NumPy gives)
        return _counted(_compare("Eq", operands[0].tree, _const(1)))
    if key in _MIN or key in _MAX_OPS:
        left, right = operands
        picks_left = compare("Lt" if key in _MIN else "Gt", left, right)
        return _where(picks_left, left.tree, right.tree)
    if key == _DIVIDE:
        return _divide(*operands)[0]
    if key in _REMAINDERS:
        return _divide(*operands)[1]
    if key == _SHR:
        return _shift_right(*operands)
    return None


def to_float(tree: Tree) -> Tree:
    """A uint64 value (int64's bits) as float64, converted by value as NumPy converts it.
    Its halves are below 2**32, so `hi * 2**32` and `lo` are exact float64s, and their sum is
    rounded once: the exact value rounded to nearest even, which is the C conversion's."""
    hi = _binary("BitwiseAnd", _binary("RightShift", tree, _const(32)), _const(0xFFFFFFFF))
    lo = _binary("BitwiseAnd", tree, _const(0xFFFFFFFF))
    return _binary("Add", _binary("Mul", hi, [(CONST, 4294967296.0)]), lo)


def flipped(tree: Tree) -> Tree:
    """A uint64 value with its top bit flipped: int64's order of these is uint64's order of
    the values, so that a minimum or maximum of them, flipped back, is the unsigned one."""
    return _binary("BitwiseXor", tree, _const(_TOP))


def unflipped(result: Any) -> Any:
    """`flipped`'s reduced values back to uint64."""
    return np.bitwise_xor(np.asarray(result), np.int64(_TOP)).view(UINT64)


def compare(name: str, left: Operand, right: Operand) -> Tree:
    """The exact comparison of two integer values, either of them uint64 (int64's bits)."""
    if left.value is not None or right.value is not None:
        return _compare_constant(name, left, right)
    if not (left.huge or right.huge) or (left.huge and right.huge and name in ("Eq", "Ne")):
        return _compare(name, left.tree, right.tree)  # equal bits, or both exact in int64
    if left.huge and right.huge:  # flipped, signed order is unsigned order
        return _compare(name, flipped(left.tree), flipped(right.tree))
    # One uint64 x against a value y exact in int64 (any signed or narrower integer): where x
    # reads as negative it is at least 2**63, above every y; elsewhere x reads as itself.
    x = left if left.huge else right
    above = _TRUTH[name](1, 0) if x is left else _TRUTH[name](0, 1)
    plain = _compare(name, left.tree, right.tree)
    if above:
        return _binary("BitwiseOr", _compare("Lt", x.tree, _const(0)), plain)
    return _binary("BitwiseAnd", _compare("Ge", x.tree, _const(0)), plain)


def _compare_constant(name: str, left: Operand, right: Operand) -> Tree:
    x, c = (right, left.value) if left.value is not None else (left, right.value)
    assert c is not None
    if c < 0 or c >= 2**64:  # NumPy compares exactly: the same answer for every x
        truth = _TRUTH[name](0, c) if x is left else _TRUTH[name](c, 0)
        return _compare("Eq" if truth else "Ne", x.tree, x.tree)
    if not x.huge and c < 2**63:
        return _compare(name, left.tree, right.tree)
    if name in ("Eq", "Ne"):
        return _compare(name, left.tree, right.tree)
    # c flipped is c - 2**63, within int64.
    trees = [flipped(x.tree), _const(c - 2**63)]
    return _compare(name, *(trees if x is left else trees[::-1]))


def _divide(n: Operand, d: Operand) -> Tuple[Tree, Tree]:
    """NumPy's unsigned n // d and n % d (both 0 where d is 0)."""
    if d.value is not None:
        return _divide_by_constant(n, d.value)
    # Hacker's Delight's divlu over a signed division: q0 = ((n >>> 1) // d) * 2 is q or q - 1,
    # as (n >>> 1) // d is floor(n / 2d) and q = floor(n / d) is 2 floor(n / 2d) or one more;
    # so r = n - q0 * d is below 2d, and one unsigned comparison corrects both. A d of 2**63 or
    # more (negative as int64) takes q0 = 0: q is then 0 or 1, and the same correction finds
    # it. A d of 0 leaves q0 = 0 (the engine's n // 0 is 0) and no correction.
    q0 = _binary("LeftShift", _binary("FloorDivide", _halved(n), d.tree), _const(1))
    if d.huge:
        q0 = _where(_compare("Lt", d.tree, _const(0)), _const(0), q0)
    r = _binary("Sub", n.tree, _binary("Mul", q0, d.tree))
    nonzero = _compare("Ne", d.tree, _const(0))
    # A narrower d is below 2**32, so r (below 2d) reads as itself in int64.
    at_least = compare("Ge", Operand(r, UINT64 if d.huge else None, None), d)
    corrects = _binary("BitwiseAnd", at_least, nonzero)
    quotient = _binary("Add", q0, corrects)
    remainder = _where(corrects, _binary("Sub", r, d.tree),
                       _where(nonzero, r, _const(0)))
    return quotient, remainder


def _divide_by_constant(n: Operand, d: int) -> Tuple[Tree, Tree]:
    if d == 0:  # NumPy: 0 for both
        zero = _binary("BitwiseAnd", n.tree, _const(0))
        return zero, zero
    if d & (d - 1) == 0:  # a power of two: a logical shift and a mask
        return _shift_right_by(n.tree, d.bit_length() - 1), \
            _binary("BitwiseAnd", n.tree, _const(d - 1))
    if d >= 2**63:  # the quotient is 0 or 1
        at_least = compare("Ge", n, Operand(_const(_bits(d)), None, d))
        return _counted(at_least), \
            _where(at_least, _binary("Sub", n.tree, _const(_bits(d))), n.tree)
    # As `_divide`, with d known positive and below 2**63; below 2**62, r (below 2d) reads as
    # itself in int64 and the signed comparison is the unsigned one.
    q0 = _binary("LeftShift", _binary("FloorDivide", _halved(n), _const(d)), _const(1))
    r = _binary("Sub", n.tree, _binary("Mul", q0, _const(d)))
    corrects = _compare("Ge", r, _const(d)) if d < 2**62 else \
        compare("Ge", Operand(r, UINT64, None), Operand(_const(d), None, d))
    return _binary("Add", q0, corrects), _where(corrects, _binary("Sub", r, _const(d)), r)


def _halved(n: Operand) -> Tree:
    """n >>> 1 (logical), as a value exact in int64 whatever n's type."""
    if n.value is not None:
        return _const(n.value >> 1)
    if not n.huge:  # not negative: the arithmetic shift is the logical one
        return _binary("RightShift", n.tree, _const(1))
    return _shift_right_by(n.tree, 1)


def _shift_right_by(tree: Tree, s: int) -> Tree:
    """A uint64 shifted right by a known count: NumPy's 0 from 64 on; below, the arithmetic
    shift with the copies of the sign bit masked off (the low 64 - s bits are the logical
    shift's)."""
    if s == 0:
        return tree
    if s >= 64:
        return _binary("BitwiseAnd", tree, _const(0))
    return _binary("BitwiseAnd", _binary("RightShift", tree, _const(s)),
                   _const((1 << (64 - s)) - 1))


def _shift_right(n: Operand, s: Operand) -> Tree:
    """NumPy's uint64 n >> s: the logical shift below 64, 0 from 64 on."""
    if s.value is not None:
        return _shift_right_by(n.tree if n.value is None else _const(_bits(n.value)), s.value)
    if not n.huge and (n.value is None or n.value < 2**63):
        # Not negative: the arithmetic shift is the logical one, and the engine's int64 shift,
        # as NumPy's, gives the sign (0) for counts from 64 on and for those negative as int64.
        return _binary("RightShift", n.tree, s.tree)
    # (n >>> 1) is not negative: shifted arithmetically by s - 1 it is n >>> s for s from 1 to
    # 63, and 0 from 64 on (s - 1 past 62 as int64, or negative: 0 as above). s = 0 is n.
    shifted = _binary("RightShift", _halved(n), _binary("Sub", s.tree, _const(1)))
    return _where(_compare("Eq", s.tree, _const(0)), n.tree, shifted)


def _counted(truth: Tree) -> Tree:
    """A bool as int64's 1 or 0 (NumPy: a bool plus a Python int is int64)."""
    return _binary("Add", truth, _const(0))


def _bits(value: int) -> int:
    """A Python int of uint64's range as int64's bits."""
    return value - 2**64 if value >= 2**63 else value


def _const(value: int) -> Tree:
    return [(CONST, value)]


def _binary(name: str, left: Tree, right: Tree) -> Tree:
    return left + right + [(BINARY, BY_NAME[name].code)]


def _compare(name: str, left: Tree, right: Tree) -> Tree:
    return left + right + [(COMPARE, BY_NAME[name].code)]


def _where(condition: Tree, then: Tree, otherwise: Tree) -> Tree:
    return condition + then + otherwise + [(SELECT, 0)]
