"""Results the engine writes in a narrow dtype (int8, int16, uint8, uint16, uint32, float16)
while it computes them in the wider one that holds each step's values (int32, int64,
float32): each value is narrowed as it is stored, as NumPy's cast narrows it, so no wide
result is made and converted after."""
from __future__ import annotations

from typing import Any, Dict, Optional

import numpy as np

from quorvaline import _native

STORED = frozenset(map(np.dtype, (np.int8, np.int16, np.uint8, np.uint16, np.uint32,
                                  np.float16)))


def evaluate(formula: Any, operands: Dict[str, Any], dtype: np.dtype,
             out: Optional[np.ndarray] = None) -> Optional[np.ndarray]:
    """The formula's values written narrowed to `dtype` (into `out` when given: C-contiguous,
    of `dtype`, sharing no memory with an operand but by being it); None when the call has no
    array to give its shape or its operands do not broadcast (the engine's own call says why)."""
    shapes = [v.shape if isinstance(v, np.ndarray) else np.shape(v) for v in operands.values()
              if isinstance(v, np.ndarray) or not (np.isscalar(v) or v is None)]
    if not any(shapes):
        return None
    if out is None:
        try:  # one shape, the common call, without NumPy's broadcasting rules (microseconds)
            shape = shapes[0] if shapes.count(shapes[0]) == len(shapes) \
                else np.broadcast_shapes(*shapes)
            out = np.empty(shape, dtype)
        except ValueError:
            return None
    return _native.evaluate(formula, operands, out, True)


def takes(out: Any, dtype: Optional[np.dtype], operands: Dict[str, Any]) -> bool:
    """Whether the engine can write narrowed values of `dtype` straight into the caller's
    `out`: of that dtype, C-contiguous, writable, and overlapping no operand but by being it."""
    return (dtype in STORED and isinstance(out, np.ndarray) and out.dtype == dtype
            and out.flags.c_contiguous and out.flags.aligned and out.flags.writeable
            and not any(v is not out and isinstance(v, np.ndarray) and np.may_share_memory(v, out)
                        for v in operands.values()))
