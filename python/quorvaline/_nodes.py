"""The node tags and operator codes of the engine's expression tree, as `_native` exchanges
them, and the spellings of the formula text: one table both ways, shared by the parser and
the text form."""
from typing import Dict, Tuple, Union

CONST, ARG, UNARY, BINARY, COMPARE, SELECT = range(6)

# One node: (tag, payload), payload a float for CONST, the argument's position for ARG, the
# operator code for UNARY, BINARY and COMPARE, 0 for SELECT.
Node = Tuple[int, Union[int, float]]

# Codes are positions, as in the engine's operator table.
UNARY_OPS = ("Neg", "Abs", "Sqrt", "Log", "Exp", "Log2", "Log10", "Floor", "Ceil", "Round",
             "Sin", "Cos", "Tan")
BINARY_OPS = ("Add", "Sub", "Mul", "Div", "Pow", "Atan2", "Min", "Max")
COMPARE_OPS = ("Gt", "Ge", "Lt", "Le", "Eq", "Ne")

NEG = UNARY_OPS.index("Neg")
ADD, SUB, MUL, DIV, POW, ATAN2, MIN, MAX = range(8)
EQ = COMPARE_OPS.index("Eq")

# Operators written between their operands: code -> symbol.
BINARY_SYMBOLS: Dict[int, str] = {ADD: "+", SUB: "-", MUL: "*", DIV: "/", POW: "**"}
COMPARE_SYMBOLS: Tuple[str, ...] = (">", ">=", "<", "<=", "==", "!=")

# Functions by name: (tag, operator code, number of arguments). The first name given for a
# node is the one the text form writes; the others are numexpr's spellings.
# The engine's own round, min and max are kernel_round, kernel_min and kernel_max: in
# numexpr's and NumPy's texts round halves to even and min(x, 0), max(x, 0) are reductions.
FUNCTIONS: Dict[str, Tuple[int, int, int]] = {
    **{name.lower(): (UNARY, code, 1) for code, name in enumerate(UNARY_OPS)
       if name not in ("Neg", "Round")},
    "kernel_round": (UNARY, UNARY_OPS.index("Round"), 1),
    "absolute": (UNARY, UNARY_OPS.index("Abs"), 1),
    "pow": (BINARY, POW, 2),
    "power": (BINARY, POW, 2),
    "atan2": (BINARY, ATAN2, 2),
    "arctan2": (BINARY, ATAN2, 2),
    "kernel_min": (BINARY, MIN, 2),
    "minimum": (BINARY, MIN, 2),
    "kernel_max": (BINARY, MAX, 2),
    "maximum": (BINARY, MAX, 2),
    "where": (SELECT, 0, 3),
}

# A constant given by its IEEE 754 bits: the text form's spelling of NaN payloads.
FROM_BITS = "from_bits"

FUNCTION_NAMES: Dict[Tuple[int, int], str] = {}
for _name, (_tag, _code, _arity) in FUNCTIONS.items():
    FUNCTION_NAMES.setdefault((_tag, _code), _name)
