"""quorvaline: a parallel compute engine for float64 arrays.

The engine lives in the extension module `_quorvaline`; this package hands out the
objects people use with it::

    import quorvaline as qv
    from quorvaline import kernel, rt

    x, y = kernel.args("x", "y")
    out = qv.evaluate(kernel.sqrt(x * x + y * y), x=xs, y=ys)   # NumPy in, NumPy out
    total = qv.sum(out)                                         # a Python float

For the full control of the four moves (expression, kernel, submission, result or
channel) use `kernel`, `rt` and the classes directly.
"""
import quorvaline._native_loader  # noqa: F401  (first: the modules below use it)
from _quorvaline import (
    Buffer,
    Channel,
    Expr,
    KernelSpec,
    MapSpec,
    RecvCase,
    ReduceSpec,
    TaskHandle,
    __version__,
    py_select,
)
from quorvaline import (
    _native_loader,  # noqa: F401  (registers quorvaline._native first)
    _pickling,  # noqa: F401  (registers the reducer of Expr)
)
from quorvaline._config import show_config
from quorvaline._factories import kernel, rt
from quorvaline._kernel import Kernel

# Kept out of __all__ like sum, min and max: a star import would hide the built-in compile.
from quorvaline._kernel import compile as compile
from quorvaline._one_call import evaluate
from quorvaline._parser import parse

# Re-exported by name ("as"), but kept out of __all__: a star import would hide the
# built-in sum, min and max (and prod, for symmetry).
from quorvaline._reductions import max as max
from quorvaline._reductions import mean as mean
from quorvaline._reductions import min as min
from quorvaline._reductions import prod as prod
from quorvaline._reductions import sum as sum
from quorvaline._text import to_text
from quorvaline._threads import get_num_threads, set_num_threads

__all__ = [
    "Buffer",
    "Channel",
    "Expr",
    "Kernel",
    "KernelSpec",
    "MapSpec",
    "RecvCase",
    "ReduceSpec",
    "TaskHandle",
    "__version__",
    "evaluate",
    "get_num_threads",
    "kernel",
    "parse",
    "py_select",
    "rt",
    "set_num_threads",
    "show_config",
    "to_text",
]
