"""float16 formulas with NumPy's dtype and values: every step NumPy computes in float16 is
computed by the engine in float32 and rounded to float16 before the next step reads it.

NumPy's float16 loops compute in float32 and round each result to float16. The engine has no
float16 steps, so a formula is cut at its float16 nodes: each one is an engine call over its
subtree, the float16 nodes below it read as the float16 arrays already computed (which widen
to float32 exactly), and its float32 value is rounded to float16 by NumPy's conversion
(to nearest even, subnormals, overflow to infinity and NaN as NumPy's). For `+ - * /` and
`sqrt` this gives NumPy's bits (float32 carries more than 2*11+2 bits, so rounding twice is
rounding once); the math library's functions give its float32 function rounded to float16.
A Python float read by a float16 step is rounded to float16 first, as NumPy converts it.
Here the formula is only cut into its steps; `_narrow` computes them (a narrow integer a
float16 step reads is exact in float32, as in float16).
"""
from __future__ import annotations

from typing import Any, Dict, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from quorvaline._nodes import ARG, BINARY, BY_NAME, CONST, SELECT, Node

HALF = np.dtype(np.float16)
_RIGHT_NAN = frozenset((BINARY, BY_NAME[name].code) for name in ("Add", "Mul"))


def has_half(value: Any) -> bool:
    return getattr(value, "dtype", None) == HALF and isinstance(value, (np.ndarray, np.generic))


class Input(NamedTuple):
    """An operand of a step: a float16 node computed by an earlier step (`node`), or else the
    call's operand `arg`, rounded to float16 first when a float16 step reads a Python number."""
    node: Optional[int]
    arg: int
    to_half: bool


class Step(NamedTuple):
    """One engine call: node `node`'s subtree over `inputs` (named `labels`), its value
    rounded to float16 when `half`."""
    node: int
    labels: Tuple[str, ...]
    nodes: Tuple[Node, ...]
    inputs: Tuple[Input, ...]
    half: bool


def value(source: Input, given: Sequence[Any], done: Dict[int, np.ndarray]) -> Any:
    """The value of a step's operand in this call."""
    if source.node is not None:
        return done[source.node]
    v = given[source.arg]
    return np.float16(v) if source.to_half else v  # as NumPy converts it


def cut(names: Sequence[str], nodes: Sequence[Node], dtypes: Sequence[Optional[np.dtype]],
        kids: Sequence[Sequence[int]], refuse: Any) -> List[Step]:
    """The formula's steps in order, the last one its value; `dtypes` are NumPy's per node
    (None for Python numbers), `kids` each node's operands, `refuse(i, why)` the error for
    node i."""
    last = len(nodes) - 1  # a formula of one float16 operand gives it back as float16
    half = [dtypes[i] == HALF and (tag not in (CONST, ARG) or i == last)
            for i, (tag, _) in enumerate(nodes)]
    rounds = [_reads_half(nodes[i], [dtypes[k] for k in kids[i]]) for i in range(len(nodes))]
    parents: Dict[int, List[int]] = {}
    for i, ks in enumerate(kids):
        for k in ks:
            parents.setdefault(k, []).append(i)
    for i in range(len(nodes)):
        for k in kids[i] if rounds[i] else ():
            tag = nodes[k][0]
            if dtypes[k] is None and tag not in (CONST, ARG):
                raise refuse(i, "a part over Python numbers alone is not rounded to float16")
            if tag == ARG and dtypes[k] is None and not all(rounds[p] for p in parents[k]):
                raise refuse(i, "a Python number read by float16 and wider steps")
    return [_step(i, names, nodes, dtypes, kids, half, rounds)
            for i in range(len(nodes)) if half[i] or i == last]


def _reads_half(node: Node, operands: Sequence[Optional[np.dtype]]) -> bool:
    """Whether NumPy's loop for the node reads its operands as float16, Python numbers
    converted to it (where's condition is only tested)."""
    if node[0] == SELECT:
        operands = operands[1:]
    strong = [t for t in operands if t is not None]
    return bool(strong) and np.result_type(*strong) == HALF


def _step(i: int, names: Sequence[str], nodes: Sequence[Node],
          dtypes: Sequence[Optional[np.dtype]], kids: Sequence[Sequence[int]],
          half: Sequence[bool], rounds: Sequence[bool]) -> Step:
    """Node i's step: its subtree, the float16 nodes below it read as their values."""
    sub: List[Node] = []
    labels: List[str] = []
    inputs: List[Input] = []

    def read(label: str, source: Input) -> None:
        if label not in labels:
            labels.append(label)
            inputs.append(source)
        sub.append((ARG, labels.index(label)))

    def walk(j: int, to_half: bool) -> None:
        tag, payload = nodes[j]
        if j != i and half[j]:
            read(f"\x00{j}", Input(j, 0, False))
        elif tag == ARG:
            read(names[int(payload)], Input(None, int(payload), to_half))
        elif tag == CONST:
            sub.append((CONST, float(np.float16(payload))) if to_half else nodes[j])
        else:
            # NumPy's float16 + and * give the right operand's NaN of two, the engine's the
            # left one's: swapped, the values are the same and the NaN is NumPy's.
            swap = half[j] and (tag, int(payload)) in _RIGHT_NAN
            for k in kids[j][::-1] if swap else kids[j]:
                walk(k, rounds[j] and dtypes[k] is None)
            sub.append(nodes[j])

    walk(i, False)
    return Step(i, tuple(labels), tuple(sub), tuple(inputs), half[i])
