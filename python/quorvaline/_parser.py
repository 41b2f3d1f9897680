"""Formulas as text: parsed with Python's `ast` against an allow-list, never evaluated.

The text is read as a Python expression and each syntax node is translated into engine
nodes, or refused with the construct's name and column. Nothing of the text is run: names
become kernel arguments, numbers constants, and calls only the known functions.
"""
from __future__ import annotations

import ast
import re
import struct
from typing import Dict, List, Optional, Sequence, Tuple, Union

from _quorvaline import Expr
from quorvaline import _int_parts, _native
from quorvaline._function_table import closest, round_nodes
from quorvaline._nodes import (
    ARG,
    BINARY,
    COMPARE,
    CONST,
    FROM_BITS,
    FUNCTIONS,
    MUL,
    PREDICATES,
    ROUND,
    SYMBOLS,
    UNARY,
    Node,
    complex_nodes,
)

# Python's operator symbols; the operator each stands for comes from the table.
_BINARY_OPS = {op: SYMBOLS[(BINARY, symbol)] for op, symbol in [
    (ast.Add, "+"), (ast.Sub, "-"), (ast.Mult, "*"), (ast.Div, "/"), (ast.Pow, "**"),
    (ast.Mod, "%"), (ast.FloorDiv, "//")]}
_COMPARE_OPS = {op: SYMBOLS[(COMPARE, symbol)] for op, symbol in [
    (ast.Gt, ">"), (ast.GtE, ">="), (ast.Lt, "<"), (ast.LtE, "<="), (ast.Eq, "=="),
    (ast.NotEq, "!=")]}
_NEGATION = SYMBOLS[(UNARY, "-")]
_INT64_MIN, _INT64_MAX = -(2 ** 63), 2 ** 63 - 1
# NumPy's bitwise operators: on bools (and comparisons, predicates), "and", "or", "xor", "not".
_BITWISE_OPS = {op: SYMBOLS[(BINARY, symbol)] for op, symbol in [
    (ast.BitAnd, "&"), (ast.BitOr, "|"), (ast.BitXor, "^"), (ast.LShift, "<<"),
    (ast.RShift, ">>")]}
_INVERT = SYMBOLS[(UNARY, "~")]
_REFUSED_OPERATORS = {ast.MatMult: "@", ast.Is: "is", ast.IsNot: "is not",
                      ast.In: "in", ast.NotIn: "not in"}
_CONSTRUCTS = {
    ast.Attribute: "attribute access", ast.Subscript: "subscript", ast.Slice: "slice",
    ast.Lambda: "lambda", ast.ListComp: "comprehension", ast.SetComp: "comprehension",
    ast.DictComp: "comprehension", ast.GeneratorExp: "generator expression",
    ast.IfExp: "conditional expression (use where(cond, a, b))",
    ast.NamedExpr: "assignment expression", ast.Starred: "starred expression",
    ast.List: "list", ast.Tuple: "tuple", ast.Set: "set", ast.Dict: "dict",
    ast.JoinedStr: "f-string", ast.Await: "await", ast.Yield: "yield",
    ast.YieldFrom: "yield",
}

# What a finished subtree is, for the bitwise operators: they take bools (names, comparisons,
# predicates, True and False, and 1 and 0, which the text form writes for them) and integers
# (names of integer arrays, which the engine checks, and integer literals), not float
# literals, which NumPy refuses there.
_VALUE, _TRUTH, _NUMBER, _INTEGER = 0, 1, 2, 3
_SHIFTS = (ast.LShift, ast.RShift)


def parse(text: str, names: Optional[Sequence[str]] = None) -> Expr:
    """The `Expr` that a formula text describes, e.g. ``parse("2*a + 3*b")``.

    Allowed: numbers, names, ``+ - * / **``, unary ``-`` and ``+``, comparisons (chains
    such as ``0 < x < 1`` included), ``&``, ``|``, ``^`` and ``~`` over bools and integers,
    parentheses and calls of the known functions by name (ours and numexpr's spellings). Each
    distinct name is one argument; the kernel numbers them in order of first appearance, or in the
    order of `names` when given. Anything else raises `SyntaxError` (not an expression) or
    `ValueError` naming the construct and its column; nothing is ever evaluated.
    """
    nodes, found = parse_nodes(text)
    if not found:
        raise ValueError(f"formula {text.strip()!r} has no names: there is nothing to "
                         "compute for each element")
    if names is not None:
        nodes, found = reorder(nodes, found, names)
    return _native.expr_from_nodes(found, nodes)


def parse_nodes(text: str, body: Optional[ast.expr] = None) -> Tuple[List[Node], List[str]]:
    """The engine nodes of a text (or of `body`, a part of its syntax tree) in post-order,
    and its names in order of first appearance (none for a text of constants alone)."""
    if not isinstance(text, str):
        raise TypeError(f"formula text must be str, not '{type(text).__name__}'")
    return _Translator(text).run(_syntax_tree(text) if body is None else body)


def _syntax_tree(text: str) -> ast.expr:
    try:
        return ast.parse(text.strip(), mode="eval").body
    except UnicodeError as error:
        raise ValueError(f"formula text is not valid Unicode: {error}") from None
    except (RecursionError, MemoryError):
        raise ValueError("formula nested too deeply to parse") from None
    except SyntaxError as error:
        if "too many nested" in str(error):
            raise ValueError("formula nested too deeply to parse") from None
        raise


def reorder(nodes: List[Node], found: List[str], names: Sequence[str]
             ) -> Tuple[List[Node], List[str]]:
    order = list(names)
    if sorted(order) != sorted(found):
        raise ValueError(f"names {order!r} must list each name of the formula once: "
                         f"{sorted(found)!r}")
    position = {name: i for i, name in enumerate(order)}
    return [(ARG, position[found[int(p)]]) if tag == ARG else (tag, p) for tag, p in nodes], order


class _Emit:
    """Engine nodes to append once `arity` operands are finished; `truth` marks results that
    are truths and operands that must not be numbers (for ``& | ^ ~``)."""

    __slots__ = ("nodes", "arity", "truth_operands", "truth_result", "source", "kind", "exact")

    def __init__(self, nodes: List[Node], arity: int, source: ast.AST,
                 truth_operands: bool = False, truth_result: bool = False) -> None:
        self.nodes = nodes
        self.arity = arity
        self.source = source
        self.truth_operands = truth_operands
        self.truth_result = truth_result
        self.kind: Optional[int] = None  # a constant's kind, set by `constant`
        self.exact: Optional[Union[int, float]] = None  # an integer literal's own value


_Item = Union[ast.AST, _Emit]


class _Translator:
    """Walks the syntax tree with an explicit stack (no recursion on its depth) and writes
    engine nodes in post-order, so names appear in the order they stand in the text."""

    def __init__(self, text: str) -> None:
        self.text = text
        self.nodes: List[Node] = []
        self.names: Dict[str, int] = {}
        self.kinds: List[int] = []
        # Per finished subtree: its value as Python computes it, for integer literals and
        # the parts of Python's arithmetic over them alone; None for any other.
        self.exact: List[Optional[Union[int, float]]] = []
        self.sizes: List[int] = []  # per finished subtree: its number of nodes

    def run(self, body: ast.expr) -> Tuple[List[Node], List[str]]:
        work: List[_Item] = [body]
        while work:
            item = work.pop()
            if isinstance(item, _Emit):
                self.emit(item)
            else:
                work.extend(reversed(self.expand(item)))
        return self.nodes, list(self.names)

    def emit(self, e: _Emit) -> None:
        operands = self.kinds[len(self.kinds) - e.arity:]
        del self.kinds[len(self.kinds) - e.arity:]
        if e.truth_operands and _NUMBER in operands:
            raise self.refuse(e.source, f"operator '{_symbol(e.source)}' takes bools and "
                                        "integers, not float numbers other than 1.0 and 0.0 "
                                        "(NumPy refuses them), e.g. (a > 0) & (b < 1)")
        exact = self.exact[len(self.exact) - e.arity:]
        del self.exact[len(self.exact) - e.arity:]
        size = sum(self.sizes[len(self.sizes) - e.arity:])
        del self.sizes[len(self.sizes) - e.arity:]
        known = [v for v in exact if v is not None]
        folded = self.fold(e, known) if e.arity > 0 and len(known) == e.arity else None
        self.exact.append(folded if folded is not None else e.exact)
        # Integer literals alone: Python's value, as Python computes it before NumPy sees it
        # (exact, where the engine's 64-bit constants would round or wrap).
        if folded is not None:
            del self.nodes[len(self.nodes) - size:]
            if type(folded) is int:
                self.number(e.source, folded)  # refused past float64
                nodes = _int_parts.int_nodes(folded)
            else:
                nodes = ((CONST, folded),)
            self.nodes.extend(nodes)
            self.kinds.append(_constant_kind(folded))
            self.sizes.append(len(nodes))
            return
        compared = _int_parts.exact_comparison(e.nodes, known) if len(known) == 2 else None
        if compared is not None:
            del self.nodes[len(self.nodes) - size:]
            self.nodes.extend(compared)
            size = len(compared)
        self.nodes.extend(e.nodes)
        kind = e.kind if e.kind is not None else _TRUTH if e.truth_result else _VALUE
        self.kinds.append(kind)
        self.sizes.append(size + len(e.nodes))

    def fold(self, e: _Emit, values: List[Union[int, float]]) -> Optional[Union[int, float]]:
        if len(e.nodes) != 1:
            return None
        tag, code = e.nodes[0]
        try:
            return _int_parts.fold(tag, int(code), values)
        except (ZeroDivisionError, OverflowError, ValueError) as error:
            # What Python would raise computing the literals, as parse refuses: ValueError.
            raise self.refuse(e.source, f"{type(error).__name__}: {error}") from None

    def leaf(self, node: Node, source: ast.AST) -> List[_Item]:
        return [_Emit([node], 0, source)]

    def constant(self, value: Union[int, float, complex], source: ast.AST,
                 exact: Optional[Union[int, float]] = None) -> List[_Item]:
        nodes: List[Node] = (list(complex_nodes(value)) if isinstance(value, complex)
                             else [(CONST, value)])
        e = _Emit(nodes, 0, source)
        e.kind = _constant_kind(value)
        e.exact = exact
        if type(exact) is int and not _INT64_MIN <= exact <= _INT64_MAX:
            e.nodes = list(_int_parts.int_nodes(exact))  # exact, past int64's constants
            e.kind = _INTEGER
        return [e]

    def expand(self, n: ast.AST) -> List[_Item]:
        if isinstance(n, ast.Constant):
            return self.constant(self.literal(n, n.value), n, _integer(n.value))
        if isinstance(n, ast.Name):
            return self.leaf((ARG, self.argument(n)), n)
        if isinstance(n, ast.UnaryOp):
            return self.unary(n)
        if isinstance(n, ast.BinOp):
            return self.binary(n)
        if isinstance(n, ast.Compare):
            return self.compare(n)
        if isinstance(n, ast.Call):
            return self.call(n)
        if isinstance(n, ast.Attribute) and n.attr in ("real", "imag"):
            tag, code, _ = FUNCTIONS[n.attr]  # NumPy's attributes are its functions
            return [n.value, _Emit([(tag, code)], 1, n)]
        if isinstance(n, ast.BoolOp):
            word = "and" if isinstance(n.op, ast.And) else "or"
            raise self.refuse(n, f"'{word}' is not allowed in a formula (use "
                                 f"{'&' if word == 'and' else '|'} between comparisons)")
        raise self.refuse_construct(n, _CONSTRUCTS.get(type(n), type(n).__name__))

    def unary(self, n: ast.UnaryOp) -> List[_Item]:
        if isinstance(n.op, ast.UAdd):
            return [n.operand]
        if isinstance(n.op, ast.USub):
            # A negative literal is one constant, as Python reads it.
            if isinstance(n.operand, ast.Constant):
                value = n.operand.value
                if isinstance(value, int) and not isinstance(value, bool):
                    return self.constant(self.number(n, -value), n, -value)
                negated = -self.literal(n.operand, value)
                return self.constant(negated, n, _integer(negated))
            return [n.operand, _Emit([(UNARY, _NEGATION)], 1, n)]
        if isinstance(n.op, ast.Invert):
            return [n.operand, _Emit([(UNARY, _INVERT)], 1, n, True, True)]
        raise self.refuse(n, "'not' is not allowed in a formula (use ~ on a comparison)")

    def binary(self, n: ast.BinOp) -> List[_Item]:
        op = type(n.op)
        if op in _BINARY_OPS:
            return [n.left, n.right, _Emit([(BINARY, _BINARY_OPS[op])], 2, n)]
        if op in _BITWISE_OPS:
            truth = op not in _SHIFTS  # a shift gives an integer
            return [n.left, n.right, _Emit([(BINARY, _BITWISE_OPS[op])], 2, n, True, truth)]
        raise self.refuse_construct(n, f"operator '{_REFUSED_OPERATORS.get(op, op.__name__)}'")

    def compare(self, n: ast.Compare) -> List[_Item]:
        # a < b < c is (a < b) & (b < c), as Python reads a chain.
        operands = [n.left, *n.comparators]
        items: List[_Item] = []
        for i, op in enumerate(n.ops):
            code = _COMPARE_OPS.get(type(op))
            if code is None:
                raise self.refuse_construct(n, f"operator '{_REFUSED_OPERATORS[type(op)]}'")
            items += [operands[i], operands[i + 1], _Emit([(COMPARE, code)], 2, n, False, True)]
            if i > 0:
                items.append(_Emit([(BINARY, MUL)], 2, n, True, True))
        return items

    def call(self, n: ast.Call) -> List[_Item]:
        if not isinstance(n.func, ast.Name):
            raise self.refuse_construct(
                n.func, _CONSTRUCTS.get(type(n.func), "call of an expression"))
        name = n.func.id
        if n.keywords:
            raise self.refuse_construct(n.keywords[0], f"keyword argument in {name}()")
        for a in n.args:
            if isinstance(a, ast.Starred):
                raise self.refuse_construct(a, "starred argument")
        if name == FROM_BITS:
            return self.leaf((CONST, self.from_bits(n)), n)
        if name not in FUNCTIONS:
            near = closest(name, [FROM_BITS])
            raise self.refuse(n.func, f"unknown function '{name}'{near}")
        if name == ROUND and len(n.args) == 2:
            return [n.args[0], _Emit(round_nodes(self.decimals(n.args[1])), 1, n)]
        tag, code, arity = FUNCTIONS[name]
        if len(n.args) != arity:
            plural = "" if arity == 1 else "s"
            raise self.refuse(n, f"{name}() takes {arity} argument{plural}, not {len(n.args)}")
        return [*n.args, _Emit([(tag, code)], arity, n, truth_result=(tag, code) in PREDICATES)]

    def decimals(self, n: ast.expr) -> int:
        sign = -1 if isinstance(n, ast.UnaryOp) and isinstance(n.op, ast.USub) else 1
        literal = n.operand if sign < 0 else n  # type: ignore[attr-defined]
        if not isinstance(literal, ast.Constant) or type(literal.value) is not int:
            raise self.refuse(n, "round()'s decimals must be an integer literal")
        return sign * literal.value

    def literal(self, n: ast.AST, value: object) -> Union[int, float, complex]:
        """A number written in the text: complex ones (`1j`) too."""
        return value if isinstance(value, complex) else self.number(n, value)

    def number(self, n: ast.AST, value: object) -> Union[int, float]:
        if isinstance(value, bool):
            return value  # NumPy's bool beside arrays; Python's int among literals
        if isinstance(value, int):
            # An int literal stays an int, as NumPy promotes it (int32 + 2 is int32).
            if _INT64_MIN <= value <= _INT64_MAX:
                return value
            try:
                return float(value)
            except OverflowError:
                raise self.refuse(n, "integer too large for float64") from None
        if isinstance(value, float):
            return value
        kinds: Dict[type, str] = {str: "string", bytes: "bytes"}
        kind = kinds.get(type(value))
        raise self.refuse_construct(n, kind or repr(value))

    def from_bits(self, n: ast.Call) -> float:
        arg = n.args[0] if len(n.args) == 1 else None
        if (not isinstance(arg, ast.Constant) or type(arg.value) is not int
                or not 0 <= arg.value < 2 ** 64):
            raise self.refuse(n, f"{FROM_BITS}() takes one integer literal from 0 to 2**64 - 1")
        return float(struct.unpack("<d", struct.pack("<Q", arg.value))[0])

    def argument(self, n: ast.Name) -> int:
        name = n.id
        if name.startswith("__") and name.endswith("__"):
            raise self.refuse(n, f"name '{name}' is not allowed in a formula (names that "
                                 "begin and end with '__' are reserved)")
        return self.names.setdefault(name, len(self.names))

    def refuse(self, n: ast.AST, message: str) -> ValueError:
        return ValueError(f"{message} ({_where(self.text, n)})")

    def refuse_construct(self, n: ast.AST, construct: str) -> ValueError:
        return self.refuse(n, f"{construct} is not allowed in a formula")


def _integer(value: object) -> Optional[Union[int, float]]:
    # A float too, which Python computes with a bool literal (`2.5 * True` is 2.5, weak).
    return value if type(value) in (int, bool, float) else None  # type: ignore[return-value]


def _constant_kind(value: Union[int, float, complex]) -> int:
    if isinstance(value, complex):
        return _NUMBER
    return _TRUTH if value in (0.0, 1.0) else _INTEGER if isinstance(value, int) else _NUMBER


def _symbol(n: ast.AST) -> str:
    if isinstance(n, ast.UnaryOp):
        return "~"
    if isinstance(n, ast.BinOp):
        return {ast.BitAnd: "&", ast.BitOr: "|", ast.LShift: "<<",
                ast.RShift: ">>"}.get(type(n.op), "^")
    return "<"  # the link of a comparison chain


def _where(text: str, n: ast.AST) -> str:
    """'column C' (and 'line L' past the first) in characters of the text as given."""
    line_no = getattr(n, "lineno", 1)
    offset = getattr(n, "col_offset", 0)
    stripped = text.strip()
    lead = text[:text.find(stripped)] if stripped else ""
    lines = re.split(_NEWLINE, stripped)
    line = lines[line_no - 1] if 0 < line_no <= len(lines) else ""
    column = len(line.encode("utf-8")[:offset].decode("utf-8", "replace")) + 1
    if line_no == 1:
        column += len(re.split(_NEWLINE, lead)[-1])
    line_no += len(re.findall(_NEWLINE, lead))
    return f"column {column}" if line_no == 1 else f"line {line_no}, column {column}"


_NEWLINE = r"\r\n|\r|\n"
