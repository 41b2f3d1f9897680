# The package's native face, loaded by quorvaline._native_loader from _quorvaline's library.
from typing import Any, Mapping, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from _quorvaline import Expr, KernelSpec
from quorvaline._nodes import Node

def expr_nodes(expr: Expr) -> Tuple[Tuple[str, ...], Tuple[Node, ...]]: ...
def expr_from_nodes(names: Sequence[str], nodes: Sequence[Node]) -> Expr: ...
def evaluate(
    kernel: Union[Expr, KernelSpec],
    operands: Mapping[str, Any],
    out: Optional[npt.NDArray[np.float64]] = None,
) -> npt.NDArray[np.float64]: ...
class KernelCall:
    def __call__(
        self,
        *operands: Any,
        out: Optional[npt.NDArray[np.float64]] = None,
        **named: Any,
    ) -> npt.NDArray[np.float64]: ...

def sum(array: Any, start: float = ...) -> float: ...
def mean(array: Any) -> float: ...
def min(array: Any) -> float: ...
def max(array: Any) -> float: ...
def reduce(
    kernel: KernelSpec,
    operands: Mapping[str, Any],
    op: str,
    axis: Union[None, int, Tuple[int, ...]] = None,
    keepdims: bool = False,
) -> npt.NDArray[np.float64]: ...
def get_num_threads() -> int: ...
def set_num_threads(n: int) -> int: ...

# (kind, code, name, arity, spellings, kernel function, libm function, doc, predicate): see
# _nodes.Operator.
OPERATORS: Tuple[
    Tuple[int, int, str, int, Tuple[str, ...], Optional[str], Optional[str], str, bool], ...
]
