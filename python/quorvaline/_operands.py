"""Operands the helpers refuse before any conversion could hide the mistake.

NumPy's float64 conversion would turn None into NaN, the text "1.5" into 1.5 and a masked
array into its data with the masked values in it; a Python integer beyond float64 fails
without saying which operand it was. Each refusal names the operand.
"""
from __future__ import annotations

from typing import Any

import numpy as np


def check_operand(name: str, value: Any) -> None:
    """Raise `TypeError` for a masked array, None or text (also inside a NumPy array or a
    sequence already turned into one), `OverflowError` for an integer beyond float64; both
    as "argument '{name}': ...". Anything else passes; its own conversion judges it."""
    if isinstance(value, np.ma.MaskedArray):
        raise TypeError(f"argument '{name}': masked arrays are refused, since their masked "
                        "values would be computed; pass .filled(value) or .compressed()")
    if isinstance(value, np.ndarray):
        if value.dtype.kind in "US":
            raise TypeError(f"argument '{name}': an array of text ({value.dtype}) is not "
                            "numbers")
        if value.dtype.kind == "O":
            for element in value.flat:
                _check_scalar(name, element)
        return
    _check_scalar(name, value)


def _check_scalar(name: str, value: Any) -> None:
    if value is None:
        raise TypeError(f"argument '{name}': None is not a number (use numpy.nan for a "
                        "missing value)")
    if isinstance(value, (str, bytes)):
        raise TypeError(f"argument '{name}': '{type(value).__name__}' object is text, "
                        "not a number")
    if isinstance(value, int):
        try:
            float(value)
        except OverflowError:
            raise OverflowError(f"argument '{name}': integer too large to convert to "
                                "float64") from None
