"""Formulas written as Python functions with NumPy's functions.

The function is called once with a tracer for each parameter. A tracer takes Python's
operators and NumPy's functions (through `__array_ufunc__` and `__array_function__`) and
records the engine's nodes for them, so that one function runs on arrays under NumPy and
compiles here: ``qv.evaluate(lambda x: np.sin(x) ** 2, x=a)``. NumPy's functions are mapped
through the package's one function table; what has no counterpart with NumPy's meaning is
refused with a `TypeError` naming the function, never computed otherwise.

Functions written with the `kernel` object's functions (which take `Expr` objects) still
compile: when a call fails on a tracer for a reason of its own, the function is called again
with `Expr` arguments, as before tracers existed.
"""
from __future__ import annotations

import math
import numbers
from types import CodeType, FunctionType
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

from _quorvaline import Expr
from quorvaline import _native
from quorvaline._factories import kernel
from quorvaline._function_table import numpy_entry, round_nodes
from quorvaline._int_parts import int_nodes
from quorvaline._nodes import (
    ARG,
    BINARY,
    BY_NAME,
    COMPARE,
    COMPLEX,
    CONST,
    PREDICATES,
    SELECT,
    UNARY,
    Node,
    complex_nodes,
)

_MOD, _FLOORDIV = "operator '%' (np.remainder)", "operator '//' (np.floor_divide)"
_FLOOR = "floor_divide"
ADD, SUB, MUL, DIV, POW, NEG, _INVERT = (
    BY_NAME[op].code for op in ("Add", "Sub", "Mul", "Div", "Pow", "Neg", "Invert"))
_BITWISE = {symbol: BY_NAME[op].code for symbol, op in [
    ("&", "BitwiseAnd"), ("|", "BitwiseOr"), ("^", "BitwiseXor")]}
_SHIFT = {symbol: BY_NAME[name].code for symbol, name in [
    ("<<", "LeftShift"), (">>", "RightShift")]}
_GT, _GE, _LT, _LE, _EQ, _NE = (BY_NAME[op].code for op in ("Gt", "Ge", "Lt", "Le", "Eq", "Ne"))

# NumPy's reductions: no elementwise formula has them.
_REDUCTIONS = {"sum", "prod", "product", "min", "max", "amin", "amax", "mean", "average", "std",
               "var", "median", "nansum", "nanprod", "nanmin", "nanmax", "nanmean", "cumsum",
               "cumprod", "all", "any", "argmin", "argmax", "ptp"}


class TraceRefusal(TypeError):
    """What a tracer cannot translate: raised as it is, never retried with `Expr` arguments."""


class _Trace:
    __slots__ = ("name",)

    def __init__(self, name: str) -> None:
        self.name = name

    def refuse(self, what: str) -> TraceRefusal:
        return TraceRefusal(f"{self.name}() cannot be compiled: {what}")


class Tracer:
    """A parameter of a function being compiled, or a formula built from parameters."""

    __slots__ = ("_nodes", "_truth", "_trace")
    __hash__ = None  # type: ignore[assignment]  # == builds a comparison

    def __init__(self, nodes: Tuple[Node, ...], truth: bool, trace: _Trace) -> None:
        self._nodes = nodes
        self._truth = truth  # a comparison or a logical operator's value: a bool
        self._trace = trace

    def __repr__(self) -> str:
        return f"<quorvaline tracer in {self._trace.name}()>"

    # Python's operators --------------------------------------------------------------------
    def __add__(self, other: Any) -> Any: return self._binary(other, BINARY, ADD)
    def __radd__(self, other: Any) -> Any: return self._binary(other, BINARY, ADD, True)
    def __sub__(self, other: Any) -> Any: return self._binary(other, BINARY, SUB)
    def __rsub__(self, other: Any) -> Any: return self._binary(other, BINARY, SUB, True)
    def __mul__(self, other: Any) -> Any: return self._binary(other, BINARY, MUL)
    def __rmul__(self, other: Any) -> Any: return self._binary(other, BINARY, MUL, True)
    def __truediv__(self, other: Any) -> Any: return self._binary(other, BINARY, DIV)
    def __rtruediv__(self, other: Any) -> Any: return self._binary(other, BINARY, DIV, True)
    def __gt__(self, other: Any) -> Any: return self._binary(other, COMPARE, _GT)
    def __ge__(self, other: Any) -> Any: return self._binary(other, COMPARE, _GE)
    def __lt__(self, other: Any) -> Any: return self._binary(other, COMPARE, _LT)
    def __le__(self, other: Any) -> Any: return self._binary(other, COMPARE, _LE)
    def __eq__(self, other: Any) -> Any: return self._binary(other, COMPARE, _EQ)
    def __ne__(self, other: Any) -> Any: return self._binary(other, COMPARE, _NE)
    def __mod__(self, other: Any) -> Any: return self._numpy("remainder", _MOD, self, other)
    def __rmod__(self, other: Any) -> Any: return self._numpy("remainder", _MOD, other, self)
    def __floordiv__(self, other: Any) -> Any: return self._numpy(_FLOOR, _FLOORDIV, self, other)
    def __rfloordiv__(self, other: Any) -> Any: return self._numpy(_FLOOR, _FLOORDIV, other, self)
    def __and__(self, other: Any) -> Any: return self._logic(other, "&")
    def __rand__(self, other: Any) -> Any: return self._logic(other, "&")
    def __or__(self, other: Any) -> Any: return self._logic(other, "|")
    def __ror__(self, other: Any) -> Any: return self._logic(other, "|")
    def __xor__(self, other: Any) -> Any: return self._logic(other, "^")
    def __rxor__(self, other: Any) -> Any: return self._logic(other, "^")
    def __lshift__(self, other: Any) -> Any: return self._shift(other, "<<")
    def __rlshift__(self, other: Any) -> Any: return self._shift(other, "<<", True)
    def __rshift__(self, other: Any) -> Any: return self._shift(other, ">>")
    def __rrshift__(self, other: Any) -> Any: return self._shift(other, ">>", True)

    def __pow__(self, other: Any, mod: Any = None) -> Any:
        if mod is not None:
            raise self._trace.refuse("pow() with a modulus")
        return self._binary(other, BINARY, POW)

    def __rpow__(self, other: Any, mod: Any = None) -> Any:
        return self._binary(other, BINARY, POW, True)

    def __neg__(self) -> Tracer:
        if self._truth:  # NumPy refuses to negate booleans
            raise self._trace.refuse("'-' of a comparison: NumPy refuses it on booleans; "
                                     "write -1.0 * (x > 0)")
        return Tracer((*self._nodes, (UNARY, NEG)), False, self._trace)

    def __pos__(self) -> Tracer:
        return self

    def __abs__(self) -> Tracer:
        return self._numpy("absolute", "abs()", self)

    def __invert__(self) -> Tracer:
        return self._not()

    def __round__(self, ndigits: Any = None) -> Any:
        return self._round(ndigits, "round()")

    def __bool__(self) -> bool:
        raise self._trace.refuse(
            "the truth of a parameter is not known while compiling (if, and, or, not, chained "
            "comparisons such as 0 < x < 1): use np.where(cond, a, b), & and |")

    def __float__(self) -> float:
        raise self._trace.refuse("a parameter cannot become a Python number (math.sin(x), "
                                 "float(x)): use NumPy's functions, such as np.sin(x)")

    __int__ = __index__ = __complex__ = __float__

    def __len__(self) -> int:
        raise self._trace.refuse("len() of a parameter: a formula is elementwise")

    def __getitem__(self, key: Any) -> Any:
        raise self._trace.refuse("indexing a parameter: a formula is elementwise")

    def __iter__(self) -> Any:
        raise self._trace.refuse("iterating over a parameter: a formula is elementwise")

    def __matmul__(self, other: Any) -> Any:
        raise self._trace.refuse("operator '@': a formula is elementwise")

    __rmatmul__ = __matmul__

    # NumPy's protocols ------------------------------------------------------------------------
    def __array__(self, *args: Any, **kwargs: Any) -> Any:
        raise self._trace.refuse("a parameter cannot become a NumPy array inside the function")

    def __array_ufunc__(self, ufunc: np.ufunc, method: str, *inputs: Any, **kwargs: Any) -> Any:
        name = ufunc.__name__
        if method != "__call__":
            raise self._trace.refuse(f"np.{name}.{method} is a reduction or another "
                                     "non-elementwise use of np." + name)
        if kwargs:
            raise self._trace.refuse(f"keyword '{next(iter(kwargs))}' of np.{name}")
        op = _UFUNC_OPERATORS.get(name)
        if op is not None:
            return op(*(self._operand(v, f"np.{name}") for v in inputs))
        return self._numpy(name, f"np.{name}", *inputs)

    def __array_function__(self, func: Any, types: Any, args: Any, kwargs: Any) -> Any:
        name = func.__name__
        if name == "where" and len(args) + len(kwargs) == 3 and not kwargs:
            return self._numpy("where", "np.where", *args)
        if name == "clip":
            return self._clip(*args, **kwargs)
        if name in ("real", "imag") and len(args) == 1 and not kwargs:
            return self._numpy(name, f"np.{name}", *args)
        if name in ("round", "around"):
            return self._round(kwargs.get("decimals", args[1] if len(args) > 1 else 0),
                               f"np.{name}", args[0], kwargs)
        if name in _REDUCTIONS:
            raise self._trace.refuse(
                f"np.{name} is a reduction, which a formula does not hold: compute the "
                f"formula, then reduce the result (qv.sum, qv.min, qv.max, qv.mean)")
        raise self._trace.refuse(f"np.{name} has no translation into a formula")

    # Building --------------------------------------------------------------------------------
    def _operand(self, value: Any, where: str) -> Tracer:
        operand = _operand_or_none(value, self._trace)
        if operand is None:
            raise self._trace.refuse(_foreign(value, where))
        return operand

    def _binary(self, other: Any, tag: int, code: int, reflected: bool = False) -> Any:
        operand = _operand_or_none(other, self._trace)
        if operand is None:
            return NotImplemented
        left, right = (operand, self) if reflected else (self, operand)
        if tag == BINARY and code in (ADD, SUB) and left._truth and right._truth:
            # NumPy adds booleans as "or" and refuses to subtract them; 1.0 + 1.0 is 2.0 here.
            symbol = "+" if code == ADD else "-"
            raise self._trace.refuse(f"'{symbol}' between two comparisons: NumPy computes it on "
                                     "booleans, quorvaline on 1.0 and 0.0; write | for 'or', or "
                                     "1.0 * (a > b) for numbers")
        return Tracer((*left._nodes, *right._nodes, (tag, code)), tag == COMPARE, self._trace)

    # NumPy's bitwise operators: on bools "and", "or", "xor" and "not"; the engine refuses
    # float operands as NumPy does, once their dtypes are known. The value is a truth when the
    # operands are; over parameters it is whatever their dtypes make it (integers on integers).
    def _logic(self, other: Any, symbol: str) -> Tracer:
        operand = self._operand(other, f"operator '{symbol}'")
        return Tracer((*self._nodes, *operand._nodes, (BINARY, _BITWISE[symbol])),
                      self._truth and operand._truth, self._trace)

    def _shift(self, other: Any, symbol: str, reflected: bool = False) -> Any:
        return self._binary(other, BINARY, _SHIFT[symbol], reflected)

    def _not(self) -> Tracer:
        return Tracer((*self._nodes, (UNARY, _INVERT)), self._truth, self._trace)

    def _truth_of(self) -> Tracer:
        return self if self._truth else self != 0.0  # NaN is true, as bool(nan)

    def _numpy(self, name: str, written: str, *inputs: Any) -> Tracer:
        """NumPy's function `name` through the function table, or a refusal naming it."""
        entry, why = numpy_entry(name)
        if entry is None:
            raise self._trace.refuse(f"{written}: {why}")
        tag, code, arity = entry
        if len(inputs) != arity:
            raise self._trace.refuse(f"{written} takes {arity} operands here, not {len(inputs)}")
        operands = [self._operand(v, written) for v in inputs]
        nodes: Tuple[Node, ...] = tuple(n for o in operands for n in o._nodes)
        truth = (tag, code) in PREDICATES or (
            tag == SELECT and operands[1]._truth and operands[2]._truth)
        return Tracer((*nodes, (tag, 0 if tag == SELECT else code)), truth, self._trace)

    def _clip(self, a: Any, a_min: Any = np._NoValue, a_max: Any = np._NoValue,
              out: Any = None, **kwargs: Any) -> Tracer:
        lo = kwargs.pop("min", a_min)
        hi = kwargs.pop("max", a_max)
        if out is not None or kwargs:
            keyword = "out" if out is not None else next(iter(kwargs))
            raise self._trace.refuse(f"keyword '{keyword}' of np.clip")
        # NumPy's clip, bit for bit: a NaN bound wins (the lower one first), then a NaN a; a
        # value equal to a bound (+0.0 against -0.0 too) is kept; a_min > a_max gives a_max.
        has_lo = lo is not None and lo is not np._NoValue
        has_hi = hi is not None and hi is not np._NoValue
        result = self._operand(a, "np.clip")
        constant = True
        if has_lo:
            bound = self._operand(lo, "np.clip")
            result = self._numpy("maximum", "np.clip", bound, result)
            constant = len(bound._nodes) == 1 and bound._nodes[0][0] == CONST
            if constant and math.isnan(bound._nodes[0][1]):
                return result  # a NaN lower bound is every element
        if has_hi:
            result = self._numpy("minimum", "np.clip", hi, result)
            if not constant:  # a NaN lower bound wins over a NaN upper one
                nan_bound = self._numpy("isnan", "np.clip", bound)
                result = self._numpy("where", "np.clip", nan_bound, bound, result)
        return result

    def _round(self, decimals: Any, written: str, value: Any = None,
               kwargs: Optional[Dict[str, Any]] = None) -> Tracer:
        extra = set(kwargs or ()) - {"decimals"}
        if extra:
            raise self._trace.refuse(f"keyword '{min(extra)}' of {written}")
        if decimals is None:
            decimals = 0
        if isinstance(decimals, bool) or not isinstance(decimals, numbers.Integral):
            raise self._trace.refuse(f"{written} with decimals that are not an integer")
        operand = self._operand(self if value is None else value, written)
        return Tracer((*operand._nodes, *round_nodes(int(decimals))), False, self._trace)


def _operand_or_none(value: Any, trace: _Trace) -> Optional[Tracer]:
    if isinstance(value, Tracer):
        return value if value._trace is trace else None
    if isinstance(value, np.ndarray) and value.ndim == 0 and value.dtype.kind in "biufc":
        value = value[()]  # strong, as a NumPy scalar
    if isinstance(value, (bool, np.bool_)):  # NumPy's bool beside arrays
        return Tracer(((CONST, bool(value)),), True, trace)
    if isinstance(value, np.generic) and value.dtype.kind in "iufc":
        return Tracer(_typed_nodes(value, trace), False, trace)
    if isinstance(value, numbers.Integral) and -(2 ** 63) <= int(value) < 2 ** 63:
        return Tracer(((CONST, int(value)),), False, trace)  # promoted as an integer
    if type(value) is int:  # exact, as a part over Python ints alone
        try:
            return Tracer(int_nodes(value), False, trace)
        except OverflowError:
            raise trace.refuse(f"the integer {value} is too large for float64") from None
    if isinstance(value, numbers.Real) and not isinstance(value, np.timedelta64):
        try:
            return Tracer(((CONST, float(value)),), isinstance(value, np.bool_), trace)
        except OverflowError:
            raise trace.refuse(f"the integer {value} is too large for float64") from None
    if isinstance(value, numbers.Complex) or (
            isinstance(value, np.ndarray) and value.ndim == 0 and value.dtype.kind == "c"):
        return Tracer(complex_nodes(complex(value)), False, trace)
    return None


# NumPy scalars a formula holds as constants of their dtype; complex ones as their parts'.
_TYPED = {np.dtype(t): np.dtype(t) for t in (np.int32, np.int64, np.float32, np.float64)}
_TYPED.update({np.dtype(np.complex64): np.dtype(np.float32),
               np.dtype(np.complex128): np.dtype(np.float64)})


def _typed_nodes(value: np.generic, trace: _Trace) -> Tuple[Node, ...]:
    """A NumPy scalar as constants that keep its dtype, strong as NumPy takes it."""
    parts = _TYPED.get(value.dtype)
    if parts is None:
        raise trace.refuse(
            f"a NumPy {value.dtype} scalar inside the function: a formula holds constants of "
            f"bool, int32, int64, float32, float64, complex64 and complex128 alone; pass it as "
            f"an operand to keep its dtype")
    if value.dtype.kind != "c":
        return ((CONST, value),)
    return (CONST, parts.type(value.real)), (CONST, parts.type(value.imag)), (BINARY, COMPLEX)


def _foreign(value: Any, where: str) -> str:
    if isinstance(value, np.ndarray):
        return (f"an array inside the function ({where}): pass it as a parameter, so that it "
                "is an operand of the formula")
    if isinstance(value, Expr):
        return f"an Expr inside the function ({where}): write the formula with its parameters"
    return f"{where} of a '{type(value).__name__}' value"


def _logical(kind: str) -> Callable[..., Tracer]:
    def apply(a: Tracer, b: Optional[Tracer] = None) -> Tracer:
        if kind == "not":
            return a._truth_of()._not()
        return a._truth_of()._logic(b._truth_of(), kind)  # type: ignore[union-attr]
    return apply


# NumPy's ufuncs that Python's operators also write: built as the operators build them.
_UFUNC_OPERATORS: Dict[str, Callable[..., Tracer]] = {
    "add": lambda a, b: a + b, "subtract": lambda a, b: a - b,
    "multiply": lambda a, b: a * b, "divide": lambda a, b: a / b,
    "negative": lambda a: -a, "positive": lambda a: a,
    "greater": lambda a, b: a > b, "greater_equal": lambda a, b: a >= b,
    "less": lambda a, b: a < b, "less_equal": lambda a, b: a <= b,
    "equal": lambda a, b: a == b, "not_equal": lambda a, b: a != b,
    "logical_and": _logical("&"), "logical_or": _logical("|"),
    "logical_xor": _logical("^"), "logical_not": _logical("not"),
    "bitwise_and": lambda a, b: a & b, "bitwise_or": lambda a, b: a | b,
    "bitwise_xor": lambda a, b: a ^ b, "invert": lambda a: ~a,
    "left_shift": lambda a, b: a << b, "right_shift": lambda a, b: a >> b,
}


# Functions known to need Expr arguments (they call the kernel object's functions), by code
# object, so that each call does not fail on tracers first.
_expr_only: Dict[CodeType, bool] = {}


def trace(fn: Callable[..., Any], names: Sequence[str], caller: str) -> Any:
    """What `fn` returns for tracers of `names` turned into an `Expr`, or, for a function
    written for `Expr` arguments, what it returns for those."""
    code = fn.__code__ if type(fn) is FunctionType else None
    if code is None or code not in _expr_only:
        context = _Trace(getattr(fn, "__qualname__", None) or type(fn).__name__)
        params = [Tracer(((ARG, i),), False, context) for i in range(len(names))]
        try:
            built = fn(*params)
        except TraceRefusal:
            raise
        except TypeError as error:
            first: Optional[TypeError] = error
        else:
            return _as_expr(built, names) if isinstance(built, Tracer) else built
        if code is not None:
            if len(_expr_only) >= 1024:
                _expr_only.clear()
            _expr_only[code] = True
    else:
        first = None
    try:
        return fn(*kernel.args(*names))
    except TypeError as error:
        if first is None or "no callable" not in str(error):
            raise
        name = getattr(fn, "__qualname__", None) or type(fn).__name__
        raise TypeError(
            f"{caller}(): {name}() mixes NumPy's functions with the kernel object's: NumPy's "
            "functions (np.sin(x)) work on the parameters a function receives, and kernel.sin(e) "
            "on Expr objects; write the function with one kind, or the formula as text "
            f"(\"sin(x)\"). NumPy said: {error}") from first


def _as_expr(built: Tracer, names: Sequence[str]) -> Expr:
    # Only the parameters the formula reads become arguments, numbered in parameter order.
    used = sorted({int(p) for tag, p in built._nodes if tag == ARG})
    if not used:
        return built  # type: ignore[return-value]  # a constant: the caller refuses it
    position = {old: new for new, old in enumerate(used)}
    nodes: List[Node] = [(ARG, position[int(p)]) if tag == ARG else (tag, p)
                         for tag, p in built._nodes]
    return _native.expr_from_nodes([names[i] for i in used], nodes)
