"""The formula functions as the package's other faces see them: NumPy's and numexpr's names
mapped through the one function table of the formula text, never through a list of their own,
so that a function added to that table reaches them all.

A name is taken only where the table's function has the meaning NumPy and numexpr give that
name; where the engine's function differs, the name is refused rather than computed otherwise.
"""
from __future__ import annotations

import difflib
from typing import Iterable, Optional, Tuple

from quorvaline._nodes import FUNCTIONS

Entry = Tuple[int, int, int]  # (node tag, operator code, number of arguments)

# NumPy's and numexpr's names whose meaning the engine's function of the nearest name does not
# have: refused, not computed otherwise, until an operator with NumPy's meaning takes the name.
_OTHER_MEANING = {
    "minimum": "NumPy's minimum propagates a NaN operand, the engine's kernel_min ignores it",
    "maximum": "NumPy's maximum propagates a NaN operand, the engine's kernel_max ignores it",
    "round": "NumPy's round halves to even, the engine's kernel_round halves away from zero",
}


def lookup(name: str) -> Optional[Entry]:
    """The table's entry for a function name, or None."""
    return FUNCTIONS.get(name)


def known_names() -> Iterable[str]:
    return FUNCTIONS.keys()


def numpy_entry(name: str) -> Tuple[Optional[Entry], str]:
    """The entry for NumPy's (or numexpr's) function of that name and, when there is none to
    take, why: the table lacks it, or its function means something else."""
    entry = lookup(name)
    if entry is not None:
        return entry, ""
    other = _OTHER_MEANING.get(name)
    if other is not None:
        return None, f"'{name}' is refused for now: {other}"
    return None, f"there is no '{name}' in quorvaline's formulas yet"


def unknown(name: str, names: Iterable[str] = ()) -> str:
    """Why a function name of a formula is not known: its other meaning, or the closest."""
    other = _OTHER_MEANING.get(name)
    return f" (refused for now: {other})" if other is not None else closest(name, names)


def closest(name: str, names: Iterable[str] = ()) -> str:
    """'; the closest known: a, b' naming the known functions closest to `name`, or ''."""
    near = difflib.get_close_matches(name, [*known_names(), *names], n=3)
    return f"; the closest known: {', '.join(near)}" if near else ""
