"""The formula functions as the package's other faces see them: NumPy's and numexpr's names
mapped through the one function table of the formula text, never through a list of their own,
so that a function added to that table reaches them all.

A name is taken only where the table's function has the meaning NumPy and numexpr give that
name; the engine's functions whose meaning differs have spellings of their own (kernel_min,
kernel_max, kernel_round).
"""
from __future__ import annotations

import difflib
from typing import Iterable, List, Optional, Tuple

from quorvaline._nodes import BINARY, BY_NAME, CONST, FUNCTIONS, ROUND, Node

Entry = Tuple[int, int, int]  # (node tag, operator code, number of arguments)

_MUL, _DIV = BY_NAME["Mul"].code, BY_NAME["Div"].code


def lookup(name: str) -> Optional[Entry]:
    """The table's entry for a function name, or None."""
    return FUNCTIONS.get(name)


def known_names() -> Iterable[str]:
    return FUNCTIONS.keys()


def numpy_entry(name: str) -> Tuple[Optional[Entry], str]:
    """The entry for NumPy's (or numexpr's) function of that name and, when there is none,
    why."""
    entry = lookup(name)
    if entry is not None:
        return entry, ""
    return None, f"there is no '{name}' in quorvaline's formulas yet"


def closest(name: str, names: Iterable[str] = ()) -> str:
    """'; the closest known: a, b' naming the known functions closest to `name`, or ''."""
    near = difflib.get_close_matches(name, [*known_names(), *names], n=3)
    return f"; the closest known: {', '.join(near)}" if near else ""


def round_nodes(decimals: int) -> List[Node]:
    """The nodes that follow an operand's to round it as np.round(x, decimals) does: rint of
    x times 10**decimals, divided by it again (for negative decimals, divided, then times)."""
    tag, code, _ = FUNCTIONS[ROUND]
    if decimals == 0:
        return [(tag, code)]
    scale: Node = (CONST, _power_of_ten(abs(decimals)))
    into, back = (_MUL, _DIV) if decimals > 0 else (_DIV, _MUL)
    return [scale, (BINARY, into), (tag, code), scale, (BINARY, back)]


def _power_of_ten(n: int) -> float:
    # NumPy's power_of_ten: exact up to 1e8, then 1e9 multiplied by ten (rounding as it goes).
    if n < 9:
        return 10.0 ** n
    scale = 1e9
    for _ in range(n - 9):
        scale *= 10.0
        if scale == float("inf"):
            break
    return scale
