"""numexpr's interface, computed by quorvaline: ``import quorvaline.numexpr as ne`` runs code
written for numexpr 2.14 unchanged where quorvaline computes what numexpr would.

`evaluate`, `validate`, `re_evaluate` and `NumExpr` take numexpr's arguments with numexpr's
meanings (names looked up in `local_dict` or the caller's local variables, then `global_dict`
or its globals; `out`, `order`, `casting`; inputs of a `NumExpr` by position in its
signature's order, or sorted by name). Results are float64, or bool for a comparison or
a test (``isnan``, ``isinf``, ``isfinite``, ``signbit``). A
reduction written as the outermost call (``sum(a*b)``, ``max(x**2, axis=1)``, ``prod``,
``min``) runs in one pass, without storing the formula's values; its axis may also be
negative, as in NumPy (numexpr refuses negative axes).

Where quorvaline cannot give what numexpr gives, it says so with `NotImplementedError` instead
of computing something else: results of another dtype (integer, float32, complex), strings,
functions that quorvaline's formulas lack, and Intel's VML.
"""
from __future__ import annotations

import ast
import functools
import os
import sys
import threading
import weakref
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

import numpy as np

from quorvaline import _native, _operands
from quorvaline._factories import kernel
from quorvaline._function_table import numpy_entry
from quorvaline._nodes import ARG, OPERATORS, UNARY
from quorvaline._one_call import _text_kernel
from quorvaline._parser import parse_nodes, reorder
from quorvaline._reductions import split_reduction
from quorvaline._text import formula_text
from quorvaline._threads import get_num_threads as _get_num_threads
from quorvaline._threads import set_num_threads as _set_num_threads
from quorvaline._tracing import Tracer, _as_expr, _Trace

__version__ = "2.14.0"  # the numexpr interface this module follows
use_vml = False

# numexpr's kinds, narrowest first; quorvaline computes the floats and complex.
_BOOL, _INT, _LONG, _FLOAT, _DOUBLE, _COMPLEX = range(6)
_KIND_NAMES = ("bool", "int32", "int64", "float32", "float64", "complex128")
# The functions whose value is real of a complex operand.
_PARTS = frozenset({"real", "imag", "abs"})
# numexpr's functions; a name of a formula that is none of them is refused by the parser.
_NUMEXPR_FUNCTIONS = frozenset(
    "abs arccos arccosh arcsin arcsinh arctan arctan2 arctanh ceil complex conj contains copy "
    "copysign cos cosh exp expm1 floor fmod hypot imag isfinite isinf isnan log log10 log1p log2 "
    "max maximum min minimum nextafter ones_like prod real round sign signbit sin sinh sqrt sum "
    "tan tanh trunc where".split())
# The tests (isnan, ...), which give bools as comparisons do.
_TESTS = frozenset(s for op in OPERATORS if op.predicate and op.kind == UNARY
                   for s in op.spellings)


def detect_number_of_cores() -> int:
    """The CPUs this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def get_num_threads() -> int:
    return _get_num_threads()


def set_num_threads(nthreads: int) -> int:
    """Sets the threads each call may use; returns the previous count, as numexpr does."""
    return _set_num_threads(nthreads)


ncores = detect_number_of_cores()
nthreads = get_num_threads()


def _not_drop_in(what: str) -> NotImplementedError:
    return NotImplementedError(f"quorvaline.numexpr: {what}")


class _Analysis:
    """What a text needs: its names sorted (numexpr's input order), and its result kind as a
    function of the operands' kinds."""

    def __init__(self, text: str) -> None:
        body, self.reduction = split_reduction(text)
        for node in ast.walk(body):
            _check_supported(node)
        self.found = parse_nodes(text, body)[1]
        self.names = sorted(self.found)
        self.body = body

    def kind(self, kinds: Mapping[str, int]) -> int:
        kind = _kind_of(self.body, kinds)
        if self.reduction is not None and self.reduction.op in ("sum", "prod"):
            return max(kind, _LONG)  # numexpr adds up booleans and integers as int64
        return kind

    def kernel(self, text: str, names: Sequence[str]) -> Any:
        """The kernel of the elementwise part, its arguments in the order of `names`."""
        nodes, found = reorder(*parse_nodes(text, self.body), names)
        return kernel.elementwise(_native.expr_from_nodes(found, nodes))


def _check_supported(node: ast.AST) -> None:
    if isinstance(node, ast.Constant) and isinstance(node.value, (str, bytes)):
        raise _not_drop_in("strings are not supported")
    if not (isinstance(node, ast.Call) and isinstance(node.func, ast.Name)):
        return
    name = node.func.id
    if name == "contains":
        raise _not_drop_in("contains() works on strings, which are not supported")
    entry, why = numpy_entry(name)
    if entry is None and name in _NUMEXPR_FUNCTIONS:
        raise _not_drop_in(f"{name}(): {why}")


def _kind_of(node: ast.AST, kinds: Mapping[str, int]) -> int:
    """numexpr's result kind of a syntax node."""
    if isinstance(node, ast.Constant):
        if isinstance(node.value, bool):
            return _BOOL
        if isinstance(node.value, int):
            return _INT if -2 ** 31 <= node.value < 2 ** 31 else _LONG
        return _COMPLEX if isinstance(node.value, complex) else _DOUBLE
    if isinstance(node, ast.Name):
        return kinds.get(node.id, _DOUBLE)
    if isinstance(node, ast.Compare):
        return _BOOL
    if isinstance(node, ast.Attribute) and node.attr in ("real", "imag"):
        return min(_kind_of(node.value, kinds), _DOUBLE)
    if isinstance(node, ast.UnaryOp):
        inner = _kind_of(node.operand, kinds)
        return inner if isinstance(node.op, ast.Invert) else max(inner, _INT)
    if isinstance(node, ast.BinOp):
        left, right = _kind_of(node.left, kinds), _kind_of(node.right, kinds)
        if isinstance(node.op, (ast.BitAnd, ast.BitOr, ast.BitXor)):
            return max(left, right)
        if isinstance(node.op, ast.Div):
            return max(left, right, _FLOAT) if max(left, right) == _FLOAT else _DOUBLE
        return max(left, right, _INT)
    if isinstance(node, ast.Call) and isinstance(node.func, ast.Name):
        args = [_kind_of(a, kinds) for a in node.args]
        if node.func.id == "where":
            return max(args[1:] or [_DOUBLE])
        if node.func.id in _TESTS:
            return _BOOL
        if node.func.id == "complex":
            return _COMPLEX
        if node.func.id in _PARTS and args and args[0] == _COMPLEX:
            return _DOUBLE
        if node.func.id in ("real", "conj", "copy", "ones_like") and len(args) == 1:
            return args[0]
        widest = max(args or [_DOUBLE])
        return widest if widest in (_FLOAT, _COMPLEX) else _DOUBLE
    return _DOUBLE


@functools.lru_cache(maxsize=256)
def _analysis(text: str) -> _Analysis:
    return _Analysis(text)


def _kind_of_operand(name: str, value: np.ndarray) -> int:
    kind, size = value.dtype.kind, value.dtype.itemsize
    if kind == "b":
        return _BOOL
    if kind in "iu":
        return _LONG if size > 4 or (kind == "u" and size == 4) else _INT
    if kind == "f":
        return _DOUBLE if size == 8 else _FLOAT
    if kind in "SU":
        raise _not_drop_in(f"operand '{name}' holds strings, which are not supported")
    if kind == "c" and size <= 16:
        return _COMPLEX
    raise _not_drop_in(f"operand '{name}' has dtype {value.dtype}, which numexpr refuses too")


class _Formula:
    """A formula ready to run: its kernel (or constant expression), input order, and how the
    result's dtype follows from the operands'."""

    def __init__(self, spec: Any, names: Sequence[str], analysis: Optional[_Analysis],
                 truth: bool = False) -> None:
        self.spec = spec
        self.names = tuple(names)
        self.analysis = analysis
        self.truth = truth  # for a NumExpr built from E: a comparison gives bool
        self.reduction = None if analysis is None else analysis.reduction

    def result_kind(self, arrays: Sequence[np.ndarray]) -> int:
        """numexpr's result kind for these operands, or NotImplementedError for an operand that
        quorvaline does not compute (integer kinds are checked against the result)."""
        kinds = {name: _kind_of_operand(name, a) for name, a in zip(self.names, arrays)}
        if self.analysis is not None:
            kind = self.analysis.kind(kinds)
        else:
            kind = _BOOL if self.truth else max([*kinds.values(), _DOUBLE])
        return kind

    @staticmethod
    def check_integers(kind: int, result: np.ndarray) -> None:
        """An integer result is numexpr's only where its dtype is NumPy's too (see the README:
        numexpr's `"1 + 1"` is int32, NumPy's int64); elsewhere a refusal, never other values."""
        if kind in (_INT, _LONG) and result.dtype != np.dtype(_KIND_NAMES[kind]):
            raise _not_drop_in(f"numexpr would give {_KIND_NAMES[kind]} values here, and "
                               f"NumPy's rules give {result.dtype}")

    def run(self, arguments: Sequence[Any], out: Optional[np.ndarray], order: str,
            casting: str) -> np.ndarray:
        arrays = [np.asarray(a) for a in arguments]
        kind = self.result_kind(arrays)
        values = dict(zip(self.names, arrays))
        if self.spec is None or isinstance(self.spec, str):
            result = _operands.run_constant(_text_kernel(self.spec)[1], None)
        elif self.reduction is not None:
            # One pass: the formula's values are folded as they are computed, never stored.
            result = self.reduction.run(self.spec, values, None, self.spec)
        else:
            direct = (out is not None and kind == _DOUBLE and out.dtype == np.float64
                      and out.flags.c_contiguous)
            # The spec is its formula too: narrow dtypes and bools computed as NumPy's.
            result = _operands.run(self.spec, values, out if direct else None, "same_kind",
                                   self.spec)
            if direct:
                return result
        self.check_integers(kind, np.asarray(result))
        if kind == _BOOL:
            result = np.asarray(result != 0.0)  # the comparisons' 1.0 and 0.0, exactly
        if out is not None:
            np.copyto(out, result, casting=casting)  # type: ignore[arg-type]
            return out
        return _operands.lay_out(result, order, values)


def _check_context(kwargs: Dict[str, Any]) -> None:
    allowed = {"optimization": ("none", "moderate", "aggressive"),
               "truediv": (False, True, "auto")}
    for name, value in kwargs.items():
        if name not in allowed:
            raise ValueError(f"Unknown keyword argument '{name}'")
        if value not in allowed[name]:
            raise ValueError(f"'{name}' must be one of {allowed[name]}")


@functools.lru_cache(maxsize=256)
def _text_formula(text: str) -> _Formula:
    analysis = _analysis(text)
    if not analysis.found:
        return _Formula(text, (), analysis)
    return _Formula(analysis.kernel(text, analysis.names), analysis.names, analysis)


def _arguments(names: Sequence[str], local_dict: Optional[Mapping[str, Any]],
               global_dict: Optional[Mapping[str, Any]], depth: int) -> List[Any]:
    """numexpr's look-up: `local_dict` or the caller's locals, then `global_dict` or its
    globals, then the literal constants; KeyError for a name found nowhere."""
    frame = sys._getframe(depth + 1) if local_dict is None or global_dict is None else None
    scopes = (frame.f_locals if local_dict is None else local_dict,  # type: ignore[union-attr]
              frame.f_globals if global_dict is None else global_dict)  # type: ignore[union-attr]
    arguments = []
    for name in names:
        for scope in scopes:
            if name in scope:
                arguments.append(scope[name])
                break
        else:
            if name not in _operands.LITERALS:
                raise KeyError(name)
            arguments.append(_operands.LITERALS[name])
    return arguments


_last = threading.local()


def validate(ex: str, local_dict: Optional[Mapping[str, Any]] = None,
             global_dict: Optional[Mapping[str, Any]] = None, out: Optional[np.ndarray] = None,
             order: str = "K", casting: str = "safe", _frame_depth: int = 2,
             sanitize: Optional[bool] = None, **kwargs: Any) -> Optional[Exception]:
    """Checks `ex` and its operands; returns None, or the exception `evaluate` would raise.
    On success `re_evaluate` runs it again."""
    try:
        if not isinstance(ex, str):
            raise ValueError("must specify expression as a string")
        _check_context(kwargs)
        formula = _text_formula(ex)
        arguments = _arguments(formula.names, local_dict, global_dict, _frame_depth - 1)
        formula.result_kind([np.asarray(a) for a in arguments])
        if order not in _operands.ORDERS:
            raise ValueError(f"order must be one of 'C', 'F', 'A' or 'K', not {order!r}")
        _last.formula = formula
        _last.kwargs = (None if out is None else weakref.ref(out), order, casting)
    except Exception as error:
        return error
    return None


def evaluate(ex: str, local_dict: Optional[Mapping[str, Any]] = None,
             global_dict: Optional[Mapping[str, Any]] = None, out: Optional[np.ndarray] = None,
             order: str = "K", casting: str = "same_kind", sanitize: Optional[bool] = None,
             _frame_depth: int = 3, disable_cache: bool = False, **kwargs: Any) -> np.ndarray:
    """Evaluates the formula text `ex` elementwise (or its outermost reduction, in one pass),
    as numexpr's `evaluate`; the text is parsed, never run (so `sanitize` has nothing to do)."""
    if not isinstance(ex, str):
        raise ValueError("must specify expression as a string")
    _check_context(kwargs)
    formula = _text_formula(ex)
    arguments = _arguments(formula.names, local_dict, global_dict, _frame_depth - 2)
    if not disable_cache:
        _last.formula = formula
        _last.kwargs = (None if out is None else weakref.ref(out), order, casting)
    return formula.run(arguments, out, order, casting)


def re_evaluate(local_dict: Optional[Mapping[str, Any]] = None,
                global_dict: Optional[Mapping[str, Any]] = None,
                _frame_depth: int = 2) -> np.ndarray:
    """Runs the formula of this thread's last `evaluate` or `validate` again, on the
    operands its names have now."""
    formula: Optional[_Formula] = getattr(_last, "formula", None)
    if formula is None:
        raise RuntimeError("A previous evaluate() execution was not found, please call "
                           "`validate` or `evaluate` once before `re_evaluate`")
    out_ref, order, casting = _last.kwargs
    arguments = _arguments(formula.names, local_dict, global_dict, _frame_depth - 1)
    return formula.run(arguments, None if out_ref is None else out_ref(), order, casting)


def disassemble(nex: Any) -> List[Any]:
    """numexpr's program listing, which quorvaline's kernels do not have."""
    raise _not_drop_in("disassemble(): quorvaline compiles formulas to programs of its own, "
                       "not numexpr's")


class _Variables:
    """numexpr's `E`: ``E.a`` is the variable named a, for formulas built with operators."""

    def __init__(self) -> None:
        self._trace = _Trace("NumExpr")
        self._names: List[str] = []

    def __getattr__(self, name: str) -> Tracer:
        if name.startswith("__"):
            raise AttributeError(name)
        if name not in self._names:
            self._names.append(name)
        return Tracer(((ARG, self._names.index(name)),), False, self._trace)


E = _Variables()


class _CompiledNumExpr:
    """A compiled formula called as numexpr's NumExpr objects are: inputs by position."""

    def __init__(self, formula: _Formula, text: str) -> None:
        self._formula = formula
        self.input_names = formula.names
        self.signature = "d" * len(formula.names)
        self._text = text

    def __call__(self, *args: Any, out: Optional[np.ndarray] = None, order: str = "K",
                 casting: str = "safe", ex_uses_vml: bool = False) -> np.ndarray:
        if len(args) != len(self.input_names):
            raise ValueError(f"the formula takes {len(self.input_names)} inputs "
                             f"({', '.join(self.input_names)}), not {len(args)}")
        return self._formula.run(args, out, order, casting)

    run = __call__  # numexpr's other name for the call

    def __repr__(self) -> str:
        return f"NumExpr({self._text!r})"


def NumExpr(ex: Any, signature: Sequence[Tuple[str, Any]] = (), sanitize: bool = True,
            **kwargs: Any) -> _CompiledNumExpr:
    """Compiles `ex` (a text, or a formula built from `E`) once; call the result with the
    inputs by position, in the signature's order or else sorted by name."""
    _check_context(kwargs)
    order = [name for name, _ in signature]
    for name, kind in signature:
        if kind not in (float, np.float64, np.double, "double", "float64"):
            raise _not_drop_in(f"input '{name}' of type {kind!r}: only float64 (double) "
                               "inputs are supported yet")
    if isinstance(ex, str):
        analysis = _analysis(ex)
        names = order or analysis.names
        if not analysis.found:
            return _CompiledNumExpr(_Formula(ex, (), analysis), ex)
        return _CompiledNumExpr(_Formula(analysis.kernel(ex, names), names, analysis), ex)
    if not isinstance(ex, Tracer):
        raise TypeError(f"NumExpr() expects a formula text or one built from E, not "
                        f"'{type(ex).__name__}'")
    built = _as_expr(ex, E._names)
    found, nodes = _native.expr_nodes(built)
    names = order or sorted(found)
    position = {name: names.index(name) for name in found}
    expr = _native.expr_from_nodes(list(names), [
        (ARG, position[found[int(p)]]) if tag == ARG else (tag, p) for tag, p in nodes])
    return _CompiledNumExpr(_Formula(kernel.elementwise(expr), names, None, ex._truth),
                            formula_text(expr))
