"""A formula as the chunk tasks need it: its argument names, callable on one chunk's
operands, picklable for worker processes, with a stable Dask token."""
from __future__ import annotations

import re
from typing import Any, Callable, Dict, List, Mapping, Tuple, Union

import numpy as np
import numpy.typing as npt

import quorvaline as qv
from _quorvaline import Expr
from quorvaline._one_call import _as_expr, _kernel_order

Formula = Union[Expr, Callable[..., Expr]]


class Kernel:
    def __init__(self, formula: Formula) -> None:
        self._formula = formula
        self._expr = _as_expr(formula)
        self.names: List[str] = _kernel_order(self._expr)

    def __call__(self, operands: Mapping[str, Any]) -> npt.NDArray[np.float64]:
        arrays = {k: v for k, v in operands.items() if isinstance(v, np.ndarray) and v.ndim}
        shape = np.broadcast_shapes(*(a.shape for a in arrays.values()))
        flat: Dict[str, Any] = dict(operands)
        for name, a in arrays.items():
            flat[name] = np.ascontiguousarray(np.broadcast_to(a, shape), dtype=np.float64).ravel()
        return qv.evaluate(self._expr, flat, convert=True).reshape(shape)

    def __reduce__(self) -> Tuple[Any, ...]:
        return (Kernel, (self._formula,))

    def __dask_tokenize__(self) -> str:
        temp_args = self._expr.get_temp_args()
        return re.sub(r"ArgRef\((\d+)\)", lambda m: f"ArgRef({temp_args[int(m[1])]!r})",
                      repr(self._expr))


def as_kernel(formula: Any) -> Kernel:
    return formula if isinstance(formula, Kernel) else Kernel(formula)
