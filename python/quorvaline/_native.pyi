# The package's native face, loaded by quorvaline._native_loader from _quorvaline's library.
from typing import Any, Dict, Mapping, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from _quorvaline import Expr, KernelSpec
from quorvaline._nodes import Node

def expr_nodes(expr: Union[Expr, KernelSpec]) -> Tuple[Tuple[str, ...], Tuple[Node, ...]]: ...
def expr_from_nodes(names: Sequence[str], nodes: Sequence[Node]) -> Expr: ...
def evaluate(
    kernel: Union[Expr, KernelSpec],
    operands: Mapping[str, Any],
    out: Optional[npt.NDArray[np.float64]] = None,
    narrow: bool = False,
) -> npt.NDArray[Any]: ...
class KernelCall:
    def __call__(
        self,
        *operands: Any,
        out: Optional[npt.NDArray[np.float64]] = None,
        **named: Any,
    ) -> npt.NDArray[Any]: ...

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
) -> npt.NDArray[Any]: ...
def get_num_threads() -> int: ...
def set_num_threads(n: int) -> int: ...
def loop_set() -> str: ...
def loop_sets() -> Tuple[str, ...]: ...
def config() -> Dict[str, Any]: ...

# (kind, code, name, arity, spellings, kernel function, libm function, doc, predicate): see
# _nodes.Operator.
OPERATORS: Tuple[
    Tuple[int, int, str, int, Tuple[str, ...], Optional[str], Optional[str], str, bool], ...
]
# Ends the engine's refusal of an operator over bools that the package computes with NumPy's
# dtype (see _bools).
BOOLS_BY_PACKAGE: str
