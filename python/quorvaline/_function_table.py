"""The formula functions as the package's other faces see them: NumPy's and numexpr's names
mapped through the one function table of the formula text, never through a list of their own,
so that a function added to that table reaches them all.

A name is taken only where the table's function has the meaning NumPy and numexpr give that
name; where the engine's function differs, the name is refused rather than computed otherwise.
"""
from __future__ import annotations

import difflib
from typing import Iterable, Optional, Tuple

from quorvaline._nodes import BINARY, BY_NAME, FUNCTIONS, UNARY

Entry = Tuple[int, int, int]  # (node tag, operator code, number of arguments)

# Names whose table entry has another meaning than NumPy's and numexpr's function of that name.
# Keyed by the entry too: once the table maps a name to an operator with NumPy's meaning, the
# name is taken.
_OTHER_MEANING = {
    ("minimum", (BINARY, BY_NAME["Min"].code)):
        "the engine's minimum ignores a NaN operand, NumPy's propagates it",
    ("maximum", (BINARY, BY_NAME["Max"].code)):
        "the engine's maximum ignores a NaN operand, NumPy's propagates it",
    ("round", (UNARY, BY_NAME["Round"].code)):
        "the engine's round halves away from zero, NumPy's halves to even",
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
    if entry is None:
        return None, f"there is no '{name}' in quorvaline's formulas yet"
    other = _OTHER_MEANING.get((name, entry[:2]))
    if other is not None:
        return None, f"'{name}' is refused for now: {other}"
    return entry, ""


def closest(name: str, names: Iterable[str] = ()) -> str:
    """'; the closest known: a, b' naming the known functions closest to `name`, or ''."""
    near = difflib.get_close_matches(name, [*known_names(), *names], n=3)
    return f"; the closest known: {', '.join(near)}" if near else ""
