# The package's native face, loaded by quorvaline._native_loader from _quorvaline's library.
from typing import Sequence, Tuple

from _quorvaline import Expr

from quorvaline._nodes import Node

def expr_nodes(expr: Expr) -> Tuple[Tuple[str, ...], Tuple[Node, ...]]: ...
def expr_from_nodes(names: Sequence[str], nodes: Sequence[Node]) -> Expr: ...
