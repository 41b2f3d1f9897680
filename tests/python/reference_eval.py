"""An independent pure-Python model of what kernels and reductions compute, written from the
documented meaning of each operator, for differential tests against the engine. Operators
are keyed by their names in the engine's table; test_operator_table fails for an operator of
the table that has no reference here.

Trees are tuples: ("arg", name), ("const", number), ("un", op, child), ("bin", op, l, r),
("cmp", op, l, r), ("sel", cond, if_true, if_false).
"""
import ctypes
import ctypes.util
import math
import struct

_libm = ctypes.CDLL(ctypes.util.find_library("m"))


def _c(name, arity):
    f = getattr(_libm, name)
    f.restype = ctypes.c_double
    f.argtypes = [ctypes.c_double] * arity
    return f


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def from_bits(u):
    return struct.unpack("<d", struct.pack("<Q", u))[0]


_QUIET = 1 << 51


def _quiet(x):
    return from_bits(bits(x) | _QUIET)


def _math_or_libm(py, c):
    """Python's math calls the platform library for finite arguments but raises where C
    returns an infinity or NaN, and returns NaN inputs unquieted: those go to libm directly."""
    def f(*a):
        if all(math.isfinite(v) for v in a):
            try:
                return py(*a)
            except (ValueError, OverflowError):
                pass
        return c(*a)
    return f


def _arith(raw):
    # x86 rule the engine pins for all four: a NaN left operand wins, then a NaN right one,
    # each quieted; an invalid operation on numbers gives the default NaN.
    def f(l, r):
        if l != l:
            return _quiet(l)
        if r != r:
            return _quiet(r)
        return raw(l, r)
    return f


def _div(l, r):
    if r == 0.0:
        if l == 0.0:
            return from_bits(0xFFF8000000000000)
        negative = (bits(l) ^ bits(r)) >> 63
        return -math.inf if negative else math.inf
    return l / r


def _integral(x):
    return not math.isfinite(x) or abs(x) >= 2.0 ** 52


def _rounded(rounding):
    # The library's roundings return a NaN quieted.
    return lambda x: _quiet(x) if x != x else rounding(x)


def _floor(x):
    if _integral(x):
        return x
    r = float(math.floor(x))
    return r if r != 0.0 else math.copysign(0.0, x)


def _ceil(x):
    if _integral(x):
        return x
    r = float(math.ceil(x))
    return r if r != 0.0 else math.copysign(0.0, x)


def _round(x):
    # Halfway cases away from zero; exact because |x| < 2^52 keeps a - floor(a) exact.
    if _integral(x):
        return x
    a = abs(x)
    r = math.floor(a)
    if a - r >= 0.5:
        r += 1
    return math.copysign(float(r), x)


def _trunc(x):
    return x if _integral(x) else math.copysign(float(math.trunc(x)), x)


def _rint(x):
    # Python's round() of a float halves to even, exactly.
    return x if _integral(x) else math.copysign(float(round(x)), x)


def _copysign(l, r):
    return from_bits((bits(l) & ~(1 << 63)) | (bits(r) & (1 << 63)))


def _sign(x):
    if x != x:
        return x
    return 1.0 if x > 0 else (-1.0 if x < 0 else 0.0)


def _truth(predicate):
    return lambda x: 1.0 if predicate(x) else 0.0


_FMOD = _math_or_libm(math.fmod, _c("fmod", 2))


def _larger_nan(l, r):
    # Of two NaNs, NumPy's remainder gives the larger significand, the positive of equal ones.
    a, b = bits(l) | _QUIET, bits(r) | _QUIET
    ma, mb = a & ~(1 << 63), b & ~(1 << 63)
    return from_bits(a if ma > mb else b if mb > ma else a & b)


def _divmod(a, b):
    """NumPy's floored quotient and remainder for a nonzero b, step by step."""
    mod = _FMOD(a, b)
    div = (a - mod) / b
    if mod:
        if (b < 0) != (mod < 0):
            mod += b
            div -= 1.0
    else:
        mod = math.copysign(0.0, b)
    if div:
        floordiv = _floor(div) if div == div else div
        if div - floordiv > 0.5:
            floordiv += 1.0
    else:
        floordiv = math.copysign(0.0, _div(a, b))
    return floordiv, mod


def _remainder(a, b):
    if a != a and b != b:
        return _larger_nan(a, b)
    return _FMOD(a, b) if b == 0.0 else _divmod(a, b)[1]


def _floor_divide(a, b):
    return _arith(_div)(a, b) if b == 0.0 else _divmod(a, b)[0]


_LOG1P = _math_or_libm(math.log1p, _c("log1p", 1))
_EXP = _math_or_libm(math.exp, _c("exp", 1))
_EXP2 = _math_or_libm(math.exp2, _c("exp2", 1))


def _logaddexp(x, y, exp=_EXP, same=math.log(2.0), scale=1.0):
    if x == y:
        return x + same
    d = x - y
    if d > 0:
        return x + scale * _LOG1P(exp(-d))
    if d <= 0:
        return y + scale * _LOG1P(exp(d))
    return d


def _heaviside(x, h0):
    if x != x:
        return from_bits(0x7FF8000000000000)
    return h0 if x == 0 else (0.0 if x < 0 else 1.0)


def _sqrt(x):
    if x != x:
        return _quiet(x)
    if x < 0.0:
        return from_bits(0xFFF8000000000000)
    return math.sqrt(x)


UNARY = {
    "Neg": lambda x: -x,
    "Abs": math.fabs,
    "Sqrt": _sqrt,
    "Log": _math_or_libm(math.log, _c("log", 1)),
    "Exp": _math_or_libm(math.exp, _c("exp", 1)),
    "Log2": _math_or_libm(math.log2, _c("log2", 1)),
    "Log10": _math_or_libm(math.log10, _c("log10", 1)),
    "Floor": _rounded(_floor),
    "Ceil": _rounded(_ceil),
    "Round": _round,
    "Sin": _math_or_libm(math.sin, _c("sin", 1)),
    "Cos": _math_or_libm(math.cos, _c("cos", 1)),
    "Tan": _math_or_libm(math.tan, _c("tan", 1)),
    "Tanh": _math_or_libm(math.tanh, _c("tanh", 1)),
    "Arcsin": _math_or_libm(math.asin, _c("asin", 1)),
    "Arccos": _math_or_libm(math.acos, _c("acos", 1)),
    "Arctan": _math_or_libm(math.atan, _c("atan", 1)),
    "Arcsinh": _math_or_libm(math.asinh, _c("asinh", 1)),
    "Arccosh": _math_or_libm(math.acosh, _c("acosh", 1)),
    "Arctanh": _math_or_libm(math.atanh, _c("atanh", 1)),
    "Sinh": _math_or_libm(math.sinh, _c("sinh", 1)),
    "Cosh": _math_or_libm(math.cosh, _c("cosh", 1)),
    "Expm1": _math_or_libm(math.expm1, _c("expm1", 1)),
    "Log1p": _math_or_libm(math.log1p, _c("log1p", 1)),
    "Cbrt": _math_or_libm(math.cbrt, _c("cbrt", 1)),
    "Exp2": _math_or_libm(math.exp2, _c("exp2", 1)),
    "Trunc": _rounded(_trunc),
    "Rint": _rounded(_rint),
    "Sign": _sign,
    "Signbit": _truth(lambda x: bits(x) >> 63),
    "Isnan": _truth(math.isnan),
    "Isinf": _truth(math.isinf),
    "Isfinite": _truth(math.isfinite),
    "Square": lambda x: x * x,
    "Reciprocal": lambda x: _div(1.0, x),
    "Positive": lambda x: x,
    "OnesLike": lambda x: 1.0,
    "Real": lambda x: x,
    "Imag": lambda x: 0.0,
    "Conj": lambda x: x,
    "Degrees": lambda x: x * (180.0 / math.pi),
    "Radians": lambda x: x * (math.pi / 180.0),
    "Invert": lambda x: 1.0 if x == 0 else 0.0,
}

def _shift(l, r, shift):
    if not (math.isfinite(l) and math.isfinite(r) and l == int(l) and r == int(r)):
        return math.nan  # not an int64 value: refused before computing
    a, k = int(l), int(r)
    if not 0 <= k < 64:
        return float(-(a < 0)) if shift(-1, 1) < 0 else 0.0
    v = shift(a, k) % 2**64
    return float(v - 2**64 if v >= 2**63 else v)


BINARY = {
    "Add": _arith(lambda l, r: l + r),
    "Sub": _arith(lambda l, r: l - r),
    "Mul": _arith(lambda l, r: l * r),
    "Div": _arith(_div),
    "Pow": _math_or_libm(math.pow, _c("pow", 2)),
    "Atan2": _math_or_libm(math.atan2, _c("atan2", 2)),
    "Min": lambda l, r: r if l != l else (r if r < l else l),
    "Max": lambda l, r: r if l != l else (r if l < r else l),
    "Hypot": _math_or_libm(math.hypot, _c("hypot", 2)),
    "Fmod": _math_or_libm(math.fmod, _c("fmod", 2)),
    "Nextafter": _math_or_libm(math.nextafter, _c("nextafter", 2)),
    "Copysign": _copysign,
    "Fmin": _c("fmin", 2),
    "Fmax": _c("fmax", 2),
    "Minimum": lambda l, r: l if l < r or l != l else r,
    "Maximum": lambda l, r: l if l > r or l != l else r,
    "Remainder": _remainder,
    "FloorDivide": _floor_divide,
    "Logaddexp": _logaddexp,
    "Logaddexp2": lambda x, y: _logaddexp(x, y, _EXP2, 1.0, 1.4426950408889634),
    "Heaviside": _heaviside,
    "BitwiseAnd": lambda l, r: 1.0 if l != 0 and r != 0 else 0.0,
    "BitwiseOr": lambda l, r: 1.0 if l != 0 or r != 0 else 0.0,
    "BitwiseXor": lambda l, r: 1.0 if (l != 0) != (r != 0) else 0.0,
    "Complex": complex,
    # Integers alone (refused on float64 values): NumPy's shifts of int64 values.
    "LeftShift": lambda l, r: _shift(l, r, lambda a, k: (a << k) % 2**64),
    "RightShift": lambda l, r: _shift(l, r, lambda a, k: a >> k),
}

COMPARE = {
    "Gt": lambda l, r: l > r,
    "Ge": lambda l, r: l >= r,
    "Lt": lambda l, r: l < r,
    "Le": lambda l, r: l <= r,
    "Eq": lambda l, r: l == r,
    "Ne": lambda l, r: not (l == r),
}


def const_value(v):
    """The float64 a Python number becomes as an operand or a bound scalar."""
    return float(v)


def evaluate(tree, env, n):
    """The kernel's value at each of n elements; env maps names to a float or a list."""
    def at(node):
        kind = node[0]
        if kind == "arg":
            v = env[node[1]]
            return v if isinstance(v, list) else [v] * n
        if kind == "const":
            return [const_value(node[1])] * n
        if kind == "un":
            f = UNARY[node[1]]
            return [f(x) for x in at(node[2])]
        if kind == "bin":
            f = BINARY[node[1]]
            return [f(l, r) for l, r in zip(at(node[2]), at(node[3]))]
        if kind == "cmp":
            f = COMPARE[node[1]]
            return [1.0 if f(l, r) else 0.0 for l, r in zip(at(node[2]), at(node[3]))]
        cond, t, f = at(node[1]), at(node[2]), at(node[3])
        return [b if c == 0.0 else a for c, a, b in zip(cond, t, f)]
    return at(tree)


def reduce(op, xs):
    """Sum, Mean, Min or Max of a non-empty list, strictly left to right."""
    if op in ("Sum", "Mean"):
        s = -0.0
        for x in xs:
            s = BINARY["Add"](s, x)
        return s if op == "Sum" else BINARY["Div"](s, float(len(xs)))
    better = (lambda x, r: x < r) if op == "Min" else (lambda x, r: x > r)
    r = math.inf if op == "Min" else -math.inf
    for x in xs:
        if r != r or x != x:
            return math.nan
        if better(x, r):
            r = x
    return r


def float_text(v):
    """Shortest round-trip digits, plain from 1e-4 up to 1e16, scientific outside."""
    if v != v:
        return "NaN"
    if math.isinf(v):
        return "inf" if v > 0 else "-inf"
    text = repr(v)
    if "e" in text:
        mantissa, exponent = text.split("e")
        return mantissa + "e" + str(int(exponent))
    return text
